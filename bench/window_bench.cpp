// The real window (shown, offscreen platform) against the simulated devices in this process,
// over TCP on 127.0.0.1: frames go through the link's I/O thread, SLIP, the router, the window's
// listeners and the queued signals into the MainWindow, wired as start-up wires them. Each
// scenario runs the application's event loop (QApplication::exec) for a fixed time and reports
// what a user would meet:
//
//   BM_ConnectAnswering         from link start, 3 s: both devices answer every request.
//   BM_ConnectSilentReceiver    from link start, 10 s: the receiver sends telemetry but answers
//                               no request. File > Exit is triggered at 3 s.
//   BM_SilentTransmitter        from link start, 10 s: the transmitter sends telemetry (10
//                               records/s) but answers no request. File > Exit at 3 s.
//   BM_LogLines/<lines per s>   once both devices are connected and the window has settled,
//                               the devices send log lines (info, one in eight a warning) at this
//                               rate across both: 10 s at 240/s, 8 s at 2500/s, and a flood at
//                               the simulator's top rate, 100000/s, for 12 s with File > Exit
//                               triggered at 10 s.
//   BM_Telemetry/<pairs per s>  once both devices are connected and the window has settled, with
//                               CSV logging on, the devices send telemetry at this many records
//                               per second each (a pair: one TxAdcValues, one RxAdcValues) for
//                               12 s, with File > Exit triggered at 10 s.
//   BM_WindowAbsorbsTelemetry   throughput of the window's telemetry path alone: TxAdcValues and
//                               RxAdcValues records handed straight to the telemetry listeners on
//                               a thread of the benchmark's own (no link, no router), through the
//                               queued signals into the read-outs, the charger summary's inputs
//                               and one CSV row per pair. items/s counts records (two per pair).
//
// Counters (one iteration each):
//   max_stall_ms   the longest lateness of a 5 ms repeating timer on the GUI thread (its
//                  longest gap minus 5 ms): how long the window did not answer at worst.
//   late_stall_ms  the same, counting only the gaps that end 2 s or more after the start.
//   frozen_s       the sum of the latenesses above 100 ms: how long the window was frozen.
//   held_at_end    1 when the GUI thread was still held when the time was up. The measurement
//                  stops then all the same (the stall so far counts), and the fault is lifted
//                  (the silent device answers again; the log lines stop and those queued for the
//                  window are dropped) only so that the GUI thread comes back and the scenario
//                  can end: max_stall_ms is then a lower bound.
//   exit_s         time from the Exit trigger (3 s, or 10 s in a flood) until
//                  QApplication::exec returned; with exit_capped = 1 it had not returned when
//                  the time was up, and exit_s is the lower bound "time up minus the trigger".
//                  The event loop is entered again afterwards, so the rest of the scenario is
//                  still measured.
//   tx_requests, rx_requests   parameter requests the devices received while measuring (the
//                  label lists them per device: GET/SET/STAGE by id with counts, "count" for
//                  list-length requests, "list" for list-index requests, "commit").
//   tx_shown_s, rx_shown_s  time from link start until the device's first telemetry record had
//                  been drawn (-1: never while measuring).
//   reconnect_warnings  "TX reconnection model update failed" pane warnings (failed attempts).
//   received_per_s device lines the window received (and wrote to the console) per second.
//   left_out       of those, the lines the pane left out because they came faster than it
//                  could draw them (the sum of its "left out" warnings); in BM_Telemetry, the
//                  telemetry records the window left out (the sum of its warnings).
//   sent_per_s, handled_per_s  telemetry records (both devices) the devices sent, and the
//                  window drew, per second; csv_rows the rows written to the CSV log while
//                  measuring; rss_start_mb the resident memory at the start.
//   cpu_per_s      CPU seconds per second of the process without the simulated devices' thread
//                  (sim_cpu_per_s); rss_full_mb the resident memory when the pane first held
//                  MainWindow::kMaxLogEntries entries (0: it never filled), rss_end_mb at the end.
//
// Console lines go to a logger on /dev/null at spdlog's default level (info), so that their
// formatting is paid as in the program, but no terminal write is.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>

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
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Devices, link, services and window, wired as start-up wires them: services and window first,
// every router callback before the I/O thread starts, then the window is shown.
class Rig {
 public:
  explicit Rig(const SimConfig& config, const std::function<void(SimDevices&)>& faults = {}) {
    sim_ = std::make_unique<SimDevices>(config);
    if (faults) faults(*sim_);
    sim_->Start();
    link_ = std::make_unique<IoLink>(sim_->LinkText());
    tx_ = std::make_unique<ParameterService>(TX, link_->CreateSink(), link_->Router(), "?? Params");
    // As at start-up: the second service's sink is never used.
    rx_ = std::make_unique<ParameterService>(RX, link_->CreateSink(), link_->Router(), "?? Params");
    ota_ = std::make_unique<OtaService>(link_->CreateSink());
    window_ = std::make_unique<MainWindow>(link_->CreateSink(), *tx_, *rx_, *ota_, nullptr);
    AddWindowListeners(link_->Router(), *window_);
    OtaService& ota = *ota_;
    link_->Router().AddCallback(
        ChannelDescriptor::OTA_CONTROL,
        [&ota](const PacketHeader& header, const std::vector<uint8_t>& payload) {
          ota.HandleControlPacket(header, payload);
        });
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
  // Starts the link's I/O thread and shows the window.
  void Start() {
    link_->Start();
    window_->show();
  }
  MainWindow& Window() { return *window_; }
  SimDevices& Sim() { return *sim_; }

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

// --- Process figures ---

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU seconds of the simulated devices' thread (named "korvane_sim"), from /proc.
double SimCpuSeconds() {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name != "korvane_sim") continue;
    std::ifstream stat_file(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

double ResidentMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// --- Parameter requests ---

// "GET 34x18 62x18 count x1 list x20": requests by command, GET/SET/STAGE by id.
std::string DescribeRequests(const std::vector<Parameter>& requests) {
  std::map<std::pair<int, int>, int> counts;  // (command, id or -1) -> count
  for (const Parameter& p : requests) {
    const bool by_id = p.command == GET_PARAMETER || p.command == SET_PARAMETER ||
                       p.command == STAGE_PARAMETER;
    ++counts[{p.command, by_id ? static_cast<int>(p.id) : -1}];
  }
  static const char* const kNames[] = {"count", "list", "GET", "SET", "STAGE", "commit"};
  std::ostringstream out;
  int last_command = -1;
  for (const auto& e : counts) {
    const int command = e.first.first;
    if (command != last_command) {
      if (last_command != -1) out << ' ';
      out << (command >= 0 && command <= 5 ? kNames[command] : "cmd?");
      last_command = command;
    }
    out << ' ';
    if (e.first.second >= 0) out << e.first.second;
    out << 'x' << e.second;
  }
  return out.str();
}

int DistinctIds(const std::vector<Parameter>& requests) {
  std::vector<int> ids;
  for (const Parameter& p : requests) {
    if (p.command == GET_PARAMETER) ids.push_back(p.id);
  }
  std::sort(ids.begin(), ids.end());
  return static_cast<int>(std::unique(ids.begin(), ids.end()) - ids.begin());
}

// --- Console lines ---

// Counts what reaches the console: device lines ("[TX] ...", "[RX] ...") and the lines the pane
// left out (the sum of the numbers its "left out" warnings give).
struct ConsoleCount : spdlog::sinks::base_sink<std::mutex> {
  static inline std::atomic<long> device_lines{0};
  static inline std::atomic<long> left_out{0};
  static inline std::atomic<long> records_left_out{0};
  static void Reset() {
    device_lines = 0;
    left_out = 0;
    records_left_out = 0;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.substr(0, 5) == "[TX] " || text.substr(0, 5) == "[RX] ") {
      ++device_lines;
    } else if (text.find("log lines were left out of this pane") != std::string_view::npos) {
      left_out += std::atol(std::string(text.substr(0, text.find(' '))).c_str());
    } else if (text.find(" telemetry record") != std::string_view::npos) {
      records_left_out += std::atol(std::string(text.substr(0, text.find(' '))).c_str());
    }
  }
  void flush_() override {}
};

// --- The measured event loop ---

struct Measure {
  std::chrono::milliseconds length{0};
  std::chrono::milliseconds exit_at{0};          // 0: no Exit
  std::function<void()> begin;                   // GUI thread, when the measurement starts
  std::function<void()> on_tick;                 // GUI thread, on every 5 ms tick
  std::function<void()> at_end;                  // watcher thread, when the time is up
  std::function<void()> release;                 // watcher thread, after at_end
};

struct LoopResult {
  double max_stall_ms = 0;
  double late_stall_ms = 0;
  double frozen_s = 0;
  bool held_at_end = false;
  double exit_s = -1;
  bool exit_capped = false;
};

constexpr int kTimeUp = 97;  // exec's return value when the scenario's time is up

// Runs QApplication::exec until m.length has passed since the start, with a 5 ms timer on the
// GUI thread whose lateness is the stall. A watcher thread ends the measurement when the time is
// up, whether or not the GUI thread is held, then calls m.release.
LoopResult RunMeasured(MainWindow& window, const Measure& m) {
  constexpr int64_t kTickNs = 5'000'000;
  constexpr int64_t kFrozenNs = 100'000'000;
  const auto start = Clock::now();
  const auto deadline = start + m.length;
  auto ns_now = [start] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  };
  constexpr int64_t kLateNs = 2'000'000'000;
  std::atomic<int64_t> last_tick{0}, max_gap{0}, max_late_gap{0}, frozen{0};
  std::atomic<bool> time_up{false};

  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (time_up.load()) return;
    const int64_t now = ns_now();
    const int64_t gap = now - last_tick.load();
    if (gap > max_gap.load()) max_gap.store(gap);
    if (now >= kLateNs && gap > max_late_gap.load()) max_late_gap.store(gap);
    if (gap - kTickNs > kFrozenNs) frozen += gap - kTickNs;
    last_tick.store(now);
    if (m.on_tick) m.on_tick();
  });

  LoopResult result;
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  std::thread watcher([&] {
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait_until(lock, deadline, [&] { return finished; });
    }
    const int64_t open_gap = ns_now() - last_tick.load();
    time_up.store(true);
    result.max_stall_ms = static_cast<double>(std::max(max_gap.load(), open_gap) - kTickNs) / 1e6;
    result.late_stall_ms =
        static_cast<double>(std::max(max_late_gap.load(), open_gap) - kTickNs) / 1e6;
    result.frozen_s =
        static_cast<double>(frozen.load() + (open_gap - kTickNs > kFrozenNs ? open_gap - kTickNs
                                                                             : 0)) / 1e9;
    result.held_at_end = open_gap - kTickNs > kFrozenNs;
    if (m.at_end) m.at_end();
    if (m.release) m.release();
  });

  tick.start();
  QTimer end;
  end.setSingleShot(true);
  end.setTimerType(Qt::PreciseTimer);
  QObject::connect(&end, &QTimer::timeout, [] { QCoreApplication::exit(kTimeUp); });
  end.start(static_cast<int>(m.length.count()));
  if (m.exit_at.count() > 0) {
    QTimer::singleShot(static_cast<int>(m.exit_at.count()), Qt::PreciseTimer,
                       window.Form()->actionE_xit, &QAction::trigger);
  }
  if (m.begin) m.begin();

  Clock::time_point exit_returned{};
  while (true) {
    const int code = QApplication::exec();
    if (code == kTimeUp) break;
    if (exit_returned == Clock::time_point{}) exit_returned = Clock::now();
    if (Clock::now() >= deadline) break;
  }
  tick.stop();
  {
    std::lock_guard<std::mutex> lock(mu);
    finished = true;
  }
  cv.notify_all();
  watcher.join();
  if (m.exit_at.count() > 0) {
    if (exit_returned != Clock::time_point{} && exit_returned <= deadline) {
      result.exit_s = Seconds(exit_returned - (start + m.exit_at));
    } else {
      result.exit_s = Seconds(m.length - m.exit_at);
      result.exit_capped = true;
    }
  }
  return result;
}

void Report(benchmark::State& state, const LoopResult& r) {
  state.counters["max_stall_ms"] = r.max_stall_ms;
  state.counters["late_stall_ms"] = r.late_stall_ms;
  state.counters["frozen_s"] = r.frozen_s;
  state.counters["held_at_end"] = r.held_at_end;
  if (r.exit_s >= 0) {
    state.counters["exit_s"] = r.exit_s;
    state.counters["exit_capped"] = r.exit_capped;
  }
}

SimConfig Devices() {
  SimConfig config;  // telemetry at the default 10 records/s per device
  config.log_period = 0ms;
  return config;
}

// Runs a connect scenario from link start: the stall, the requests and when both devices'
// telemetry was first shown.
void Connect(benchmark::State& state, const std::function<void(SimDevices&)>& faults,
             std::chrono::milliseconds length, std::chrono::milliseconds exit_at,
             const std::function<void(SimDevices&)>& release) {
  Rig rig(Devices(), faults);
  MainWindow& window = rig.Window();
  std::vector<Parameter> tx, rx;
  // First telemetry of each device shown (the signals come once a record has been drawn).
  double tx_shown_s = -1, rx_shown_s = -1;
  QElapsedTimer since_start;
  auto note = [&since_start](double* at) {
    if (*at < 0) *at = static_cast<double>(since_start.nsecsElapsed()) / 1e9;
  };
  QObject::connect(&window, &MainWindow::TxAdcValuesUpdated, &window, [&] { note(&tx_shown_s); });
  QObject::connect(&window, &MainWindow::RxAdcValuesUpdated, &window, [&] { note(&rx_shown_s); });
  Measure m;
  m.length = length;
  m.exit_at = exit_at;
  m.begin = [&] {
    since_start.start();
    rig.Start();
  };
  m.at_end = [&] {
    tx = rig.Sim().ParameterRequests(TX);
    rx = rig.Sim().ParameterRequests(RX);
  };
  if (release) m.release = [&] { release(rig.Sim()); };
  LoopResult r;
  for (auto _ : state) r = RunMeasured(window, m);
  Report(state, r);
  state.counters["tx_shown_s"] = tx_shown_s;
  state.counters["rx_shown_s"] = rx_shown_s;
  state.counters["tx_requests"] = static_cast<double>(tx.size());
  state.counters["rx_requests"] = static_cast<double>(rx.size());
  state.counters["tx_distinct_gets"] = DistinctIds(tx);
  state.counters["rx_distinct_gets"] = DistinctIds(rx);
  state.counters["reconnect_warnings"] =
      window.Form()->log_text->toPlainText().count("TX reconnection model update failed");
  state.SetLabel("TX: " + DescribeRequests(tx) + " | RX: " + DescribeRequests(rx));
}

void BM_ConnectAnswering(benchmark::State& state) { Connect(state, {}, 3000ms, 0ms, {}); }
BENCHMARK(BM_ConnectAnswering)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ConnectSilentReceiver(benchmark::State& state) {
  Connect(
      state, [](SimDevices& s) { s.SetSilent(RX, true); }, 10000ms, 3000ms,
      [](SimDevices& s) { s.SetSilent(RX, false); });
}
BENCHMARK(BM_ConnectSilentReceiver)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_SilentTransmitter(benchmark::State& state) {
  Connect(
      state, [](SimDevices& s) { s.SetSilent(TX, true); }, 10000ms, 3000ms,
      [](SimDevices& s) { s.SetSilent(TX, false); });
}
BENCHMARK(BM_SilentTransmitter)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_LogLines(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const bool flood = rate >= 100000;
  const auto length = flood ? 12000ms : rate >= 1000 ? 8000ms : 10000ms;
  Rig rig(Devices());
  MainWindow& window = rig.Window();
  rig.Start();
  // Connected, and the reads made on connection are over.
  Pump([&] { return window.TxStatus()->IsConnected() && window.RxStatus()->IsConnected(); });
  QElapsedTimer settle;
  settle.start();
  Pump([&] { return settle.elapsed() > 1000; });

  const QTextDocument* pane = window.Form()->log_text->document();
  double cpu_start = 0, sim_cpu_start = 0, cpu = 0, sim_cpu = 0;
  double rss_full = 0, rss_end = 0, full_at_s = -1;
  long received = 0, left_out = 0;
  int entries_end = 0;
  QElapsedTimer since_start;
  Measure m;
  m.length = length;
  if (flood) m.exit_at = length - 2000ms;
  m.begin = [&] {
    cpu_start = ProcessCpuSeconds();
    sim_cpu_start = SimCpuSeconds();
    since_start.start();
    ConsoleCount::Reset();
    rig.Sim().SetLogRate(rate);
  };
  m.on_tick = [&] {
    if (full_at_s < 0 && pane->blockCount() >= MainWindow::kMaxLogEntries) {
      full_at_s = static_cast<double>(since_start.nsecsElapsed()) / 1e9;
      rss_full = ResidentMb();
    }
  };
  m.at_end = [&] {
    cpu = ProcessCpuSeconds() - cpu_start;
    sim_cpu = SimCpuSeconds() - sim_cpu_start;
    rss_end = ResidentMb();
    received = ConsoleCount::device_lines.load();
    left_out = ConsoleCount::left_out.load();
  };
  m.release = [&] { rig.Sim().SetLogRate(0); };
  LoopResult r;
  for (auto _ : state) r = RunMeasured(window, m);
  entries_end = pane->blockCount();
  Report(state, r);
  const double seconds = static_cast<double>(length.count()) / 1000.0;
  state.counters["cpu_per_s"] = (cpu - sim_cpu) / seconds;
  state.counters["sim_cpu_per_s"] = sim_cpu / seconds;
  state.counters["pane_full"] = full_at_s >= 0;
  state.counters["full_at_s"] = full_at_s;
  state.counters["rss_full_mb"] = rss_full;
  state.counters["rss_end_mb"] = rss_end;
  state.counters["pane_entries"] = entries_end;
  state.counters["received_per_s"] = static_cast<double>(received) / seconds;
  state.counters["left_out"] = static_cast<double>(left_out);
}
BENCHMARK(BM_LogLines)->Arg(240)->Arg(2500)->Arg(100000)->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

void BM_Telemetry(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  Rig rig(Devices());
  MainWindow& window = rig.Window();
  QTemporaryDir dir;
  window.Form()->log_dir_edit->setText(dir.path());
  rig.Start();
  Pump([&] { return window.TxStatus()->IsConnected() && window.RxStatus()->IsConnected(); });
  QElapsedTimer settle;
  settle.start();
  Pump([&] { return settle.elapsed() > 1000; });
  window.Form()->log_button->click();

  std::atomic<long> handled{0};
  auto count = [&] { handled.fetch_add(1, std::memory_order_relaxed); };
  QObject::connect(&window, &MainWindow::TxAdcValuesUpdated, &window, count);
  QObject::connect(&window, &MainWindow::RxAdcValuesUpdated, &window, count);
  double cpu_start = 0, sim_cpu_start = 0, cpu = 0, sim_cpu = 0, rss_start = 0, rss_end = 0;
  long sent_start = 0, sent = 0, handled_start = 0, handled_end = 0, left_out = 0;
  auto sent_now = [&] {
    return static_cast<long>(rig.Sim().TelemetrySent(TX) + rig.Sim().TelemetrySent(RX));
  };
  Measure m;
  m.length = 12000ms;
  m.exit_at = 10000ms;
  m.begin = [&] {
    cpu_start = ProcessCpuSeconds();
    sim_cpu_start = SimCpuSeconds();
    rss_start = ResidentMb();
    ConsoleCount::Reset();
    sent_start = sent_now();
    handled_start = handled.load();
    rig.Sim().SetTelemetryRate(rate);
  };
  m.at_end = [&] {
    cpu = ProcessCpuSeconds() - cpu_start;
    sim_cpu = SimCpuSeconds() - sim_cpu_start;
    rss_end = ResidentMb();
    sent = sent_now() - sent_start;
    handled_end = handled.load();
    left_out = ConsoleCount::records_left_out.load();
  };
  m.release = [&] { rig.Sim().SetTelemetryRate(10); };
  LoopResult r;
  for (auto _ : state) r = RunMeasured(window, m);
  window.Form()->log_button->click();
  long rows = -1;  // less the header
  for (const QFileInfo& file : QDir(dir.path()).entryInfoList(QDir::Files)) {
    std::ifstream csv(file.filePath().toStdString());
    rows += std::count(std::istreambuf_iterator<char>(csv), {}, '\n');
  }
  Report(state, r);
  const double seconds = 12.0;
  state.counters["sent_per_s"] = static_cast<double>(sent) / seconds;
  state.counters["handled_per_s"] = static_cast<double>(handled_end - handled_start) / seconds;
  state.counters["left_out"] = static_cast<double>(left_out);
  state.counters["csv_rows"] = static_cast<double>(rows);
  state.counters["cpu_per_s"] = (cpu - sim_cpu) / seconds;
  state.counters["sim_cpu_per_s"] = sim_cpu / seconds;
  state.counters["rss_start_mb"] = rss_start;
  state.counters["rss_end_mb"] = rss_end;
}
BENCHMARK(BM_Telemetry)->Arg(1000)->Arg(10000)->Arg(50000)->Arg(100000)->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

void BM_WindowAbsorbsTelemetry(benchmark::State& state) {
  SimConfig config = Devices();
  config.telemetry_hz = 0;
  Rig rig(config);
  rig.Start();
  MainWindow& window = rig.Window();
  QTemporaryDir dir;
  window.Form()->log_dir_edit->setText(dir.path());
  window.Form()->log_button->click();

  std::atomic<long> shown{0};
  QObject::connect(&window, &MainWindow::RxAdcValuesUpdated, &window, [&] { ++shown; });
  // At most as many records as may wait for the window at a time, so that none is left out.
  constexpr int kBatch = MainWindow::kMaxWaitingRecords / 2;
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

}  // namespace

// Drops the offscreen platform's notice about size hints, printed on every show.
QtMessageHandler standard_messages = nullptr;
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains("propagateSizeHints")) return;
  if (standard_messages) standard_messages(type, context, message);
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  standard_messages = qInstallMessageHandler(QuietMessages);
  // The program's console logger, on /dev/null (see the top of this file).
  auto null_file = std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null");
  spdlog::register_logger(std::make_shared<spdlog::logger>(
      "console", spdlog::sinks_init_list{null_file, std::make_shared<ConsoleCount>()}));
  QApplication app(argc, argv);
  // The window's Exit ends the event loop; the benchmark enters it again.
  QApplication::setQuitOnLastWindowClosed(false);
  MainWindow::RegisterMetaTypes();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
