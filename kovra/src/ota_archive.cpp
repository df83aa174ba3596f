// Firmware archive reader and image preparation.
#include <cstring>

#include "kovra/ota.h"

namespace {

uint64_t LoadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Reads one little-endian u64; false when the stream could not deliver all 8 bytes.
bool ReadU64(std::istream& in, uint64_t* value) {
  uint8_t bytes[8] = {};
  in.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
  if (in.gcount() != static_cast<std::streamsize>(sizeof(bytes))) return false;
  *value = LoadU64(bytes);
  return true;
}

}  // namespace

OtaControlBlock OtaControlBlock::FromBytes(const uint8_t* bytes) {
  OtaControlBlock block;
  std::memcpy(block.head, bytes, sizeof(block.head));
  block.section_size = static_cast<uint32_t>(bytes[12]) | static_cast<uint32_t>(bytes[13]) << 8 |
                       static_cast<uint32_t>(bytes[14]) << 16 |
                       static_cast<uint32_t>(bytes[15]) << 24;
  std::memcpy(block.tail, bytes + 16, sizeof(block.tail));
  return block;
}

void OtaControlBlock::ToBytes(uint8_t* out) const {
  std::memcpy(out, head, sizeof(head));
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<uint8_t>(section_size >> (8 * i));
  std::memcpy(out + 16, tail, sizeof(tail));
}

OtaArchive::Entry::Entry(TypeId type, std::size_t size)
    : type_(type), data_(std::make_shared<std::vector<uint8_t>>(size)) {}

OtaArchive::OtaArchive(std::istream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.seekg(0, std::ios::beg);
  in.clear();
  // An unopened or unseekable stream reports -1: nothing to read.
  uint64_t remaining = end > 0 ? static_cast<uint64_t>(end) : 0;

  std::size_t record = 0;
  while (in.good() && remaining >= 16) {
    // Whatever follows, a file of this many records is no archive: nothing more is read.
    if (record == kMaxRecords) {
      excess_record_ = record + 1;
      break;
    }
    ++record;
    uint64_t type = 0;
    uint64_t size = 0;
    if (!ReadU64(in, &type) || !ReadU64(in, &size)) {
      cut_short_record_ = record;
      break;
    }
    remaining -= 16;
    // A record that claims more than the file holds is the truncated last one. Checking before
    // anything is allocated keeps memory bounded by the file's size.
    if (size > remaining) {
      cut_short_record_ = record;
      break;
    }
    if (size > kMaxImageSize) {
      in.seekg(static_cast<std::streamoff>(size), std::ios::cur);
      if (!in.good()) {
        cut_short_record_ = record;
        break;
      }
    } else {
      index_.emplace_back(static_cast<TypeId>(type), static_cast<std::size_t>(size));
      auto& data = *index_.back().data_;
      in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
      // A short read (the file changed under us, or a read error) leaves no half-filled image.
      if (in.gcount() != static_cast<std::streamsize>(size)) {
        index_.pop_back();
        cut_short_record_ = record;
        break;
      }
    }
    remaining -= size;
  }
}

const char* OtaArchive::TypeIdToName(TypeId type) {
  switch (type) {
    case RxShim: return "RX shim";
    case TxShim: return "TX shim";
    case RxApp: return "RX app";
    case TxApp: return "TX app";
  }
  return "UNKNOWN";
}

OtaData::OtaData(const OtaArchive::Entry& entry)
    : address_(TypeIdToAddress(entry.type_)), entry_(entry) {
  const auto& data = *entry_.data_;
  if (data.size() < OtaControlBlock::kSize) {
    throw OtaImageError("image of " + std::to_string(data.size()) +
                        " bytes is shorter than its control block");
  }
  control_block_ = OtaControlBlock::FromBytes(data.data());
  const uint64_t expected = OtaControlBlock::kSize + uint64_t{control_block_.section_size};
  if (data.size() != expected) {
    throw OtaImageError("image of " + std::to_string(data.size()) + " bytes, control block says " +
                        std::to_string(expected));
  }
}

const uint8_t* OtaData::GetData() const { return entry_.data_->data() + OtaControlBlock::kSize; }

Address OtaData::TypeIdToAddress(const OtaArchive::TypeId& type) {
  switch (type) {
    case OtaArchive::RxShim:
    case OtaArchive::RxApp:
      return RX;
    case OtaArchive::TxShim:
    case OtaArchive::TxApp:
      return TX;
  }
  return static_cast<Address>(0);
}

uint32_t OtaData::TypeIdToFirmwareId(OtaArchive::TypeId type) {
  switch (type) {
    case OtaArchive::RxShim: return 0x301;
    case OtaArchive::TxShim: return 0x302;
    case OtaArchive::RxApp: return 0x101;
    case OtaArchive::TxApp: return 0x202;
  }
  return 0;
}
