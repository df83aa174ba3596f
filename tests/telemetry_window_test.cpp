// The road from the I/O thread to the window: the simulated devices' telemetry and log lines go
// through the router's listeners and the window's queued signals into the read-outs and the
// message pane. Runs under ThreadSanitizer too.
#include <QLCDNumber>
#include <QLabel>
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

}  // namespace
