#pragma once
// Packets: a 2-byte header followed by one serialised record, in memory and on the wire.
#include <cstdint>

#include "korvane/messages.h"
#include "korvane/packet_header.h"
#include "kovra/memory_buffer.h"
#include "kovra/param_map.h"
#include "kovra/slip.h"
#include "kovra/stream.h"

// In-memory tag of a packet buffer; never sent.
enum PacketMedium : uint8_t {};

// The record type sent on a channel.
template <ChannelDescriptor channel>
struct ChannelToType;
template <>
struct ChannelToType<ChannelDescriptor::PARAMETER_REQUEST> {
  using type = Parameter;
};
template <>
struct ChannelToType<ChannelDescriptor::OTA_DATA> {
  using type = OtaDataPacket;
};

// A packet in memory: header and up to CAP payload bytes. The source address is always the
// host's own.
template <size_t CAP>
class PacketBuffer {
 public:
  static constexpr size_t CAPACITY = CAP;

  // A packet to send on channel to destination.
  PacketBuffer(ChannelDescriptor channel, Address destination, PacketMedium first,
               PacketMedium second)
      : first_(first), second_(second) {
    header_.channel = channel;
    header_.addresses = 0;
    header_.SetSource(static_cast<Address>(HostAddress()));
    header_.SetDestination(destination);
  }
  // A packet to be filled by reading.
  PacketBuffer(PacketMedium first, PacketMedium second)
      : PacketBuffer(static_cast<ChannelDescriptor>(0xFF), static_cast<Address>(0), first,
                     second) {}

  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  PacketHeader& Header() { return header_; }
  const PacketHeader& Header() const { return header_; }
  uint16_t Size() const { return size_; }
  void SetSize(uint16_t size) { size_ = size; }

  template <typename T>
  PacketBuffer& Store(const T& record) {
    static_assert(sizeof(T) <= CAP, "record larger than the packet");
    size_ = static_cast<uint16_t>(serialize(record, data_) - data_);
    return *this;
  }

 private:
  PacketMedium first_;
  PacketMedium second_;
  uint16_t size_ = 0;
  PacketHeader header_;
  uint8_t data_[CAP];
};

// Reads one packet out of a frame body of 3 to 52 bytes. Returns the source, or g_empty_buffer
// (leaving the packet untouched) for a body outside that range.
MemoryBuffer& operator>>(MemoryBuffer& source, PacketBuffer<50>& packet);

// Writes the packet's header and payload into the sink, then syncs it. Returns the sink, or
// g_stream_error when the sink refused a byte (then nothing more is written and Sync is not
// called).
StreamSink& operator<<(StreamSink& sink, const PacketBuffer<50>& packet);

// Reports a broken invariant on standard error and stops the program.
[[noreturn]] void BrokenInvariant(const char* text);

// A sink that carries frames to the link.
class PacketSink : public StreamSink {
 public:
  // Frames one record and sends it to destination.
  template <ChannelDescriptor channel>
  void SendPacket(Address destination, const typename ChannelToType<channel>::type& record) {
    PacketBuffer<50> packet(channel, destination, static_cast<PacketMedium>(3),
                            static_cast<PacketMedium>(0));
    packet.Store(record);
    SlipWriter writer(*this);
    StreamSink& status = writer << packet;
    // Transport sinks take every byte: a refusal is a broken invariant, also in release builds.
    if (&status == &g_stream_error) BrokenInvariant("status != &g_stream_error");
  }
};
