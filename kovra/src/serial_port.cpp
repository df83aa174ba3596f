#include "kovra/serial_port.h"

Serial::Serial(const std::string& device) : device_(device), lock_("serial-" + device) {}

int Serial::Write(const void* data, size_t n) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  return WriteImpl(data, n);
}

int Serial::Write(const std::string& s) { return Write(s.data(), s.size()); }

int Serial::Write(uint8_t b) { return Write(&b, 1); }

std::vector<uint8_t> Serial::Read(size_t n) {
  std::lock_guard<std::mutex> lock(read_mutex_);
  return ReadImpl(n);
}
