// The real window, offscreen, against the simulated devices over TCP loopback, in one run:
//   BM_WindowAbsorbsTelemetry  telemetry records the window takes in end to end: a TxAdcValues
//                              and an RxAdcValues record handed to the listeners on another
//                              thread, through the queued signals into the read-outs, the
//                              charger summary's inputs and one CSV row. items/s counts records
//                              (two per pair).
//   BM_EventLoopStall          the longest gap between 1 ms timer ticks on the GUI thread while
//                              both simulated devices send 1000 telemetry records/s each and a
//                              log line every 10 ms (counter max_stall_ms).
// For scale: at 115200 baud the link itself carries about 213 telemetry frames/s.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "main_window.h"
#include "packet_listeners.h"
#include "sim/sim_devices.h"
#include "support/io_link.h"
#include "target_status.h"
#include "ui_main_window.h"

namespace {

using namespace std::chrono_literals;

// Devices, link, services and window, wired as start-up wires them.
class Rig {
 public:
  explicit Rig(int telemetry_hz, std::chrono::milliseconds log_period) {
    SimConfig config;
    config.telemetry_hz = telemetry_hz;
    config.log_period = log_period;
    sim_ = std::make_unique<SimDevices>(config);
    sim_->Start();
    link_ = std::make_unique<IoLink>(sim_->LinkText());
    tx_ = std::make_unique<ParameterService>(TX, link_->CreateSink(), link_->Router(), "?? Params");
    rx_ = std::make_unique<ParameterService>(RX, link_->CreateSink(), link_->Router(), "?? Params");
    ota_ = std::make_unique<OtaService>(link_->CreateSink());
    window_ = std::make_unique<MainWindow>(link_->CreateSink(), *tx_, *rx_, *ota_, nullptr);
    AddWindowListeners(link_->Router(), *window_);
    link_->Start();
    sim_->WaitForHost(2000ms);
  }
  ~Rig() {
    link_->Stop();
    ota_.reset();
    window_.reset();
    ParameterService::rpc_->Stop();
    rx_.reset();
    tx_.reset();
    ParameterService::rpc_.reset();
    link_.reset();
  }
  MainWindow& Window() { return *window_; }

 private:
  std::unique_ptr<SimDevices> sim_;
  std::unique_ptr<IoLink> link_;
  std::unique_ptr<ParameterService> tx_, rx_;
  std::unique_ptr<OtaService> ota_;
  std::unique_ptr<MainWindow> window_;
};

void Pump(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void BM_WindowAbsorbsTelemetry(benchmark::State& state) {
  Rig rig(0, 0ms);
  MainWindow& window = rig.Window();
  window.show();
  QTemporaryDir dir;
  window.Form()->log_dir_edit->setText(dir.path());
  window.Form()->log_button->click();

  std::atomic<long> shown{0};
  QObject::connect(&window, &MainWindow::RxAdcValuesUpdated, &window, [&] { ++shown; });
  constexpr int kBatch = 2000;
  std::vector<uint8_t> tx_payload(50, 0), rx_payload(50, 0);
  TxAdcValues tx;
  tx.charge_state = static_cast<ChargeState>(3);
  tx.plvl = 10;
  tx.vmon_pa = 24;
  tx.imon_pa = 2;
  RxAdcValues rx;
  rx.vmon_battery = 24;
  rx.imon_battery = 1.5f;
  serialize(tx, tx_payload.data());
  serialize(rx, rx_payload.data());
  PacketHeader tx_header, rx_header;
  tx_header.SetSource(TX);
  rx_header.SetSource(RX);
  auto feed = [&](int n) {
    AdcListener<TxAdcValues> tx_listener(window);
    AdcListener<RxAdcValues> rx_listener(window);
    for (int i = 0; i < n; ++i) {
      tx_listener(tx_header, tx_payload);
      rx_listener(rx_header, rx_payload);
    }
  };
  // Connect both devices first: the reloads on connection are not part of the steady state.
  std::thread(feed, 1).join();
  Pump([&] { return window.RxStatus()->IsConnected() && shown.load() >= 1; });
  Pump([&] { return window.Form()->config_info->text().size() > 0; });

  long total = 0;
  for (auto _ : state) {
    const long target = shown.load() + kBatch;
    std::thread feeder(feed, kBatch);
    Pump([&] { return shown.load() >= target; });
    feeder.join();
    total += kBatch;
  }
  state.SetItemsProcessed(2 * total);
  window.Form()->log_button->click();
}
BENCHMARK(BM_WindowAbsorbsTelemetry)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EventLoopStall(benchmark::State& state) {
  Rig rig(1000, 10ms);
  MainWindow& window = rig.Window();
  window.show();
  Pump([&] { return window.TxStatus()->IsConnected() && window.RxStatus()->IsConnected(); });
  // Let the connection reloads finish before measuring.
  QElapsedTimer settle;
  settle.start();
  Pump([&] { return settle.elapsed() > 1000; });

  qint64 worst_ns = 0;
  for (auto _ : state) {
    QElapsedTimer since_tick, running;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      worst_ns = std::max(worst_ns, since_tick.nsecsElapsed());
      since_tick.restart();
    });
    since_tick.start();
    running.start();
    tick.start();
    Pump([&] { return running.elapsed() > 3000; });
    tick.stop();
  }
  state.counters["max_stall_ms"] = static_cast<double>(worst_ns) / 1e6;
  window.hide();
}
BENCHMARK(BM_EventLoopStall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  MainWindow::RegisterMetaTypes();
  spdlog::set_level(spdlog::level::warn);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
