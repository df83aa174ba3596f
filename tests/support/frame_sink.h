#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "korvane/packet_header.h"

// A packet sink that decodes every frame it is given (SLIP, CRC, header, Parameter record) and
// keeps it, for tests of the parameter requests without a link. Safe to write from one thread
// while others inspect and wait.
class FrameSink : public PacketSink {
 public:
  struct Frame {
    std::vector<uint8_t> bytes;  // the frame as sent
    bool good = false;           // SLIP and CRC were sound and the body held a header
    PacketHeader header;
    Parameter record;            // the first 8 payload bytes
  };

  bool Write(uint8_t b) override;
  bool Sync() override;
  bool Flush() override;

  std::vector<Frame> Frames() const;
  size_t Count() const;
  // Waits until at least n frames have arrived; false after the time limit.
  bool WaitForFrames(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  // Every later Write throws std::runtime_error "link down" (the next send fails).
  void ThrowOnWrite(bool on);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<uint8_t> current_;
  std::vector<Frame> frames_;
  bool throw_ = false;
};
