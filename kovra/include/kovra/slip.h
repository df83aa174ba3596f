#pragma once
#include <cstddef>
#include <cstdint>

#include "kovra/crc.h"
#include "kovra/memory_buffer.h"
#include "kovra/stream.h"

namespace slip {
constexpr uint8_t END = 0xC0;
constexpr uint8_t ESC = 0xDB;
constexpr uint8_t ESC_END = 0xDC;
constexpr uint8_t ESC_ESC = 0xDD;
}  // namespace slip

// Fixed ring of the last N pushed values; [0] is the newest. Never cleared.
template <typename T, int N>
class RingBuffer {
 public:
  void Push(const T& v) {
    head_ = (head_ + 1) % N;
    data_[head_] = v;
  }
  const T& operator[](int i) const { return data_[((head_ - i) % N + N) % N]; }

 private:
  T data_[N] = {};
  int head_ = -1;
};

// Frames the bytes of one packet: escapes them, and at Sync appends the CRC-32 (least
// significant byte first, escaped too) and END, then syncs the sink.
class SlipWriter : public StreamFilter {
 public:
  explicit SlipWriter(StreamSink& sink)
      : StreamFilter(sink), crc_(0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, CrcCalculator::CRC32) {}

  bool Write(uint8_t b) override;
  bool Sync() override;
  bool Flush() override { return sink_.Flush(); }

 private:
  CrcCalculator crc_;
};

// Un-escapes a received byte stream and checks each frame's CRC. The body of a frame reaches the
// sink byte by byte, four bytes late (so the CRC never does), followed by Sync for a good frame
// or Flush for a bad one.
class SlipReader : public StreamFilter {
 public:
  enum State : int { Error = 0, Normal = 1, Escape = 2, FrameDone = 3 };

  explicit SlipReader(StreamSink& sink)
      : StreamFilter(sink), crc_(0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, CrcCalculator::CRC32) {}

  bool Write(uint8_t b) override;
  bool Sync() override { return true; }
  bool Flush() override { return sink_.Flush(); }

  // True from a good frame's END until the next byte.
  bool GotFrame() const { return state_ == FrameDone; }
  State GetState() const { return static_cast<State>(state_); }

 private:
  bool WriteAndCheck(uint8_t b);
  bool EndOfFrame();
  void Restart();

  CrcCalculator crc_;
  size_t count_ = 0;
  RingBuffer<uint32_t, 5> crc_history_;
  RingBuffer<uint8_t, 5> byte_history_;
  int state_ = Normal;
};

// Frames in's bytes, appending to out. Returns in's size, or 0 on failure.
size_t SlipEncode(const MemoryBuffer& in, MemoryBuffer* out);
// Decodes the first good frame of in into out (in and out may be the same buffer). Returns the
// number of bytes consumed, END included, or 0 when no good frame was found.
size_t SlipDecode(const MemoryBuffer& in, MemoryBuffer* out);
