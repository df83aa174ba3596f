// Packet sinks and the sink factory over real workers (TCP to a local peer, serial on a
// pseudo-terminal): which write requests a sink makes, observed on the worker's NotifyWrite
// signal, and what reaches the wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QObject>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "kovra/message_router.h"
#include "kovra/slip.h"
#include "kovra/stream_sink_sp.h"
#include "kovra/workers.h"
#include "support/io_link.h"
#include "support/link_frames.h"
#include "support/pty_pair.h"
#include "support/recording_sink.h"
#include "support/tcp_peer.h"

using namespace std::chrono_literals;
using namespace link_frames;

namespace {

Bytes Counting(size_t n, uint8_t first = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

// A link of either kind with its far end, and a record of the worker's write requests, taken
// at the moment each is made (before the I/O thread writes it).
class SinkTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (Serial()) {
      pty_ = std::make_unique<PtyPair>();
      link_ = std::make_unique<IoLink>(pty_->SlavePath());
      Watch(link_->GetSerialWorker());
    } else {
      peer_ = std::make_unique<TcpPeer>();
      link_ = std::make_unique<IoLink>(peer_->Text());
      Watch(link_->GetTcpWorker());
    }
  }
  void TearDown() override {
    link_.reset();
    peer_.reset();
    pty_.reset();
  }

  bool Serial() const { return GetParam(); }

  std::vector<Bytes> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  Bytes Receive(size_t n) { return Serial() ? pty_->Receive(n) : peer_->Receive(n); }
  Bytes Drain() { return Serial() ? pty_->Drain(50ms) : peer_->Drain(50ms); }

  std::unique_ptr<PtyPair> pty_;
  std::unique_ptr<TcpPeer> peer_;
  std::unique_ptr<IoLink> link_;

 private:
  template <typename Worker>
  void Watch(Worker* worker) {
    QObject::connect(
        worker, &Worker::NotifyWrite, &context_,
        [this](const QByteArray& data) {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.emplace_back(data.constBegin(), data.constEnd());
        },
        Qt::DirectConnection);
  }

  QObject context_;
  std::mutex mutex_;
  std::vector<Bytes> requests_;
};

std::string LinkName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Serial" : "Tcp";
}

}  // namespace

TEST_P(SinkTest, OneFrameIsOneRequestHoldingExactlyItsBytes) {
  auto sink = link_->CreateSink();
  Parameter p;
  p.command = GET_PARAMETER;
  p.status = ParamStatus::SUCCESS;
  p.id = static_cast<ParamId>(0x3C);
  sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, p);
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], kGetParam60);

  // The largest frame the host sends (an escaped firmware packet) is still one request.
  OtaDataPacket ota;
  for (uint8_t& b : ota.payload) b = 0xC0;
  ota.type = OtaRequestType::ImageData;
  sink->SendPacket<ChannelDescriptor::OTA_DATA>(Address::RX, ota);
  requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_GT(requests[1].size(), 80u);
  EXPECT_LE(requests[1].size(), 89u);
  EXPECT_EQ(requests[1].back(), slip::END);
}

TEST_P(SinkTest, ExactlyFullBufferLeavesAtItsLastByteAndSyncSendsAnEmptyRequest) {
  auto sink = link_->CreateSink();
  const Bytes bytes = Counting(128);
  for (size_t i = 0; i < 127; ++i) EXPECT_TRUE(sink->Write(bytes[i]));
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(sink->Write(bytes[127]));
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], bytes);
  EXPECT_TRUE(sink->Sync());
  requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[1].empty());

  link_->Start();
  EXPECT_EQ(Receive(128), bytes);
  EXPECT_TRUE(Drain().empty());
}

TEST_P(SinkTest, LongRunLeavesIn128ByteRequestsAndTheRestAtSync) {
  auto sink = link_->CreateSink();
  const Bytes bytes = Counting(130, 7);
  for (uint8_t b : bytes) EXPECT_TRUE(sink->Write(b));
  EXPECT_TRUE(sink->Sync());
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], Bytes(bytes.begin(), bytes.begin() + 128));
  EXPECT_EQ(requests[1], Bytes(bytes.begin() + 128, bytes.end()));
  link_->Start();
  EXPECT_EQ(Receive(130), bytes);
}

TEST_P(SinkTest, BareSyncMakesAZeroByteRequestThatWritesNothing) {
  auto sink = link_->CreateSink();
  link_->Start();
  EXPECT_TRUE(sink->Sync());
  EXPECT_TRUE(sink->Sync());
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].empty());
  EXPECT_TRUE(requests[1].empty());
  EXPECT_TRUE(Drain().empty());
}

TEST_P(SinkTest, BackToBackFramesKeepTheirOwnBytesWhileQueued) {
  auto sink = link_->CreateSink();
  const Parameter first = SetRequest(0x3C, 0xAAAAAAAA);
  const Parameter second = SetRequest(0x3D, 0x55555555);
  std::thread owner([&] {
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, first);
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, second);
  });
  owner.join();
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], ParamFrame(first));
  EXPECT_EQ(requests[1], ParamFrame(second));
  // The first request still waits in the queue of the I/O thread, which has not started; its
  // bytes are its own, not the sink's buffer that the second frame overwrote.
  link_->Start();
  Bytes expected = ParamFrame(first);
  const Bytes more = ParamFrame(second);
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(Receive(expected.size()), expected);
}

TEST_P(SinkTest, SinksOfOneFactoryHaveSeparateBuffers) {
  auto a = link_->CreateSink();
  auto b = link_->CreateSink();
  EXPECT_NE(a.get(), b.get());
  for (uint8_t x : {0xA1, 0xA2, 0xA3}) a->Write(x);
  for (uint8_t x : {0xB1, 0xB2}) b->Write(x);
  b->Sync();
  a->Write(0xA4);
  a->Sync();
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], (Bytes{0xB1, 0xB2}));
  EXPECT_EQ(requests[1], (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST_P(SinkTest, FlushDropsTheBytesHeld) {
  auto sink = link_->CreateSink();
  for (uint8_t x : {1, 2, 3}) sink->Write(x);
  EXPECT_TRUE(sink->Flush());
  EXPECT_TRUE(Requests().empty());
  for (uint8_t x : {4, 5}) sink->Write(x);
  sink->Sync();
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], (Bytes{4, 5}));
}

TEST_P(SinkTest, SinkReportsSuccessAfterTheFarEndHasGone) {
  link_->Start();
  auto sink = link_->CreateSink();
  if (Serial()) {
    pty_->CloseMaster();
  } else {
    peer_.reset();
  }
  std::this_thread::sleep_for(20ms);
  for (uint8_t b : kGetParam60) EXPECT_TRUE(sink->Write(b));
  EXPECT_TRUE(sink->Sync());
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_P(SinkTest, FactoryMakesTheSinkOfTheLinkKind) {
  auto sink = link_->CreateSink();
  if (Serial()) {
    EXPECT_NE(dynamic_cast<SerialSink*>(sink.get()), nullptr);
    // The TCP pointer is null and never used.
    StreamSinkFactory factory(true, link_->GetSerialWorker(), nullptr);
    EXPECT_NE(dynamic_cast<SerialSink*>(factory.Create().get()), nullptr);
    StreamSinkFactory missing(false, link_->GetSerialWorker(), nullptr);
    EXPECT_THROW(missing.Create(), std::logic_error);
  } else {
    EXPECT_NE(dynamic_cast<TcpSink*>(sink.get()), nullptr);
    StreamSinkFactory factory(false, nullptr, link_->GetTcpWorker());
    EXPECT_NE(dynamic_cast<TcpSink*>(factory.Create().get()), nullptr);
    StreamSinkFactory missing(true, nullptr, link_->GetTcpWorker());
    EXPECT_THROW(missing.Create(), std::logic_error);
  }
}

INSTANTIATE_TEST_SUITE_P(Links, SinkTest, ::testing::Values(false, true), LinkName);
