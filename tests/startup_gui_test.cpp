// Start-up, run and shutdown in this process: the link comes from the command line or from the
// interface dialog, and the user leaves through the window's Exit entry.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include "command_line.h"
#include "kovra/parameter_service.h"
#include "main_window.h"
#include "sim/sim_devices.h"
#include "startup.h"
#include "target_status.h"
#include "support/log_capture.h"

using namespace std::chrono_literals;

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { MainWindow::RegisterMetaTypes(); }
  // A later start-up in this process builds a request queue of its own.
  void TearDown() override { ParameterService::rpc_.reset(); }

  int Run(std::vector<std::string> args, const InterfaceChooser& chooser) {
    args.insert(args.begin(), "korvane_gui");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return RunControlPanel(ParseCommandLine(static_cast<int>(argv.size()), argv.data()), chooser);
  }

  // The real interface dialog, cancelled by the user; counts how often it was shown.
  InterfaceChooser CancellingDialog(const std::function<void()>& check = [] {}) {
    return [this, check] {
      ++asked_;
      check();
      QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        QTest::keyClick(dialog, Qt::Key_Escape);
      });
      return GuiGetInterface();
    };
  }

  // Chooses Exit in the window as soon as the transmitter's watchdog reports `connected`:
  // when it turns connected the window has just loaded the transmitter's parameters; when it
  // turns disconnected a parameter request has just timed out. Returns the time taken from there.
  std::function<qint64()> ExitOnTransmitter(bool connected) {
    auto clock = std::make_shared<QElapsedTimer>();
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, clock, connected] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<MainWindow*>(w);
        if (!window || !window->isVisible()) continue;
        poll->deleteLater();
        auto exit = [window, clock] {
          if (clock->isValid()) return;
          clock->start();
          window->findChild<QAction*>("actionE_xit")->trigger();
        };
        if (connected && window->TxStatus()->IsConnected()) return exit();
        QObject::connect(window->TxStatus(), &TargetStatus::ConnectionChanged, window,
                         [exit, connected](bool now) {
                           if (now == connected) exit();
                         });
        return;
      }
    });
    poll->start(0);
    return [clock] { return clock->isValid() ? clock->elapsed() : -1; };
  }

  int asked_ = 0;
};

TEST_F(StartupTest, ClosedPortAsksTheUserAndCancelEnds) {
  QTcpServer server;  // a port on which nothing listens any more
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  const std::string address = "127.0.0.1:" + std::to_string(server.serverPort());
  server.close();

  LogCapture log;
  EXPECT_EQ(Run({"--network-address", address}, CancellingDialog()), 0);
  EXPECT_EQ(asked_, 1);
  EXPECT_EQ(log.Count("TCP Server did not respond"), 1);
}

TEST_F(StartupTest, SerialPortIsTriedAloneWhenBothAreGiven) {
  SimDevices sim;
  sim.Start();
  LogCapture log;
  const int status = Run({"-p", "/dev/korvane-no-such-port", "-a", sim.LinkText()},
                         CancellingDialog([&] { EXPECT_FALSE(sim.HostConnected()); }));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(asked_, 1);
  EXPECT_EQ(log.Count("Serial port did not respond"), 1);
  EXPECT_EQ(log.Count("TCP Server did not respond"), 0);
}

TEST_F(StartupTest, ExitEndsPromptlyWhetherTheTransmitterAnswersOrNot) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent transmitter" : "answering transmitter");
    // Slow telemetry: while the transmitter is silent, each of its records that the window
    // takes up costs a second of waiting for parameters, so no backlog may build up.
    SimConfig config;
    config.telemetry_hz = 1;
    SimDevices sim(config);
    sim.SetSilent(TX, silent);
    sim.Start();
    auto elapsed = ExitOnTransmitter(!silent);
    EXPECT_EQ(Run({"-a", sim.LinkText()}, CancellingDialog()), 0);
    EXPECT_GE(elapsed(), 0);
    EXPECT_LT(elapsed(), 2000);
    EXPECT_FALSE(sim.ParameterRequests(TX).empty());
    EXPECT_EQ(asked_, 0);
    TearDown();
  }
}

}  // namespace
