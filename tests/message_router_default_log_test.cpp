// A MessageRouter built while no "console" logger is registered: it makes the console logger
// itself. Kept apart from the other router tests: the first lookup decides once per process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "kovra/log.h"
#include "support/stdout_capture.h"
#include "kovra/message_router.h"

namespace {

TEST(MessageRouterDefaultLog, RouterCreatesConsoleAndAnnouncesOnce) {
  ASSERT_EQ(spdlog::get("console"), nullptr) << "something registered \"console\" already";

  const std::string out = CaptureStdout([] {
    MessageRouter first;
    MessageRouter second;  // finds the logger the first one made
    kovra::GetLog();
  });
  EXPECT_EQ(CountOccurrences(out, "Using default console"), 1u) << out;
  EXPECT_NE(out.find("[console]"), std::string::npos) << out;

  auto log = spdlog::get("console");
  ASSERT_TRUE(log);
  EXPECT_EQ(kovra::GetLog().get(), log.get());
  EXPECT_EQ(log->level(), spdlog::level::info);

  // The router logs through that logger: its hex dump shows there at debug level.
  std::ostringstream captured;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(captured);
  log->sinks().push_back(sink);
  log->set_level(spdlog::level::debug);
  MessageRouter router;
  const std::string printed = CaptureStdout([&] {
    for (uint8_t b : {0x07, 0xF1, 0x0A}) router.Write(b);
    router.Sync();
  });
  log->set_level(spdlog::level::info);
  log->sinks().pop_back();
  EXPECT_NE(captured.str().find("RX: 07 f1 0a \n"), std::string::npos) << captured.str();
  EXPECT_EQ(CountOccurrences(printed, "Using default console"), 0u) << printed;
}

}  // namespace
