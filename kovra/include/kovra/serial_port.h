#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kovra/file_lock.h"

namespace serial {
class Serial;
}

// A blocking serial port, for code that reads a port from a thread of its own. Building one
// takes the port's lock file ("serial-" + device), so two users never share a port; writers
// and readers are serialised separately, so one thread may block in Read while another writes.
class Serial {
 public:
  // Takes the lock (throws its std::runtime_error when another holder has it); does not connect.
  explicit Serial(const std::string& device);
  virtual ~Serial() = default;
  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  virtual bool Connect() = 0;
  virtual void Disconnect() = 0;

  int Write(const void* data, size_t n);
  int Write(const std::string& s);
  int Write(uint8_t b);
  // Up to n bytes; empty after a time-out or a failure. A read of a connected port that fails
  // or finds the line hung up returns only once the port's read time-out has passed, so a
  // thread reading in a loop does not spin on a dead line.
  std::vector<uint8_t> Read(size_t n);

 protected:
  virtual int WriteImpl(const void* data, size_t n) = 0;
  virtual std::vector<uint8_t> ReadImpl(size_t n) = 0;

  const std::string device_;

 private:
  ScopedFileLock lock_;
  std::mutex write_mutex_;
  std::mutex read_mutex_;
};

// Port over the cross-platform serial library: 8N1, no flow control, 1000 ms read and write
// time-outs. Connects lazily inside every read and write, and drops the port after an error so
// that the next read or write opens it again. A failed open returns at once, but the next
// attempt waits until one time-out has passed since it.
class CrossSerial : public Serial {
 public:
  CrossSerial(const std::string& device, uint32_t baud);
  ~CrossSerial() override;

  bool Connect() override;
  void Disconnect() override;

 protected:
  int WriteImpl(const void* data, size_t n) override;
  std::vector<uint8_t> ReadImpl(size_t n) override;

 private:
  std::shared_lock<std::shared_mutex> LockPortShared();
  std::unique_lock<std::shared_mutex> LockPortExclusive();
  bool ConnectLocked();
  void DisconnectLocked();

  uint32_t baud_;
  std::unique_ptr<serial::Serial> port_;
  // Earliest time of the next open after a failed one; guarded like port_.
  std::optional<std::chrono::steady_clock::time_point> retry_after_;
  // Reads and writes hold different mutexes, yet both may connect or disconnect. Replacing or
  // dropping the port object holds port_mutex_ exclusively; a transfer in progress holds it
  // shared, so a read and a write still run at the same time but the object never changes or
  // goes away under one. A thread waiting for exclusive use holds port_gate_, which keeps new
  // transfers out meanwhile, so a busy reader and writer cannot starve it.
  std::shared_mutex port_mutex_;
  std::mutex port_gate_;
};

// Port over POSIX termios: 8 data bits, no parity, two stop bits, raw, reads wait up to 2 s.
// Connects only by an explicit Connect(), which must not overlap a read or write.
class LinuxSerial : public Serial {
 public:
  // speed: a termios speed constant such as B115200.
  LinuxSerial(const std::string& device, uint32_t speed);
  ~LinuxSerial() override;

  bool Connect() override;
  void Disconnect() override;

 protected:
  int WriteImpl(const void* data, size_t n) override;
  std::vector<uint8_t> ReadImpl(size_t n) override;

 private:
  uint32_t speed_;
  int fd_ = -1;
};
