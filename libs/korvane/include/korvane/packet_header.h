#pragma once
#include <cstdint>

// Device addresses: 4 bits on the wire.
enum Address : uint32_t {
  TX = 1,
  RX = 2,
  RX_2 = 3,
  RX_3 = 4,
  PC = 15,
};

// Message type of a packet.
enum class ChannelDescriptor : uint8_t {
  LOG_MESSAGE = 1,
  RX_ADC_VALUES = 4,
  TX_ADC_VALUES = 5,
  PARAMETER_REQUEST = 7,
  PARAMETER_RESPONSE = 8,
  OTA_DATA = 10,
  OTA_CONTROL = 11,
};

// Two bytes, the same in memory and on the wire: the channel, then the source address in the
// high nibble and the destination in the low nibble.
struct PacketHeader {
  ChannelDescriptor channel = static_cast<ChannelDescriptor>(0xFF);
  uint8_t addresses = 0;

  Address GetSource() const { return static_cast<Address>(addresses >> 4); }
  Address GetDestination() const { return static_cast<Address>(addresses & 0x0F); }
  void SetSource(Address a) {
    addresses = static_cast<uint8_t>((addresses & 0x0F) + (static_cast<unsigned>(a) << 4));
  }
  void SetDestination(Address a) {
    addresses = static_cast<uint8_t>((addresses & 0xF0) + static_cast<unsigned>(a));
  }
};
static_assert(sizeof(PacketHeader) == 2, "PacketHeader is two bytes");
