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

// Telemetry at a rate the window follows, and at one it cannot (its GUI thread held while the
// devices send): every record the devices sent is either shown (and, while logging, written as a
// CSV row) or counted as left out, and the left-out ones are said in the pane.
struct RateRow {
  const char* name;
  int rate;          // records per second and device
  int held;          // records that reach the window while its GUI thread is held (0: not held)
};

// The devices start without telemetry and periodic log lines. arrived_ counts the records that
// reached the window's listeners (a router callback after theirs).
class TelemetryRateTest : public WindowFixture, public ::testing::WithParamInterface<RateRow> {
 protected:
  void Wire() override {
    WindowFixture::Wire();
    auto count = [this](const PacketHeader&, const std::vector<uint8_t>&) { ++arrived_; };
    link_->Router()
        .AddCallback(ChannelDescriptor::TX_ADC_VALUES, count)
        .AddCallback(ChannelDescriptor::RX_ADC_VALUES, count);
  }
  std::atomic<long> arrived_{0};
};

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
  auto sent = [&] { return sim_->TelemetrySent(TX) + sim_->TelemetrySent(RX); };

  // Both connected first, at a low rate: the reads made on connection hold the window a while.
  sim_->SetTelemetryRate(50);
  ASSERT_TRUE(Eventually([&] {
    return window_->TxBuildLabel().text() != "TX Build: " &&
           window_->RxBuildLabel().text() != "RX Build: ";
  }));
  sim_->SetTelemetryRate(row.rate);
  if (row.held > 0) {
    // The window is busy elsewhere while the devices go on sending.
    const long target = arrived_ + row.held;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived_ < target && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(arrived_, target);
  } else {
    ASSERT_TRUE(Eventually([&] { return sim_->TelemetrySent(RX) >= 1000; }, 20000));
  }
  sim_->SetTelemetryRate(0);

  const QRegularExpression said("(\\d+) telemetry records were left out, too many at once; the "
                                "CSV log lacks their rows");
  auto left_out = [&] {
    long n = 0;
    for (auto it = said.globalMatch(ui.log_text->toPlainText()); it.hasNext();) {
      n += it.next().captured(1).toLong();
    }
    return n;
  };
  EXPECT_TRUE(Eventually([&] { return shown_tx + shown_rx + left_out() == sent(); }, 20000))
      << shown_tx << " + " << shown_rx << " + " << left_out() << " of " << sent();
  if (row.held > 0) {
    // No more records waited for the window than it lets wait.
    EXPECT_GE(left_out(), row.held - MainWindow::kMaxWaitingRecords);
  } else {
    EXPECT_EQ(left_out(), 0);
  }

  ui.log_button->click();
  long rows = -1;  // less the header
  for (const QFileInfo& file : QDir(dir.path()).entryInfoList(QDir::Files)) {
    std::ifstream csv(file.filePath().toStdString());
    rows += std::count(std::istreambuf_iterator<char>(csv), {}, '\n');
  }
  EXPECT_EQ(rows, shown_rx.load());
}

// One flush of the message pane that takes long: the process was stopped in it (Ctrl-Z, a
// suspended laptop, a debugger), or the machine was busy elsewhere. The pane then goes on
// drawing device lines at their pace: it is never more than a second behind the newest.
struct SlowFlushRow {
  const char* name;
  bool busy;  // the flush spends the time working (else it is stopped, as by SIGSTOP)
};

class SlowFlushTest : public WindowFixture, public ::testing::WithParamInterface<SlowFlushRow> {};

TEST_P(SlowFlushTest, ThePaneKeepsUpAfterASlowFlush) {
  using Clock = std::chrono::steady_clock;
  Ui_MainWindow& ui = *window_->Form();
  QTextDocument* pane = ui.log_text->document();
  // A flood, so that flushes are large; the next flush is slow and the flood ends with it.
  sim_->SetLogRate(10000);
  ASSERT_TRUE(Eventually([&] { return pane->blockCount() >= 2000; }));
  bool slowed = false;
  QObject::connect(pane, &QTextDocument::contentsChanged, [&] {
    if (slowed) return;
    slowed = true;
    sim_->SetLogRate(0);
    const auto until = Clock::now() + std::chrono::seconds(2);
    if (!GetParam().busy) std::this_thread::sleep_until(until);
    while (Clock::now() < until) {
    }
  });
  ASSERT_TRUE(Eventually([&] { return slowed; }));

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
}

auto RowName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Pauses, SlowFlushTest,
                         ::testing::Values(SlowFlushRow{"Stopped", false},
                                           SlowFlushRow{"Busy", true}),
                         RowName);
INSTANTIATE_TEST_SUITE_P(Rates, TelemetryRateTest,
                         ::testing::Values(RateRow{"Followed", 1000, 0},
                                           RateRow{"HeldWindow", 20000,
                                                   3 * MainWindow::kMaxWaitingRecords}),
                         RowName);

}  // namespace
