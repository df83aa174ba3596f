// Start-up, run and shutdown in this process: the link comes from the command line or from the
// interface dialog, and the user leaves through the window's Exit entry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTimer>

#include "command_line.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "main_window.h"
#include "ota_update_dialog.h"
#include "sim/sim_devices.h"
#include "startup.h"
#include "support/log_capture.h"
#include "target_status.h"

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { MainWindow::RegisterMetaTypes(); }
  // A later start-up in this process builds a request queue of its own.
  void TearDown() override { ParameterService::rpc_.reset(); }

  // Runs start-up with the command line; the interface dialog, when asked, is cancelled.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "korvane_gui");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return RunControlPanel(ParseCommandLine(static_cast<int>(argv.size()), argv.data()), [this] {
      ++asked_;
      QTimer::singleShot(0, [] {
        QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
      });
      return GuiGetInterface();
    });
  }

  static MainWindow* Window() {
    MainWindow* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (qobject_cast<MainWindow*>(w)) window = qobject_cast<MainWindow*>(w);
    }
    return window;
  }

  void Exit(MainWindow* window) {
    if (exit_clock_.isValid()) return;
    exit_clock_.start();
    window->findChild<QAction*>("actionE_xit")->trigger();
  }

  // Chooses Exit in the window when the transmitter's watchdog reports `connected`: just after
  // the window loaded the transmitter's parameters (true) or a request timed out (false).
  void ExitOnTransmitter(bool connected) {
    QTimer::singleShot(0, [this, connected] {  // the window is up once the event loop runs
      MainWindow* window = Window();
      if (!window) return QCoreApplication::exit(1);
      auto exit = [this, window] { Exit(window); };
      if (connected && window->TxStatus()->IsConnected()) return exit();
      QObject::connect(window->TxStatus(), &TargetStatus::ConnectionChanged, window,
                       [exit, connected](bool now) {
                         if (now == connected) exit();
                       });
    });
  }

  int asked_ = 0;
  QElapsedTimer exit_clock_;
};

TEST_F(StartupTest, LinkThatDoesNotOpenAsksTheUserAndCancelEnds) {
  SimDevices sim;
  sim.Start();
  const std::string tcp = "TCP Server did not respond", serial = "Serial port did not respond";
  const struct {
    std::vector<std::string> args;
    std::string warning, not_logged;
  } cases[] = {
      {{"--network-address", "127.0.0.1:1"}, tcp, serial},  // nothing listens on port 1
      // Only the serial port is tried when both are given.
      {{"-p", "/dev/korvane-no-such-port", "-a", sim.LinkText()}, serial, tcp},
  };
  for (const auto& c : cases) {
    LogCapture log;
    asked_ = 0;
    EXPECT_EQ(Run(c.args), 0);
    EXPECT_EQ(asked_, 1);
    EXPECT_EQ(log.Count(c.warning), 1);
    EXPECT_EQ(log.Count(c.not_logged), 0);
  }
  EXPECT_FALSE(sim.HostConnected());
}

TEST_F(StartupTest, ExitEndsPromptlyWhetherTheTransmitterAnswersOrNot) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent transmitter" : "answering transmitter");
    // While the transmitter is silent, each reconnection attempt waits a second for
    // parameters while its telemetry queues up behind it.
    SimConfig config;
    config.telemetry_hz = 50;
    SimDevices sim(config);
    sim.SetSilent(TX, silent);
    sim.Start();
    exit_clock_.invalidate();
    ExitOnTransmitter(!silent);
    EXPECT_EQ(Run({"-a", sim.LinkText()}), 0);
    EXPECT_TRUE(exit_clock_.isValid());
    EXPECT_LT(exit_clock_.elapsed(), 2000);
    EXPECT_EQ(asked_, 0);
    EXPECT_FALSE(sim.ParameterRequests(TX).empty());
    TearDown();
  }
}

TEST_F(StartupTest, ExitDuringAFirmwareUpdateEndsPromptly) {
  QTemporaryFile archive;
  const auto record = SimDevices::MakeArchiveRecord(
      OtaArchive::TxApp, SimDevices::MakeImage(0x202, std::vector<uint8_t>(8192, 0x5A)));
  ASSERT_TRUE(archive.open());
  archive.write(reinterpret_cast<const char*>(record.data()), static_cast<qint64>(record.size()));
  archive.flush();
  SimDevices sim;
  sim.SetFirmwareId(TX, 0x201);  // an older build than the archive's
  sim.SetAnswerDelay(std::chrono::milliseconds(20));  // a slow device: the update takes seconds
  sim.Start();
  // Once the transmitter is connected, the user starts the update in the firmware window; Exit
  // once the image is on its way.
  QTimer::singleShot(0, [&] {
    MainWindow* window = Window();
    if (!window) return QCoreApplication::exit(1);
    QObject::connect(window->TxStatus(), &TargetStatus::ConnectionChanged, window, [&, window] {
      if (sim.OtaRequests(TX).size() > 0 || !window->TxStatus()->IsConnected()) return;
      window->findChild<QAction*>("actionFirmware_Update")->trigger();
      QTest::keyClicks(window->OtaDialog()->findChild<QLineEdit*>("fw_image_edit"),
                       archive.fileName());
      QTest::mouseClick(window->OtaDialog()->findChild<QPushButton*>("update_button"),
                        Qt::LeftButton);
    });
    auto* poll = new QTimer(window);
    QObject::connect(poll, &QTimer::timeout, [&, window] {
      if (sim.OtaRequests(TX).size() > 2) Exit(window);
    });
    poll->start(10);
  });
  EXPECT_EQ(Run({"-a", sim.LinkText()}), 0);
  EXPECT_TRUE(exit_clock_.isValid());
  EXPECT_LT(exit_clock_.elapsed(), 2000);
}

}  // namespace
