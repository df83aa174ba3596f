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

  // Chooses Exit in the window once ready() holds; returns the time taken from there.
  std::function<qint64()> ExitWhen(const std::function<bool()>& ready) {
    auto* poll = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, ready] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<MainWindow*>(w);
        if (!window || !window->isVisible() || !ready()) continue;
        poll->deleteLater();
        clock->start();
        window->findChild<QAction*>("actionE_xit")->trigger();
        return;
      }
    });
    poll->start(20);
    return [clock] { return clock->elapsed(); };
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
    SimDevices sim;
    sim.SetSilent(TX, silent);
    sim.Start();
    // Once the window has started asking the transmitter for its parameters.
    auto elapsed = ExitWhen([&] { return !sim.ParameterRequests(TX).empty(); });
    EXPECT_EQ(Run({"-a", sim.LinkText()}, CancellingDialog()), 0);
    EXPECT_LT(elapsed(), 2000);
    EXPECT_EQ(asked_, 0);
    TearDown();
  }
}

}  // namespace
