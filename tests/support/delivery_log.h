#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "korvane/packet_header.h"
#include "kovra/message_router.h"

// Records what a message router delivers on the given channels, from whichever thread the
// router runs on (the I/O thread); the test waits for and inspects the packets. Register it
// before the I/O thread starts, and keep it alive until that thread has stopped.
class DeliveryLog {
 public:
  struct Packet {
    PacketHeader header;
    std::vector<uint8_t> data;  // the 50-byte data area
    std::thread::id thread;     // where the callback ran
  };

  DeliveryLog(MessageRouter& router, std::initializer_list<ChannelDescriptor> channels) {
    for (ChannelDescriptor channel : channels) {
      router.AddCallback(channel, [this](const PacketHeader& h, const std::vector<uint8_t>& d) {
        std::lock_guard<std::mutex> lock(mutex_);
        packets_.push_back({h, d, std::this_thread::get_id()});
        changed_.notify_all();
      });
    }
  }

  // Waits until n packets have come or the time-out has passed; returns a copy of them all.
  std::vector<Packet> WaitFor(size_t n,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return packets_.size() >= n; });
    return packets_;
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_.size();
  }

  std::vector<Packet> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
};
