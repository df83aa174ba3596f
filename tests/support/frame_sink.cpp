#include "support/frame_sink.h"

#include <stdexcept>

#include "kovra/memory_buffer.h"
#include "kovra/slip.h"

bool FrameSink::Write(uint8_t b) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (throw_) throw std::runtime_error("link down");
  current_.push_back(b);
  return true;
}

bool FrameSink::Sync() {
  Frame frame;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame.bytes.swap(current_);
  }
  std::vector<uint8_t> body(frame.bytes.size() + 1);
  MemoryBuffer in(frame.bytes.data(), frame.bytes.size(), frame.bytes.size());
  MemoryBuffer out(body.data(), body.size(), 0);
  if (SlipDecode(in, &out) != 0 && out.Size() >= kPacketHeaderWireSize) {
    deserialize(body.data(), &frame.header);
    if (out.Size() >= kPacketHeaderWireSize + kParameterWireSize)
      deserialize(body.data() + kPacketHeaderWireSize, &frame.record);
    frame.good = true;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(std::move(frame));
  }
  cv_.notify_all();
  return true;
}

bool FrameSink::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  current_.clear();
  return true;
}

std::vector<FrameSink::Frame> FrameSink::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

size_t FrameSink::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

bool FrameSink::WaitForFrames(size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return frames_.size() >= n; });
}

void FrameSink::ThrowOnWrite(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  throw_ = on;
}
