// Arbitrary bytes read as a firmware archive, and every entry prepared as an image: no crash, no
// sanitizer report, no single allocation larger than the input could justify, an input that
// ends inside a record is reported as cut short at that record, and an input of more records than
// an archive holds is reported at the first record beyond, with nothing read from there on.
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "kovra/ota.h"

namespace {

std::atomic<bool> g_watching{false};
std::atomic<size_t> g_largest{0};

void OnMalloc(const volatile void*, size_t size) {
  if (!g_watching.load(std::memory_order_relaxed)) return;
  size_t seen = g_largest.load(std::memory_order_relaxed);
  while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
  }
}
void OnFree(const volatile void*) {}

const bool g_hooks_installed = [] {
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  return true;
}();

// The image rule, restated independently: a 32-byte block whose bytes 12..15 (little-endian)
// give the length of the rest.
bool WellFormed(const std::vector<uint8_t>& d) {
  if (d.size() < 32) return false;
  uint64_t section = 0;
  for (int i = 3; i >= 0; --i) section = section << 8 | d[12 + i];
  return d.size() == 32 + section;
}

// An archive holds at most 16 records.
constexpr size_t kRecordLimit = 16;
static_assert(kRecordLimit == OtaArchive::kMaxRecords, "the reader's record limit");

// Where reading must stop, restated from the record headers alone: the record the input ends
// inside of, or the 17th record, whatever it holds, and where that one starts. Both 0 when the
// last record ends with at most 15 stray bytes after it.
struct Stop {
  size_t cut_short = 0;
  size_t excess = 0;
  size_t excess_offset = 0;
};
Stop ExpectedStop(const uint8_t* data, size_t size) {
  size_t pos = 0;
  for (size_t record = 1; size - pos >= 16; ++record) {
    if (record > kRecordLimit) return {0, record, pos};
    uint64_t declared = 0;
    for (int i = 15; i >= 8; --i) declared = declared << 8 | data[pos + i];
    pos += 16;
    if (declared > size - pos) return {record, 0};
    pos += declared;
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)g_hooks_installed;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size),
                        std::ios::in | std::ios::binary);
  g_largest = 0;
  g_watching = true;
  {
    OtaArchive archive(in);
    if (archive.index_.size() > kRecordLimit) abort();
    uint64_t total = 0;
    for (const auto& entry : archive.index_) {
      total += 16 + entry.data_->size();
      if (entry.data_->size() > OtaArchive::kMaxImageSize) abort();
      try {
        OtaData image(entry);
        const auto* end = image.GetData() + image.control_block_.section_size;
        if (end != entry.data_->data() + entry.data_->size()) abort();
        if (image.address_ != OtaData::TypeIdToAddress(entry.type_)) abort();
        (void)OtaData::TypeIdToFirmwareId(entry.type_);
      } catch (const OtaImageError&) {
        if (WellFormed(*entry.data_)) abort();
      }
    }
    // The entries (with their headers) never add up to more than the input.
    if (total > size) abort();
    const Stop stop = ExpectedStop(data, size);
    if (archive.CutShortRecord() != stop.cut_short) abort();
    if (archive.ExcessRecord() != stop.excess) abort();
    // Not a byte of the record beyond is read.
    if (stop.excess != 0 && in.tellg() != static_cast<std::streamoff>(stop.excess_offset)) abort();
  }
  g_watching = false;
  // Containers of the reader itself need a little beyond the data: a deque map and node.
  if (g_largest.load() > size + 4096) abort();
  return 0;
}
