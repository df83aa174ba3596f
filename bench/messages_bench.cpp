// Cost of the record codecs, which run for every received packet on the I/O thread, and of the
// typed value conversions behind every parameter read and write.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "korvane/messages.h"
#include "kovra/parameters.h"

namespace {

void BM_TxAdcValuesRoundTrip(benchmark::State& state) {
  TxAdcValues tx;
  tx.plvl = 12;
  tx.vmon_pa = 24.0f;
  uint8_t buf[64];
  for (auto _ : state) {
    serialize(tx, buf);
    benchmark::DoNotOptimize(buf);
    deserialize(buf, &tx);
    benchmark::DoNotOptimize(tx);
  }
}
BENCHMARK(BM_TxAdcValuesRoundTrip);

void BM_ParameterRoundTrip(benchmark::State& state) {
  Parameter p{GET_PARAMETER, ParamStatus::SUCCESS, static_cast<ParamId>(60), 1};
  uint8_t buf[8];
  for (auto _ : state) {
    serialize(p, buf);
    benchmark::DoNotOptimize(buf);
    deserialize(buf, &p);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_ParameterRoundTrip);

void BM_HostParamTextRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    auto param = CreateHostParam(static_cast<ParamId>(15));
    param->Set(std::string("13.56e6"));
    benchmark::DoNotOptimize(param->ToString());
  }
}
BENCHMARK(BM_HostParamTextRoundTrip);

}  // namespace

BENCHMARK_MAIN();
