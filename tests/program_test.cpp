// The korvane_gui program as a user runs it: its command line, and the headless txon/txoff
// command against the simulated devices over TCP loopback.
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include "sim/sim_devices.h"

using namespace std::chrono_literals;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome RunGui(const QStringList& args) {
  QProcess process;
  process.start(KORVANE_GUI, args);
  EXPECT_TRUE(process.waitForFinished(60000)) << args.join(' ').toStdString();
  Outcome run;
  run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = process.readAllStandardOutput().toStdString();
  run.err = process.readAllStandardError().toStdString();
  return run;
}

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

TEST(CommandLine, HelpVersionAndErrorsEndBeforeAnythingStarts) {
  const Outcome help = RunGui({"-h"});
  EXPECT_EQ(help.status, 0);
  ASSERT_EQ(help.out.size(), 967u + 1) << help.out;  // the usage text and a line feed
  EXPECT_EQ(std::count(help.out.begin(), help.out.end(), '\n'), 20);
  EXPECT_EQ(help.out.rfind("Korvane Control Panel\n\n    Usage: korvane_gui [-h | --help]\n", 0),
            0u);
  EXPECT_TRUE(Contains(help.out, "\n                                        Commands: txon, txoff\n  \n"));

  struct Case {
    QStringList args;
    int status;
    std::string out;  // exactly: an error puts a line feed before the usage text
    std::string err;  // contained
  };
  const Case cases[] = {
      {{"--help", "-a", "127.0.0.1:1", "-c", "txon"}, 0, help.out, ""},
      {{"--version"}, 0, "Korvane GUI\n", ""},
      {{"--serial-port"}, 255, "\n" + help.out, "--serial-port requires an argument"},
      {{"-a", "127.0.0.1:1", "--bogus"}, 255, "\n" + help.out, "--bogus"},
      {{"-platform", "offscreen"}, 255, "\n" + help.out, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Outcome run = RunGui(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
    EXPECT_EQ(run.status == 255, !run.err.empty()) << run.err;
  }
}

TEST(Headless, SetsTheTransmittersChargingSwitchAndEnds) {
  const ParamId kCharging = static_cast<ParamId>(60);
  struct Case {
    const char* command;
    uint32_t before;
    const char* fault;  // "", "refuse" or "silent"
    int status;
    std::string line;  // logged
    uint32_t after;
  };
  const Case cases[] = {
      {"txon", 0, "", 0, "Parameter Updated Successfully", 1},
      {"txoff", 1, "", 0, "Parameter Updated Successfully", 0},
      {"txon", 0, "refuse", 1, "Parameter Update Failed", 0},
      {"TXON", 0, "", 1, "Invalid headless command", 0},
      {"txon", 0, "silent", 1,
       "ParameterModel::setData - parameter service threw an exception: Parameter request timed out",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.fault);
    SimConfig config;
    config.log_period = 0ms;
    SimDevices sim(config);
    sim.SetValue(TX, kCharging, c.before);
    sim.SetStatusZero(TX, kCharging, std::string(c.fault) == "refuse");
    sim.SetSilent(TX, std::string(c.fault) == "silent");
    sim.Start();

    const Outcome run = RunGui({"--network-address", QString::fromStdString(sim.LinkText()),
                            "--command", c.command});
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    // The first two lines name the program and its build.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("^\\[[^\\n]*\\] Korvane Host Control Panel\\n"
                                                      "\\[[^\\n]*\\] Build Hash: [0-9a-f]{40}\\n")))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "] " + c.line + "\n")) << run.out;
    const bool valid = std::string(c.command) == "txon" || std::string(c.command) == "txoff";
    EXPECT_EQ(Contains(run.out, std::string("Attempting headless command: ") + c.command), valid);
    EXPECT_EQ(sim.ParameterRequests(TX).empty(), !valid);
    EXPECT_TRUE(sim.ParameterRequests(RX).empty());
    uint32_t value = 99;
    EXPECT_TRUE(sim.GetValue(TX, kCharging, &value));
    EXPECT_EQ(value, c.after);
  }
}

}  // namespace
