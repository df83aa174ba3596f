#pragma once
#include <cstddef>
#include <cstdint>

// Push interface through which every layer of the device link passes bytes.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // Takes one byte; false when the byte is refused.
  virtual bool Write(uint8_t b) = 0;
  // The current unit (frame, packet) is complete: push it on.
  virtual bool Sync() = 0;
  // Discards the partial unit collected so far.
  virtual bool Flush() = 0;
};

class StreamSource {
 public:
  virtual ~StreamSource() = default;
  virtual int Read() = 0;
  virtual size_t Size() = 0;
  virtual bool Flush() = 0;
};

// Failure sentinel: stream operators return a reference to g_stream_error to report failure.
// Only its address is ever used.
class StreamError : public StreamSink, public StreamSource {
 public:
  bool Write(uint8_t) override { return false; }
  bool Sync() override { return false; }
  bool Flush() override { return false; }
  int Read() override { return -1; }
  size_t Size() override { return 0; }
};
extern StreamError g_stream_error;

// A sink in front of another sink; Sync and Flush pass through.
class StreamFilter : public StreamSink {
 public:
  explicit StreamFilter(StreamSink& sink) : sink_(sink) {}
  bool Sync() override { return sink_.Sync(); }
  bool Flush() override { return sink_.Flush(); }

 protected:
  StreamSink& sink_;
};

// Base of sinks that collect a unit in memory (the message router).
class StreamBuffer : public StreamSink {};

// Writing FlushStream into a sink calls its Sync.
struct FlushStream {};

StreamSink& operator<<(StreamSink& sink, char c);
StreamSink& operator<<(StreamSink& sink, const char* s);
StreamSink& operator<<(StreamSink& sink, unsigned int v);
StreamSink& operator<<(StreamSink& sink, int v);
StreamSink& operator<<(StreamSink& sink, const FlushStream&);
