#pragma once
#include <cstdint>
#include <vector>

#include "kovra/stream.h"

// A sink that records what reaches it: the bytes of the unit in progress, each completed unit
// (at Sync), and how often each operation was called. Can be told to refuse bytes.
class RecordingSink : public StreamSink {
 public:
  bool Write(uint8_t b) override;
  bool Sync() override;
  bool Flush() override;

  std::vector<uint8_t> current;              // bytes since the last Sync or Flush
  std::vector<std::vector<uint8_t>> units;   // completed units, in order
  std::vector<uint8_t> all_bytes;            // every byte accepted, in order
  int writes = 0;
  int syncs = 0;
  int flushes = 0;
  int refuse_after = -1;  // refuse every Write once this many were accepted (-1: never)
};
