#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "kovra/crc.h"
#include "kovra/memory_buffer.h"
#include "kovra/stream.h"
#include "support/recording_sink.h"

namespace {

std::string Text(const RecordingSink& s) { return std::string(s.all_bytes.begin(), s.all_bytes.end()); }

TEST(MemoryBuffer, RefusesBytesBeyondCapacity) {
  MemoryBuffer empty(nullptr, 0, 0);
  EXPECT_FALSE(empty.Write(1));
  EXPECT_EQ(empty.Size(), 0u);

  uint8_t storage[3] = {};
  MemoryBuffer buf(storage, sizeof storage, 0);
  EXPECT_TRUE(buf.Write(1));
  EXPECT_TRUE(buf.Write(2));
  EXPECT_TRUE(buf.Write(3));
  EXPECT_FALSE(buf.Write(4));
  EXPECT_EQ(buf.Size(), 3u);
  EXPECT_EQ(storage[2], 3);
}

TEST(MemoryBuffer, SyncAndFlush) {
  uint8_t storage[4] = {};
  MemoryBuffer buf(storage, sizeof storage, 2);
  EXPECT_FALSE(buf.Synced());
  EXPECT_TRUE(buf.Write(9));
  EXPECT_EQ(storage[2], 9);
  EXPECT_TRUE(buf.Sync());
  EXPECT_TRUE(buf.Synced());
  buf.Flush();
  EXPECT_EQ(buf.Size(), 0u);
  EXPECT_FALSE(buf.Synced());
  EXPECT_TRUE(buf.Write(7));
  EXPECT_EQ(storage[0], 7);
  EXPECT_EQ(g_empty_buffer.Capacity(), 0u);
  EXPECT_EQ(g_empty_buffer.Data(), nullptr);
}

TEST(StreamOperators, DecimalAndText) {
  RecordingSink s;
  s << 0u;
  EXPECT_EQ(Text(s), "0");
  s.all_bytes.clear();
  s << UINT_MAX;
  EXPECT_EQ(Text(s), "4294967295");
  s.all_bytes.clear();
  s << 120 << ' ' << INT_MIN;
  EXPECT_EQ(Text(s), "120 -2147483648");

  RecordingSink t;
  StreamSink& r = t << "ab";
  EXPECT_EQ(&r, &t);
  EXPECT_EQ(t.writes, 2);
  EXPECT_EQ(t.syncs, 0);
}

TEST(StreamOperators, FlushStreamSyncsOnceAndChains) {
  RecordingSink s;
  StreamSink& r = s << FlushStream();
  EXPECT_EQ(&r, &s);
  EXPECT_EQ(s.syncs, 1);
  EXPECT_EQ(s.writes, 0);
}

TEST(Crc, CheckValues) {
  uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32(digits, 9), 0xFC891918u);
  EXPECT_EQ(crc32(digits, 0), 0u);
  EXPECT_EQ(crc16(digits, 9), 0xD64Eu);
  EXPECT_EQ(table32[1], 0x04C11DB7u);
  EXPECT_EQ(table16[1], 0x1021u);
  // The two frame examples of the link.
  uint8_t body[] = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0, 0, 0, 0, 0};
  EXPECT_EQ(crc32(body, sizeof body), 0x333E500Eu);
  uint8_t escaped[] = {0x07, 0xF1, 0xC0, 0xDB};
  EXPECT_EQ(crc32(escaped, sizeof escaped), 0x60597EE4u);
}

TEST(Crc, CalculatorRunsAndResets) {
  uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  CrcCalculator calc(0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, CrcCalculator::CRC32);
  EXPECT_EQ(calc.GetCrc(), 0u);
  for (uint8_t d : digits) calc.Accumulate(d);
  EXPECT_EQ(calc.GetCrc(), 0xFC891918u);
  EXPECT_EQ(calc.GetCrc(), 0xFC891918u);  // reading does not disturb the register

  calc.Reset();
  uint32_t out = 0;
  EXPECT_EQ(calc.Accumulate(nullptr, 9, out, 0), 0x80u);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(calc.GetCrc(), 0u);
  EXPECT_EQ(calc.Accumulate(digits, 4, out, 0), 0u);
  EXPECT_EQ(calc.Accumulate(digits + 4, 5, out, 0), 0u);
  EXPECT_EQ(out, 0xFC891918u);
}

}  // namespace
