#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kovra/crc.h"
#include "kovra/memory_buffer.h"
#include "kovra/slip.h"
#include "support/link_frames.h"
#include "support/recording_sink.h"

namespace {

using Bytes = std::vector<uint8_t>;

using link_frames::Frame;

// Feeds bytes to a reader; returns how many Write calls returned false.
int Feed(SlipReader& r, const Bytes& bytes) {
  int refused = 0;
  for (uint8_t b : bytes) refused += r.Write(b) ? 0 : 1;
  return refused;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kBody = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kWire = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x0E, 0x50, 0x3E, 0x33, 0xC0};
const Bytes kEscBody = {0x07, 0xF1, 0xC0, 0xDB};
const Bytes kEscWire = {0x07, 0xF1, 0xDB, 0xDC, 0xDB, 0xDD, 0xE4, 0x7E, 0x59, 0x60, 0xC0};

TEST(SlipWriter, WireExamples) {
  EXPECT_EQ(Frame(kBody), kWire);
  EXPECT_EQ(Frame(kEscBody), kEscWire);
}

TEST(SlipWriter, EscapesEndAndEscInsideTheCrc) {
  // Search a body whose CRC holds both special bytes, and check they are escaped there too.
  for (uint32_t seed = 0; seed < 200000; ++seed) {
    Bytes body = {0x08, 0x1F, static_cast<uint8_t>(seed), static_cast<uint8_t>(seed >> 8),
                  static_cast<uint8_t>(seed >> 16)};
    uint32_t c = crc32(body.data(), body.size());
    bool has_end = false, has_esc = false;
    for (int i = 0; i < 4; ++i) {
      has_end |= static_cast<uint8_t>(c >> (8 * i)) == 0xC0;
      has_esc |= static_cast<uint8_t>(c >> (8 * i)) == 0xDB;
    }
    if (!(has_end && has_esc)) continue;
    Bytes wire = Frame(body);
    Bytes expect = body;
    for (int i = 0; i < 4; ++i) {
      uint8_t b = static_cast<uint8_t>(c >> (8 * i));
      if (b == 0xC0) expect.insert(expect.end(), {0xDB, 0xDC});
      else if (b == 0xDB) expect.insert(expect.end(), {0xDB, 0xDD});
      else expect.push_back(b);
    }
    expect.push_back(0xC0);
    ASSERT_EQ(wire, expect);
    RecordingSink sink;
    SlipReader r(sink);
    EXPECT_EQ(Feed(r, wire), 0);
    ASSERT_EQ(sink.units.size(), 1u);
    EXPECT_EQ(sink.units[0], body);
    return;
  }
  FAIL() << "no body with END and ESC in its CRC found";
}

TEST(SlipWriter, RefusedByteFailsButPairStillWritten) {
  RecordingSink sink;
  sink.refuse_after = 2;  // accepts the header, refuses everything else
  SlipWriter w(sink);
  EXPECT_TRUE(w.Write(0x07));
  EXPECT_TRUE(w.Write(0xF1));
  EXPECT_FALSE(w.Write(0xC0));
  EXPECT_EQ(sink.writes, 4);  // both bytes of the pair were attempted
  EXPECT_FALSE(w.Sync());
  EXPECT_EQ(sink.syncs, 1);   // Sync still reaches the sink
}

TEST(SlipReader, DeliversExamplesAndDelaysFourBytes) {
  RecordingSink sink;
  SlipReader r(sink);
  for (size_t i = 0; i < kWire.size() - 1; ++i) {
    EXPECT_TRUE(r.Write(kWire[i]));
    // Each body byte reaches the sink four bytes after it arrived.
    EXPECT_EQ(sink.current.size(), i + 1 >= 4 ? i + 1 - 4 : 0u);
  }
  EXPECT_FALSE(r.GotFrame());
  EXPECT_TRUE(r.Write(0xC0));
  EXPECT_TRUE(r.GotFrame());
  ASSERT_EQ(sink.units.size(), 1u);
  EXPECT_EQ(sink.units[0], kBody);
  EXPECT_EQ(sink.syncs, 1);
  EXPECT_EQ(sink.flushes, 0);
  EXPECT_TRUE(r.Write(0x07));
  EXPECT_FALSE(r.GotFrame());

  RecordingSink sink2;
  SlipReader r2(sink2);
  EXPECT_EQ(Feed(r2, kEscWire), 0);
  ASSERT_EQ(sink2.units.size(), 1u);
  EXPECT_EQ(sink2.units[0], kEscBody);
}

TEST(SlipReader, SplitAndJoinedFrames) {
  RecordingSink sink;
  SlipReader r(sink);
  // The reader takes one byte per Write, so a frame may arrive in any number of pieces; here
  // three frames follow one another in a single stream.
  Bytes stream = Cat({kWire, kEscWire, kWire});
  EXPECT_EQ(Feed(r, stream), 0);
  ASSERT_EQ(sink.units.size(), 3u);
  EXPECT_EQ(sink.units[0], kBody);
  EXPECT_EQ(sink.units[1], kEscBody);
  EXPECT_EQ(sink.units[2], kBody);
  EXPECT_EQ(sink.syncs, 3);
}

TEST(SlipReader, EmptyFramesAndLeadingEnd) {
  RecordingSink sink;
  SlipReader r(sink);
  EXPECT_FALSE(r.Write(0xC0));  // a leading END is an empty frame
  EXPECT_EQ(sink.flushes, 1);
  EXPECT_EQ(Feed(r, kWire), 0);
  EXPECT_FALSE(r.Write(0xC0));  // END END: the second is an empty frame
  EXPECT_EQ(sink.flushes, 2);
  ASSERT_EQ(sink.units.size(), 1u);
  // Four bytes then END: an empty body is refused.
  EXPECT_EQ(Feed(r, {0x0E, 0x50, 0x3E, 0x33, 0xC0}), 1);
  EXPECT_EQ(sink.units.size(), 1u);
  EXPECT_EQ(Feed(r, kWire), 0);
  EXPECT_EQ(sink.units.size(), 2u);
}

TEST(SlipReader, DamagedByteDropsOnlyThatFrame) {
  RecordingSink sink;
  SlipReader r(sink);
  Bytes bad = kWire;
  bad[4] = 0x3D;
  EXPECT_EQ(Feed(r, Cat({bad, kEscWire})), 1);
  EXPECT_EQ(sink.flushes, 1);
  ASSERT_EQ(sink.units.size(), 1u);
  EXPECT_EQ(sink.units[0], kEscBody);
}

TEST(SlipReader, BadEscapeRecoversAtNextEnd) {
  RecordingSink sink;
  SlipReader r(sink);
  Bytes damaged = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0xDB, 0x01, 0x00, 0x11, 0x22, 0xC0};
  int refused = Feed(r, damaged);
  EXPECT_EQ(refused, 5);  // the bad escape byte, the three after it, and the closing END
  EXPECT_EQ(sink.units.size(), 0u);
  EXPECT_TRUE(sink.current.empty());  // what had reached the sink was flushed
  EXPECT_EQ(Feed(r, kWire), 0);
  ASSERT_EQ(sink.units.size(), 1u);
  EXPECT_EQ(sink.units[0], kBody);

  // ESC END: the END still closes the frame at once.
  EXPECT_EQ(Feed(r, {0x07, 0xF1, 0xDB, 0xC0}), 1);
  EXPECT_EQ(Feed(r, kEscWire), 0);
  ASSERT_EQ(sink.units.size(), 2u);
  EXPECT_EQ(sink.units[1], kEscBody);
}

TEST(SlipReader, RefusingSinkIsFlushedAndFrameDropped) {
  RecordingSink sink;
  sink.refuse_after = 3;
  SlipReader r(sink);
  int refused = Feed(r, kWire);
  EXPECT_GE(refused, 2);
  EXPECT_EQ(sink.units.size(), 0u);
  EXPECT_GE(sink.flushes, 2);  // once at the refusal, once at the failed END
}

TEST(SlipRoundTrip, RandomBodies) {
  std::mt19937 rng(1234);
  RecordingSink sink;
  SlipReader r(sink);
  std::vector<Bytes> sent;
  Bytes stream;
  for (int i = 0; i < 2000; ++i) {
    Bytes body(3 + rng() % 50);
    for (auto& b : body) {
      // Bias towards the special bytes.
      uint32_t k = rng() % 8;
      b = k == 0 ? 0xC0 : k == 1 ? 0xDB : static_cast<uint8_t>(rng());
    }
    sent.push_back(body);
    Bytes f = Frame(body);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  EXPECT_EQ(Feed(r, stream), 0);
  EXPECT_EQ(sink.units, sent);
  EXPECT_EQ(sink.syncs, 2000);
  EXPECT_EQ(sink.flushes, 0);
}

TEST(SlipBuffers, EncodeAndDecode) {
  uint8_t in_data[10];
  std::copy(kBody.begin(), kBody.end(), in_data);
  MemoryBuffer in(in_data, sizeof in_data, sizeof in_data);
  uint8_t out_data[32] = {};
  MemoryBuffer out(out_data, sizeof out_data, 0);
  EXPECT_EQ(SlipEncode(in, &out), 10u);
  EXPECT_EQ(Bytes(out_data, out_data + out.Size()), kWire);

  uint8_t small_data[4];
  MemoryBuffer small(small_data, sizeof small_data, 0);
  EXPECT_EQ(SlipEncode(in, &small), 0u);  // 10 > 4 + 5: refused at once
  EXPECT_EQ(small.Size(), 0u);

  // Decode into a separate buffer, then in place.
  uint8_t body_data[16];
  MemoryBuffer body(body_data, sizeof body_data, 0);
  EXPECT_EQ(SlipDecode(out, &body), kWire.size());
  EXPECT_EQ(Bytes(body_data, body_data + body.Size()), kBody);
  EXPECT_TRUE(body.Synced());

  uint8_t same_data[16];
  std::copy(kEscWire.begin(), kEscWire.end(), same_data);
  MemoryBuffer same(same_data, sizeof same_data, kEscWire.size());
  EXPECT_EQ(SlipDecode(same, &same), kEscWire.size());
  EXPECT_EQ(Bytes(same_data, same_data + same.Size()), kEscBody);

  // No END within the input: nothing decoded, and nothing read past the input's size.
  uint8_t partial_data[16] = {};
  std::copy(kWire.begin(), kWire.end() - 1, partial_data);
  partial_data[14] = 0xC0;  // beyond the stated size
  MemoryBuffer partial(partial_data, sizeof partial_data, kWire.size() - 1);
  uint8_t sink_data[16];
  MemoryBuffer sink(sink_data, sizeof sink_data, 0);
  EXPECT_EQ(SlipDecode(partial, &sink), 0u);
}

TEST(RingBuffer, NewestFirst) {
  RingBuffer<uint32_t, 5> ring;
  EXPECT_EQ(ring[0], 0u);
  for (uint32_t i = 1; i <= 7; ++i) ring.Push(i);
  EXPECT_EQ(ring[0], 7u);
  EXPECT_EQ(ring[4], 3u);
}

}  // namespace
