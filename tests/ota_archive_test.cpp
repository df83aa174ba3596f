// Firmware archive reading and image preparation.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <QTemporaryDir>

#include "kovra/ota.h"

namespace {

void PutU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// One record: type, size, then size bytes (i + seed for byte i).
std::string RawRecord(uint64_t type, uint64_t declared, size_t actual, uint8_t seed = 0) {
  std::string r;
  PutU64(&r, type);
  PutU64(&r, declared);
  for (size_t i = 0; i < actual; ++i) r.push_back(static_cast<char>(i + seed));
  return r;
}
std::string Record(uint64_t type, size_t size, uint8_t seed = 0) {
  return RawRecord(type, size, size, seed);
}

// A valid image: control block with section_size, then the body.
std::string Image(uint32_t section_size, size_t body_size) {
  std::string image(32, '\x11');
  for (int i = 0; i < 4; ++i) image[12 + i] = static_cast<char>(section_size >> (8 * i));
  for (size_t i = 0; i < body_size; ++i) image.push_back(static_cast<char>(0x80 + i));
  return image;
}
std::string ImageRecord(uint64_t type, const std::string& image) {
  std::string r;
  PutU64(&r, type);
  PutU64(&r, image.size());
  return r + image;
}

OtaArchive Read(const std::string& bytes) {
  std::istringstream in(bytes, std::ios::in | std::ios::binary);
  return OtaArchive(in);
}

TEST(OtaArchiveTest, EmptyAndShortInputsGiveNoEntries) {
  EXPECT_TRUE(Read("").index_.empty());
  EXPECT_TRUE(Read(std::string(15, '\x01')).index_.empty());
  // 16 bytes: a complete header declaring no data.
  const auto archive = Read(Record(4, 0));
  ASSERT_EQ(archive.index_.size(), 1u);
  EXPECT_TRUE(archive.index_[0].data_->empty());
}

TEST(OtaArchiveTest, StrayBytesAfterTheLastRecordAreIgnored) {
  const auto archive = Read(Record(2, 40) + std::string(15, '\x7F'));
  ASSERT_EQ(archive.index_.size(), 1u);
  EXPECT_EQ(archive.index_[0].type_, OtaArchive::TxShim);
  EXPECT_EQ(archive.index_[0].data_->size(), 40u);
  EXPECT_EQ((*archive.index_[0].data_)[39], 39);
  EXPECT_EQ(archive.CutShortRecord(), 0u);
}

TEST(OtaArchiveTest, TruncatedLastRecordIsDropped) {
  const auto archive = Read(Record(1, 10, 1) + Record(3, 20, 2) + RawRecord(4, 100, 99));
  ASSERT_EQ(archive.index_.size(), 2u);
  EXPECT_EQ(archive.index_[0].type_, OtaArchive::RxShim);
  EXPECT_EQ(archive.index_[1].type_, OtaArchive::RxApp);
  EXPECT_EQ((*archive.index_[1].data_)[0], 2);
  EXPECT_EQ(archive.CutShortRecord(), 3u);
}

TEST(OtaArchiveTest, SizeFarBeyondTheFileAllocatesNothing) {
  // Would be 16 EiB; the check against what the file holds comes before any allocation.
  const auto archive = Read(Record(4, 8, 8) + RawRecord(4, ~uint64_t{0}, 64));
  ASSERT_EQ(archive.index_.size(), 1u);
  EXPECT_EQ(archive.CutShortRecord(), 2u);
}

TEST(OtaArchiveTest, ImagesUpToTwoMebibytesAreRead) {
  const size_t limit = 2097152;
  const auto archive = Read(Record(4, limit, 3) + Record(3, limit + 1) + Record(1, 5, 9));
  ASSERT_EQ(archive.index_.size(), 2u);
  EXPECT_EQ(archive.CutShortRecord(), 0u);
  EXPECT_EQ(archive.index_[0].type_, OtaArchive::TxApp);
  EXPECT_EQ(archive.index_[0].data_->size(), limit);
  EXPECT_EQ(archive.index_[0].data_->back(), static_cast<uint8_t>(limit - 1 + 3));
  // The oversized record is skipped and the one after it read normally.
  EXPECT_EQ(archive.index_[1].type_, OtaArchive::RxShim);
  EXPECT_EQ(*archive.index_[1].data_, (std::vector<uint8_t>{9, 10, 11, 12, 13}));
}

TEST(OtaArchiveTest, UnknownTypeIsKeptAndHasNoTarget) {
  const auto archive = Read(ImageRecord(7, Image(4, 4)));
  ASSERT_EQ(archive.index_.size(), 1u);
  EXPECT_EQ(static_cast<uint64_t>(archive.index_[0].type_), 7u);
  OtaData image(archive.index_[0]);  // passes the checks like any other
  EXPECT_EQ(image.address_, 0u);
  EXPECT_EQ(OtaData::TypeIdToFirmwareId(archive.index_[0].type_), 0u);
  EXPECT_STREQ(OtaArchive::TypeIdToName(archive.index_[0].type_), "UNKNOWN");
}

TEST(OtaArchiveTest, KindTable) {
  struct Row {
    OtaArchive::TypeId type;
    Address address;
    uint32_t firmware;
    const char* name;
  };
  const Row rows[] = {{OtaArchive::RxShim, RX, 0x301, "RX shim"},
                      {OtaArchive::TxShim, TX, 0x302, "TX shim"},
                      {OtaArchive::RxApp, RX, 0x101, "RX app"},
                      {OtaArchive::TxApp, TX, 0x202, "TX app"},
                      {static_cast<OtaArchive::TypeId>(0), static_cast<Address>(0), 0, "UNKNOWN"},
                      {static_cast<OtaArchive::TypeId>(1ull << 40), static_cast<Address>(0), 0,
                       "UNKNOWN"}};
  for (const auto& row : rows) {
    EXPECT_EQ(OtaData::TypeIdToAddress(row.type), row.address);
    EXPECT_EQ(OtaData::TypeIdToFirmwareId(row.type), row.firmware);
    EXPECT_STREQ(OtaArchive::TypeIdToName(row.type), row.name);
  }
}

TEST(OtaArchiveTest, ImageOfMatchingSectionSizeIsValid) {
  const auto archive = Read(ImageRecord(4, Image(100, 100)));
  ASSERT_EQ(archive.index_.size(), 1u);
  const auto& entry = archive.index_[0];
  ASSERT_EQ(entry.data_->size(), 132u);
  OtaData image(entry);
  EXPECT_EQ(image.control_block_.section_size, 100u);
  EXPECT_EQ(image.address_, TX);
  EXPECT_EQ(image.GetData(), entry.data_->data() + 32);
  EXPECT_EQ(image.GetData()[0], 0x80);
  EXPECT_EQ(image.GetData()[99], 0x80 + 99);
  uint8_t back[32];
  image.control_block_.ToBytes(back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 32),
            std::vector<uint8_t>(entry.data_->begin(), entry.data_->begin() + 32));
}

TEST(OtaArchiveTest, MalformedImagesFailPreparation) {
  const auto archive = Read(ImageRecord(4, Image(99, 100)) + ImageRecord(4, Image(101, 100)) +
                            Record(3, 0) + Record(1, 31) + ImageRecord(9, Image(5, 4)) +
                            ImageRecord(2, Image(0xFFFFFFE0u, 0)));
  ASSERT_EQ(archive.index_.size(), 6u);
  for (const auto& entry : archive.index_) {
    EXPECT_THROW(OtaData{entry}, OtaImageError) << "type " << entry.type_;
  }
}

TEST(OtaArchiveTest, EntriesShareTheirBytes) {
  std::unique_ptr<OtaData> image;
  {
    auto archive = Read(ImageRecord(3, Image(8, 8)));
    OtaArchive::Entry copy = archive.index_[0];
    EXPECT_EQ(copy.data_, archive.index_[0].data_);
    image = std::make_unique<OtaData>(copy);
    EXPECT_EQ(image->entry_.data_, archive.index_[0].data_);
  }
  // The archive is gone; the image still holds the bytes.
  EXPECT_EQ(image->GetData()[7], 0x87);
  OtaArchive::Entry fresh(OtaArchive::TxApp, 3);
  EXPECT_EQ(*fresh.data_, (std::vector<uint8_t>{0, 0, 0}));
}

TEST(OtaArchiveTest, ReadsFilesAsTheUpdateOpensThem) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("update.bin").toStdString();
  {
    std::ofstream out(path, std::ios::binary);
    out << ImageRecord(4, Image(3, 3)) << ImageRecord(3, Image(0, 0)) << "xyz";
  }
  std::ifstream in(path, std::ios::in | std::ios::binary | std::ios::ate);
  const OtaArchive archive(in);
  ASSERT_EQ(archive.index_.size(), 2u);
  EXPECT_EQ(archive.index_[0].data_->size(), 35u);
  EXPECT_EQ(archive.index_[1].data_->size(), 32u);

  std::ifstream missing(dir.filePath("missing.bin").toStdString(),
                        std::ios::in | std::ios::binary | std::ios::ate);
  EXPECT_TRUE(OtaArchive(missing).index_.empty());
}

TEST(OtaArchiveTest, ControlBlockSectionSizeIsLittleEndian) {
  uint8_t bytes[32] = {};
  bytes[12] = 0x64;
  bytes[13] = 0x01;
  bytes[15] = 0x80;
  bytes[0] = 0xEE;
  bytes[31] = 0xFF;
  const auto block = OtaControlBlock::FromBytes(bytes);
  EXPECT_EQ(block.section_size, 0x80000164u);
  uint8_t out[32];
  block.ToBytes(out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 32), std::vector<uint8_t>(bytes, bytes + 32));
}

}  // namespace
