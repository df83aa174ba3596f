#pragma once
#include <cstddef>
#include <cstdint>

#include "kovra/stream.h"

// A sink over caller-owned storage; never frees it.
class MemoryBuffer : public StreamSink {
 public:
  MemoryBuffer(uint8_t* data, size_t capacity, size_t size)
      : data_(data), capacity_(capacity), size_(size) {}

  bool Write(uint8_t b) override {
    if (size_ >= capacity_) return false;
    data_[size_++] = b;
    return true;
  }
  bool Sync() override {
    synced_ = true;
    return true;
  }
  bool Flush() override {
    size_ = 0;
    synced_ = false;
    return true;
  }

  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  size_t Capacity() const { return capacity_; }
  size_t Size() const { return size_; }
  void SetSize(size_t size) { size_ = size; }
  bool Synced() const { return synced_; }

 private:
  uint8_t* data_;
  size_t capacity_;
  size_t size_;
  bool synced_ = false;
};

// The empty buffer: packet reading returns it to report that nothing was read.
extern MemoryBuffer g_empty_buffer;
