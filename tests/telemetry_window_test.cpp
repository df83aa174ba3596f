// The road from the I/O thread to the window: the simulated devices' telemetry and log lines go
// through the router's listeners and the window's queued signals into the read-outs and the
// message pane. Runs under ThreadSanitizer too.
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <QDir>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>

#include <gtest/gtest.h>

#include "kovra/log.h"
#include "support/delivery_log.h"
#include "support/window_fixture.h"
#include "target_status.h"
#include "ui_main_window.h"

namespace {

class TelemetryWindowTest : public WindowFixture {
 protected:
  SimConfig Config() const override {
    SimConfig config;
    config.telemetry_hz = 100;
    config.log_period = std::chrono::milliseconds(20);
    return config;
  }
};

TEST_F(TelemetryWindowTest, DeviceTrafficReachesTheReadOutsAndThePane) {
  Ui_MainWindow& ui = *window_->Form();
  EXPECT_TRUE(Eventually([&] {
    return window_->TxStatus()->IsConnected() && window_->RxStatus()->IsConnected();
  }));
  EXPECT_TRUE(Eventually([&] { return ui.reading_battery_voltage->value() > 0; }));
  EXPECT_TRUE(Eventually([&] { return ui.log_text->document()->blockCount() >= 10; }));
  EXPECT_TRUE(ui.log_text->toPlainText().contains("] "));
  EXPECT_EQ(ui.label_tx_state->text(), "Off");
  EXPECT_EQ(window_->TxBuildLabel().text(), "TX Build: cafef00d");
}

// Records what reaches the window's listeners (a router callback after theirs), and keeps the
// console to warnings and errors: a flood's lines would fill the log of a failing test.
class FloodFixture : public WindowFixture {
 protected:
  void Wire() override {
    WindowFixture::Wire();
    saved_level_ = kovra::GetLog()->level();
    kovra::GetLog()->set_level(spdlog::level::warn);
    records_ = std::make_unique<DeliveryLog>(
        link_->Router(), std::initializer_list<ChannelDescriptor>{
                             ChannelDescriptor::TX_ADC_VALUES, ChannelDescriptor::RX_ADC_VALUES});
    lines_ = std::make_unique<DeliveryLog>(
        link_->Router(), std::initializer_list<ChannelDescriptor>{ChannelDescriptor::LOG_MESSAGE});
  }
  void Unwire() override {
    WindowFixture::Unwire();
    kovra::GetLog()->set_level(saved_level_);
  }

  std::unique_ptr<DeliveryLog> records_;
  std::unique_ptr<DeliveryLog> lines_;
  spdlog::level::level_enum saved_level_ = spdlog::level::info;
};

// Telemetry at a rate the window follows, and at one it cannot (its GUI thread held while the
// devices send, or while records are handed to its listeners): every record is either shown
// (and, while logging, written as a CSV row) or counted as left out, and the left-out ones are
// said in the pane.
struct RateRow {
  const char* name;
  int rate;          // records per second and device
  int held;          // records that reach the window while its GUI thread is held (0: not held)
  bool handed;       // the held records are handed to the listeners, the devices send none
  bool stopped;      // logging stops while the held records wait
};

// The devices start without telemetry and periodic log lines.
class TelemetryRateTest : public FloodFixture, public ::testing::WithParamInterface<RateRow> {};

TEST_P(TelemetryRateTest, EveryRecordIsShownOrCountedAsLeftOut) {
  const RateRow& row = GetParam();
  Ui_MainWindow& ui = *window_->Form();
  QTemporaryDir dir;
  ui.log_dir_edit->setText(dir.path());
  ui.log_button->click();
  ASSERT_TRUE(ui.log_button->isChecked());
  std::atomic<long> shown_tx{0}, shown_rx{0};
  QObject::connect(window_.get(), &MainWindow::TxAdcValuesUpdated, [&] { ++shown_tx; });
  QObject::connect(window_.get(), &MainWindow::RxAdcValuesUpdated, [&] { ++shown_rx; });
  long handed = 0;
  auto sent = [&] { return sim_->TelemetrySent(TX) + sim_->TelemetrySent(RX) + handed; };

  // Both connected first, at a low rate: the reads made on connection hold the window a while.
  sim_->SetTelemetryRate(50);
  ASSERT_TRUE(Eventually([&] {
    return window_->TxBuildLabel().text() != "TX Build: " &&
           window_->RxBuildLabel().text() != "RX Build: ";
  }));
  sim_->SetTelemetryRate(row.rate);
  if (row.handed) {
    // Every record sent so far is shown; then the window is busy elsewhere while records reach
    // its listeners.
    ASSERT_TRUE(Eventually([&] { return shown_tx + shown_rx == sent(); }, 20000));
    for (; handed < row.held; ++handed) Queue(RxAdcValues{});
  } else if (row.held > 0) {
    // The window is busy elsewhere while the devices go on sending.
    const size_t target = records_->Count() + row.held;
    ASSERT_GE(records_->WaitFor(target, std::chrono::seconds(60)).size(), target);
  } else {
    ASSERT_TRUE(Eventually([&] { return sim_->TelemetrySent(RX) >= 1000; }, 20000));
  }
  sim_->SetTelemetryRate(0);
  long logged_rx = -1;
  auto stop_logging = [&] {
    logged_rx = shown_rx;
    ui.log_button->click();
  };
  if (row.stopped) stop_logging();
  // Every record the devices sent reaches the listeners, however far behind the link is.
  ASSERT_TRUE(Eventually([&] { return long(records_->Count()) == sent() - handed; }, 60000))
      << records_->Count() << " of " << sent() - handed;

  const QRegularExpression said("(\\d+) telemetry (?:record was|records were) left out, too "
                                "many at once; the CSV log lacks (?:its row|their rows)");
  auto left_out = [&] {
    long n = 0;
    for (auto it = said.globalMatch(ui.log_text->toPlainText()); it.hasNext();) {
      n += it.next().captured(1).toLong();
    }
    return n;
  };
  EXPECT_TRUE(Eventually([&] { return shown_tx + shown_rx + left_out() == sent(); }, 20000))
      << shown_tx << " + " << shown_rx << " + " << left_out() << " of " << sent();
  if (row.handed) {
    EXPECT_EQ(left_out(), row.held - MainWindow::kMaxWaitingRecords);
  } else if (row.held > 0) {
    // No more records waited for the window than it lets wait.
    EXPECT_GE(left_out(), row.held - MainWindow::kMaxWaitingRecords);
  } else {
    EXPECT_EQ(left_out(), 0);
  }
  if (left_out() == 1) {
    EXPECT_TRUE(ui.log_text->toPlainText().contains(
        "1 telemetry record was left out, too many at once; the CSV log lacks its row"));
  }

  if (!row.stopped) stop_logging();
  long rows = -1;  // less the header
  for (const QFileInfo& file : QDir(dir.path()).entryInfoList(QDir::Files)) {
    std::ifstream csv(file.filePath().toStdString());
    rows += std::count(std::istreambuf_iterator<char>(csv), {}, '\n');
  }
  EXPECT_EQ(rows, logged_rx);
}

// One flush of the message pane that takes long: the process was stopped in it (Ctrl-Z, a
// suspended laptop, a debugger), or the machine was busy elsewhere. The pane then goes on
// drawing device lines at their pace: it is never more than a second behind the newest.
struct SlowFlushRow {
  const char* name;
  bool busy;  // the flush spends the time working (else it is stopped, as by SIGSTOP)
};

class SlowFlushTest : public FloodFixture, public ::testing::WithParamInterface<SlowFlushRow> {
 protected:
  // Floods the pane: 1000 lines from the receiver, which all reach the window's listeners before
  // the GUI thread goes on, so that the next flushes are large ones. A flood of a count, not a
  // rate: nothing of it is left on the way, however slow the build.
  void Flood() {
    const size_t target = lines_->Count() + 1000;
    for (int i = 0; i < 1000; ++i, ++flooded_) {
      sim_->SendLog(RX, 1, "Flood " + std::to_string(flooded_));
    }
    ASSERT_EQ(sim_->FramesDropped(), 0u);
    ASSERT_GE(lines_->WaitFor(target, std::chrono::seconds(60)).size(), target);
  }
  // The pane shows the flood's last line.
  bool FloodShown() {
    const QString last = window_->Form()->log_text->document()->lastBlock().text();
    return last.endsWith(QStringLiteral("Flood %1").arg(flooded_ - 1));
  }
  long flooded_ = 0;
};

TEST_P(SlowFlushTest, ThePaneKeepsUpAfterASlowFlush) {
  using Clock = std::chrono::steady_clock;
  Ui_MainWindow& ui = *window_->Form();
  QTextDocument* pane = ui.log_text->document();
  // Large flushes, so that the pane knows what an entry costs.
  for (int round = 0; round < 3; ++round) {
    ASSERT_NO_FATAL_FAILURE(Flood());
    ASSERT_TRUE(Eventually([&] { return FloodShown(); }, 20000));
  }
  // The next flush is slow; the flood's rest is drawn after it.
  bool slowed = false;
  QObject::connect(pane, &QTextDocument::contentsChanged, [&] {
    if (slowed) return;
    slowed = true;
    const auto until = Clock::now() + std::chrono::seconds(2);
    if (!GetParam().busy) std::this_thread::sleep_until(until);
    while (Clock::now() < until) {
    }
  });
  ASSERT_NO_FATAL_FAILURE(Flood());
  ASSERT_TRUE(Eventually([&] { return slowed; }));
  ASSERT_TRUE(Eventually([&] { return FloodShown(); }, 20000));

  // Then 1000 numbered lines a second for 4 s.
  constexpr int kLines = 4000;
  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    const auto start = Clock::now();
    for (int i = 1; i <= kLines; ++i) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
      sim_->SendLog(TX, 1, "Line " + std::to_string(i));
    }
    fed = true;
  });
  const QRegularExpression number("Line (\\d+)$");
  auto shown = [&] { return number.match(pane->lastBlock().text()).captured(1).toInt(); };
  EXPECT_TRUE(Eventually([&] { return fed.load(); }, 20000));
  feeder.join();
  EXPECT_GT(shown(), kLines - 1000) << "the pane is more than a second behind";
  EXPECT_TRUE(Eventually([&] { return shown() == kLines; }));
  EXPECT_EQ(sim_->FramesDropped(), 0u);
}

auto RowName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Pauses, SlowFlushTest,
                         ::testing::Values(SlowFlushRow{"Stopped", false},
                                           SlowFlushRow{"Busy", true}),
                         RowName);
INSTANTIATE_TEST_SUITE_P(Rates, TelemetryRateTest,
                         ::testing::Values(RateRow{"Followed", 1000, 0, false, false},
                                           RateRow{"HeldWindow", 20000,
                                                   3 * MainWindow::kMaxWaitingRecords, false,
                                                   false},
                                           RateRow{"OneLeftOutThenStopped", 0,
                                                   MainWindow::kMaxWaitingRecords + 1, true,
                                                   true}),
                         RowName);

}  // namespace
