#include "kovra/slip.h"

using namespace slip;

bool SlipWriter::Write(uint8_t b) {
  crc_.Accumulate(b);
  if (b == END) {
    bool first = sink_.Write(ESC);
    bool second = sink_.Write(ESC_END);
    return first && second;
  }
  if (b == ESC) {
    bool first = sink_.Write(ESC);
    bool second = sink_.Write(ESC_ESC);
    return first && second;
  }
  return sink_.Write(b);
}

bool SlipWriter::Sync() {
  const uint32_t c = crc_.GetCrc();
  bool ok = true;
  for (int i = 0; i < 4; ++i) ok = Write(static_cast<uint8_t>(c >> (8 * i))) && ok;
  ok = sink_.Write(END) && ok;
  crc_.Reset();
  ok = sink_.Sync() && ok;
  return ok;
}

void SlipReader::Restart() {
  crc_.Reset();
  count_ = 0;
}

bool SlipReader::WriteAndCheck(uint8_t b) {
  byte_history_.Push(b);
  crc_history_.Push(crc_.Accumulate(b));
  ++count_;
  if (count_ <= 4) return true;
  bool ok = sink_.Write(byte_history_[4]);
  if (!ok) {
    sink_.Flush();
    Restart();
  }
  return ok;
}

bool SlipReader::EndOfFrame() {
  const uint32_t received = static_cast<uint32_t>(byte_history_[3]) |
                            static_cast<uint32_t>(byte_history_[2]) << 8 |
                            static_cast<uint32_t>(byte_history_[1]) << 16 |
                            static_cast<uint32_t>(byte_history_[0]) << 24;
  // An empty body (exactly four bytes) is refused: the history would hold a CRC from before
  // the frame.
  const bool good = count_ > 4 && crc_history_[4] == received;
  Restart();
  if (good) {
    sink_.Sync();
    state_ = FrameDone;
    return true;
  }
  sink_.Flush();
  return false;
}

bool SlipReader::Write(uint8_t b) {
  switch (state_) {
    case FrameDone:
      state_ = Normal;
      [[fallthrough]];
    case Normal:
      if (b == END) return EndOfFrame();
      if (b == ESC) {
        state_ = Escape;
        return true;
      }
      return WriteAndCheck(b);
    case Escape:
      if (b == ESC_END) {
        state_ = Normal;
        return WriteAndCheck(END);
      }
      if (b == ESC_ESC) {
        state_ = Normal;
        return WriteAndCheck(ESC);
      }
      state_ = Error;
      if (b == END) {
        // The bad escape is the frame's last byte: the END closes it at once.
        state_ = Normal;
        sink_.Flush();
        Restart();
      }
      return false;
    default:
      // Error: everything up to the next END is dropped; that END closes the damaged frame and
      // discards what of it already reached the sink.
      if (b == END) {
        state_ = Normal;
        sink_.Flush();
        Restart();
      }
      return false;
  }
}

size_t SlipEncode(const MemoryBuffer& in, MemoryBuffer* out) {
  if (in.Size() > out->Capacity() + 5) return 0;
  SlipWriter writer(*out);
  for (size_t i = 0; i < in.Size(); ++i) {
    if (!writer.Write(in.Data()[i])) return 0;
  }
  if (!writer.Sync()) return 0;
  return in.Size();
}

size_t SlipDecode(const MemoryBuffer& in, MemoryBuffer* out) {
  if (in.Size() > 2 * out->Capacity() + 5) return 0;
  // Only the bytes the input holds are read, also when in and out are the same buffer (whose
  // size is reset so the body overwrites the frame from the start).
  const size_t n = in.Size();
  if (&in == out) out->SetSize(0);
  SlipReader reader(*out);
  size_t i = 0;
  // Each byte is read before anything is written for it, and un-escaping only shrinks the
  // data, so in place the output never overtakes the reading position.
  while (!reader.GotFrame() && i < n) {
    const uint8_t b = in.Data()[i++];
    if (!reader.Write(b)) return 0;
  }
  if (!reader.GotFrame()) return 0;
  reader.Sync();
  return i;
}
