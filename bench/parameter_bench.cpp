// Parameter exchanges over TCP loopback against the simulated devices, in one run:
//   BM_ServiceGet               round trips through ParameterService::Get (queue, worker thread,
//                               I/O thread, simulator and back);
//   BM_UpdateParametersList     a full reload of the transmitter's list (1 + N exchanges);
//   BM_LinkPingPong             the same request frame sent straight through a packet sink on the
//                               same link and simulator, the answer awaited in a router callback:
//                               the link's floor without the queue;
//   BM_SocketPingPong           the same request and answer frames between two plain blocking
//                               sockets: the floor of any stop-and-wait exchange on loopback.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "kovra/parameter_service.h"
#include "kovra/slip.h"
#include "sim/sim_devices.h"
#include "support/io_link.h"

namespace {

Parameter GetRequest(ParamId id) {
  Parameter p;
  p.command = GET_PARAMETER;
  p.status = ParamStatus::SUCCESS;
  p.id = id;
  return p;
}

// Collects the bytes of one frame as the services send it.
class ByteSink : public PacketSink {
 public:
  bool Write(uint8_t b) override {
    bytes.push_back(b);
    return true;
  }
  bool Sync() override { return true; }
  bool Flush() override { return true; }
  std::vector<uint8_t> bytes;
};

// The simulated devices, a link wired as the program wires it, both parameter services, and a
// spare sink with a router callback for the bare exchanges.
struct Rig {
  Rig() {
    SimConfig config;
    config.telemetry_hz = 0;
    config.log_period = std::chrono::milliseconds(0);
    sim = std::make_unique<SimDevices>(config);
    sim->Start();
    link = std::make_unique<IoLink>(sim->LinkText());
    tx = std::make_unique<ParameterService>(TX, link->CreateSink(), link->Router(), "?? Params");
    rx = std::make_unique<ParameterService>(RX, link->CreateSink(), link->Router(), "?? Params");
    ping_sink = link->CreateSink();
    link->Router().AddCallback(ChannelDescriptor::PARAMETER_RESPONSE,
                               [this](const PacketHeader&, const std::vector<uint8_t>&) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 ++answers;
                                 cv.notify_one();
                               });
    link->Start();
    tx->Enable(true);
    rx->Enable(true);
  }
  ~Rig() {
    ParameterService::rpc_->Stop();
    tx.reset();
    rx.reset();
    ParameterService::rpc_.reset();
    ping_sink.reset();
    link.reset();
    sim.reset();
  }

  std::unique_ptr<SimDevices> sim;
  std::unique_ptr<IoLink> link;
  std::unique_ptr<ParameterService> tx;
  std::unique_ptr<ParameterService> rx;
  std::unique_ptr<PacketSink> ping_sink;
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t answers = 0;
};

Rig* g_rig = nullptr;

void BM_ServiceGet(benchmark::State& state) {
  std::string text;
  for (auto _ : state) {
    if (!g_rig->tx->Get(static_cast<ParamId>(36), &text)) {
      state.SkipWithError("read refused");
      break;
    }
  }
  state.counters["round_trips/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ServiceGet)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

void BM_UpdateParametersList(benchmark::State& state) {
  const double exchanges = 1.0 + double(g_rig->sim->ParameterIds(TX).size());
  for (auto _ : state) g_rig->tx->UpdateParametersList();
  state.counters["ids"] = double(g_rig->tx->GetParameters().size());
  state.counters["exchanges/s"] =
      benchmark::Counter(double(state.iterations()) * exchanges, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UpdateParametersList)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_LinkPingPong(benchmark::State& state) {
  const Parameter request = GetRequest(static_cast<ParamId>(36));
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(g_rig->mutex);
    const uint64_t target = g_rig->answers + 1;
    g_rig->ping_sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(TX, request);
    if (!g_rig->cv.wait_for(lock, std::chrono::seconds(5),
                            [&] { return g_rig->answers >= target; })) {
      state.SkipWithError("no answer");
      break;
    }
  }
  state.counters["round_trips/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LinkPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// Reads one SLIP frame (up to and including its closing END) from fd.
bool ReadFrame(int fd) {
  bool body = false;
  uint8_t buf[64];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != slip::END) {
        body = true;
      } else if (body) {
        return true;  // the frames are sent one at a time, so nothing follows the END
      }
    }
  }
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void BM_SocketPingPong(benchmark::State& state) {
  ByteSink request_frame;
  request_frame.SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(
      TX, GetRequest(static_cast<ParamId>(36)));
  Parameter answer = GetRequest(static_cast<ParamId>(36));
  answer.value = 25200;
  uint8_t payload[kParameterWireSize];
  serialize(answer, payload);
  const std::vector<uint8_t> answer_frame = SimDevices::DeviceFrame(
      ChannelDescriptor::PARAMETER_RESPONSE, TX, PC, payload, sizeof payload);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listener);
    state.SkipWithError("no listening socket");
    return;
  }
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(client);
    ::close(listener);
    state.SkipWithError("no connection");
    return;
  }
  const int server = ::accept(listener, nullptr, nullptr);
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // The device: answers every request frame with the answer frame until the host hangs up.
  std::thread device([&] {
    while (ReadFrame(server) && WriteAll(server, answer_frame)) {
    }
  });
  for (auto _ : state) {
    if (!WriteAll(client, request_frame.bytes) || !ReadFrame(client)) {
      state.SkipWithError("socket failed");
      break;
    }
  }
  ::shutdown(client, SHUT_RDWR);
  device.join();
  ::close(client);
  ::close(server);
  ::close(listener);
  state.counters["round_trips/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SocketPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    Rig rig;
    g_rig = &rig;
    benchmark::RunSpecifiedBenchmarks();
    g_rig = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
