#include "kovra/message_router.h"

#include <string>

#include "korvane/packet_comms.h"
#include "kovra/log.h"

MessageRouter::MessageRouter() {
  logger_ = spdlog::get("console");
  if (!logger_) logger_ = kovra::GetLog();  // creates the console logger and says so
}

MessageRouter::~MessageRouter() = default;

MessageRouter& MessageRouter::AddCallback(ChannelDescriptor channel, Callback callback) {
  callbacks_[channel].push_back(std::move(callback));
  return *this;
}

bool MessageRouter::Write(uint8_t b) {
  // A body longer than any packet is dropped at its Sync anyway; storing one byte past the
  // limit marks it, and a stream that never ends a frame cannot grow the buffer.
  if (buffer_.size() <= kMaxBody) buffer_.push_back(b);
  return true;
}

bool MessageRouter::Sync() {
  if (logger_->level() == spdlog::level::debug) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(buffer_.size() * 3);
    for (uint8_t b : buffer_) {
      hex += kHex[b >> 4];
      hex += kHex[b & 0x0F];
      hex += ' ';
    }
    logger_->debug("RX: {}", hex);
  }

  MemoryBuffer source(buffer_.data(), buffer_.size(), buffer_.size());
  PacketBuffer<50> packet(static_cast<PacketMedium>(0), static_cast<PacketMedium>(3));
  if (&(source >> packet) != &g_empty_buffer) {
    auto it = callbacks_.find(packet.Header().channel);
    if (it != callbacks_.end()) {
      std::vector<uint8_t> payload(PacketBuffer<50>::CAPACITY, 0);
      std::copy(packet.Data(), packet.Data() + packet.Size(), payload.begin());
      const PacketHeader header = packet.Header();
      for (const auto& callback : it->second) callback(header, payload);
    }
  }
  buffer_.clear();
  return true;
}

bool MessageRouter::Flush() {
  buffer_.clear();
  return true;
}
