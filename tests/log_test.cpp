// The console logger when start-up registered "console" before anyone asked for it.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "kovra/log.h"

namespace {

std::ostringstream g_out;
std::shared_ptr<spdlog::logger> g_registered;

// Plays start-up: registers "console" before any test calls kovra::GetLog().
class RegisterConsole : public ::testing::Environment {
 public:
  void SetUp() override {
    g_registered = spdlog::get("console");
    if (!g_registered) {
      auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(g_out);
      g_registered = std::make_shared<spdlog::logger>("console", sink);
      spdlog::register_logger(g_registered);
    }
  }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new RegisterConsole);

TEST(ConsoleLog, ExistingConsoleIsReusedSilently) {
  auto log = kovra::GetLog();
  ASSERT_TRUE(log);
  EXPECT_EQ(log.get(), g_registered.get());
  EXPECT_EQ(log.get(), spdlog::get("console").get());
  EXPECT_EQ(log->sinks().size(), 1u);  // nothing was added to it
  EXPECT_EQ(g_out.str(), "");          // and nothing was logged: no "Using default console"
  EXPECT_EQ(kovra::GetLog().get(), log.get());
}

TEST(ConsoleLog, SameLoggerFromEveryThread) {
  std::vector<spdlog::logger*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = kovra::GetLog().get(); });
  }
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, g_registered.get());
  EXPECT_EQ(g_out.str().find("Using default console"), std::string::npos);
}

TEST(ConsoleLog, LinesReachTheRegisteredLogger) {
  g_out.str("");
  kovra::GetLog()->info("Build Hash: {}", 42);
  kovra::GetLog()->flush();
  EXPECT_NE(g_out.str().find("Build Hash: 42"), std::string::npos);
}

}  // namespace
