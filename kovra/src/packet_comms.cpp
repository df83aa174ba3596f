#include "korvane/packet_comms.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

MemoryBuffer& operator>>(MemoryBuffer& source, PacketBuffer<50>& packet) {
  const size_t n = source.Size();
  if (n < 3 || n > 2 + PacketBuffer<50>::CAPACITY) return g_empty_buffer;
  deserialize(source.Data(), &packet.Header());
  std::memcpy(packet.Data(), source.Data() + 2, n - 2);
  packet.SetSize(static_cast<uint16_t>(n - 2));
  return source;
}

StreamSink& operator<<(StreamSink& sink, const PacketBuffer<50>& packet) {
  uint8_t header[2];
  serialize(packet.Header(), header);
  for (uint8_t b : header) {
    if (!sink.Write(b)) return g_stream_error;
  }
  const uint8_t* data = packet.Data();
  for (uint16_t i = 0; i < packet.Size(); ++i) {
    if (!sink.Write(data[i])) return g_stream_error;
  }
  return sink << FlushStream();
}

void BrokenInvariant(const char* text) {
  std::fprintf(stderr, "Assertion `%s' failed.\n", text);
  std::abort();
}
