// The console logger when nothing registered "console" before the first kovra::GetLog() call.
// Kept apart from the other logger tests: the first call decides once for the whole process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "kovra/log.h"
#include "support/stdout_capture.h"

namespace {

// Must run first in its process (declared first; ctest runs every case in a process of its own).
TEST(DefaultConsoleLog, FirstCallCreatesAndAnnouncesOnce) {
  ASSERT_EQ(spdlog::get("console"), nullptr) << "something registered \"console\" already";

  std::vector<spdlog::logger*> seen(8, nullptr);
  const std::string out = CaptureStdout([&] {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
      threads.emplace_back([&seen, i] { seen[i] = kovra::GetLog().get(); });
    }
    for (auto& t : threads) t.join();
    kovra::GetLog();
  });

  auto log = kovra::GetLog();
  ASSERT_TRUE(log);
  for (auto* p : seen) EXPECT_EQ(p, log.get());
  EXPECT_EQ(spdlog::get("console").get(), log.get());
  EXPECT_EQ(log->name(), "console");
  EXPECT_EQ(CountOccurrences(out, "Using default console"), 1u) << out;
  EXPECT_NE(out.find("[console]"), std::string::npos) << out;
  EXPECT_NE(out.find("info"), std::string::npos) << out;

  // Colour output on standard output, thread-safe variant, spdlog's default level.
  ASSERT_EQ(log->sinks().size(), 1u);
  EXPECT_NE(std::dynamic_pointer_cast<spdlog::sinks::stdout_color_sink_mt>(log->sinks()[0]),
            nullptr);
  EXPECT_EQ(log->level(), spdlog::level::info);

  // Later calls are silent.
  EXPECT_EQ(CaptureStdout([] { kovra::GetLog(); }), "");
}

TEST(DefaultConsoleLog, DebugLinesAreDroppedInfoLinesPass) {
  auto log = kovra::GetLog();
  std::ostringstream os;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(os);
  log->sinks().push_back(sink);
  const std::string printed = CaptureStdout([&] {
    log->debug("RX: {}", "07 f1 0a ");
    log->info("Korvane Host Control Panel");
  });
  log->sinks().pop_back();
  EXPECT_EQ(os.str().find("RX: "), std::string::npos);
  EXPECT_NE(os.str().find("Korvane Host Control Panel"), std::string::npos);
  EXPECT_EQ(printed.find("RX: "), std::string::npos);
  EXPECT_NE(printed.find("Korvane Host Control Panel"), std::string::npos);
}

}  // namespace
