#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <spdlog/logger.h>

#include "korvane/packet_header.h"
#include "kovra/stream.h"

// The sink at the end of the receiving road: collects the body of a frame and, when the frame is
// complete, calls every callback registered for its channel, in registration order. Runs on the
// I/O thread only; callbacks are all added before that thread starts.
class MessageRouter : public StreamBuffer {
 public:
  // Callbacks get the header and the packet's 50-byte data area (payload, then zero filler).
  using Callback = std::function<void(const PacketHeader&, const std::vector<uint8_t>&)>;

  // The longest body a packet can have: header and 50 payload bytes.
  static constexpr size_t kMaxBody = 52;

  MessageRouter();
  ~MessageRouter() override;

  MessageRouter& AddCallback(ChannelDescriptor channel, Callback callback);

  bool Write(uint8_t b) override;
  bool Sync() override;
  bool Flush() override;

  // Bytes held for the frame in progress (never more than kMaxBody + 1).
  size_t Buffered() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
  std::map<ChannelDescriptor, std::vector<Callback>> callbacks_;
  std::shared_ptr<spdlog::logger> logger_;
};
