#pragma once
// Frames for link tests, built by the framing code itself or pinned byte for byte.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "kovra/slip.h"
#include "support/recording_sink.h"

namespace link_frames {

using Bytes = std::vector<uint8_t>;

// Channel 7, host (15) to transmitter (1): GET_PARAMETER of parameter 60, status SUCCESS, value 0.
inline const Bytes kGetParam60 = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x0E, 0x50, 0x3E, 0x33, 0xC0};
// Channel 7, host to transmitter, payload C0 DB: both bytes escaped.
inline const Bytes kEscaped = {0x07, 0xF1, 0xDB, 0xDC, 0xDB, 0xDD, 0xE4, 0x7E, 0x59, 0x60, 0xC0};

// The SLIP frame of a packet body (header and payload).
inline Bytes Frame(const Bytes& body) {
  RecordingSink out;
  SlipWriter writer(out);
  for (uint8_t b : body) writer.Write(b);
  writer.Sync();
  return out.all_bytes;
}

// A SET_PARAMETER request record.
inline Parameter SetRequest(uint16_t id, uint32_t value) {
  Parameter p;
  p.command = SET_PARAMETER;
  p.status = ParamStatus::SUCCESS;
  p.id = static_cast<ParamId>(id);
  p.value = value;
  return p;
}

// The frame that PacketSink::SendPacket<PARAMETER_REQUEST> sends for a record.
inline Bytes ParamFrame(const Parameter& p, Address destination = Address::TX) {
  PacketBuffer<50> packet(ChannelDescriptor::PARAMETER_REQUEST, destination,
                          static_cast<PacketMedium>(3), static_cast<PacketMedium>(0));
  packet.Store(p);
  RecordingSink out;
  SlipWriter writer(out);
  writer << packet;
  return out.all_bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace link_frames
