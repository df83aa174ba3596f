#include "support/recording_sink.h"

bool RecordingSink::Write(uint8_t b) {
  ++writes;
  if (refuse_after >= 0 && static_cast<int>(all_bytes.size()) >= refuse_after) return false;
  current.push_back(b);
  all_bytes.push_back(b);
  return true;
}

bool RecordingSink::Sync() {
  ++syncs;
  units.push_back(current);
  current.clear();
  return true;
}

bool RecordingSink::Flush() {
  ++flushes;
  current.clear();
  return true;
}
