// Throughput of the link's byte road: CRC-32, SLIP framing and SLIP decoding, for 52-byte
// bodies (the largest packet), in bytes per second of body.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "korvane/messages.h"
#include "kovra/crc.h"
#include "kovra/message_router.h"
#include "kovra/slip.h"
#include "kovra/stream.h"

namespace {

std::vector<uint8_t> RandomBody(size_t n) {
  std::mt19937 rng(7);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Counts bytes and units; does nothing else, so the figures are the framing's own.
class CountingSink : public StreamSink {
 public:
  bool Write(uint8_t) override { ++bytes; return true; }
  bool Sync() override { ++units; return true; }
  bool Flush() override { return true; }
  size_t bytes = 0, units = 0;
};

// The SLIP frame of a body.
std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& body) {
  struct Collect : StreamSink {
    std::vector<uint8_t> out;
    bool Write(uint8_t b) override {
      out.push_back(b);
      return true;
    }
    bool Sync() override { return true; }
    bool Flush() override { return true; }
  } c;
  SlipWriter w(c);
  for (uint8_t b : body) w.Write(b);
  w.Sync();
  return c.out;
}

void BM_Crc32(benchmark::State& state) {
  auto body = RandomBody(52);
  for (auto _ : state) benchmark::DoNotOptimize(crc32(body.data(), body.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * 52);
}
BENCHMARK(BM_Crc32);

void BM_SlipWriter(benchmark::State& state) {
  auto body = RandomBody(52);
  CountingSink sink;
  for (auto _ : state) {
    SlipWriter w(sink);
    for (uint8_t b : body) w.Write(b);
    w.Sync();
  }
  benchmark::DoNotOptimize(sink.bytes);
  state.SetBytesProcessed(int64_t(state.iterations()) * 52);
}
BENCHMARK(BM_SlipWriter);

void BM_SlipReader(benchmark::State& state) {
  auto body = RandomBody(52);
  const std::vector<uint8_t> frame = FrameOf(body);
  CountingSink sink;
  SlipReader r(sink);
  for (auto _ : state) {
    for (uint8_t b : frame) r.Write(b);
  }
  if (sink.units != static_cast<size_t>(state.iterations())) state.SkipWithError("frames lost");
  state.SetBytesProcessed(int64_t(state.iterations()) * 52);
}
BENCHMARK(BM_SlipReader);

// Whole receiving road for telemetry: raw frame bytes of a TxAdcValues packet through the
// SlipReader, the MessageRouter and the record's deserialize. Items are frames.
void BM_TxAdcFrameDecode(benchmark::State& state) {
  TxAdcValues v;
  v.plvl = 0x1234;
  v.count = 77;
  v.vmon_3v3 = 3.3f;
  v.imon_pa = 1.25f;
  std::vector<uint8_t> body(2 + 47);
  body[0] = 5;
  body[1] = 0x1F;
  serialize(v, body.data() + 2);
  const std::vector<uint8_t> frame = FrameOf(body);

  MessageRouter router;
  uint64_t decoded = 0;
  router.AddCallback(ChannelDescriptor::TX_ADC_VALUES,
                     [&decoded](const PacketHeader&, const std::vector<uint8_t>& data) {
                       TxAdcValues out;
                       deserialize(data.data(), &out);
                       decoded += out.count;
                     });
  SlipReader reader(router);
  for (auto _ : state) {
    for (uint8_t b : frame) reader.Write(b);
  }
  if (decoded != 77u * static_cast<uint64_t>(state.iterations())) state.SkipWithError("lost");
  state.SetItemsProcessed(state.iterations());
  state.counters["frame_bytes"] = static_cast<double>(frame.size());
}
BENCHMARK(BM_TxAdcFrameDecode);

}  // namespace

BENCHMARK_MAIN();
