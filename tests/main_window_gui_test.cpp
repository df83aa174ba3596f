// The main window against the simulated devices: connection handling, read-outs, message pane,
// CSV log, power switch and the make-default entry. Records are handed to the listeners as the
// router would hand them.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLCDNumber>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include "charge_config.h"
#include "network_config.h"
#include "on_off_widget.h"
#include "ota_update_dialog.h"
#include "set_rx_i2c_address_dialog.h"
#include "parameter_model.h"
#include "support/log_capture.h"
#include "support/message_boxes.h"
#include "support/window_fixture.h"
#include "target_status.h"
#include "ui_main_window.h"
#include "ui_on_off_widget.h"

namespace {

using namespace std::chrono_literals;

TxAdcValues Tx(uint8_t state, uint16_t plvl, float v5, float i5, float v12, float i12, float vpa,
               float ipa) {
  TxAdcValues tx;
  tx.charge_state = static_cast<ChargeState>(state);
  tx.plvl = plvl;
  tx.vmon_5v = v5, tx.imon_5v = i5, tx.vmon_12v = v12, tx.imon_12v = i12;
  tx.vmon_pa = vpa, tx.imon_pa = ipa;
  return tx;
}

RxAdcValues Rx(uint8_t state, float vbatt, float ibatt) {
  RxAdcValues rx;
  rx.charge_state = static_cast<RxChargeState>(state);
  rx.vmon_battery = vbatt;
  rx.imon_battery = ibatt;
  rx.vmon_rectified = 30.5f;
  return rx;
}

class MainWindowTest : public WindowFixture {
 protected:
  Ui_MainWindow& Ui() { return *window_->Form(); }
  QString Pane() { return Ui().log_text->toPlainText(); }
};

TEST_F(MainWindowTest, TransmitterConnectsBeforeItsFirstRecordIsShown) {
  double power_when_connected = -1;
  QObject::connect(window_->TxStatus(), &TargetStatus::ConnectionChanged, window_.get(),
                   [&](bool on) { if (on) power_when_connected = Ui().reading_tx_power->value(); });
  Feed(Tx(3, 10, 5, 2, 12, 1, 24, 2));
  EXPECT_EQ(power_when_connected, 0.0);
  EXPECT_TRUE(tx_->Enabled());
  EXPECT_TRUE(tx_->HasParameter(P(60)));  // the list was reloaded
  EXPECT_EQ(window_->TxBuildLabel().text(), "TX Build: cafef00d");
  EXPECT_DOUBLE_EQ(Ui().reading_tx_power->value(), 70.0);
  EXPECT_EQ(Ui().label_tx_state->text(), "Charging");

  QSignalSpy changes(window_->TxStatus(), &TargetStatus::ConnectionChanged);
  ASSERT_TRUE(changes.wait(4000));  // 2000 ms of silence
  EXPECT_FALSE(tx_->Enabled());
}

TEST_F(MainWindowTest, ReceiverConnectsAfterItsFirstRecordIsShown) {
  window_->Form()->actionCharge_Config->setEnabled(false);
  sim_->ClearRecords();
  Feed(Rx(2, 25.2f, 1.5f));
  EXPECT_DOUBLE_EQ(Ui().reading_battery_voltage->value(), 25.2);
  EXPECT_TRUE(Eventually([&] { return rx_->Enabled(); }));
  std::map<int, int> asked;  // id, requests
  for (const Parameter& p : sim_->ParameterRequests(RX)) ++asked[p.id];
  EXPECT_LE(sim_->ParameterRequests(RX).size(), 9u);
  for (const auto& [id, n] : asked) EXPECT_EQ(n, 1) << id;
  EXPECT_TRUE(Ui().actionCharge_Config->isEnabled());
  EXPECT_EQ(window_->RxBuildLabel().text(), "RX Build: 000000ff");
  EXPECT_EQ(Ui().config_info->text(),
            "6 Cells @ 4.20V\nVoltage Limit: 25.20V\nCurrent Limit: 3.00A");
  // With the 25200 mV limit now known: 25.2 V is at the limit, 25.1 V is not.
  struct Case { float volts; const char* background; };
  for (const Case& c : {Case{25.2f, "60, 180, 40"}, Case{25.1f, "60, 40, 40"}}) {
    Feed(Rx(3, c.volts, 1.0f));
    EXPECT_TRUE(Ui().reading_battery_voltage->styleSheet().contains(c.background)) << c.volts;
  }
  Feed(Rx(8, 1, 1));
  EXPECT_EQ(Ui().label_rx_state->text(), "Error");

  // A receiver that answers nothing costs one time-out when it connects, then nothing more.
  window_->RxStatus()->SetConnected(false);
  sim_->SetSilent(RX, true);
  sim_->ClearRecords();
  Feed(Rx(2, 25.2f, 1.5f));
  EXPECT_TRUE(Eventually([&] { return rx_->Enabled(); }));
  Feed(Rx(2, 25.2f, 1.5f));
  // The time-out's ten requests: the last may reach the device after the window gave up.
  EXPECT_TRUE(sim_->WaitForParameterRequests(RX, 10, std::chrono::seconds(2)));
  auto ids_asked = [this] {
    std::set<int> ids;
    for (const Parameter& p : sim_->ParameterRequests(RX)) ids.insert(p.id);
    return ids.size();
  };
  EXPECT_EQ(ids_asked(), 1u);
  EXPECT_EQ(Ui().config_info->text(),
            "0 Cells @ 0.00V\nVoltage Limit: 0.00V\nCurrent Limit: 0.00A");
  // So does opening the charge configuration.
  sim_->ClearRecords();
  Ui().actionCharge_Config->trigger();
  EXPECT_EQ(ids_asked(), 1u);
  window_->ChargeConfigWindow()->hide();
}

TEST_F(MainWindowTest, ASilentTransmitterIsRetriedAfterAPause) {
  sim_->SetSilent(TX, true);
  Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
  EXPECT_FALSE(window_->TxStatus()->IsConnected());
  EXPECT_FALSE(tx_->Enabled());
  EXPECT_TRUE(Pane().contains("TX reconnection model update failed: Parameter request timed out"));
  // Records every 100 ms for 6.5 s only update the display until the pause of 5 s is over;
  // the transmitter answers again after 4 s, so the second attempt succeeds.
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 6500) {
    if (clock.elapsed() > 4000) sim_->SetSilent(TX, false);
    Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
    QTest::qWait(100);
  }
  EXPECT_EQ(Pane().count("TX reconnection model update failed"), 1);
  EXPECT_TRUE(window_->TxStatus()->IsConnected());
  EXPECT_EQ(window_->TxBuildLabel().text(), "TX Build: cafef00d");
}

TEST_F(MainWindowTest, ReadOutsFollowTheRecords) {
  LogCapture log;
  Feed(Rx(3, 15, 3));  // 45 W into the battery
  struct Case { TxAdcValues tx; double power; double efficiency; bool red; const char* state; };
  const Case cases[] = {
      {Tx(3, 3, 5, 2, 12, 1, 24, 2), 70, 45.0 / 70 * 100, false, "Charging"},
      {Tx(3, 1, 0, 0, 0, 0, 30, 2), 60, 75, true, "Charging"},
      {Tx(2, 0, 0, 0, 0, 0, 30, 2), 60, 0, true, "Ramp Up"},     // "--"
      {Tx(4, 2, 0, 0, 0, 0, 30, 2), 60, 0, false, "Done"},
      {Tx(9, 256, 0, 0, 0, 0, 30, 2), 60, 0, true, "Error"},
      {Tx(1, 257, 0, 0, 0, 0, 30, 2), 60, 0, true, "Heartbeat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    Feed(c.tx);
    EXPECT_NEAR(Ui().reading_tx_power->value(), c.power, 0.01);
    EXPECT_NEAR(Ui().reading_efficiency->value(), c.efficiency, 0.01);
    const QColor segments = Ui().reading_tx_power->palette().color(QPalette::WindowText);
    EXPECT_EQ(segments, c.red ? QColor(255, 20, 40) : QColor(20, 255, 40));
    EXPECT_EQ(Ui().label_tx_state->text(), c.state);
  }
  EXPECT_EQ(log.Count("Maximum TX Power reached!!!"), 1);
}

TEST_F(MainWindowTest, AReadOutThatCannotShowAValueShowsDashes) {
  struct Case { RxAdcValues rx; TxAdcValues tx; QLCDNumber* lcd; const char* shown; };
  const Case cases[] = {
      {Rx(3, -12345.678f, 1), Tx(3, 3, 0, 0, 0, 0, 30, 2), Ui().reading_battery_voltage, "------"},
      {Rx(3, 12, 1e9f), Tx(3, 3, 0, 0, 0, 0, 30, 2), Ui().reading_battery_current, "------"},
      {Rx(3, 12, 1e9f), Tx(3, 3, 0, 0, 0, 0, 30, 2), Ui().reading_battery_power, "------"},
      {Rx(3, 15, 3), Tx(3, 3, 0.0001f, 1, 0, 0, 0, 0), Ui().reading_efficiency, "------"},
      {Rx(3, 15, 3), Tx(3, 3, 0, 0, 0, 0, 0, 0), Ui().reading_efficiency, "inf"},
      {Rx(3, -99.99f, 1), Tx(3, 3, 0, 0, 0, 0, 30, 2), Ui().reading_battery_voltage, "-99.99"},
      {Rx(3, 9999.99f, 1), Tx(3, 3, 0, 0, 0, 0, 30, 2), Ui().reading_battery_voltage, "------"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    Feed(c.rx);
    Feed(c.tx);
    // What the read-out shows, against the same read-out given the expected text.
    const QImage shown = c.lcd->grab().toImage();
    c.lcd->display(QString::fromLatin1(c.shown));
    EXPECT_EQ(shown, c.lcd->grab().toImage());
  }
}

TEST_F(MainWindowTest, MessagePaneShowsDeviceLinesByLevelAndKeepsTheNewest) {
  LogCapture log;
  auto send = [&](Address from, uint8_t level, const std::string& text) {
    LogMessage m;
    m.level = level;
    std::memcpy(m.text, text.data(), std::min(text.size(), sizeof(m.text)));
    std::vector<uint8_t> payload(50, 0);
    serialize(m, payload.data());
    PacketHeader header;
    header.SetSource(from);
    LogListener{*window_}(header, payload);
    QCoreApplication::processEvents();
  };
  send(RX, 1, "Charging");
  send(TX, 2, "Hot");
  send(TX, 3, "Broken");
  send(TX, 0, "Quiet");
  send(TX, 9, "Odd");
  send(static_cast<Address>(7), 1, "Stranger");
  send(RX, 1, std::string(40, 'x') + "tail");
  const int entries = Ui().log_text->document()->blockCount();
  const QString html = Ui().log_text->toHtml();
  EXPECT_TRUE(Pane().contains("[RX] Charging"));
  EXPECT_TRUE(html.contains("#cc7a00")) << "warning colour";
  EXPECT_TRUE(html.contains("#dd0000")) << "error colour";
  EXPECT_TRUE(html.contains("font-weight:600")) << "bold time stamp";
  EXPECT_FALSE(Pane().contains("Quiet"));
  EXPECT_FALSE(Pane().contains("Odd"));
  EXPECT_EQ(log.CountContaining("UNKNOWN LOG LEVEL, 7Address=[1]: Odd"), 1);
  EXPECT_TRUE(Pane().contains("[] Stranger"));
  EXPECT_TRUE(Pane().endsWith("[RX] " + QString(40, 'x')));

  // A device's text is shown as sent, never taken as markup, one entry per line, in the pane
  // and on the console alike; what could fake an entry or drive a terminal shows as U+FFFD.
  // Debug lines (level 0) and lines of an unknown level reach the console only, cleaned alike.
  struct Text { uint8_t level; const char* sent; const char* shown; };
  const Text texts[] = {
#define R "\xef\xbf\xbd"  // U+FFFD
      {1, "<img src=/dev/zero> Vbat<3V & I>2A&amp;", "<img src=/dev/zero> Vbat<3V & I>2A&amp;"},
      {1, "ratio a<b and c>d", "ratio a<b and c>d"},
      {1, "two  blanks&amp;", "two  blanks&amp;"},
      {1, "line\nbreak\tand\r\n", "line break and  "},
      {1, "ok\xef\xb7\x90 12:00:00 [RX] FAKE", "ok" R " 12:00:00 [RX] FAKE"},
      {1, "a\xef\xb7\x91" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d", "a" R "b" R "c" R "d"},
      {1, "\x1b]0;t\x07\x1b[31m\x7f\xc2\x9b" "1m\x9b", R "]0;t" R R "[31m" R R "1m" R},
      {0, "\x1b]0;t\x07\x1b[31m\xc2\x9b" "1m\x9b\n", R "]0;t" R R "[31m" R "1m" R " "},
      {9, "\x1b]0;t\x07\x1b[31m\xc2\x9b" "1m\x9b\n", R "]0;t" R R "[31m" R "1m" R " "},
#undef R
  };
  for (const Text& t : texts) {
    LogCapture row(spdlog::level::debug);
    const QString before = Pane();
    send(TX, t.level, t.sent);
    const std::string console =
        (t.level == 9 ? "UNKNOWN LOG LEVEL, 7Address=[1]: " : "[TX] ") + std::string(t.shown);
    EXPECT_EQ(row.Count(console), 1) << t.sent;
    for (const auto& line : row.Lines()) {
      // Valid UTF-8 without a control character: nothing a terminal acts on.
      const QString text = QString::fromStdString(line.text);
      EXPECT_EQ(text.toStdString(), line.text);
      EXPECT_FALSE(std::any_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
      })) << line.text;
    }
    if (t.level == 1) {
      EXPECT_TRUE(Pane().endsWith(QStringLiteral("[TX] ") + QString::fromUtf8(t.shown)))
          << t.sent;
    } else {
      EXPECT_EQ(Pane(), before) << t.sent;
    }
  }
  EXPECT_EQ(Ui().log_text->document()->blockCount(), entries + 7);
  EXPECT_FALSE(Ui().log_text->toHtml().contains("<img"));

  // The log signal, from another thread, adds an info entry.
  std::thread([&] { emit window_->NewLogMessage(QStringLiteral("from\nafar")); }).join();
  EXPECT_TRUE(Eventually([&] { return Pane().endsWith(" from afar"); }));

  // A burst from another thread: the newest entries in order.
  std::thread burst([&] {
    for (int i = 0; i < MainWindow::kMaxLogEntries + 50; ++i) window_->Log(std::to_string(i));
  });
  burst.join();
  const QString last = QString::number(MainWindow::kMaxLogEntries + 49);
  EXPECT_TRUE(Eventually([&] { return Pane().endsWith(" " + last); }));
  // No more wait than the pane keeps: the 50 oldest were left out, and the pane said so.
  EXPECT_EQ(log.Count("50 log lines were left out of this pane, too many at once; the console "
                      "has them all"), 1);
  EXPECT_EQ(Ui().log_text->document()->blockCount(), MainWindow::kMaxLogEntries);
  EXPECT_TRUE(Ui().log_text->document()->firstBlock().text().endsWith(" 50"));
  int expected = 50;  // every entry kept, in order
  for (QTextBlock b = Ui().log_text->document()->firstBlock(); b.isValid(); b = b.next()) {
    if (!b.text().endsWith(" " + QString::number(expected++))) {
      ADD_FAILURE() << b.text().toStdString();
      break;
    }
  }
  EXPECT_EQ(expected, MainWindow::kMaxLogEntries + 50);
}

TEST_F(MainWindowTest, CsvLogRecordsEveryReceiverRecord) {
  QTemporaryDir dir;
  Ui().log_dir_edit->setText(dir.path() + "/<b>missing");
  QTest::mouseClick(Ui().log_button, Qt::LeftButton);
  EXPECT_FALSE(Ui().log_button->isChecked());
  EXPECT_TRUE(Pane().endsWith("'" + dir.path() + "/<b>missing' is an invalid logging directory"));
  EXPECT_TRUE(Ui().log_dir_edit->isEnabled());

  Ui().log_dir_edit->setText(dir.path());
  QTest::mouseClick(Ui().log_button, Qt::LeftButton);
  ASSERT_TRUE(Ui().log_button->isChecked());
  EXPECT_EQ(Ui().log_button->text(), "Stop &Logging");
  EXPECT_FALSE(Ui().log_dir_edit->isEnabled());
  EXPECT_FALSE(Ui().log_dir_button->isEnabled());
  const QStringList files = QDir(dir.path()).entryList({"korvane_*.csv"});
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(QRegularExpression("^korvane_\\d{4}(_\\d\\d){5}\\.csv$").match(files[0]).hasMatch());
  EXPECT_TRUE(Pane().contains("Logging started to " + dir.path() + "/" + files[0]));

  Feed(Rx(1, 0.5f, 3.0f));  // no transmitter record yet: zeros
  TxAdcValues tx = Tx(3, 12, 0, 0, 0, 0, 24, 1.5f);
  tx.count = 77;
  Feed(tx);
  Feed(Rx(2, 12.5f, 1.2e-05f));
  Feed(Rx(2, 12.5f, 1));
  std::ifstream in((dir.path() + "/" + files[0]).toStdString());
  std::stringstream flushed;
  flushed << in.rdbuf();  // every row is on disk while logging goes on
  EXPECT_EQ(flushed.str(),
            "Ticks,VPA,IPA,VGD,IGD,VRect,VBatt,IBatt,VCharge,ICharge,ChargeState,PLvl\n"
            "0,0,0,0,0,30.5,0.5,3,0,0,0,0\n"
            "77,24,1.5,0,0,30.5,12.5,1.2e-05,0,0,3,12\n"
            "77,24,1.5,0,0,30.5,12.5,1,0,0,3,12\n");
  QTest::mouseClick(Ui().log_button, Qt::LeftButton);
  EXPECT_TRUE(Pane().endsWith("Logging stopped"));
  EXPECT_TRUE(Ui().log_dir_edit->isEnabled());
  EXPECT_EQ(Ui().log_button->text(), "Start &Logging");

  // A start within the same second as an earlier log takes the next free name.
  auto read = [](const QString& name) {
    std::ifstream file(name.toStdString());
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  QStringList earlier;
  for (int s = 0; s < 3; ++s) {
    earlier << dir.path() + QDateTime::currentDateTime().addSecs(s).toString(
                                "/'korvane_'yyyy_MM_dd_HH_mm_ss'.csv'");
    std::ofstream(earlier.back().toStdString()) << "earlier\n";
  }
  QTest::mouseClick(Ui().log_button, Qt::LeftButton);
  const QString started = Pane().section("Logging started to ", -1);
  EXPECT_TRUE(started.endsWith("_2.csv")) << started.toStdString();
  for (const QString& name : earlier) EXPECT_EQ(read(name), "earlier\n");

  // A full disk (a file-size limit here) stops logging with an error, said once; no row is cut.
  // The rows are written as their records come, or wait (more records wait for the window) when
  // the button stops logging.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  for (const bool waiting : {false, true}) {
    SCOPED_TRACE(waiting);
    if (waiting) QTest::mouseClick(Ui().log_button, Qt::LeftButton);
    const QString file = Pane().section("Logging started to ", -1);
    const int stopped = Pane().count("Logging stopped");
    rlimit small{static_cast<rlim_t>(QFileInfo(file).size() + (waiting ? 0 : 100)),
                 saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    bool pressed = !waiting;
    const auto press = QObject::connect(window_.get(), &MainWindow::RxAdcValuesUpdated, [&] {
      if (!std::exchange(pressed, true)) QTest::mouseClick(Ui().log_button, Qt::LeftButton);
    });
    if (waiting) Queue(Rx(2, 12.5f, 1));
    for (int i = 0; i < 20 && Ui().log_button->isChecked(); ++i) Feed(Rx(2, 12.5f, 1));
    setrlimit(RLIMIT_FSIZE, &saved);
    QObject::disconnect(press);
    EXPECT_TRUE(pressed);
    EXPECT_EQ(Ui().log_button->text(), "Start &Logging");
    EXPECT_TRUE(Ui().log_dir_edit->isEnabled());
    EXPECT_TRUE(Pane().contains("Could not write to " + file + ": File too large"));
    EXPECT_TRUE(Pane().endsWith("Logging stopped"));
    EXPECT_EQ(Pane().count("Logging stopped"), stopped + 1);
    const std::string rows = read(file);
    EXPECT_EQ(rows.back(), '\n');
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n') * 11,
              std::count(rows.begin(), rows.end(), ','));
  }
}

TEST_F(MainWindowTest, PowerSwitchWritesTheSwitchThenTheGateDriver) {
  Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
  QPushButton* button = window_->PowerSwitch()->Form()->on_off_button;
  ASSERT_TRUE(button->isEnabled());
  sim_->ClearRecords();
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->text(), "Transmitter On");
  std::vector<std::pair<int, int>> sent;  // command, id
  for (const Parameter& p : sim_->ParameterRequests(TX)) sent.emplace_back(p.command, p.id);
  const std::vector<std::pair<int, int>> expected = {{3, 60}, {2, 60}, {3, 13}};
  EXPECT_EQ(sent, expected);
  uint32_t raw = 9;
  sim_->GetValue(TX, P(13), &raw);
  EXPECT_EQ(raw, 0u);
  EXPECT_TRUE(Pane().endsWith("Turning on wireless power"));
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_TRUE(Pane().endsWith("Turning off wireless power"));

  // A press the transmitter does not hold says why and neither writes 13 nor claims to switch;
  // a refused 13 is not switching either. lost: 60 is applied but its answers vanish; read
  // lost: 60 is taken but its read-back goes unanswered; gate unlisted: 60 is taken but 13 is
  // not listed, so only 13 is not sent; disabled, unlisted: nothing is sent.
  enum Fault {
    kRefused, kLost, kSilent, kGateRefused, kReadLost, kGateUnlisted, kDisabled, kUnlisted
  };
  struct Case { Fault fault; const char* shown; const char* pane; };
#define NOT_ON "Wireless power was not turned on: the transmitter "
  const Case cases[] = {
      {kRefused, "Transmitter Off", NOT_ON "refused parameter 60 \"Enable Charging for Device\""},
      {kLost, "Transmitter On", "Turning on wireless power"},
      {kSilent, "Transmitter Off",
       NOT_ON "did not answer for parameter 60 \"Enable Charging for Device\""},
      {kGateRefused, "Transmitter On",
       NOT_ON "refused parameter 13 \"Enable VICOR and Gate Driver\""},
      {kReadLost, "Transmitter On", "Turning on wireless power"},
      {kGateUnlisted, "Transmitter On",
       "The transmitter took parameter 60 \"Enable Charging for Device\", but has no parameter "
       "13 \"Enable VICOR and Gate Driver\"; nothing was sent"},
      {kDisabled, "Transmitter Off",
       NOT_ON "is not connected; nothing was sent for parameter 60 \"Enable Charging for Device\""},
      {kUnlisted, "Transmitter Off",
       NOT_ON "has no parameter 60 \"Enable Charging for Device\"; nothing was sent"},
  };
#undef NOT_ON
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    sim_->SetSilent(TX, false);
    if (c.fault == kUnlisted || c.fault == kGateUnlisted) {  // back with a list that lacks one
      std::vector<std::pair<ParamId, uint32_t>> list;
      for (ParamId id : sim_->ParameterIds(TX))
        if (id != P(c.fault == kUnlisted ? 60 : 13)) list.emplace_back(id, 0);
      sim_->SetParameterList(TX, list);
      window_->TxStatus()->SetConnected(false);
    }
    Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));  // keeps the transmitter connected
    ASSERT_TRUE(button->isEnabled());
    sim_->SetValue(TX, P(60), 0);
    sim_->SetStatusZero(TX, P(60), c.fault == kRefused);
    sim_->SetStatusZero(TX, P(13), c.fault == kGateRefused);
    sim_->SetSilent(TX, c.fault == kSilent);
    sim_->SetGetUnanswered(TX, P(60), c.fault == kReadLost);
    tx_->Enable(c.fault != kDisabled);
    sim_->ClearRecords();
    std::thread answers_back;
    if (c.fault == kLost) {
      sim_->SetDropProbability(1.0);
      answers_back = std::thread([this] {  // once the write's last try has gone, at the read
        sim_->WaitForParameterRequests(TX, 11, 5s);
        sim_->SetDropProbability(0);
      });
    }
    const int switched = Pane().count("Turning");
    button->setChecked(false);
    QTest::mouseClick(button, Qt::LeftButton);
    if (answers_back.joinable()) answers_back.join();
    EXPECT_EQ(button->text(), c.shown);
    EXPECT_EQ(button->isChecked(), button->text() == "Transmitter On");  // the next press undoes
    EXPECT_TRUE(Pane().endsWith(c.pane));
    const bool taken = c.fault == kLost || c.fault == kReadLost;
    EXPECT_EQ(Pane().count("Turning"), switched + (taken ? 1 : 0));
    const bool gate = taken || c.fault == kGateRefused;
    if (c.fault >= kDisabled) {
      EXPECT_FALSE(sim_->WaitForParameterRequests(TX, 1, 300ms));
    } else {
      EXPECT_EQ(sim_->ParameterRequests(TX).back().id, gate ? P(13) : P(60));
    }
    if (c.fault == kReadLost || c.fault == kGateUnlisted) {  // the next press switches off
      QTest::mouseClick(button, Qt::LeftButton);
      EXPECT_TRUE(Pane().endsWith("Turning off wireless power"));
    }
    if (c.fault == kReadLost) {
      uint32_t raw = 9;
      sim_->GetValue(TX, P(60), &raw);
      EXPECT_EQ(raw, 0u);
      // Two writes of 60, each read ten times, and 13: all in before the next row clears them.
      EXPECT_TRUE(sim_->WaitForParameterRequests(TX, 23, 2s));
      sim_->SetGetUnanswered(TX, P(60), false);
    }
  }
  sim_->SetStatusZero(TX, P(13), false);
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgramWhateverIsOpen) {
  window_->show();
  window_->NetworkConfigDialog()->show();
  QTimer::singleShot(0, window_.get(), [&] { window_->close(); });
  QTimer guard;  // a program left running would never end
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  guard.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  window_->NetworkConfigDialog()->hide();
}

TEST_F(MainWindowTest, MakeDefaultReportsWhatTheDeviceSaved) {
  Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
  sim_->SetValue(TX, P(60), 1);
  Boxes boxes;
  Ui().actionMake_current_power_state_default->trigger();
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
  EXPECT_TRUE(boxes.seen[0].text.contains("<b>on</b>")) << boxes.seen[0].text.toStdString();
  uint32_t saved = 0;
  sim_->GetSavedValue(TX, P(60), &saved);
  EXPECT_EQ(saved, 1u);

  // Telemetry stopped: the service is disabled, the state cannot be read, though the device
  // would still save it.
  window_->TxStatus()->SetConnected(false);
  Ui().actionMake_current_power_state_default->trigger();
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Critical);
  EXPECT_TRUE(boxes.seen[1].text.startsWith("The parameter was not saved successfully."));
}

}  // namespace

namespace {

TEST_F(MainWindowTest, FileMenuShowsEachConfigurationWindow) {
  struct Case { QAction* action; QWidget* window; };
  const Case cases[] = {
      {Ui().actionCharge_Config, window_->ChargeConfigWindow()},
      {Ui().actionFirmware_Update, window_->OtaDialog()},
      {Ui().actionSet_RX_I2C_Address, window_->I2cDialog()},
      {Ui().actionNetwork_Configuration, window_->NetworkConfigDialog()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action->objectName().toStdString());
    EXPECT_FALSE(c.window->isVisible());
    c.action->trigger();
    EXPECT_TRUE(c.window->isVisible());
    EXPECT_TRUE(c.window->isWindow());
    c.window->hide();
  }
  // After the receiver's first transition the charge entry follows its state.
  window_->RxStatus()->SetConnected(false);
  EXPECT_TRUE(Eventually([&] { return !Ui().actionCharge_Config->isEnabled(); }));
}

}  // namespace
