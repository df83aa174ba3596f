#include "sim/sim_devices.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>

#include "kovra/parameters.h"
#include "kovra/slip.h"
#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxHostBody = 52;             // header and 50 payload bytes
constexpr size_t kMaxImage = 2u * 1024 * 1024;  // largest image body a device takes
constexpr size_t kMaxPending = 1u << 20;        // output held for a slow host before dropping
constexpr uint32_t kWrongIdMask = 0x00FF0000;
constexpr int kMaxLogRate = 100000;             // periodic log lines per second, at most
constexpr int kMaxTelemetryRate = 100000;       // telemetry ticks per second, at most

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Bits of the raw value that the id's value type occupies.
uint32_t ValueMask(ParamId id) {
  if (static_cast<unsigned>(id) > 76) return 0xFFFFFFFFu;
  auto p = CreateHostParam(id);
  p->Set(-1);
  p->Set(std::string("0"));  // clears exactly the bytes of the type
  return ~p->GetRaw();
}

class VectorSink : public StreamSink {
 public:
  explicit VectorSink(std::vector<uint8_t>* out) : out_(out) {}
  bool Write(uint8_t b) override {
    out_->push_back(b);
    return true;
  }
  bool Sync() override { return true; }
  bool Flush() override { return true; }

 private:
  std::vector<uint8_t>* out_;
};

// End of the receiving road: collects one frame body and hands it on at Sync.
class BodySink : public StreamSink {
 public:
  std::function<void(const std::vector<uint8_t>&)> on_body;
  std::function<void()> on_bad;

  bool Write(uint8_t b) override {
    if (body_.size() <= kMaxHostBody) body_.push_back(b);  // one byte past the limit marks it
    return true;
  }
  bool Sync() override {
    if (body_.size() > kMaxHostBody) {
      on_bad();
    } else {
      on_body(body_);
    }
    body_.clear();
    return true;
  }
  bool Flush() override {
    body_.clear();
    on_bad();
    return true;
  }

 private:
  std::vector<uint8_t> body_;
};

struct Device {
  Address address{};
  // Parameters.
  std::vector<ParamId> ids;              // in list order
  std::map<ParamId, uint32_t> values;    // current
  std::map<ParamId, uint32_t> saved;     // kept by the last commit
  std::set<ParamId> staged;
  // Firmware.
  uint32_t firmware_id = 0;  // reported now
  uint32_t good_id = 0;      // what it should run after the next reboot
  bool has_installed = false;
  uint32_t installed_id = 0;
  bool begun = false;
  std::vector<uint8_t> control_block = std::vector<uint8_t>(32, 0);
  std::vector<uint8_t> image;
  std::vector<bool> got;
  size_t received = 0;
  uint8_t seq = 0;
  bool rebooting = false;
  Clock::time_point reboot_done;
  int reboots = 0;
  // Faults.
  bool silent = false;
  bool telemetry_stopped = false;
  bool wrong_id = false;
  std::set<ParamId> status_zero;
  std::set<ParamId> get_unanswered;
  std::map<OtaRequestType, std::pair<OtaControlPacket::Type, int>> ota_override;
  // Records.
  std::vector<Parameter> param_requests;
  std::vector<OtaDataPacket> ota_requests;
  uint32_t telemetry_sent = 0;
};

enum class Phase { Off, Ramp, RampUp, ConstCurrent, ConstVoltage, Full };

struct World {
  bool on = false;
  Phase phase = Phase::Off;
  int phase_ticks = 0;
  float v_batt = -1;  // V; set from the voltage limit at the first tick
  float i_batt = 0;
  float eff = 0.8f;
  int plvl = 100;
  float temp = 29.0f;
  uint32_t count = 0;
};

const std::vector<std::pair<ParamId, uint32_t>>& DefaultList(Address a) {
  // Listed in the devices' own (unsorted) order.
  static const std::vector<std::pair<ParamId, uint32_t>> tx = {
      {ParamId(60), 0},           // Enable Charging for Device
      {ParamId(38), 0x3A7C91E5},  // Firmware Build Hash
      {ParamId(3), 1},            // Device Address
      {ParamId(4), 11},           // Radio Channel
      {ParamId(5), 0},            // Manual Mode
      {ParamId(13), 1},           // Enable VICOR and Gate Driver
      {ParamId(14), 0},           // Software Board Reset
      {ParamId(23), 10},          // Power Level
      {ParamId(34), 3000},        // Mobile Rx Maximum Current (mA)
      {ParamId(36), 25200},       // Mobile Rx Voltage Limit (mV)
      {ParamId(41), 0},           // Enable OTA Mode
      {ParamId(45), 0xC0A80132},  // 192.168.1.50
      {ParamId(46), 0xFFFFFF00},  // 255.255.255.0
      {ParamId(47), 0xC0A80101},  // 192.168.1.1
      {ParamId(48), 0x08080808},  // 8.8.8.8
      {ParamId(49), 0},           // DHCP off
      {ParamId(50), 1},           // link local if DHCP fails
      {ParamId(51), 0x0050C2},    // MAC OUI
      {ParamId(52), 0x0A1B2C},    // MAC individual address
      {ParamId(53), 5000},        // TCP server port
      {ParamId(64), 150},         // TX Wireless Power Limit
      {ParamId(67), 0},           // Enable logging to storage
      {ParamId(75), 0},           // Mode for updating another device
  };
  static const std::vector<std::pair<ParamId, uint32_t>> rx = {
      {ParamId(38), 0x5D20B4F1},  // Firmware Build Hash
      {ParamId(3), 2},            // Device Address
      {ParamId(4), 11},           // Radio Channel
      {ParamId(7), 0},            // Target Control
      {ParamId(27), 1},           // RX Battery Connect
      {ParamId(28), 1},           // RX Battery Charger Enable
      {ParamId(34), 3000},        // Mobile Rx Maximum Current (mA)
      {ParamId(35), 3000},        // Mobile Rx Current Limit (mA)
      {ParamId(36), 25200},       // Mobile Rx Voltage Limit (mV)
      {ParamId(37), 18000},       // RX Battery Minimum Voltage (mV)
      {ParamId(41), 0},           // Enable OTA Mode
      {ParamId(61), 0x48},        // I2C Address
      {ParamId(62), 6},           // Number of Battery Cells
      {ParamId(63), 4200},        // Volts Per Battery Cell (mV)
      {ParamId(68), 1},           // Battery Chemistry: Lithium Ion
  };
  return a == TX ? tx : rx;
}

void InstallList(Device* d, const std::vector<std::pair<ParamId, uint32_t>>& list) {
  d->ids.clear();
  d->values.clear();
  d->saved.clear();
  d->staged.clear();
  for (const auto& e : list) {
    d->ids.push_back(e.first);
    d->values[e.first] = e.second;
    d->saved[e.first] = e.second;
  }
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

class SimDevices::Impl {
 public:
  explicit Impl(SimConfig config) : cfg_(config) {
    cfg_.telemetry_hz = std::clamp(cfg_.telemetry_hz, 0, kMaxTelemetryRate);
    cfg_.charge_ticks = std::max(cfg_.charge_ticks, 20);
    cfg_.log_rate = std::clamp(cfg_.log_rate, 0, kMaxLogRate);
    // Separate sequences, so that telemetry, answers and corruption do not shift each other.
    world_rng_.seed(config.seed);
    answer_rng_.seed(config.seed * 2654435761u + 1);
    corrupt_rng_.seed(config.seed * 40503u + 7);
    log_rng_.seed(config.seed * 69069u + 3);
    dev_[0].address = TX;
    dev_[1].address = RX;
    for (auto& d : dev_) {
      InstallList(&d, DefaultList(d.address));
      d.firmware_id = d.good_id = d.address == TX ? 0x202 : 0x101;
    }
    sink_.on_body = [this](const std::vector<uint8_t>& body) { HandleBody(body); };
    sink_.on_bad = [this] { ++bad_frames_; };
    reader_ = std::make_unique<SlipReader>(sink_);
  }

  ~Impl() { Stop(); }

  Device& Dev(Address a) {
    if (a == TX) return dev_[0];
    if (a == RX) return dev_[1];
    throw std::invalid_argument(fmt::format("SimDevices: no device at address {}",
                                            static_cast<unsigned>(a)));
  }
  const Device& Dev(Address a) const { return const_cast<Impl*>(this)->Dev(a); }

  void Start() {
    std::lock_guard<std::mutex> lock(mu_);
    if (thread_.joinable()) return;
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
      throw std::runtime_error("SimDevices: pipe failed");
    }
    try {
      if (cfg_.use_pty) {
        pty_ = std::make_unique<PtyPair>();
        // Without a slave descriptor of its own, the master reports a hang-up while no host
        // has the device open: nothing is sent then, as no bytes would reach a closed port.
        pty_->CloseSlave();
        SetNonBlocking(pty_->MasterFd());
        link_text_ = pty_->SlavePath();
        port_ = 0;
      } else {
        OpenListener();
        link_text_ = fmt::format("127.0.0.1:{}", port_);
      }
    } catch (...) {
      CloseWakePipe();
      throw;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!thread_.joinable()) return;
      stop_ = true;
      Wake();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(mu_);
    CloseClient();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    pty_.reset();
    CloseWakePipe();
    host_connected_ = false;
    cv_.notify_all();
  }

  void CloseWakePipe() {
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  // Ends the device thread's current wait (mu_ held; the pipe never blocks).
  void Wake() {
    const uint8_t b = 1;
    if (wake_[1] >= 0) (void)!::write(wake_[1], &b, 1);
  }

  // --- Sending (mu_ held) ---

  bool LinkReady() const { return pty_ ? host_connected_ : client_fd_ >= 0; }

  // Hands a device frame to the link, with corruption applied. False when no host listens or
  // the host is too far behind.
  bool Emit(std::vector<uint8_t> frame) {
    if (!LinkReady()) return false;
    if (outbuf_.size() > kMaxPending) {
      ++frames_dropped_;
      return false;
    }
    if (corrupt_rate_ > 0) {
      std::uniform_real_distribution<double> u(0.0, 1.0);
      std::uniform_int_distribution<int> flip(1, 255);
      for (auto& b : frame) {
        if (u(corrupt_rng_) < corrupt_rate_) b ^= static_cast<uint8_t>(flip(corrupt_rng_));
      }
    }
    outbuf_.insert(outbuf_.end(), frame.begin(), frame.end());
    return true;
  }

  template <typename T>
  static std::vector<uint8_t> Frame(ChannelDescriptor channel, Address source, const T& record) {
    uint8_t payload[64];
    const size_t n = static_cast<size_t>(serialize(record, payload) - payload);
    return SimDevices::DeviceFrame(channel, source, PC, payload, n);
  }

  template <typename T>
  void Answer(const Device& d, ChannelDescriptor channel, const T& record) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (u(answer_rng_) < drop_p_) return;  // lost on the way
    const auto frame = Frame(channel, d.address, record);
    const int copies = duplicate_ ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      if (answer_delay_.count() > 0) {
        delayed_.emplace(Clock::now() + answer_delay_, frame);
      } else {
        Emit(frame);
      }
    }
  }

  void Log(Address source, uint8_t level, const std::string& text) {
    LogMessage m;
    m.level = level;
    std::memcpy(m.text, text.data(), std::min(text.size(), sizeof(m.text)));
    Emit(Frame(ChannelDescriptor::LOG_MESSAGE, source, m));
  }

  // --- Receiving (mu_ held) ---

  void HandleBody(const std::vector<uint8_t>& body) {
    bodies_.push_back(body);
    cv_.notify_all();
    if (body.size() < 2) return;
    PacketHeader header;
    deserialize(body.data(), &header);
    const unsigned dst = header.GetDestination();
    if (dst != TX && dst != RX) return;
    Device& d = Dev(static_cast<Address>(dst));
    const uint8_t* payload = body.data() + 2;
    const size_t size = body.size() - 2;
    if (header.channel == ChannelDescriptor::PARAMETER_REQUEST && size == kParameterWireSize) {
      Parameter p;
      deserialize(payload, &p);
      d.param_requests.push_back(p);
      if (!d.silent && !d.rebooting) HandleParameter(d, p);
    } else if (header.channel == ChannelDescriptor::OTA_DATA && size == kOtaDataPacketWireSize) {
      OtaDataPacket p;
      deserialize(payload, &p);
      d.ota_requests.push_back(p);
      if (!d.silent && !d.rebooting) HandleOta(d, p);
    }
  }

  void HandleParameter(Device& d, const Parameter& req) {
    if (req.command == GET_PARAMETER && d.get_unanswered.count(req.id) > 0) return;
    Parameter ans = req;
    ans.status = ParamStatus::SUCCESS;
    const bool has = d.values.count(req.id) > 0;
    const bool zero = d.status_zero.count(req.id) > 0;
    bool changed = false;
    bool committed = false;
    auto fail = [&ans](uint32_t value) {
      ans.status = ParamStatus::FAILED;
      ans.value = value;
    };
    switch (req.command) {
      case GET_NUM_PARAMETERS:
        ans.value = static_cast<uint32_t>(d.ids.size());
        break;
      case GET_PARAMETER_ID:
        if (req.id < d.ids.size()) {
          ans.value = d.ids[req.id];
        } else {
          fail(PARAM_ID_NONE);
        }
        break;
      case GET_PARAMETER:
        if (zero || !has) {
          fail(0);
        } else {
          ans.value = d.values[req.id];
        }
        break;
      case SET_PARAMETER:
        if (zero || !has) {
          fail(0);
        } else {
          ans.value = d.values[req.id] = req.value & ValueMask(req.id);
          changed = true;
        }
        break;
      case STAGE_PARAMETER:
        if (zero) {
          fail(0);
        } else if (!has) {
          fail(1);
        } else {
          d.staged.insert(req.id);
          ans.value = 0;
        }
        break;
      case COMMIT_STAGED:
        for (ParamId id : d.staged) d.saved[id] = d.values[id];
        d.staged.clear();
        ans.value = 0;
        committed = true;
        break;
      default:
        fail(0);
        break;
    }
    Answer(d, ChannelDescriptor::PARAMETER_RESPONSE, ans);
    if (changed) CheckChargingSwitch();
    if (committed) Log(d.address, 1, "Parameters saved");
  }

  void OtaReply(Device& d, OtaControlPacket::Type status, uint32_t info) {
    OtaControlPacket p;
    p.info = info;
    p.status = status;
    p.seq = d.seq++;
    Answer(d, ChannelDescriptor::OTA_CONTROL, p);
  }

  void HandleOta(Device& d, const OtaDataPacket& req) {
    const uint8_t* pl = req.payload;
    auto ov = d.ota_override.find(req.type);
    if (ov != d.ota_override.end()) {
      const OtaControlPacket::Type status = ov->second.first;
      if (ov->second.second > 0 && --ov->second.second == 0) d.ota_override.erase(ov);
      if (req.type == OtaRequestType::Reboot && status == OtaControlPacket::Ack) {
        OtaReply(d, OtaControlPacket::Ack, 0);
        StartReboot(d);
        return;
      }
      if (status != OtaControlPacket::Ack) {
        OtaReply(d, status, req.type == OtaRequestType::ImageData ? ReadLe32(pl) : 0);
        return;
      }
    }
    switch (req.type) {
      case OtaRequestType::BeginUpdate: {
        const uint32_t size = ReadLe32(pl + 12);
        if (size > kMaxImage) {
          OtaReply(d, OtaControlPacket::Nak, 0);
          break;
        }
        d.control_block.assign(pl, pl + 32);
        d.image.assign(size, 0);
        d.got.assign(size, false);
        d.received = 0;
        d.begun = true;
        OtaReply(d, OtaControlPacket::Ack, size);
        break;
      }
      case OtaRequestType::ImageData: {
        const uint32_t offset = ReadLe32(pl);
        if (!d.begun || offset >= d.image.size()) {
          OtaReply(d, OtaControlPacket::Nak, offset);
          break;
        }
        const size_t n = std::min<size_t>(32, d.image.size() - offset);
        for (size_t i = 0; i < n; ++i) {
          d.image[offset + i] = pl[4 + i];
          if (!d.got[offset + i]) {
            d.got[offset + i] = true;
            ++d.received;
          }
        }
        OtaReply(d, OtaControlPacket::Ack, offset);
        break;
      }
      case OtaRequestType::EndUpdate: {
        if (!d.begun) {
          OtaReply(d, OtaControlPacket::Nak, 0);
          break;
        }
        const bool same_block = std::equal(d.control_block.begin(), d.control_block.end(), pl);
        if (!same_block || d.received != d.image.size()) {
          OtaReply(d, OtaControlPacket::Nak, static_cast<uint32_t>(d.received));
          break;
        }
        d.has_installed = true;
        d.installed_id = ReadLe32(d.control_block.data());
        OtaReply(d, OtaControlPacket::Ack, static_cast<uint32_t>(d.image.size()));
        break;
      }
      case OtaRequestType::Reboot:
        StartReboot(d);
        break;
      case OtaRequestType::QueryFirmwareId:
        OtaReply(d, OtaControlPacket::Ack, d.firmware_id);
        break;
      default:
        OtaReply(d, OtaControlPacket::Nak, 0);
        break;
    }
  }

  void StartReboot(Device& d) {
    d.rebooting = true;
    d.reboot_done = Clock::now() + cfg_.reboot_delay;
  }

  void FinishReboot(Device& d) {
    d.rebooting = false;
    d.begun = false;
    if (d.has_installed) d.good_id = d.installed_id;
    d.firmware_id = d.wrong_id ? d.good_id ^ kWrongIdMask : d.good_id;
    ++d.reboots;
    Log(d.address, 1, fmt::format("Booted firmware 0x{:08x}", d.firmware_id));
    cv_.notify_all();
  }

  // --- The charging model (mu_ held) ---

  uint32_t Value(const Device& d, int id, uint32_t fallback) const {
    auto it = d.values.find(static_cast<ParamId>(id));
    return it == d.values.end() ? fallback : it->second;
  }

  void CheckChargingSwitch() {
    const bool on = Value(dev_[0], 60, 0) != 0;
    if (on == world_.on) return;
    world_.on = on;
    world_.phase = on ? Phase::Ramp : Phase::Off;
    world_.phase_ticks = 0;
    Log(TX, 1, on ? "Charging enabled" : "Charging disabled");
  }

  void Enter(Phase p) {
    world_.phase = p;
    world_.phase_ticks = 0;
  }

  void Tick() {
    CheckChargingSwitch();
    World& w = world_;
    const Device& rxd = dev_[1];
    std::normal_distribution<float> noise(0.0f, 1.0f);
    auto n = [&](float scale) { return scale * noise(world_rng_); };

    float limit = static_cast<float>(Value(rxd, 36, 0)) / 1000.0f;
    if (limit <= 0) {
      limit = static_cast<float>(Value(rxd, 62, 6) * Value(rxd, 63, 4200)) / 1000.0f;
    }
    if (limit <= 0) limit = 25.2f;
    float imax = static_cast<float>(Value(rxd, 34, 1000)) / 1000.0f;
    if (imax <= 0) imax = 1.0f;
    if (w.v_batt < 0) w.v_batt = 0.85f * limit;

    const int T = cfg_.charge_ticks;
    const int ramp = std::max(1, T / 20);
    const int cc = std::max(1, T * 6 / 10);
    const int cv = std::max(1, T * 3 / 10);
    ++w.phase_ticks;
    ++w.count;
    uint8_t tx_state = 0;
    uint8_t rx_state = 0;
    float target = 0;
    switch (w.phase) {
      case Phase::Off:
        w.i_batt = 0;
        break;
      case Phase::Ramp:
        tx_state = 2;
        rx_state = 7;
        w.i_batt = 0;
        if (w.phase_ticks >= ramp) Enter(Phase::RampUp);
        break;
      case Phase::RampUp:
        tx_state = 3;
        rx_state = 1;
        target = imax;
        w.i_batt = imax * static_cast<float>(w.phase_ticks) / static_cast<float>(ramp);
        if (w.phase_ticks >= ramp) Enter(Phase::ConstCurrent);
        break;
      case Phase::ConstCurrent:
        tx_state = 3;
        rx_state = 2;
        target = imax;
        w.i_batt = imax;
        w.v_batt = std::min(limit, w.v_batt + 0.15f * limit / static_cast<float>(cc));
        if (w.v_batt >= limit) Enter(Phase::ConstVoltage);
        break;
      case Phase::ConstVoltage:
        tx_state = 3;
        rx_state = 3;
        w.v_batt = limit;
        w.i_batt = imax * std::exp(-3.0f * static_cast<float>(w.phase_ticks) /
                                   static_cast<float>(cv));
        target = w.i_batt;
        if (w.phase_ticks >= cv) Enter(Phase::Full);
        break;
      case Phase::Full:
        tx_state = 4;
        rx_state = 4;
        w.i_batt = 0;
        w.v_batt = limit;
        break;
    }

    // Power level: lower means more power.
    if (!w.on) {
      w.plvl = 100;
    } else if (tx_state == 2 || tx_state == 4) {
      w.plvl = 40;
    } else {
      w.plvl = std::clamp(w.plvl + std::uniform_int_distribution<int>(-1, 1)(world_rng_), 3, 40);
    }
    w.eff = std::clamp(w.eff + n(0.005f), 0.72f, 0.88f);

    const float vbatt = w.v_batt + (w.on ? 0.0f : n(0.002f));
    const float pb = vbatt * w.i_batt;
    float p5 = 1.5f;
    float p12 = 1.2f;
    float ppa = 0.0f;
    if (pb > 0) {
      const float ptx = pb / w.eff;
      p5 = 0.05f * ptx;
      p12 = 0.10f * ptx;
      ppa = 0.85f * ptx;
    } else if (w.on) {
      p5 = 2.0f;
      p12 = 3.0f;
      ppa = 1.0f;
    }
    w.temp = std::clamp(w.temp + 0.02f * (28.0f + 0.1f * pb - w.temp) + n(0.05f), 15.0f, 80.0f);

    RxAdcValues rx;
    rx.flags = static_cast<RxStatusFlag>(0);
    rx.vmon_battery = vbatt;
    rx.vmon_battery_prog = limit;
    rx.vmon_rectified = w.on ? 32.0f + n(0.3f) : 0.0f;
    rx.tmon_board = w.temp;
    rx.imon_battery = w.i_batt;
    rx.imon_charger = w.i_batt > 0 ? w.i_batt * 1.02f + 0.03f : 0.0f;
    rx.count = w.count;
    rx.charge_state = static_cast<RxChargeState>(rx_state);
    rx.battery_I_target = target;

    TxAdcValues tx;
    tx.charge_state = static_cast<ChargeState>(tx_state);
    tx.plvl = static_cast<uint16_t>(w.plvl);
    tx.count = w.count;
    tx.vmon_3v3 = 3.3f + n(0.01f);
    tx.vmon_5v = 5.0f + n(0.02f);
    tx.imon_5v = p5 / tx.vmon_5v;
    tx.vmon_12v = 12.0f + n(0.05f);
    tx.imon_12v = p12 / tx.vmon_12v;
    tx.vmon_gate_driver = w.on ? 12.0f + n(0.05f) : 0.0f;
    tx.imon_gate_driver = w.on ? 0.2f : 0.0f;
    tx.vmon_pa = ppa > 0 ? 24.0f + n(0.1f) : 0.0f;
    tx.imon_pa = ppa > 0 ? ppa / tx.vmon_pa : 0.0f;
    tx.adc_in10 = 1.2f + n(0.01f);

    // The receiver's record first: a host that pairs each transmitter record with the latest
    // receiver record then pairs records of the same tick.
    Device& r = dev_[1];
    if (!r.telemetry_stopped && !r.rebooting &&
        Emit(Frame(ChannelDescriptor::RX_ADC_VALUES, RX, rx))) {
      ++r.telemetry_sent;
    }
    Device& t = dev_[0];
    if (!t.telemetry_stopped && !t.rebooting &&
        Emit(Frame(ChannelDescriptor::TX_ADC_VALUES, TX, tx))) {
      ++t.telemetry_sent;
    }
    cv_.notify_all();
  }

  void PeriodicLog() {
    static const char* const kTexts[4][3] = {
        {"Radio RSSI -{} dBm", "ADC sample {} ok", "Loop time {} us"},
        {"Heartbeat {}", "Board temperature {} C", "Link up, {} packets"},
        {"Supply ripple high ({} mV)", "Radio retries {}", "Fan speed low ({} rpm)"},
        {"Sensor read failed ({})", "Charger fault {} cleared", "Watchdog near timeout ({})"},
    };
    const Address source = std::uniform_int_distribution<int>(0, 1)(log_rng_) ? RX : TX;
    // By default one line in eight is a warning and the rest are info; errors and debug lines
    // only when asked for, so that a healthy pair of devices does not fill the pane with red.
    const int draw = std::uniform_int_distribution<int>(0, 7)(log_rng_);
    const int level = cfg_.log_errors ? draw % 4 : (draw == 0 ? 2 : 1);
    const int which = std::uniform_int_distribution<int>(0, 2)(log_rng_);
    const int number = std::uniform_int_distribution<int>(1, 99)(log_rng_);
    const Device& d = source == TX ? dev_[0] : dev_[1];
    if (d.rebooting) return;
    Log(source, static_cast<uint8_t>(level), fmt::format(kTexts[level][which], number));
  }

  // --- Link (mu_ held unless said otherwise) ---

  void OpenListener() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) throw std::runtime_error("SimDevices: socket failed");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cfg_.tcp_port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listen_fd_, 4) != 0) {
      const std::string err = std::strerror(errno);
      ::close(listen_fd_);
      listen_fd_ = -1;
      throw std::runtime_error(
          fmt::format("SimDevices: cannot listen on 127.0.0.1:{}: {}", cfg_.tcp_port, err));
    }
    socklen_t len = sizeof(addr);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }

  void CloseClient() {
    if (client_fd_ >= 0) ::close(client_fd_);
    client_fd_ = -1;
    Disconnected();
  }

  void Disconnected() {
    host_connected_ = false;
    outbuf_.clear();
    delayed_.clear();
    cv_.notify_all();
  }

  void ResetReader() { reader_ = std::make_unique<SlipReader>(sink_); }

  void Accept() {
    for (;;) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      if (client_fd_ >= 0) {  // one host at a time
        ::close(fd);
        continue;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      client_fd_ = fd;
      Connected();
    }
  }

  void Connected() {
    host_connected_ = true;
    outbuf_.clear();
    delayed_.clear();
    ResetReader();
    cv_.notify_all();
  }

  // Pseudo-terminal: the host has the slave open exactly while the master reports no hang-up.
  void CheckPty() {
    pollfd pfd{pty_->MasterFd(), POLLIN, 0};
    ::poll(&pfd, 1, 0);
    const bool open = (pfd.revents & POLLHUP) == 0;
    if (open && !host_connected_) {
      Connected();
    } else if (!open && host_connected_) {
      Disconnected();
    }
  }

  // The descriptor to poll for the host's bytes; -1 while no host is there.
  int LinkFd() const {
    if (pty_) return host_connected_ ? pty_->MasterFd() : -1;
    return client_fd_;
  }

  void ReadLink() {
    uint8_t buf[4096];
    for (int rounds = 0; rounds < 16; ++rounds) {
      const ssize_t r = ::read(LinkFd(), buf, sizeof(buf));
      if (r > 0) {
        for (ssize_t i = 0; i < r; ++i) reader_->Write(buf[i]);
        continue;
      }
      if (r < 0 && (errno == EINTR)) continue;
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // End of stream or error: the host left.
      if (pty_) {
        Disconnected();
      } else {
        CloseClient();
      }
      return;
    }
  }

  void WriteLink() {
    while (!outbuf_.empty() && LinkReady()) {
      ssize_t w;
      if (pty_) {
        w = ::write(pty_->MasterFd(), outbuf_.data(), outbuf_.size());
      } else {
        w = ::send(client_fd_, outbuf_.data(), outbuf_.size(), MSG_NOSIGNAL);
      }
      if (w > 0) {
        outbuf_.erase(outbuf_.begin(), outbuf_.begin() + w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (pty_) {
        Disconnected();
      } else {
        CloseClient();
      }
      return;
    }
  }

  void RunTimers(Clock::time_point now) {
    for (auto& d : dev_) {
      if (d.rebooting && now >= d.reboot_done) FinishReboot(d);
    }
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      Emit(delayed_.begin()->second);
      delayed_.erase(delayed_.begin());
    }
    cut_short_ = false;
    if (cfg_.telemetry_hz > 0) {
      cut_short_ |= CatchUp(now, cfg_.telemetry_hz, &ticks_sent_, [this](Clock::time_point t) {
        return TicksDue(t);
      }, [this] { Tick(); });
    }
    if (cfg_.log_rate > 0) {
      cut_short_ |= CatchUp(now, cfg_.log_rate, &log_lines_sent_, [this](Clock::time_point t) {
        return LogLinesDue(t);
      }, [this] { PeriodicLog(); });
    } else if (cfg_.log_period.count() > 0 && now >= next_log_) {
      PeriodicLog();
      next_log_ += cfg_.log_period;
      if (next_log_ <= now) next_log_ = now + cfg_.log_period;
    }
  }

  // Makes what a rate (telemetry ticks, periodic lines) has due by now: every item due is made on
  // each wake-up, so that rates above the poll granularity (1 ms) hold; more than a second behind
  // (the thread was held up), the rest is skipped. A rate the machine cannot make (a sanitizer
  // build, a busy machine) is made as far as 2 ms of work a wake-up allow, and the items missed
  // are skipped: the thread then sleeps for a millisecond at least (see Run), so that the lock is
  // free to the host's side in between, whatever rate was asked for. True when cut short so.
  template <typename Due, typename Make>
  static bool CatchUp(Clock::time_point now, int rate, int64_t* made, Due due, Make make) {
    const int64_t by_now = due(now);
    if (by_now - *made > rate) *made = by_now - rate;
    const auto until = now + milliseconds(2);
    for (int n = 1; *made < by_now; ++*made, ++n) {
      make();
      if (n % 64 == 0 && Clock::now() >= until) {
        *made = due(Clock::now());
        return true;
      }
    }
    return false;
  }

  // Telemetry ticks due from tick_start_ to now at cfg_.telemetry_hz ticks per second.
  int64_t TicksDue(Clock::time_point now) const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now - tick_start_).count() *
           cfg_.telemetry_hz / 1000000000;
  }

  // Starts telemetry at hz ticks per second (0: none), the first tick one period from now.
  void SetTelemetryRate(int hz) {
    cfg_.telemetry_hz = std::clamp(hz, 0, kMaxTelemetryRate);
    tick_start_ = Clock::now();
    ticks_sent_ = 0;
  }

  // Periodic lines due from log_rate_start_ to now at cfg_.log_rate lines per second.
  int64_t LogLinesDue(Clock::time_point now) const {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - log_rate_start_)
                           .count();
    return ns * cfg_.log_rate / 1000000000;
  }

  // Time at which the next periodic line is due.
  Clock::time_point NextLogLine() const {
    if (cfg_.log_rate > 0) {
      const int64_t ns = ((log_lines_sent_ + 1) * 1000000000 + cfg_.log_rate - 1) / cfg_.log_rate;
      return log_rate_start_ + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::nanoseconds(ns));
    }
    return next_log_;
  }

  // Starts periodic lines at rate lines per second (0: back to log_period), counted from now.
  void SetLogRate(int rate) {
    cfg_.log_rate = std::clamp(rate, 0, kMaxLogRate);
    log_rate_start_ = Clock::now();
    log_lines_sent_ = 0;
    next_log_ = log_rate_start_ + cfg_.log_period;
  }

  int Timeout(Clock::time_point now) const {
    Clock::time_point next = now + milliseconds(100);
    if (cfg_.telemetry_hz > 0) {
      const int64_t ns = ((ticks_sent_ + 1) * 1000000000 + cfg_.telemetry_hz - 1) /
                         cfg_.telemetry_hz;
      next = std::min(next, tick_start_ + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::nanoseconds(ns)));
    }
    if (cfg_.log_rate > 0 || cfg_.log_period.count() > 0) next = std::min(next, NextLogLine());
    if (!delayed_.empty()) next = std::min(next, delayed_.begin()->first);
    for (const auto& d : dev_) {
      if (d.rebooting) next = std::min(next, d.reboot_done);
    }
    if (pty_ && !host_connected_) next = std::min(next, now + milliseconds(10));  // re-check
    if (next <= now) return 0;
    // Round up, so that a wake-up never comes just before its time.
    return static_cast<int>(
        std::chrono::ceil<milliseconds>(next - now).count());
  }

  void Run() {
    // Named, so that a benchmark can tell the devices' CPU time from the host's in one process.
    pthread_setname_np(pthread_self(), "korvane_sim");
    std::unique_lock<std::mutex> lock(mu_);
    const auto start = Clock::now();
    tick_start_ = start;
    ticks_sent_ = 0;
    next_log_ = start + cfg_.log_period;
    log_rate_start_ = start;
    log_lines_sent_ = 0;
    while (!stop_) {
      const auto now = Clock::now();
      if (pty_) CheckPty();
      RunTimers(now);
      WriteLink();
      pollfd fds[3];
      nfds_t nfds = 0;
      fds[nfds++] = {wake_[0], POLLIN, 0};
      const int listen_index = listen_fd_ >= 0 ? static_cast<int>(nfds) : -1;
      if (listen_fd_ >= 0) fds[nfds++] = {listen_fd_, POLLIN, 0};
      const int link_index = LinkFd() >= 0 ? static_cast<int>(nfds) : -1;
      if (LinkFd() >= 0) {
        fds[nfds++] = {LinkFd(), static_cast<short>(POLLIN | (outbuf_.empty() ? 0 : POLLOUT)),
                       0};
      }
      // A rate cut short: what came due meanwhile waits, and the lock is free for a while.
      const int timeout = cut_short_ ? std::max(Timeout(Clock::now()), 1) : Timeout(Clock::now());
      lock.unlock();
      ::poll(fds, nfds, timeout);
      lock.lock();
      if (fds[0].revents & POLLIN) {
        uint8_t buf[64];
        while (::read(wake_[0], buf, sizeof(buf)) > 0) {
        }
      }
      if (link_index >= 0 && fds[link_index].revents != 0) {
        if (fds[link_index].revents & (POLLIN | POLLHUP | POLLERR)) ReadLink();
      }
      if (listen_index >= 0 && (fds[listen_index].revents & POLLIN)) Accept();
      WriteLink();
    }
  }

  SimConfig cfg_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::thread thread_;
  bool stop_ = false;
  int wake_[2] = {-1, -1};
  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::unique_ptr<PtyPair> pty_;
  uint16_t port_ = 0;
  std::string link_text_;
  bool host_connected_ = false;

  Device dev_[2];
  World world_;
  std::mt19937 world_rng_;
  std::mt19937 answer_rng_;
  std::mt19937 corrupt_rng_;
  std::mt19937 log_rng_;

  double drop_p_ = 0;
  double corrupt_rate_ = 0;
  bool duplicate_ = false;
  milliseconds answer_delay_{0};

  BodySink sink_;
  std::unique_ptr<SlipReader> reader_;
  std::vector<std::vector<uint8_t>> bodies_;
  size_t bad_frames_ = 0;

  std::vector<uint8_t> outbuf_;
  size_t frames_dropped_ = 0;  // frames a connected host was too far behind to be given
  std::multimap<Clock::time_point, std::vector<uint8_t>> delayed_;
  Clock::time_point tick_start_;
  int64_t ticks_sent_ = 0;  // telemetry ticks made since tick_start_
  Clock::time_point next_log_;
  Clock::time_point log_rate_start_;
  int64_t log_lines_sent_ = 0;  // periodic lines sent since log_rate_start_ (log_rate mode)
  bool cut_short_ = false;  // the last wake-up made less than was due (see CatchUp)
};

// --- SimDevices ---

SimDevices::SimDevices(SimConfig config) : impl_(std::make_unique<Impl>(config)) {}
SimDevices::~SimDevices() { impl_->Stop(); }

void SimDevices::Start() { impl_->Start(); }
void SimDevices::Stop() { impl_->Stop(); }

uint16_t SimDevices::Port() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->port_;
}

std::string SimDevices::LinkText() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->link_text_;
}

void SimDevices::SetSilent(Address device, bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->Dev(device).silent = silent;
}

void SimDevices::SetLogRate(int lines_per_second) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->SetLogRate(lines_per_second);
  impl_->Wake();
}

void SimDevices::SetTelemetryRate(int hz) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->SetTelemetryRate(hz);
  impl_->Wake();
}

void SimDevices::SetDropProbability(double p) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->drop_p_ = p;
}

void SimDevices::SetDuplicateAnswers(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->duplicate_ = on;
}

void SimDevices::SetCorruptRate(double rate) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->corrupt_rate_ = rate;
}

void SimDevices::SetAnswerDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->answer_delay_ = delay;
}

namespace {

void Mark(std::set<ParamId>& ids, ParamId id, bool on) {
  if (on) {
    ids.insert(id);
  } else {
    ids.erase(id);
  }
}

}  // namespace

void SimDevices::SetStatusZero(Address device, ParamId id, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  Mark(impl_->Dev(device).status_zero, id, on);
}

void SimDevices::SetGetUnanswered(Address device, ParamId id, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  Mark(impl_->Dev(device).get_unanswered, id, on);
}

void SimDevices::SetOtaReply(Address device, OtaRequestType type, OtaControlPacket::Type status,
                             int count) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  auto& ov = impl_->Dev(device).ota_override;
  if (count == 0) {
    ov.erase(type);
  } else {
    ov[type] = {status, count};
  }
}

void SimDevices::ClearOtaReply(Address device, OtaRequestType type) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->Dev(device).ota_override.erase(type);
}

void SimDevices::SetWrongFirmwareIdAfterReboot(Address device, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->Dev(device).wrong_id = on;
}

void SimDevices::SetTelemetryStopped(Address device, bool stopped) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->Dev(device).telemetry_stopped = stopped;
}

std::vector<ParamId> SimDevices::ParameterIds(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).ids;
}

void SimDevices::SetParameterList(Address device,
                                  const std::vector<std::pair<ParamId, uint32_t>>& list) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  InstallList(&impl_->Dev(device), list);
}

bool SimDevices::GetValue(Address device, ParamId id, uint32_t* raw) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  const auto& v = impl_->Dev(device).values;
  auto it = v.find(id);
  if (it == v.end()) return false;
  *raw = it->second;
  return true;
}

void SimDevices::SetValue(Address device, ParamId id, uint32_t raw) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  Device& d = impl_->Dev(device);
  if (!d.values.count(id)) {
    d.ids.push_back(id);
    d.saved[id] = raw;
  }
  d.values[id] = raw;
  if (impl_->thread_.joinable()) {
    impl_->CheckChargingSwitch();
    impl_->Wake();
  }
}

bool SimDevices::GetSavedValue(Address device, ParamId id, uint32_t* raw) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  const auto& v = impl_->Dev(device).saved;
  auto it = v.find(id);
  if (it == v.end()) return false;
  *raw = it->second;
  return true;
}

bool SimDevices::IsStaged(Address device, ParamId id) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).staged.count(id) > 0;
}

uint32_t SimDevices::FirmwareId(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).firmware_id;
}

void SimDevices::SetFirmwareId(Address device, uint32_t id) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  Device& d = impl_->Dev(device);
  d.firmware_id = d.good_id = id;
  d.has_installed = false;
}

std::vector<uint8_t> SimDevices::ReceivedControlBlock(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).control_block;
}

std::vector<uint8_t> SimDevices::ReceivedImage(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).image;
}

int SimDevices::RebootCount(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).reboots;
}

std::vector<Parameter> SimDevices::ParameterRequests(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).param_requests;
}

std::vector<OtaDataPacket> SimDevices::OtaRequests(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).ota_requests;
}

std::vector<std::vector<uint8_t>> SimDevices::ReceivedBodies() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->bodies_;
}

size_t SimDevices::BadFrames() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->bad_frames_;
}

void SimDevices::ClearRecords() {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  for (auto& d : impl_->dev_) {
    d.param_requests.clear();
    d.ota_requests.clear();
  }
  impl_->bodies_.clear();
  impl_->bad_frames_ = 0;
}

uint32_t SimDevices::TelemetrySent(Address device) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->Dev(device).telemetry_sent;
}

size_t SimDevices::FramesDropped() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->frames_dropped_;
}

bool SimDevices::WaitForParameterRequests(Address device, size_t n,
                                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mu_);
  const Device& d = impl_->Dev(device);
  return impl_->cv_.wait_for(lock, timeout, [&] { return d.param_requests.size() >= n; });
}

bool SimDevices::WaitForOtaRequests(Address device, size_t n,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mu_);
  const Device& d = impl_->Dev(device);
  return impl_->cv_.wait_for(lock, timeout, [&] { return d.ota_requests.size() >= n; });
}

bool SimDevices::WaitForTelemetry(Address device, uint32_t n,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mu_);
  const Device& d = impl_->Dev(device);
  return impl_->cv_.wait_for(lock, timeout, [&] { return d.telemetry_sent >= n; });
}

bool SimDevices::WaitForReboots(Address device, int n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mu_);
  const Device& d = impl_->Dev(device);
  return impl_->cv_.wait_for(lock, timeout, [&] { return d.reboots >= n; });
}

bool SimDevices::HostConnected() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->host_connected_;
}

bool SimDevices::WaitForHost(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mu_);
  return impl_->cv_.wait_for(lock, timeout, [&] { return impl_->host_connected_; });
}

void SimDevices::SendRaw(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  if (!impl_->LinkReady()) return;
  impl_->outbuf_.insert(impl_->outbuf_.end(), bytes.begin(), bytes.end());
  impl_->Wake();
}

void SimDevices::SendLog(Address device, uint8_t level, const std::string& text) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->Dev(device);  // checks the address
  impl_->Log(device, level, text);
  impl_->Wake();
}

std::vector<uint8_t> SimDevices::DeviceFrame(ChannelDescriptor channel, Address source,
                                             Address destination, const uint8_t* payload,
                                             size_t size) {
  PacketHeader header;
  header.channel = channel;
  header.SetSource(source);
  header.SetDestination(destination);
  uint8_t head[2];
  serialize(header, head);
  std::vector<uint8_t> out;
  VectorSink sink(&out);
  SlipWriter writer(sink);
  for (uint8_t b : head) writer.Write(b);
  for (size_t i = 0; i < size; ++i) writer.Write(payload[i]);
  writer.Sync();
  return out;
}

std::vector<uint8_t> SimDevices::MakeImage(uint32_t firmware_id,
                                           const std::vector<uint8_t>& body) {
  // Sized once and filled in place (growing it with insert trips a false -Warray-bounds of
  // GCC 12 at -O3).
  std::vector<uint8_t> image(32 + body.size(), 0);
  WriteLe32(firmware_id, image.data());
  WriteLe32(static_cast<uint32_t>(body.size()), image.data() + 12);
  std::copy(body.begin(), body.end(), image.begin() + 32);
  return image;
}

std::vector<uint8_t> SimDevices::MakeArchiveRecord(uint64_t type,
                                                   const std::vector<uint8_t>& image) {
  std::vector<uint8_t> out(16 + image.size(), 0);
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<uint8_t>(type >> (8 * i));
    out[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(image.size()) >> (8 * i));
  }
  std::copy(image.begin(), image.end(), out.begin() + 16);
  return out;
}
