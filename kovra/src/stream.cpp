#include "kovra/stream.h"

#include "kovra/memory_buffer.h"

StreamError g_stream_error;
MemoryBuffer g_empty_buffer(nullptr, 0, 0);

StreamSink& operator<<(StreamSink& sink, char c) {
  sink.Write(static_cast<uint8_t>(c));
  return sink;
}

StreamSink& operator<<(StreamSink& sink, const char* s) {
  for (; *s != '\0'; ++s) sink << *s;
  return sink;
}

StreamSink& operator<<(StreamSink& sink, unsigned int v) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) sink << digits[--n];
  return sink;
}

StreamSink& operator<<(StreamSink& sink, int v) {
  if (v < 0) {
    sink << '-';
    // Negate in unsigned arithmetic so INT_MIN is safe.
    return sink << (0u - static_cast<unsigned int>(v));
  }
  return sink << static_cast<unsigned int>(v);
}

StreamSink& operator<<(StreamSink& sink, const FlushStream&) {
  sink.Sync();
  return sink;
}
