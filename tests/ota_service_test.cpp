// Firmware-update exchanges against scripted replies: a sink decodes each request frame and a
// device thread of its own answers through HandleControlPacket, as the I/O thread does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kovra/memory_buffer.h"
#include "kovra/ota.h"
#include "kovra/slip.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;

struct Request {
  std::vector<uint8_t> body;  // header and payload, as framed
  PacketHeader header;
  OtaDataPacket packet;
};

struct Reply {
  OtaControlPacket packet;
  Address source = TX;
};

Reply MakeReply(uint8_t status, uint32_t info, uint8_t seq = 0, Address source = TX) {
  Reply r;
  r.packet.info = info;
  r.packet.status = static_cast<OtaControlPacket::Type>(status);
  r.packet.seq = seq;
  r.source = source;
  return r;
}
Reply Ack(uint32_t info) { return MakeReply(OtaControlPacket::Ack, info); }
Reply Nak(uint32_t info) { return MakeReply(OtaControlPacket::Nak, info); }
Reply Pend() { return MakeReply(OtaControlPacket::Pend, 0); }

uint32_t ChunkOffset(const OtaDataPacket& p) {
  return p.payload[0] | p.payload[1] << 8 | p.payload[2] << 16 | uint32_t{p.payload[3]} << 24;
}

// Plays a device: every request frame the service sends is decoded and handed to the script on
// the device's own thread, whose replies go back through HandleControlPacket in order.
class ScriptedDevice : public PacketSink {
 public:
  // Called with each request and its index (0 for the first); returns the replies to it.
  using Script = std::function<std::vector<Reply>(const Request&, size_t)>;

  explicit ScriptedDevice(Script script) : script_(std::move(script)) {}
  ~ScriptedDevice() override { Stop(); }

  void Attach(OtaService* service) {
    service_ = service;
    thread_ = std::thread([this] { Run(); });
  }
  // Ends the device thread; call before the service goes away.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  bool Write(uint8_t b) override {
    if (failing_sends_ > 0) {
      --failing_sends_;
      current_.clear();
      throw std::runtime_error("link down");
    }
    current_.push_back(b);
    return true;
  }
  // The next n sends fail: their first byte throws std::runtime_error. Call from the sending
  // thread, between exchanges.
  void FailSends(int n) { failing_sends_ = n; }
  bool Sync() override {
    Request request;
    std::vector<uint8_t> body(current_.size() + 1);
    MemoryBuffer in(current_.data(), current_.size(), current_.size());
    MemoryBuffer out(body.data(), body.size(), 0);
    EXPECT_NE(SlipDecode(in, &out), 0u);
    EXPECT_EQ(out.Size(), kPacketHeaderWireSize + kOtaDataPacketWireSize);
    body.resize(out.Size());
    current_.clear();
    request.body = body;
    if (body.size() == kPacketHeaderWireSize + kOtaDataPacketWireSize) {
      deserialize(body.data(), &request.header);
      deserialize(body.data() + kPacketHeaderWireSize, &request.packet);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      pending_.push_back(requests_.size() - 1);
    }
    cv_.notify_all();
    return true;
  }
  bool Flush() override {
    current_.clear();
    return true;
  }

  std::vector<Request> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Waits until every request so far has been answered.
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, 5s, [this] { return pending_.empty() && !busy_; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !pending_.empty(); });
      if (stop_) return;
      const size_t index = pending_.front();
      pending_.pop_front();
      const Request request = requests_[index];
      busy_ = true;
      lock.unlock();
      for (const Reply& reply : script_(request, index)) {
        PacketHeader header;
        header.channel = ChannelDescriptor::OTA_CONTROL;
        header.SetSource(reply.source);
        header.SetDestination(PC);
        std::vector<uint8_t> payload(50, 0);
        serialize(reply.packet, payload.data());
        service_->HandleControlPacket(header, payload);
      }
      lock.lock();
      busy_ = false;
      cv_.notify_all();
    }
  }

  Script script_;
  OtaService* service_ = nullptr;
  std::vector<uint8_t> current_;  // only the sending thread touches it
  int failing_sends_ = 0;         // likewise
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Request> requests_;
  std::deque<size_t> pending_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

OtaControlBlock BlockOf(uint32_t section_size) {
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(section_size >> (8 * i));
  return OtaControlBlock::FromBytes(bytes);
}

class OtaExchangeTest : public ::testing::Test {
 protected:
  void Use(ScriptedDevice::Script script) {
    auto device = std::make_unique<ScriptedDevice>(std::move(script));
    device_ = device.get();
    service_ = std::make_unique<OtaService>(std::move(device));
    device_->Attach(service_.get());
  }
  void TearDown() override {
    if (device_) device_->Stop();
    service_.reset();
  }
  std::vector<Request> Sent() { return device_->Requests(); }

  LogCapture log_{spdlog::level::debug};
  ScriptedDevice* device_ = nullptr;
  std::unique_ptr<OtaService> service_;
};

TEST_F(OtaExchangeTest, SeventyByteBodyGoesOutAsThreeChunks) {
  Use([](const Request& r, size_t) {
    return std::vector<Reply>{Ack(ChunkOffset(r.packet))};
  });
  std::vector<uint8_t> body(70);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i + 1);

  // A generous time-out: every try is answered, and a slow device thread must not cost a resend.
  ASSERT_TRUE(service_->SendImageData(body.data(), 70, RX, 2000, 3));

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    std::vector<uint8_t> expected = {0x0A, 0xF2, static_cast<uint8_t>(32 * k), 0, 0, 0};
    for (size_t i = 0; i < 32; ++i) {
      const size_t at = 32 * k + i;
      expected.push_back(at < body.size() ? body[at] : 0);
    }
    expected.push_back(0x02);  // ImageData
    expected.push_back(0x00);
    EXPECT_EQ(sent[k].body, expected) << "chunk " << k;
  }
  // The last chunk: 6 body bytes then 26 zero bytes.
  EXPECT_EQ(sent[2].packet.payload[4 + 5], 70);
  EXPECT_EQ(sent[2].packet.payload[4 + 6], 0);
  EXPECT_EQ(log_.Count("num copied: 6"), 1);
  EXPECT_EQ(log_.Count("copy offset into payload: 64"), 1);
  EXPECT_EQ(log_.Count("recv control packet ack : 64"), 1);
  EXPECT_EQ(log_.Count("start data send"), 1);
}

TEST_F(OtaExchangeTest, EmptyBodyAndZeroTriesSendNothing) {
  Use([](const Request& r, size_t) { return std::vector<Reply>{Ack(ChunkOffset(r.packet))}; });
  const uint8_t byte = 7;
  EXPECT_TRUE(service_->SendImageData(&byte, 0, TX, 50, 5));
  EXPECT_FALSE(service_->SendImageData(&byte, 1, TX, 50, 0));
  EXPECT_FALSE(service_->SendInitPacket(BlockOf(1), TX, 50, 0));
  EXPECT_EQ(service_->GetFirmwareId(TX, 50, 0), 0u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(OtaExchangeTest, PendIsLoggedButTheTryStillTimesOut) {
  Use([](const Request&, size_t index) {
    return index == 0 ? std::vector<Reply>{Pend()} : std::vector<Reply>{Ack(0)};
  });
  const uint8_t body[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  // The first try waits out its time-out; the second is answered well within it.
  ASSERT_TRUE(service_->SendImageData(body, sizeof(body), TX, 500, 5));

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].body, sent[1].body);
  EXPECT_EQ(log_.Count("OTA Control packet recv : status Pend | info 00000000 | seq 00"), 1);
  EXPECT_EQ(log_.Count("timeout waiting image data send"), 1);
  EXPECT_EQ(log_.Count("try # 1"), 1);
}

TEST_F(OtaExchangeTest, OutOfOrderAcksCostTriesAndStaleRepliesCarryOver) {
  // The device answers the first chunk twice. That second Ack is taken by the next chunk's
  // first try, so that chunk goes out again; the echo walks along the transfer and is left
  // queued at the end, where the next exchange takes it as its answer.
  Use([](const Request& r, size_t index) {
    std::vector<Reply> replies{Ack(ChunkOffset(r.packet))};
    if (index == 0) replies.push_back(Ack(0));
    return replies;
  });
  std::vector<uint8_t> body(70, 0x55);
  ASSERT_TRUE(service_->SendImageData(body.data(), 70, TX, 2000, 2));

  std::vector<uint32_t> offsets;
  for (const auto& r : Sent()) offsets.push_back(ChunkOffset(r.packet));
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 32, 32, 64, 64}));
  EXPECT_EQ(log_.Count("recv control packet out of order ack : 0"), 1);
  EXPECT_EQ(log_.Count("recv control packet out of order ack : 32"), 1);

  device_->WaitIdle();
  // The left-over Ack of chunk 64 answers the firmware-id query after a single send.
  EXPECT_EQ(service_->GetFirmwareId(TX, 2000, 5), 64u);
  EXPECT_EQ(Sent().size(), 6u);
}

TEST_F(OtaExchangeTest, ChunkFailsWhenEveryTryIsRefused) {
  Use([](const Request& r, size_t) { return std::vector<Reply>{Nak(ChunkOffset(r.packet))}; });
  const uint8_t body[40] = {};
  EXPECT_FALSE(service_->SendImageData(body, sizeof(body), TX, 2000, 3));
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(log_.Count("recv control packet nak : 0"), 3);
  EXPECT_EQ(log_.Count("too many naks or timeouts, failing data transfer"), 1);
}

TEST_F(OtaExchangeTest, ChunkTimesOutWithoutAnyReply) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  const uint8_t body[4] = {1, 2, 3, 4};
  EXPECT_FALSE(service_->SendImageData(body, sizeof(body), TX, 20, 4));
  EXPECT_EQ(Sent().size(), 4u);
  EXPECT_EQ(log_.Count("timeout waiting image data send"), 4);
}

TEST_F(OtaExchangeTest, FailedSendOfAChunkCountsAsATryWithoutReply) {
  Use([](const Request& r, size_t) { return std::vector<Reply>{Ack(ChunkOffset(r.packet))}; });
  device_->FailSends(1);
  const uint8_t body[4] = {1, 2, 3, 4};
  ASSERT_TRUE(service_->SendImageData(body, sizeof(body), TX, 500, 3));
  EXPECT_EQ(log_.Count("SendPacket failed"), 1);
  EXPECT_EQ(log_.Count("timeout waiting image data send"), 1);
  EXPECT_EQ(log_.Count("try # 1"), 1);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(ChunkOffset(Sent()[0].packet), 0u);
}

TEST_F(OtaExchangeTest, FailedSendLeavesTheOtherExchangesWithTheError) {
  Use([](const Request&, size_t) { return std::vector<Reply>{Ack(0x202)}; });
  device_->FailSends(1);
  EXPECT_THROW(service_->GetFirmwareId(TX, 1000, 5), std::runtime_error);
  device_->FailSends(1);
  EXPECT_THROW(service_->SendInitPacket(BlockOf(0), TX, 1000, 5), std::runtime_error);
  // The exchange released the service: the next one runs as usual.
  EXPECT_EQ(service_->GetFirmwareId(TX, 1000, 5), 0x202u);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(OtaExchangeTest, BeginUpdateCarriesTheControlBlock) {
  Use([](const Request&, size_t) { return std::vector<Reply>{MakeReply(1, 100, 7)}; });
  const OtaControlBlock block = BlockOf(100);
  ASSERT_TRUE(service_->SendInitPacket(block, TX, 1000, 3));

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<uint8_t> expected = {0x0A, 0xF1};
  uint8_t bytes[32];
  block.ToBytes(bytes);
  expected.insert(expected.end(), bytes, bytes + 32);
  expected.insert(expected.end(), {0, 0, 0, 0, 0x01, 0x00});
  EXPECT_EQ(sent[0].body, expected);
  EXPECT_EQ(sent[0].body[2 + 12], 100);  // section_size, little-endian
  EXPECT_EQ(log_.Count("OTA Sending Init."), 1);
  EXPECT_EQ(log_.Count("OTA Control packet recv : status Ack | info 00000064 | seq 07"), 1);
}

TEST_F(OtaExchangeTest, NakToBeginUpdateFailsAfterOneSend) {
  Use([](const Request&, size_t) { return std::vector<Reply>{Nak(0)}; });
  EXPECT_FALSE(service_->SendInitPacket(BlockOf(64), TX, 1000, 1000));
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(log_.Count("No response to Init packet. Retrying..."), 0);
}

TEST_F(OtaExchangeTest, UnansweredBeginUpdateGivesUpAtTheTryLimit) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  EXPECT_FALSE(service_->SendInitPacket(BlockOf(64), RX, 20, 3));
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(log_.Count("OTA Sending Init."), 3);
  EXPECT_EQ(log_.Count("No response to Init packet. Retrying..."), 3);
  EXPECT_EQ(log_.Count("Init failed after 3 attempts with no response."), 1);
}

TEST_F(OtaExchangeTest, StatusNineIsLoggedAsUnknownAndIsNoAck) {
  Use([](const Request&, size_t) { return std::vector<Reply>{MakeReply(9, 0xDEADBEEF, 0xAB)}; });
  EXPECT_FALSE(service_->SendInitPacket(BlockOf(64), TX, 1000, 5));
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(log_.Count("OTA Control packet recv : status UNK | info deadbeef | seq ab"), 1);
}

TEST_F(OtaExchangeTest, ReplyFromAnotherSourceCounts) {
  Use([](const Request&, size_t) {
    return std::vector<Reply>{MakeReply(OtaControlPacket::Ack, 0x202, 0, RX)};
  });
  EXPECT_EQ(service_->GetFirmwareId(TX, 1000, 3), 0x202u);
  EXPECT_EQ(Sent()[0].header.GetDestination(), TX);
}

TEST_F(OtaExchangeTest, FirmwareIdQuerySkipsANak) {
  Use([](const Request&, size_t index) {
    return std::vector<Reply>{index == 0 ? Nak(0) : Ack(0x202)};
  });
  EXPECT_EQ(service_->GetFirmwareId(TX, 1000, 1000), 0x202u);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  std::vector<uint8_t> expected = {0x0A, 0xF1};
  expected.resize(2 + 36, 0);
  expected.insert(expected.end(), {0x05, 0x00});
  EXPECT_EQ(sent[0].body, expected);
  EXPECT_EQ(sent[1].body, expected);
}

TEST_F(OtaExchangeTest, FirmwareIdQueryWithoutAnswerGivesZero) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  EXPECT_EQ(service_->GetFirmwareId(RX, 10, 5), 0u);
  EXPECT_EQ(Sent().size(), 5u);
}

TEST_F(OtaExchangeTest, NewFirmwareCheck) {
  std::atomic<uint32_t> running{0x301};
  Use([&running](const Request&, size_t) { return std::vector<Reply>{Ack(running.load())}; });
  EXPECT_FALSE(service_->CheckNewFirmwareId(RX, 0x101, 1000, 100));
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(log_.Count("recv incorrect target_firmware_id, retrying reboot."), 1);

  running = 0x101;
  EXPECT_TRUE(service_->CheckNewFirmwareId(RX, 0x101, 1000, 100));
  EXPECT_EQ(Sent().size(), 2u);
  EXPECT_EQ(log_.Count("recv reboot success!"), 1);
}

TEST_F(OtaExchangeTest, NewFirmwareCheckRefusedOrUnanswered) {
  Use([](const Request&, size_t index) {
    return index == 0 ? std::vector<Reply>{Nak(0)} : std::vector<Reply>{};
  });
  EXPECT_FALSE(service_->CheckNewFirmwareId(TX, 0x202, 1000, 100));
  EXPECT_EQ(log_.Count("recv control packt nak otai reboot fail"), 1);
  EXPECT_FALSE(service_->CheckNewFirmwareId(TX, 0x202, 10, 3));
  EXPECT_EQ(Sent().size(), 4u);
}

TEST_F(OtaExchangeTest, EndUpdate) {
  Use([](const Request&, size_t index) {
    if (index == 0) return std::vector<Reply>{Ack(64)};
    if (index == 1) return std::vector<Reply>{Nak(3)};
    return std::vector<Reply>{};
  });
  const OtaControlBlock block = BlockOf(64);
  EXPECT_TRUE(service_->Finalize(block, RX, 1000, 10));
  EXPECT_EQ(log_.Count("recv control packet ack ota complete success"), 1);
  EXPECT_FALSE(service_->Finalize(block, RX, 1000, 10));
  EXPECT_EQ(log_.Count("recv control packt nak ota fail"), 1);
  EXPECT_FALSE(service_->Finalize(block, RX, 10, 2));

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  uint8_t bytes[32];
  block.ToBytes(bytes);
  std::vector<uint8_t> expected = {0x0A, 0xF2};
  expected.insert(expected.end(), bytes, bytes + 32);
  expected.insert(expected.end(), {0, 0, 0, 0, 0x03, 0x00});
  for (const auto& r : sent) EXPECT_EQ(r.body, expected);
}

TEST_F(OtaExchangeTest, RebootReplyIsTakenByTheFirmwareCheck) {
  // The device acknowledges the Reboot with the new id and ignores the query: the check still
  // succeeds, on the Reboot's reply that waited in the queue.
  Use([](const Request& r, size_t) {
    if (r.packet.type == OtaRequestType::Reboot) return std::vector<Reply>{Ack(0x101)};
    return std::vector<Reply>{};
  });
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(service_->ResetTarget(RX, 100));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
  EXPECT_TRUE(service_->CheckNewFirmwareId(RX, 0x101, 2000, 1));

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  std::vector<uint8_t> reboot = {0x0A, 0xF2};
  reboot.resize(2 + 36, 0);
  reboot.insert(reboot.end(), {0x04, 0x00});
  EXPECT_EQ(sent[0].body, reboot);
  EXPECT_EQ(sent[1].packet.type, OtaRequestType::QueryFirmwareId);
}

TEST_F(OtaExchangeTest, ShortPayloadIsIgnored) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  PacketHeader header;
  service_->HandleControlPacket(header, {1, 2, 3});
  EXPECT_EQ(log_.CountContaining("OTA Control packet recv"), 0);
  EXPECT_EQ(service_->GetFirmwareId(TX, 10, 1), 0u);
}

TEST_F(OtaExchangeTest, RepliesQueuedBetweenExchangesAreTakenInOrder) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  PacketHeader header;
  std::vector<uint8_t> payload(50, 0);
  serialize(Nak(1).packet, payload.data());
  service_->HandleControlPacket(header, payload);
  serialize(Ack(0x202).packet, payload.data());
  service_->HandleControlPacket(header, payload);
  serialize(Pend().packet, payload.data());
  service_->HandleControlPacket(header, payload);
  // The Nak ends the init at once; the Ack then answers the query; the Pend was never queued.
  EXPECT_FALSE(service_->SendInitPacket(BlockOf(1), TX, 1000, 5));
  EXPECT_EQ(service_->GetFirmwareId(TX, 10, 1), 0x202u);
  EXPECT_EQ(service_->GetFirmwareId(TX, 10, 1), 0u);
  EXPECT_EQ(log_.CountContaining("OTA Control packet recv"), 3);
}

TEST_F(OtaExchangeTest, FloodOfRepliesKeepsOnlyTheNewest) {
  Use([](const Request&, size_t) { return std::vector<Reply>{}; });
  std::vector<uint8_t> payload(50, 0);
  for (uint32_t i = 0; i < 1000; ++i) {
    serialize(Ack(i).packet, payload.data());
    service_->HandleControlPacket(PacketHeader{}, payload);
  }
  EXPECT_EQ(service_->GetFirmwareId(TX, 10, 1), 1000 - OtaService::kMaxQueuedReplies);
  EXPECT_EQ(log_.CountContaining("OTA reply queue full: dropping the oldest"), 936);
}

}  // namespace
