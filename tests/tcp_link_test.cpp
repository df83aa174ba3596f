// The TCP transport end to end: a TcpWorker on a real I/O thread against a QTcpServer peer on
// 127.0.0.1, plus the link-text rules of TcpSocket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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
#include "support/recording_sink.h"
#include "support/tcp_peer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace link_frames;
using ::testing::ElementsAreArray;

namespace {

bool ThrowsInvalidArgument(const std::string& text) {
  try {
    TcpSocket socket(text, nullptr);
  } catch (const std::invalid_argument&) {
    return true;
  }
  return false;
}

// A listener whose accept queue is full: further connection attempts get no answer at all
// (their SYNs are dropped), the loopback stand-in for a host that does not respond.
class SilentListener {
 public:
  SilentListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("SilentListener: socket setup failed");
    }
    port_ = ntohs(addr.sin_port);
    // Fill the queue: connect until an attempt is left hanging.
    for (int i = 0; i < 16; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM, 0);
      ::fcntl(c, F_SETFL, O_NONBLOCK);
      clients_.push_back(c);
      ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      pollfd pfd{c, POLLOUT, 0};
      if (::poll(&pfd, 1, 300) == 0) {
        full_ = true;
        break;
      }
    }
  }
  ~SilentListener() {
    for (int c : clients_) ::close(c);
    ::close(listener_);
  }
  uint16_t Port() const { return port_; }
  bool Full() const { return full_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<int> clients_;
};

// A port on 127.0.0.1 where nothing listens (connections are refused at once).
uint16_t ClosedPort() {
  TcpPeer peer;
  return peer.Port();
}

}  // namespace

// ---- Link text ----

TEST(TcpLinkText, EmptyTextAndMissingColonHaveTheirOwnTexts) {
  EXPECT_EQ(ThrownText([] { TcpSocket s("", nullptr); }), "No server specified");
  EXPECT_EQ(ThrownText([] { TcpSocket s("localhost", nullptr); }), "No port number specified");
  EXPECT_EQ(ThrownText([] { TcpSocket s("1234", nullptr); }), "No port number specified");
  EXPECT_EQ(ThrownText([] { SerialSocket s("", nullptr); }), "No device specified");
}

TEST(TcpLinkText, HostIsTheTextBeforeTheFirstColon) {
  TcpSocket two_colons("host:1234:99", nullptr);
  EXPECT_EQ(two_colons.Host(), "host");
  EXPECT_EQ(two_colons.Port(), 1234);

  TcpSocket leading_colon(":1234", nullptr);
  EXPECT_EQ(leading_colon.Host(), "");
  EXPECT_EQ(leading_colon.Port(), 1234);

  TcpSocket blank_host(" 10.0.0.1 :7", nullptr);  // the host is handed on unchanged
  EXPECT_EQ(blank_host.Host(), " 10.0.0.1 ");
  EXPECT_EQ(blank_host.Port(), 7);
}

TEST(TcpLinkText, PortIsTheDecimalNumberAfterTheColon) {
  EXPECT_EQ(TcpSocket("h: 1234", nullptr).Port(), 1234);  // blank before the digits
  EXPECT_EQ(TcpSocket("h:\t80", nullptr).Port(), 80);
  EXPECT_EQ(TcpSocket("h:80abc", nullptr).Port(), 80);  // letters after the digits
  EXPECT_EQ(TcpSocket("h:0080", nullptr).Port(), 80);
  EXPECT_EQ(TcpSocket("h:65535", nullptr).Port(), 65535);
  EXPECT_EQ(TcpSocket("h:0", nullptr).Port(), 0);
  EXPECT_EQ(TcpSocket("h:+80", nullptr).Port(), 80);  // a plus sign, as stoul reads it
  EXPECT_EQ(TcpSocket("h: +8080x", nullptr).Port(), 8080);
}

TEST(TcpLinkText, UnusablePortTextsAreRefused) {
  EXPECT_TRUE(ThrowsInvalidArgument("host:"));  // trailing colon
  EXPECT_TRUE(ThrowsInvalidArgument(":"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:abc"));  // letters right after it
  EXPECT_TRUE(ThrowsInvalidArgument("host: "));
  EXPECT_TRUE(ThrowsInvalidArgument("host:x1234"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:" + std::string(25, '9')));  // beyond 64 bits
  EXPECT_TRUE(ThrowsInvalidArgument("host:1234567890123456789012345"));
  // Above 65535: refused rather than cut down to the low 16 bits (65537 would become 1).
  EXPECT_TRUE(ThrowsInvalidArgument("host:65536"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:65537"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:4294967297"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:18446744073709551615"));
  // A minus sign is refused (it would wrap around to a large value); so is a sign alone.
  EXPECT_TRUE(ThrowsInvalidArgument("host:-1"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:-18446744073709551615"));
  EXPECT_TRUE(ThrowsInvalidArgument("host: -0"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:+"));
  EXPECT_TRUE(ThrowsInvalidArgument("host:+-80"));
}

TEST(TcpLinkText, WorkerPassesTheTextErrorOutWithoutConnecting) {
  LogCapture log;
  MessageRouter router;
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { TcpWorker w("", router); }), "No server specified");
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { TcpWorker w("127.0.0.1", router); }), "No port number specified");
  EXPECT_THROW(TcpWorker("127.0.0.1:70000", router), std::invalid_argument);
  EXPECT_EQ(log.CountContaining("TCP Socket"), 0);
}

// ---- TcpSocket on its own ----

TEST(TcpSocketLink, ConnectLogsAndReadsOnlyWhatIsBuffered) {
  TcpPeer peer;
  LogCapture log;
  TcpSocket socket(peer.Text(), nullptr);
  ASSERT_TRUE(socket.Connect());
  EXPECT_EQ(log.Count("TCP Socket - Connecing to 127.0.0.1:" + std::to_string(peer.Port())), 1);
  ASSERT_NE(peer.Accept(), nullptr);

  EXPECT_TRUE(socket.Read(0).empty());  // idle: nothing, at once
  EXPECT_TRUE(socket.Read(5).empty());

  ASSERT_TRUE(peer.Send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  while (socket.Device().bytesAvailable() < 10) ASSERT_TRUE(socket.Device().waitForReadyRead(5000));
  EXPECT_EQ(socket.Read(3), (Bytes{0, 1, 2}));
  EXPECT_EQ(socket.Read(0), (Bytes{3, 4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(socket.Read(0).empty());
}

TEST(TcpSocketLink, EveryWriteFormReachesThePeerInOrder) {
  TcpPeer peer;
  TcpSocket socket(peer.Text(), nullptr);
  ASSERT_TRUE(socket.Connect());
  const uint8_t raw[] = {0xC0, 0x00, 0xDB};
  EXPECT_TRUE(socket.Write(raw, sizeof raw));
  EXPECT_TRUE(socket.Write(std::string("ab")));
  EXPECT_TRUE(socket.Write(static_cast<uint8_t>(0x7F)));
  EXPECT_TRUE(socket.Write(raw, 0));
  // Flushing hands everything to the kernel at once here, so the peer gets it without this
  // side's event loop running.
  EXPECT_EQ(peer.Receive(6), (Bytes{0xC0, 0x00, 0xDB, 'a', 'b', 0x7F}));
}

TEST(TcpSocketLink, RefusedConnectionReturnsFalse) {
  TcpSocket socket(IoLink::TcpText(ClosedPort()), nullptr);
  EXPECT_FALSE(socket.Connect());
}

TEST(TcpSocketLink, LeadingColonHandsTheEmptyHostToQt) {
  TcpPeer peer;
  TcpSocket socket(":" + std::to_string(peer.Port()), nullptr);
  LogCapture log;
  socket.Connect();  // whatever Qt makes of an empty host, the attempt is made and logged
  EXPECT_EQ(log.Count("TCP Socket - Connecing to :" + std::to_string(peer.Port())), 1);
}

// ---- TcpWorker on an I/O thread ----

TEST(TcpWorkerLink, ConnectFailuresThrowTheWorkersText) {
  MessageRouter router;
  LogCapture log;
  const uint16_t closed = ClosedPort();
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { TcpWorker w(IoLink::TcpText(closed), router); }),
            "Can't Connect TCP Socket");
  EXPECT_EQ(log.Count("TCP Socket - Connecing to 127.0.0.1:" + std::to_string(closed)), 1);
}

TEST(TcpWorkerLink, HostThatDoesNotAnswerFailsAfterAboutOneSecond) {
  SilentListener silent;
  if (!silent.Full()) GTEST_SKIP() << "could not fill the accept queue on this system";
  MessageRouter router;
  const auto start = Clock::now();
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { TcpWorker w(IoLink::TcpText(silent.Port()), router); }),
            "Can't Connect TCP Socket");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 10.0);
}

TEST(TcpWorkerLink, FramesArrivingInPiecesOrTogetherAreAllDelivered) {
  TcpPeer peer;
  IoLink link(peer.Text());
  DeliveryLog log(link.Router(),
                  {ChannelDescriptor::PARAMETER_REQUEST, ChannelDescriptor::TX_ADC_VALUES});
  link.Start();

  // One frame in three pieces: three readyRead signals, one delivery.
  ASSERT_TRUE(peer.Send(Bytes(kGetParam60.begin(), kGetParam60.begin() + 4)));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(peer.Send(Bytes(kGetParam60.begin() + 4, kGetParam60.begin() + 11)));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(peer.Send(Bytes(kGetParam60.begin() + 11, kGetParam60.end())));
  auto got = log.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.channel, ChannelDescriptor::PARAMETER_REQUEST);
  EXPECT_EQ(got[0].header.addresses, 0xF1);
  ASSERT_EQ(got[0].data.size(), 50u);
  EXPECT_THAT(Bytes(got[0].data.begin(), got[0].data.begin() + 8),
              ElementsAreArray({0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_NE(got[0].thread, std::this_thread::get_id());  // on the I/O thread

  // Three frames in one piece, the middle one on another channel.
  const Bytes adc = Frame({0x05, 0x12, 0xAA, 0xBB});
  ASSERT_TRUE(peer.Send(Concat({kEscaped, adc, kGetParam60})));
  got = log.WaitFor(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].header.channel, ChannelDescriptor::PARAMETER_REQUEST);
  EXPECT_EQ(got[1].data[0], 0xC0);
  EXPECT_EQ(got[1].data[1], 0xDB);
  EXPECT_EQ(got[2].header.channel, ChannelDescriptor::TX_ADC_VALUES);
  EXPECT_EQ(got[2].header.addresses, 0x12);
  EXPECT_EQ(got[2].data[0], 0xAA);
  EXPECT_EQ(got[3].data[2], 0x3C);
  EXPECT_EQ(got[3].thread, got[0].thread);
}

TEST(TcpWorkerLink, ReadingGoesOnAfterRejectedBytes) {
  TcpPeer peer;
  IoLink link(peer.Text());
  DeliveryLog log(link.Router(), {ChannelDescriptor::PARAMETER_REQUEST});
  link.Start();
  Bytes damaged = kGetParam60;
  damaged[5] = 0x55;  // CRC fails at its END
  const Bytes bad_escape = {0x07, 0xF1, 0xDB, 0x01, 0x02, 0x03, 0xC0};
  ::testing::internal::CaptureStderr();
  // Rejected bytes first, then good frames in the same piece and in a later one.
  ASSERT_TRUE(peer.Send(Concat({damaged, kEscaped, bad_escape, kGetParam60})));
  ASSERT_TRUE(peer.Send(Concat({Bytes{0xC0}, kGetParam60})));
  auto got = log.WaitFor(3);
  link.Stop();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].data[0], 0xC0);
  EXPECT_EQ(got[1].data[2], 0x3C);
  EXPECT_EQ(got[2].data[2], 0x3C);
}

TEST(TcpWorkerLink, FramesSentBeforeTheThreadRunsAreWrittenInOrderWithTheirOwnBytes) {
  TcpPeer peer;
  IoLink link(peer.Text());
  auto sink = link.CreateSink();
  const Parameter first = SetRequest(0x3C, 0x11223344);
  const Parameter second = SetRequest(0x3D, 0xC0DBC0DB);
  std::thread owner([&] {
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, first);
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, second);
  });
  owner.join();
  // Nothing can be on the wire yet: only the I/O thread writes.
  EXPECT_TRUE(peer.Drain(50ms).empty());
  link.Start();
  const Bytes expected = Concat({ParamFrame(first), ParamFrame(second)});
  EXPECT_EQ(peer.Receive(expected.size()), expected);
  EXPECT_TRUE(peer.Drain(50ms).empty());
}

TEST(TcpWorkerLink, ThePinnedFrameGoesOutByteForByte) {
  TcpPeer peer;
  IoLink link(peer.Text());
  link.Start();
  auto sink = link.CreateSink();
  Parameter p;
  p.command = GET_PARAMETER;
  p.status = ParamStatus::SUCCESS;
  p.id = static_cast<ParamId>(0x3C);
  sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, p);
  EXPECT_EQ(peer.Receive(kGetParam60.size()), kGetParam60);
}

TEST(TcpWorkerLink, EmptyRequestsPutNothingOnTheWire) {
  TcpPeer peer;
  IoLink link(peer.Text());
  link.Start();
  auto sink = link.CreateSink();
  EXPECT_TRUE(sink->Sync());
  EXPECT_TRUE(sink->Sync());
  link.GetTcpWorker()->ReqWriteData(nullptr, 0);
  for (uint8_t b : kGetParam60) sink->Write(b);
  sink->Sync();
  EXPECT_EQ(peer.Receive(kGetParam60.size()), kGetParam60);
  EXPECT_TRUE(peer.Drain(50ms).empty());
}

TEST(TcpWorkerLink, FramesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kFrames = 40;
  TcpPeer peer;
  IoLink link(peer.Text());
  link.Start();
  std::vector<std::unique_ptr<PacketSink>> sinks;
  for (int t = 0; t < kThreads; ++t) sinks.push_back(link.CreateSink());
  // Owner t's frame i: id t, a value full of END and ESC bytes (long, escaped frames).
  auto record = [](int t, int i) {
    return SetRequest(static_cast<uint16_t>(t), 0xC0DB0000u | static_cast<uint32_t>(i));
  };
  std::vector<std::thread> owners;
  for (int t = 0; t < kThreads; ++t) {
    owners.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        sinks[t]->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, record(t, i));
      }
    });
  }
  for (auto& o : owners) o.join();

  // Decode what the peer got: every frame must be good, each owner's in its own order.
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kFrames; ++i) total += ParamFrame(record(t, i)).size();
  }
  const Bytes wire = peer.Receive(total, 10s);
  ASSERT_EQ(wire.size(), total);
  RecordingSink bodies;
  SlipReader reader(bodies);
  for (uint8_t b : wire) EXPECT_TRUE(reader.Write(b));
  ASSERT_EQ(bodies.units.size(), static_cast<size_t>(kThreads * kFrames));
  EXPECT_EQ(bodies.flushes, 0);
  std::vector<int> next(kThreads, 0);
  for (const Bytes& body : bodies.units) {
    ASSERT_EQ(body.size(), 10u);
    const int t = body[4] | (body[5] << 8);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(body[6], next[t]) << "owner " << t;
    EXPECT_EQ(body[8], 0xDB);
    EXPECT_EQ(body[9], 0xC0);
    ++next[t];
  }
}

TEST(TcpWorkerLink, CallbackMayReplyThroughASinkOnTheIoThread) {
  TcpPeer peer;
  IoLink link(peer.Text());
  std::unique_ptr<PacketSink> reply_sink = link.CreateSink();
  // The request's id comes back as the value of a reply sent from inside the callback: the
  // write is carried out within the emit, on the I/O thread.
  link.Router().AddCallback(ChannelDescriptor::PARAMETER_REQUEST,
                            [&](const PacketHeader&, const std::vector<uint8_t>& data) {
                              reply_sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(
                                  Address::RX, SetRequest(0x3E, data[2]));
                            });
  link.Start();
  ASSERT_TRUE(peer.Send(kGetParam60));
  PacketBuffer<50> packet(ChannelDescriptor::PARAMETER_REQUEST, Address::RX,
                          static_cast<PacketMedium>(3), static_cast<PacketMedium>(0));
  packet.Store(SetRequest(0x3E, 0x3C));
  RecordingSink out;
  SlipWriter writer(out);
  writer << packet;
  EXPECT_EQ(peer.Receive(out.all_bytes.size()), out.all_bytes);
  link.Stop();
}

TEST(TcpWorkerLink, DestroyingTheLinkClosesTheConnection) {
  TcpPeer peer;
  {
    IoLink link(peer.Text());
    link.Start();
    ASSERT_NE(peer.Accept(), nullptr);
  }
  EXPECT_TRUE(peer.WaitClosed());
}

TEST(TcpWorkerLink, LinkThatWasNeverStartedIsTornDownCleanly) {
  TcpPeer peer;
  {
    IoLink link(peer.Text());
    auto sink = link.CreateSink();
    sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, SetRequest(1, 2));
  }
  // The queued request died with the worker; the connection is closed.
  EXPECT_TRUE(peer.WaitClosed());
}
