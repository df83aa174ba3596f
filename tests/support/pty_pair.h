#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal pair for tests of serial code. The code under test opens the slave by its
// path as if it were a serial device; the test plays the device on the master side. The
// master is in raw mode, so bytes pass unchanged in both directions.
//
// The pair keeps a descriptor of the slave open as well (until CloseSlave), so the master does
// not see a hang-up while the code under test closes and reopens the port.
class PtyPair {
 public:
  // Opens the pair; throws std::runtime_error when the system has no pseudo-terminal left.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  int MasterFd() const { return master_; }
  int SlaveFd() const { return slave_; }

  // Writes every byte to the master (the device sends them); false on a write error.
  bool Send(const void* data, size_t n);
  bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }

  // Reads from the master (what the device received) until n bytes have come or the time-out
  // has passed; returns what came.
  std::vector<uint8_t> Receive(size_t n,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Reads everything that arrives until the line has been quiet for the given time.
  std::vector<uint8_t> Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));

  // Bytes the device sent that wait on the slave side, not yet read by anyone (0 once the pair's
  // own slave descriptor is closed). Bytes just sent may take a moment to be counted here.
  size_t SlaveQueued() const;
  // Waits until the slave side holds at least / at most n unread bytes; false after the time-out.
  bool WaitSlaveQueuedAtLeast(size_t n,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  bool WaitSlaveQueuedAtMost(size_t n,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // Closes the pair's own slave descriptor (the master then sees a hang-up once no one else
  // has the slave open).
  void CloseSlave();
  // Closes the master: the slave side sees a hang-up (reads fail or return nothing at once).
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};
