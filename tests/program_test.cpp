// korvane_gui as a user runs it: its command line, and the headless command against the
// simulated devices over TCP loopback.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include <QProcess>

#include "sim/sim_devices.h"

namespace {

// The program; with closed_output, its standard output is a pipe whose reader has gone, as after
// `korvane_gui ... | head` has ended, and SIGPIPE has its default action, as a shell leaves it.
class GuiProcess : public QProcess {
 public:
  explicit GuiProcess(bool closed_output) : closed_output_(closed_output) {}

 protected:
  // In the child, after the channels are set up and before the program starts.
  void setupChildProcess() override {
    if (!closed_output_) return;
    int out[2];
    if (pipe(out) == 0) {
      ::close(out[0]);
      dup2(out[1], STDOUT_FILENO);
      ::close(out[1]);
    }
    signal(SIGPIPE, SIG_DFL);
  }

 private:
  const bool closed_output_;
};

// The exit status as a shell shows it: 128 plus its number for a program that a signal ended.
int Status(const QProcess& process) {
  return process.exitCode() + (process.exitStatus() == QProcess::NormalExit ? 0 : 128);
}

// Runs the program; returns its exit status, with what it wrote.
int RunGui(const QStringList& args, std::string* out, std::string* err,
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
           bool closed_output = false) {
  GuiProcess process(closed_output);
  process.setProcessEnvironment(env);
  process.start(KORVANE_GUI, args);
  EXPECT_TRUE(process.waitForFinished(60000)) << args.join(' ').toStdString();
  *out = process.readAllStandardOutput().toStdString();
  *err = process.readAllStandardError().toStdString();
  return Status(process);
}

TEST(CommandLine, HelpVersionAndErrorsEndBeforeAnythingStarts) {
  std::string usage, out, err;
  EXPECT_EQ(RunGui({"-h"}, &usage, &err), 0);
  EXPECT_EQ(usage.size(), 967u + 1);  // the usage text and a line feed
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 20);
  EXPECT_EQ(usage.rfind("Korvane Control Panel\n\n    Usage: korvane_gui [-h | --help]\n", 0), 0u);
  // Errors: the parser's message on standard error, the usage text on standard output. Nothing
  // is logged: the logger does not exist yet. With standard output on a pipe whose reader has
  // gone (closed), what it cannot write is dropped and the status is the same.
  const struct {
    QStringList args;
    int status;
    std::string out, err;
    bool closed = false;
  } cases[] = {
      {{"--help", "-a", "127.0.0.1:1", "-c", "txon"}, 0, usage, ""},
      {{"--version"}, 0, "Korvane GUI\n", ""},
      {{"--serial-port"}, 255, "\n" + usage, "--serial-port requires an argument"},
      {{"-a", "127.0.0.1:1", "--bogus"}, 255, "\n" + usage, "--bogus"},
      {{"-platform", "offscreen"}, 255, "\n" + usage, "-platform"},
      {{"-h"}, 0, "", "", true},
      {{"--bogus"}, 255, "", "--bogus", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    EXPECT_EQ(RunGui(c.args, &out, &err, QProcessEnvironment::systemEnvironment(), c.closed),
              c.status);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(err.empty(), c.err.empty()) << err;
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
  }
}

TEST(Headless, SetsTheTransmittersChargingSwitchAndEnds) {
  const ParamId charging = static_cast<ParamId>(60);
  const struct {
    std::string command, fault;
    uint32_t before;
    int status;
    std::string line;
    uint32_t after;
    bool closed = false;  // standard output on a pipe whose reader has gone
  } cases[] = {
      {"txon", "", 0, 0, "Parameter Updated Successfully", 1},
      {"txoff", "", 1, 0, "Parameter Updated Successfully", 0},
      {"txon", "refuse", 0, 1, "Parameter Update Failed", 0},
      {"TXON", "", 0, 1, "Invalid headless command", 0},
      {"txon", "silent", 0, 1, "ParameterModel::setData - parameter service threw an exception: "
                               "Parameter request timed out", 0},
      {"txon", "", 0, 0, "", 1, true},
      {"txoff", "", 1, 0, "", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " " + c.fault + (c.closed ? " closed" : ""));
    SimDevices sim;
    sim.SetValue(TX, charging, c.before);
    sim.SetStatusZero(TX, charging, c.fault == "refuse");
    sim.SetSilent(TX, c.fault == "silent");
    sim.Start();
    std::string out, err;
    EXPECT_EQ(RunGui({"-a", QString::fromStdString(sim.LinkText()), "-c",
                      QString::fromStdString(c.command)}, &out, &err,
                     QProcessEnvironment::systemEnvironment(), c.closed), c.status) << out << err;
    EXPECT_EQ(err.find("LOG ERROR"), std::string::npos) << err;  // no complaint per lost line
    uint32_t value = 99;
    EXPECT_TRUE(sim.GetValue(TX, charging, &value) && value == c.after) << value;
    if (c.closed) continue;
    EXPECT_TRUE(std::regex_search(out, std::regex("^\\[[^\\n]*\\] Korvane Host Control Panel\\n"
                                                  "\\[[^\\n]*\\] Build Hash: [0-9a-f]{40}\\n")))
        << out;
    EXPECT_NE(out.find("] " + c.line + "\n"), std::string::npos) << out;
    const bool valid = c.command == "txon" || c.command == "txoff";
    const std::string attempt = "] Attempting headless command: " + c.command + "\n";
    EXPECT_EQ(out.find(attempt) != std::string::npos, valid);
    EXPECT_EQ(sim.ParameterRequests(TX).empty(), !valid);  // nothing sent for an invalid command
    EXPECT_TRUE(sim.ParameterRequests(RX).empty());
  }
}

// With standard output on a pipe whose reader has gone, the window goes on.
TEST(ClosedOutput, TheWindowLivesOnWhileDeviceLinesArrive) {
  SimConfig config;
  config.telemetry_hz = 100;
  config.log_rate = 1000;
  config.log_errors = true;  // debug, info, warning and error lines
  SimDevices sim(config);
  sim.Start();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  GuiProcess window(true);
  window.setProcessEnvironment(env);
  window.start(KORVANE_GUI, {"-a", QString::fromStdString(sim.LinkText())});
  // Each device is read once the window has said on the console that it connected, while the
  // device lines go to the console as they come.
  const auto limit = std::chrono::seconds(20);
  EXPECT_TRUE(sim.WaitForHost(limit) && sim.WaitForParameterRequests(TX, 1, limit) &&
              sim.WaitForParameterRequests(RX, 1, limit) &&
              sim.WaitForTelemetry(TX, sim.TelemetrySent(TX) + 50, limit) && sim.HostConnected());
  EXPECT_FALSE(window.waitForFinished(0)) << "ended with status " << Status(window);
  // Nothing ends the window from outside but a signal.
  window.terminate();
  EXPECT_TRUE(window.waitForFinished(20000));
  EXPECT_EQ(Status(window), 128 + SIGTERM);
  const std::string err = window.readAllStandardError().toStdString();
  EXPECT_EQ(err.find("LOG ERROR"), std::string::npos) << err;
}

// As from a service, cron or ssh: no display and no Qt platform chosen.
TEST(Headless, RunsWithoutADisplay) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  SimDevices sim;
  sim.Start();
  std::string out, err;
  // A link that does not open cannot be chosen anew without a screen: the command fails.
  EXPECT_EQ(RunGui({"-a", "nowhere", "-c", "txon"}, &out, &err, env), 1) << out << err;
  EXPECT_NE(out.find("] No display to ask for another link"), std::string::npos) << out;
  EXPECT_EQ(RunGui({"-a", QString::fromStdString(sim.LinkText()), "-c", "txon"}, &out, &err, env),
            0) << out << err;
  uint32_t value = 99;
  EXPECT_TRUE(sim.GetValue(TX, static_cast<ParamId>(60), &value) && value == 1) << value;
}

}  // namespace
