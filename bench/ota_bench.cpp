// Firmware transfer throughput against the simulated devices over TCP loopback: a 1 MiB image
// body sent chunk by chunk with OtaService::SendImageData, beside a bare ping-pong of the same
// number of 38-byte requests and 6-byte replies on the same link (the floor of any stop-and-wait
// protocol). Throughput is in body bytes per second; the ping-pong counts 32 body bytes per
// exchange, as a chunk carries.
// BM_UpdateFromFileOfZeros runs whole updates (OtaService::Start to the completion callback) from
// a sparse file of zeros of the given size in MiB, such as a disk image picked by mistake: the
// time until the update is refused and the growth of the process's peak resident set size.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <spdlog/sinks/null_sink.h>

#include "kovra/log.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "sim/sim_devices.h"
#include "support/io_link.h"

namespace {

constexpr unsigned int kBodySize = 1024 * 1024;
constexpr unsigned int kChunks = kBodySize / 32;

// The simulated devices, a link to them and an update service on it.
struct Rig {
  Rig() {
    SimConfig config;
    config.telemetry_hz = 0;
    config.log_period = std::chrono::milliseconds(0);
    sim = std::make_unique<SimDevices>(config);
    sim->Start();
    link = std::make_unique<IoLink>(sim->LinkText());
    ota = std::make_unique<OtaService>(link->CreateSink());
    tx = std::make_unique<ParameterService>(TX, link->CreateSink(), link->Router(), "?? Params");
    rx = std::make_unique<ParameterService>(RX, link->CreateSink(), link->Router(), "?? Params");
    ping_sink = link->CreateSink();
    link->Router().AddCallback(ChannelDescriptor::OTA_CONTROL,
                               [this](const PacketHeader& h, const std::vector<uint8_t>& d) {
                                 if (ping_mode) {
                                   std::lock_guard<std::mutex> lock(mutex);
                                   ++pongs;
                                   cv.notify_one();
                                 } else {
                                   ota->HandleControlPacket(h, d);
                                 }
                               });
    link->Start();
  }
  ~Rig() {
    link->Stop();
    ota.reset();
    ParameterService::rpc_->Stop();
    tx.reset();
    rx.reset();
    ParameterService::rpc_.reset();
    ping_sink.reset();
    link.reset();
  }

  std::unique_ptr<SimDevices> sim;
  std::unique_ptr<IoLink> link;
  std::unique_ptr<OtaService> ota;
  std::unique_ptr<ParameterService> tx;
  std::unique_ptr<ParameterService> rx;
  std::unique_ptr<PacketSink> ping_sink;
  std::atomic<bool> ping_mode{false};
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t pongs = 0;
};

Rig& TheRig() {
  static Rig* rig = new Rig;  // lives until exit; the link needs the application object
  return *rig;
}

std::vector<uint8_t> Body() {
  std::mt19937 rng(11);
  std::vector<uint8_t> body(kBodySize);
  for (auto& b : body) b = static_cast<uint8_t>(rng());
  return body;
}

OtaControlBlock BlockFor(unsigned int size) {
  uint8_t bytes[32] = {0x02, 0x02};  // firmware id 0x202, as the simulator reads it
  for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(size >> (8 * i));
  return OtaControlBlock::FromBytes(bytes);
}

// Routes the console logger's lines to a null sink at the given level while alive, so the
// per-reply info line is either skipped (warn) or formatted and dropped (info).
class QuietLog {
 public:
  explicit QuietLog(spdlog::level::level_enum level)
      : log_(kovra::GetLog()), sinks_(log_->sinks()), level_(log_->level()) {
    log_->sinks() = {std::make_shared<spdlog::sinks::null_sink_mt>()};
    log_->set_level(level);
  }
  ~QuietLog() {
    log_->sinks() = sinks_;
    log_->set_level(level_);
  }

 private:
  std::shared_ptr<spdlog::logger> log_;
  std::vector<spdlog::sink_ptr> sinks_;
  spdlog::level::level_enum level_;
};

void Transfer(benchmark::State& state, spdlog::level::level_enum level) {
  Rig& rig = TheRig();
  QuietLog quiet(level);
  rig.ping_mode = false;
  const auto body = Body();
  const OtaControlBlock block = BlockFor(kBodySize);
  for (auto _ : state) {
    state.PauseTiming();
    rig.sim->ClearRecords();
    if (!rig.ota->SendInitPacket(block, TX, 8000, 10)) state.SkipWithError("BeginUpdate failed");
    state.ResumeTiming();
    if (!rig.ota->SendImageData(body.data(), kBodySize, TX, 50, 1000)) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBodySize);
  state.counters["KB/s"] = benchmark::Counter(double(state.iterations()) * kBodySize / 1024.0,
                                              benchmark::Counter::kIsRate);
}

void BM_OtaTransfer1MiB(benchmark::State& state) { Transfer(state, spdlog::level::warn); }
BENCHMARK(BM_OtaTransfer1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_OtaTransfer1MiBWithReplyLog(benchmark::State& state) {
  Transfer(state, spdlog::level::info);
}
BENCHMARK(BM_OtaTransfer1MiBWithReplyLog)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

// The same number of exchanges with nothing but the round trip: send a 38-byte request, wait
// for the 6-byte reply.
void BM_PingPong(benchmark::State& state) {
  Rig& rig = TheRig();
  QuietLog quiet(spdlog::level::warn);
  rig.ping_mode = true;
  OtaDataPacket query;
  query.type = OtaRequestType::QueryFirmwareId;
  for (auto _ : state) {
    state.PauseTiming();
    rig.sim->ClearRecords();
    state.ResumeTiming();
    for (unsigned int i = 0; i < kChunks; ++i) {
      std::unique_lock<std::mutex> lock(rig.mutex);
      const uint64_t target = rig.pongs + 1;
      rig.ping_sink->SendPacket<ChannelDescriptor::OTA_DATA>(TX, query);
      if (!rig.cv.wait_for(lock, std::chrono::seconds(5), [&] { return rig.pongs >= target; })) {
        state.SkipWithError("no reply");
        break;
      }
    }
  }
  rig.ping_mode = false;
  state.SetBytesProcessed(int64_t(state.iterations()) * kBodySize);
  state.counters["KB/s"] = benchmark::Counter(double(state.iterations()) * kBodySize / 1024.0,
                                              benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PingPong)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Peak resident set size of the process in KiB (VmHWM); -1 when unknown.
long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

void BM_UpdateFromFileOfZeros(benchmark::State& state) {
  Rig& rig = TheRig();
  QuietLog quiet(spdlog::level::info);
  QTemporaryDir dir;  // removes the file when the benchmark ends
  const std::string path = dir.filePath("zeros.img").toStdString();
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(state.range(0)) << 20) != 0) {
    if (fd >= 0) ::close(fd);
    state.SkipWithError("cannot make the sparse file");
    return;
  }
  ::close(fd);
  // Lowers the peak to the present size, so that earlier benchmarks do not hide the growth.
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = PeakRssKiB();
  bool refused = true;
  for (auto _ : state) {
    // The update thread's copy of the callback keeps the promise alive while it is set.
    auto done = std::make_shared<std::promise<bool>>();
    auto result = done->get_future();
    rig.ota->Start(*rig.rx, *rig.tx, std::string(path), [done](bool ok) { done->set_value(ok); });
    refused = !result.get() && refused;
  }
  state.counters["peak_RSS_growth_MiB"] = double(PeakRssKiB() - before) / 1024.0;
  if (!refused) state.SkipWithError("the file of zeros was not refused");
}
BENCHMARK(BM_UpdateFromFileOfZeros)
    ->Arg(512)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
