// The serial transport end to end: a SerialWorker on a real I/O thread opens the slave side of
// a pseudo-terminal pair at 115200 baud; the test plays the device on the master side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/thrown.h"
#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "kovra/message_router.h"
#include "kovra/slip.h"
#include "kovra/sockets.h"
#include "kovra/workers.h"
#include "support/delivery_log.h"
#include "support/io_link.h"
#include "support/link_frames.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "support/recording_sink.h"

using namespace std::chrono_literals;
using namespace link_frames;
using ::testing::ElementsAreArray;

namespace {

const char kMissingDevice[] = "/dev/korvane-no-such-port";

}  // namespace

// ---- SerialSocket on its own ----

TEST(SerialSocketLink, OpensAtTheRequestedSpeedAndLogsTheDevice) {
  PtyPair pty;
  LogCapture log;
  SerialSocket socket(pty.SlavePath(), nullptr);
  EXPECT_EQ(log.Lines().size(), 0u);  // building does not open
  EXPECT_FALSE(socket.Device().isOpen());
  ASSERT_TRUE(socket.Connect());
  EXPECT_TRUE(socket.Device().isOpen());
  EXPECT_EQ(socket.Device().baudRate(QSerialPort::Input), 115200);
  EXPECT_EQ(socket.Device().baudRate(QSerialPort::Output), 115200);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].level, spdlog::level::info);
  EXPECT_EQ(log.Lines()[0].text, "Serial device - connecting to " + pty.SlavePath());
  socket.Disconnect();
  EXPECT_FALSE(socket.Device().isOpen());
}

TEST(SerialSocketLink, MissingDeviceLogsTheAttemptAndFails) {
  LogCapture log;
  SerialSocket socket(kMissingDevice, nullptr);
  EXPECT_FALSE(socket.Connect());
  EXPECT_EQ(log.Count(std::string("Serial device - connecting to ") + kMissingDevice), 1);
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(SerialSocketLink, ReadsOnlyWhatIsBuffered) {
  PtyPair pty;
  SerialSocket socket(pty.SlavePath(), nullptr);
  ASSERT_TRUE(socket.Connect());
  EXPECT_TRUE(socket.Read(0).empty());
  EXPECT_TRUE(socket.Read(3).empty());
  ASSERT_TRUE(pty.Send(Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  while (socket.Device().bytesAvailable() < 10) ASSERT_TRUE(socket.Device().waitForReadyRead(5000));
  EXPECT_EQ(socket.Read(3), (Bytes{0, 1, 2}));
  EXPECT_EQ(socket.Read(0), (Bytes{3, 4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(socket.Read(0).empty());
}

TEST(SerialSocketLink, EveryWriteFormReachesTheDevice) {
  PtyPair pty;
  SerialSocket socket(pty.SlavePath(), nullptr);
  ASSERT_TRUE(socket.Connect());
  const uint8_t raw[] = {0xC0, 0x00, 0xDB, 0x11};
  EXPECT_TRUE(socket.Write(raw, sizeof raw));
  EXPECT_TRUE(socket.Write(std::string("ab\n")));
  EXPECT_TRUE(socket.Write(static_cast<uint8_t>(0x7F)));
  EXPECT_TRUE(socket.Write(raw, 0));
  // The port is raw: bytes pass unchanged (no newline translation).
  EXPECT_EQ(pty.Receive(8), (Bytes{0xC0, 0x00, 0xDB, 0x11, 'a', 'b', '\n', 0x7F}));
  EXPECT_TRUE(pty.Drain(50ms).empty());
}

// ---- SerialWorker ----

TEST(SerialWorkerLink, ConstructionFailuresThrow) {
  MessageRouter router;
  LogCapture log;
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { SerialWorker w("", router); }), "No device specified");
  EXPECT_EQ(log.Lines().size(), 0u);  // refused before any attempt to open
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { SerialWorker w(kMissingDevice, router); }),
            "Can't connect serial port!");
  EXPECT_EQ(log.Count(std::string("Serial device - connecting to ") + kMissingDevice), 1);
}

TEST(SerialWorkerLink, BytesTravelBothWays) {
  PtyPair pty;
  IoLink link(pty.SlavePath());
  ASSERT_TRUE(link.IsSerial());
  DeliveryLog log(link.Router(), {ChannelDescriptor::PARAMETER_REQUEST});
  link.Start();
  auto sink = link.CreateSink();

  // Device to host, in pieces.
  ASSERT_TRUE(pty.Send(Bytes(kGetParam60.begin(), kGetParam60.begin() + 6)));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(pty.Send(Bytes(kGetParam60.begin() + 6, kGetParam60.end())));
  auto got = log.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.addresses, 0xF1);
  EXPECT_THAT(Bytes(got[0].data.begin(), got[0].data.begin() + 8),
              ElementsAreArray({0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_NE(got[0].thread, std::this_thread::get_id());

  // Host to device: the pinned frame, byte for byte.
  Parameter p;
  p.command = GET_PARAMETER;
  p.status = ParamStatus::SUCCESS;
  p.id = static_cast<ParamId>(0x3C);
  sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, p);
  EXPECT_EQ(pty.Receive(kGetParam60.size()), kGetParam60);

  // Several frames in one piece, with rejected bytes in front of and between them.
  Bytes damaged = kGetParam60;
  damaged[3] = 0x06;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(pty.Send(Concat({Bytes{0xC0}, kEscaped, damaged, kGetParam60, kEscaped})));
  got = log.WaitFor(4);
  link.Stop();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].data[0], 0xC0);
  EXPECT_EQ(got[1].data[1], 0xDB);
  EXPECT_EQ(got[2].data[1], 0x05);
  EXPECT_EQ(got[3].data[0], 0xC0);
}

TEST(SerialWorkerLink, FramesSentBeforeTheThreadRunsAreWrittenInOrder) {
  PtyPair pty;
  IoLink link(pty.SlavePath());
  auto sink = link.CreateSink();
  const Parameter first = SetRequest(0x3C, 1);
  const Parameter second = SetRequest(0x3C, 2);
  std::thread owner([&] {
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, first);
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, second);
  });
  owner.join();
  EXPECT_TRUE(pty.Drain(50ms).empty());
  link.Start();
  const Bytes expected = Concat({ParamFrame(first), ParamFrame(second)});
  EXPECT_EQ(pty.Receive(expected.size()), expected);
}

TEST(SerialWorkerLink, FramesFromSeveralThreadsStayWhole) {
  constexpr int kThreads = 3;
  constexpr int kFrames = 20;
  PtyPair pty;
  IoLink link(pty.SlavePath());
  link.Start();
  std::vector<std::unique_ptr<PacketSink>> sinks;
  for (int t = 0; t < kThreads; ++t) sinks.push_back(link.CreateSink());
  auto record = [](int t, int i) {
    return SetRequest(static_cast<uint16_t>(t), 0xC0C00000u | static_cast<uint32_t>(i));
  };
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kFrames; ++i) total += ParamFrame(record(t, i)).size();
  }
  std::vector<std::thread> owners;
  for (int t = 0; t < kThreads; ++t) {
    owners.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        sinks[t]->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, record(t, i));
      }
    });
  }
  for (auto& o : owners) o.join();
  const Bytes wire = pty.Receive(total, 10s);
  ASSERT_EQ(wire.size(), total);
  RecordingSink bodies;
  SlipReader reader(bodies);
  for (uint8_t b : wire) EXPECT_TRUE(reader.Write(b));
  ASSERT_EQ(bodies.units.size(), static_cast<size_t>(kThreads * kFrames));
  std::vector<int> next(kThreads, 0);
  for (const Bytes& body : bodies.units) {
    const int t = body[4];
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(body[6], next[t]++);
  }
}

TEST(SerialWorkerLink, DestroyingTheLinkReleasesThePort) {
  PtyPair pty;
  MessageRouter router;
  {
    IoLink link(pty.SlavePath(), router);
    link.Start();
    // While the port is open, a second worker cannot have it.
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { SerialWorker w(pty.SlavePath(), router); }),
              "Can't connect serial port!");
  }
  // Destroying the worker closed the port: it opens again.
  IoLink again(pty.SlavePath(), router);
  again.Start();
  auto sink = again.CreateSink();
  for (uint8_t b : kGetParam60) sink->Write(b);
  sink->Sync();
  EXPECT_EQ(pty.Receive(kGetParam60.size()), kGetParam60);
}

TEST(SerialWorkerLink, UnpluggedDeviceClosesThePortInsteadOfSpinning) {
  PtyPair pty;  // its own slave descriptor keeps the pty number taken until the link is gone
  LogCapture log;
  IoLink link(pty.SlavePath());
  link.Start();
  auto sink = link.CreateSink();
  pty.CloseMaster();  // the device goes away
  const std::clock_t cpu = std::clock();  // of the whole process
  std::this_thread::sleep_for(1s);
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 4);  // an open port would keep a core busy
  EXPECT_EQ(log.CountContaining("closing the port"), 1);
  for (uint8_t b : kGetParam60) sink->Write(b);
  EXPECT_TRUE(sink->Sync());  // writes are still reported done
}
