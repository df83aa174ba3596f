// Arbitrary bytes into a SlipReader: no crash, no sanitizer report, and every body delivered with
// a Sync is non-empty and, framed again with its CRC-32, is exactly what stood on the wire right
// before the END that closed it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kovra/crc.h"
#include "kovra/slip.h"

namespace {

class CheckingSink : public StreamSink {
 public:
  const uint8_t* input = nullptr;
  size_t end_index = 0;  // index of the byte being written to the reader
  std::vector<uint8_t> body;

  bool Write(uint8_t b) override {
    body.push_back(b);
    return true;
  }
  bool Sync() override {
    if (body.empty() || input[end_index] != 0xC0) abort();
    std::vector<uint8_t> framed;
    SlipWriter writer(collect_);
    collect_.out = &framed;
    for (uint8_t b : body) writer.Write(b);
    writer.Sync();
    // framed ends with its own END; compare everything before it with the wire.
    const size_t n = framed.size() - 1;
    if (n > end_index || std::memcmp(framed.data(), input + end_index - n, n) != 0) abort();
    body.clear();
    return true;
  }
  bool Flush() override {
    body.clear();
    return true;
  }

 private:
  struct Collect : StreamSink {
    std::vector<uint8_t>* out = nullptr;
    bool Write(uint8_t b) override {
      out->push_back(b);
      return true;
    }
    bool Sync() override { return true; }
    bool Flush() override { return true; }
  } collect_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckingSink sink;
  sink.input = data;
  SlipReader reader(sink);
  for (size_t i = 0; i < size; ++i) {
    sink.end_index = i;
    reader.Write(data[i]);
  }
  return 0;
}
