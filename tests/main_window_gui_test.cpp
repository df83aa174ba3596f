// The main window against the simulated devices: connection handling, read-outs, message pane,
// CSV log, power switch and the make-default entry. Records are handed to the listeners as the
// router would hand them.
#include <fstream>
#include <sstream>

#include <QAction>
#include <QApplication>
#include <QDir>
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
  Feed(Rx(2, 25.2f, 1.5f));
  EXPECT_DOUBLE_EQ(Ui().reading_battery_voltage->value(), 25.2);
  EXPECT_TRUE(Eventually([&] { return rx_->Enabled(); }));
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
}

TEST_F(MainWindowTest, FailedTransmitterReconnectionIsRetriedByTheNextRecord) {
  sim_->SetSilent(TX, true);
  Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
  EXPECT_FALSE(window_->TxStatus()->IsConnected());
  EXPECT_FALSE(tx_->Enabled());
  EXPECT_TRUE(Pane().contains("TX reconnection model update failed: Parameter request timed out"));
  // Records that queued up while the window waited make one new attempt, not one each.
  for (int i = 0; i < 3; ++i) Queue(Tx(0, 100, 0, 0, 0, 0, 0, 0));
  QCoreApplication::processEvents();
  EXPECT_EQ(Pane().count("TX reconnection model update failed"), 2);
  sim_->SetSilent(TX, false);
  Feed(Tx(0, 100, 0, 0, 0, 0, 0, 0));
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
  const QString html = Ui().log_text->toHtml();
  EXPECT_TRUE(Pane().contains("[RX] Charging"));
  EXPECT_TRUE(html.contains("#cc7a00")) << "warning colour";
  EXPECT_TRUE(html.contains("#dd0000")) << "error colour";
  EXPECT_TRUE(html.contains("font-weight:600")) << "bold time stamp";
  EXPECT_FALSE(Pane().contains("Quiet"));
  EXPECT_FALSE(Pane().contains("Odd"));
  EXPECT_EQ(log.CountContaining("UNKNOWN LOG LEVEL, 7Address=[1]: Odd"), 1);
  EXPECT_TRUE(Pane().contains("[] Stranger"));
  EXPECT_TRUE(Pane().contains("[RX] " + QString(40, 'x') + "\n") ||
              Pane().endsWith("[RX] " + QString(40, 'x')));

  // The pane keeps the newest entries only.
  for (int i = 0; i < MainWindow::kMaxLogEntries + 5; ++i) {
    window_->HandleLogMessage(QString::number(i));
  }
  EXPECT_EQ(Ui().log_text->document()->blockCount(), MainWindow::kMaxLogEntries);
  EXPECT_TRUE(Ui().log_text->document()->firstBlock().text().endsWith(" 5"));
  EXPECT_TRUE(Pane().endsWith(QString::number(MainWindow::kMaxLogEntries + 4)));
}

TEST_F(MainWindowTest, CsvLogRecordsEveryReceiverRecord) {
  QTemporaryDir dir;
  Ui().log_dir_edit->setText(dir.path() + "/missing");
  QTest::mouseClick(Ui().log_button, Qt::LeftButton);
  EXPECT_FALSE(Ui().log_button->isChecked());
  EXPECT_TRUE(Pane().contains("is an invalid logging directory"));
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
