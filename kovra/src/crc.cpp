#include "kovra/crc.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> MakeTable32() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : (r << 1);
    t[i] = r;
  }
  return t;
}

constexpr std::array<uint16_t, 256> MakeTable16() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 8;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000u) ? ((r << 1) ^ 0x1021u) : (r << 1);
    t[i] = static_cast<uint16_t>(r);
  }
  return t;
}

}  // namespace

// Constant-initialised, so usable before main.
extern const std::array<uint32_t, 256> table32 = MakeTable32();
extern const std::array<uint16_t, 256> table16 = MakeTable16();

uint32_t update_crc32(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = update_crc32(crc, p[i]);
  return crc;
}

uint32_t crc32(uint8_t* p, size_t n) { return ~update_crc32(0xFFFFFFFFu, p, n); }

uint16_t update_crc16(uint16_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = update_crc16(crc, p[i]);
  return crc;
}

uint16_t crc16(uint8_t* p, size_t n) {
  return static_cast<uint16_t>(~update_crc16(0xFFFF, p, n));
}

uint32_t CrcCalculator::Accumulate(const uint8_t* p, size_t n, uint32_t& out, size_t) {
  if (p == nullptr) return 0x80;
  crc_ = update_crc32(crc_, p, n);
  out = GetCrc();
  return 0;
}
