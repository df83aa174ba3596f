#include <gtest/gtest.h>

#include <spdlog/sinks/ostream_sink.h>

#include <sstream>
#include <vector>

#include "korvane/packet_comms.h"
#include "kovra/log.h"
#include "kovra/message_router.h"
#include "kovra/slip.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Call {
  int who;
  PacketHeader header;
  Bytes payload;
};

void WriteBody(MessageRouter& r, const Bytes& body) {
  for (uint8_t b : body) r.Write(b);
  r.Sync();
}

TEST(MessageRouter, DispatchesByChannelInRegistrationOrder) {
  MessageRouter router;
  std::vector<Call> calls;
  auto record = [&calls](int who) {
    return [&calls, who](const PacketHeader& h, const Bytes& p) { calls.push_back({who, h, p}); };
  };
  router.AddCallback(ChannelDescriptor::PARAMETER_RESPONSE, record(1))
      .AddCallback(ChannelDescriptor::TX_ADC_VALUES, record(5))
      .AddCallback(ChannelDescriptor::PARAMETER_RESPONSE, record(2));

  Bytes tx(49);
  tx[0] = 5;
  tx[1] = 0x1F;
  for (int i = 2; i < 49; ++i) tx[i] = static_cast<uint8_t>(i);
  WriteBody(router, tx);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].who, 5);
  ASSERT_EQ(calls[0].payload.size(), 50u);
  EXPECT_EQ(Bytes(calls[0].payload.begin(), calls[0].payload.begin() + 47),
            Bytes(tx.begin() + 2, tx.end()));
  EXPECT_EQ(calls[0].header.GetSource(), TX);

  calls.clear();
  WriteBody(router, {8, 0x2F, 2, 5, 60, 0, 1, 0, 0, 0});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].who, 1);
  EXPECT_EQ(calls[1].who, 2);
  EXPECT_EQ(calls[0].payload, calls[1].payload);
  EXPECT_EQ(calls[1].header.GetSource(), RX);

  calls.clear();
  WriteBody(router, {3, 0x1F, 1, 2, 3});  // a channel nobody listens to
  WriteBody(router, {8, 0x1F});           // header only
  Bytes too_long(53, 0);
  too_long[0] = 8;
  WriteBody(router, too_long);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(router.Buffered(), 0u);
}

TEST(MessageRouter, FlushDiscardsPartialFrame) {
  MessageRouter router;
  std::vector<Call> calls;
  router.AddCallback(ChannelDescriptor::PARAMETER_RESPONSE,
                     [&](const PacketHeader& h, const Bytes& p) { calls.push_back({0, h, p}); });
  router.Write(8);
  router.Write(0x1F);
  router.Write(0x77);
  router.Flush();
  WriteBody(router, {8, 0x2F, 9});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].payload[0], 9);
  EXPECT_EQ(calls[0].header.GetSource(), RX);
}

TEST(MessageRouter, EndlessBytesStayBoundedAndNextFrameArrives) {
  MessageRouter router;
  SlipReader reader(router);
  int delivered = 0;
  router.AddCallback(ChannelDescriptor::PARAMETER_RESPONSE,
                     [&](const PacketHeader&, const Bytes& p) {
                       ++delivered;
                       EXPECT_EQ(p[2], 60);
                     });
  for (int i = 0; i < 4 * 1024 * 1024; ++i) {
    reader.Write(static_cast<uint8_t>(i % 0xBF));  // never END, never ESC
    ASSERT_LE(router.Buffered(), MessageRouter::kMaxBody + 1);
  }
  // The runaway "frame" ends and fails; then a good frame goes through.
  reader.Write(0xC0);
  const Bytes good = {0x08, 0x1F, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00};
  struct Collect : StreamSink {
    Bytes out;
    bool Write(uint8_t b) override { out.push_back(b); return true; }
    bool Sync() override { return true; }
    bool Flush() override { return true; }
  } c;
  SlipWriter w(c);
  for (uint8_t b : good) w.Write(b);
  w.Sync();
  for (uint8_t b : c.out) reader.Write(b);
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(router.Buffered(), 0u);
}

TEST(MessageRouter, HexDumpOnlyAtDebugLevel) {
  auto log = kovra::GetLog();
  std::ostringstream captured;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(captured);
  log->sinks().push_back(sink);
  const auto old_level = log->level();

  MessageRouter router;
  WriteBody(router, {0x07, 0xF1, 0x0A});
  EXPECT_EQ(captured.str().find("RX:"), std::string::npos);

  log->set_level(spdlog::level::debug);
  sink->set_level(spdlog::level::debug);
  WriteBody(router, {0x07, 0xF1, 0x0A});
  log->flush();
  EXPECT_NE(captured.str().find("RX: 07 f1 0a \n"), std::string::npos) << captured.str();

  log->set_level(old_level);
  log->sinks().pop_back();
}

}  // namespace
