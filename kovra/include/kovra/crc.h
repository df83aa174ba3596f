#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

// CRC-32/BZIP2 (poly 0x04C11DB7, init and final XOR 0xFFFFFFFF, not reflected) and
// CRC-16/GENIBUS (poly 0x1021, init and final XOR 0xFFFF, not reflected), table driven.
extern const std::array<uint32_t, 256> table32;
extern const std::array<uint16_t, 256> table16;

inline uint32_t update_crc32(uint32_t crc, uint8_t b) {
  return table32[((crc >> 24) ^ b) & 0xFF] ^ (crc << 8);
}
uint32_t update_crc32(uint32_t crc, const uint8_t* p, size_t n);
uint32_t crc32(uint8_t* p, size_t n);

inline uint16_t update_crc16(uint16_t crc, uint8_t b) {
  return static_cast<uint16_t>((crc << 8) ^ table16[((crc >> 8) ^ b) & 0xFF]);
}
uint16_t update_crc16(uint16_t crc, const uint8_t* p, size_t n);
uint16_t crc16(uint8_t* p, size_t n);

// Running CRC-32/BZIP2. The polynomial, final XOR and size are kept but the computation is
// always CRC-32/BZIP2 through table32.
class CrcCalculator {
 public:
  enum CrcSize : uint32_t { CRC8 = 1, CRC16 = 2, CRC32 = 3 };

  CrcCalculator(uint32_t polynomial, uint32_t initial, uint32_t final_xor, CrcSize size)
      : polynomial_(polynomial), crc_(initial), final_xor_(final_xor), size_(size) {}

  uint32_t Accumulate(uint8_t b) {
    crc_ = update_crc32(crc_, b);
    return GetCrc();
  }
  // Folds n bytes in and stores the CRC in out; 0x80 (and nothing changed) for a null pointer.
  uint32_t Accumulate(const uint8_t* p, size_t n, uint32_t& out, size_t);
  // The CRC of everything accumulated since the last reset; accumulation may go on after it.
  uint32_t GetCrc() const { return ~crc_; }
  void Reset() { crc_ = 0xFFFFFFFF; }
  uint32_t Polynomial() const { return polynomial_; }
  uint32_t FinalXor() const { return final_xor_; }
  CrcSize Size() const { return static_cast<CrcSize>(size_); }

 private:
  uint32_t polynomial_;
  uint32_t crc_;
  uint32_t final_xor_;
  uint32_t size_;
};
