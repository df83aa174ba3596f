#include <gtest/gtest.h>

#include <vector>

#include "korvane/packet_comms.h"
#include "support/recording_sink.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A packet sink that records the frames handed to it, as the transport sinks do.
class RecordingPacketSink : public PacketSink {
 public:
  bool Write(uint8_t b) override { return rec.Write(b); }
  bool Sync() override { return rec.Sync(); }
  bool Flush() override { return rec.Flush(); }
  RecordingSink rec;
};

Parameter MakeParameter(ParamCmd cmd, ParamStatus status, uint16_t id, uint32_t value) {
  Parameter p;
  p.command = cmd;
  p.status = status;
  p.id = static_cast<ParamId>(id);
  p.value = value;
  return p;
}

TEST(Packet, SendParameterIsTheExampleFrame) {
  RecordingPacketSink sink;
  sink.SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(
      TX, MakeParameter(static_cast<ParamCmd>(2), static_cast<ParamStatus>(5), 60, 0));
  ASSERT_EQ(sink.rec.units.size(), 1u);
  EXPECT_EQ(sink.rec.units[0], (Bytes{0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x0E, 0x50, 0x3E, 0x33, 0xC0}));
  EXPECT_EQ(sink.rec.syncs, 1);
}

TEST(Packet, HeadersCarryHostAddressAndDestination) {
  RecordingPacketSink sink;
  sink.SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(RX, Parameter{});
  OtaDataPacket ota;
  ota.type = OtaRequestType::Reboot;
  sink.SendPacket<ChannelDescriptor::OTA_DATA>(RX, ota);
  ASSERT_EQ(sink.rec.units.size(), 2u);
  EXPECT_EQ(Bytes(sink.rec.units[0].begin(), sink.rec.units[0].begin() + 2), (Bytes{0x07, 0xF2}));
  EXPECT_EQ(Bytes(sink.rec.units[1].begin(), sink.rec.units[1].begin() + 2), (Bytes{0x0A, 0xF2}));
  // 2 + 38 body bytes, 4 CRC bytes (escaped as needed) and END: at most 89 bytes.
  EXPECT_GE(sink.rec.units[1].size(), 45u);
  EXPECT_LE(sink.rec.units[1].size(), 89u);
}

TEST(Packet, HeaderNibbles) {
  PacketHeader h;
  h.addresses = 0x1F;
  EXPECT_EQ(h.GetSource(), TX);
  EXPECT_EQ(h.GetDestination(), PC);
  h.SetSource(RX);
  EXPECT_EQ(h.addresses, 0x2F);
  h.SetDestination(RX_3);
  EXPECT_EQ(h.addresses, 0x24);

  PacketBuffer<50> unfilled(static_cast<PacketMedium>(0), static_cast<PacketMedium>(3));
  EXPECT_EQ(static_cast<uint8_t>(unfilled.Header().channel), 0xFF);
  EXPECT_EQ(unfilled.Header().GetSource(), PC);
}

TEST(Packet, ReadingAcceptsThreeToFiftyTwoBytes) {
  uint8_t body[53];
  for (int i = 0; i < 53; ++i) body[i] = static_cast<uint8_t>(i + 1);
  body[0] = 5;
  body[1] = 0x1F;
  for (size_t n : {size_t(0), size_t(2), size_t(53)}) {
    MemoryBuffer src(body, n, n);
    PacketBuffer<50> p(static_cast<PacketMedium>(0), static_cast<PacketMedium>(3));
    EXPECT_EQ(&(src >> p), &g_empty_buffer) << n;
    EXPECT_EQ(static_cast<uint8_t>(p.Header().channel), 0xFF) << n;
  }
  for (size_t n : {size_t(3), size_t(52)}) {
    MemoryBuffer src(body, n, n);
    PacketBuffer<50> p(static_cast<PacketMedium>(0), static_cast<PacketMedium>(3));
    EXPECT_EQ(&(src >> p), &src);
    EXPECT_EQ(p.Size(), n - 2);
    EXPECT_EQ(p.Header().channel, ChannelDescriptor::TX_ADC_VALUES);
    EXPECT_EQ(p.Header().GetSource(), TX);
    EXPECT_EQ(p.Data()[n - 3], body[n - 1]);
  }
}

TEST(Packet, WritingStopsAtFirstRefusedByte) {
  PacketBuffer<50> p(ChannelDescriptor::PARAMETER_REQUEST, TX, static_cast<PacketMedium>(3),
                     static_cast<PacketMedium>(0));
  p.Store(Parameter{});
  EXPECT_EQ(p.Size(), 8u);

  RecordingSink refusing;
  refusing.refuse_after = 0;
  EXPECT_EQ(&(refusing << p), static_cast<StreamSink*>(&g_stream_error));
  EXPECT_EQ(refusing.writes, 1);
  EXPECT_EQ(refusing.syncs, 0);

  RecordingSink plain;
  EXPECT_EQ(&(plain << p), static_cast<StreamSink*>(&plain));
  EXPECT_EQ(plain.writes, 10);
  EXPECT_EQ(plain.syncs, 1);
}

}  // namespace
