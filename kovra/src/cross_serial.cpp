#include <serial.h>

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "kovra/log.h"
#include "kovra/serial_port.h"

namespace {

// Read and write time-out of the port.
constexpr std::chrono::milliseconds kTimeout{1000};

// "0c 07 ff ": two lowercase hex digits and a blank per byte.
std::string HexDump(const void* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0x0F];
    out += ' ';
  }
  return out;
}

}  // namespace

CrossSerial::CrossSerial(const std::string& device, uint32_t baud)
    : Serial(device), baud_(baud) {}

CrossSerial::~CrossSerial() { Disconnect(); }

std::shared_lock<std::shared_mutex> CrossSerial::LockPortShared() {
  std::lock_guard<std::mutex> gate(port_gate_);
  return std::shared_lock<std::shared_mutex>(port_mutex_);
}

std::unique_lock<std::shared_mutex> CrossSerial::LockPortExclusive() {
  std::lock_guard<std::mutex> gate(port_gate_);
  return std::unique_lock<std::shared_mutex>(port_mutex_);
}

bool CrossSerial::Connect() {
  {
    auto lock = LockPortShared();
    if (port_ && port_->isOpen()) return true;
  }
  auto lock = LockPortExclusive();
  return ConnectLocked();
}

bool CrossSerial::ConnectLocked() {
  // After a failed open the next try waits out the rest of one time-out, so that a reader
  // that loops on a missing device tries about once per time-out instead of without pause.
  if (retry_after_) {
    std::this_thread::sleep_until(*retry_after_);
    retry_after_.reset();
  }
  try {
    if (!port_) {
      // Creating the object opens the port.
      port_ = std::make_unique<serial::Serial>(
          device_, baud_, serial::Timeout::simpleTimeout(kTimeout.count()), serial::eightbits,
          serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
      return true;
    }
    if (port_->isOpen()) return true;
    port_->open();
    kovra::GetLog()->info("CrossSerial::Connect - opening port {}", device_);
    return true;
  } catch (const std::exception&) {
    kovra::GetLog()->warn("CrossSerial::Connect - couldn't open port");
    port_.reset();
    retry_after_ = std::chrono::steady_clock::now() + kTimeout;
    return false;
  }
}

void CrossSerial::Disconnect() {
  auto lock = LockPortExclusive();
  DisconnectLocked();
}

void CrossSerial::DisconnectLocked() {
  if (!port_ || !port_->isOpen()) return;
  kovra::GetLog()->info("CrossSerial::Disconnect - closing port {}", device_);
  try {
    port_->close();
  } catch (const std::exception&) {
    // The object is dropped below in any case.
  }
  port_.reset();
}

int CrossSerial::WriteImpl(const void* data, size_t n) {
  if (!Connect()) return 0;
  auto log = kovra::GetLog();
  // Only at exactly debug: at trace the dump is not wanted either.
  if (log->level() == spdlog::level::debug) log->debug("TX: {}", HexDump(data, n));
  size_t written = 0;
  bool failed = false;
  {
    auto lock = LockPortShared();
    // A failing read on another thread may have dropped the port since Connect.
    if (!port_) return 0;
    try {
      written = port_->write(static_cast<const uint8_t*>(data), n);
    } catch (const std::exception&) {
      failed = true;
    }
  }
  if (failed) {
    log->error("CrossSerial::WriteImpl - Serial port error");
    Disconnect();
    return 0;
  }
  return static_cast<int>(written);
}

std::vector<uint8_t> CrossSerial::ReadImpl(size_t n) {
  if (!Connect()) return {};
  std::vector<uint8_t> buffer(n);
  size_t got = 0;
  bool failed = false;
  const auto start = std::chrono::steady_clock::now();
  {
    auto lock = LockPortShared();
    // A failing write on another thread may have dropped the port since Connect.
    if (!port_) return {};
    try {
      got = port_->read(buffer.data(), n);
    } catch (const std::exception&) {
      failed = true;
    }
  }
  if (failed) {
    Disconnect();
    kovra::GetLog()->error("CrossSerial::ReadImpl - Serial port error");
  }
  if (failed || (got == 0 && n > 0)) {
    // A hung-up line fails (or returns nothing) at once: wait out the rest of the time-out, as
    // a quiet line would, before the caller tries again.
    std::this_thread::sleep_until(start + kTimeout);
    return {};
  }
  buffer.resize(got);
  return buffer;
}
