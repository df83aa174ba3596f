// The simulated devices seen from a hand-made host: raw sockets and frames built by this file's
// own CRC and SLIP code (checked against the worked examples first), so that the simulator and
// the host library cannot agree on a mistake.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_devices.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// --- The test's own framing ---

uint32_t Crc32Bzip2(const Bytes& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : data) {
    crc ^= static_cast<uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

Bytes Encode(const Bytes& body) {
  Bytes plain = body;
  const uint32_t crc = Crc32Bzip2(body);
  for (int i = 0; i < 4; ++i) plain.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  Bytes out;
  for (uint8_t b : plain) {
    if (b == 0xC0) {
      out.push_back(0xDB);
      out.push_back(0xDC);
    } else if (b == 0xDB) {
      out.push_back(0xDB);
      out.push_back(0xDD);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0xC0);
  return out;
}

// Un-escapes one frame (without its END); empty when the escaping or the CRC is bad.
std::optional<Bytes> Decode(const Bytes& frame) {
  Bytes plain;
  for (size_t i = 0; i < frame.size(); ++i) {
    if (frame[i] != 0xDB) {
      plain.push_back(frame[i]);
      continue;
    }
    if (++i == frame.size()) return std::nullopt;
    if (frame[i] == 0xDC) {
      plain.push_back(0xC0);
    } else if (frame[i] == 0xDD) {
      plain.push_back(0xDB);
    } else {
      return std::nullopt;
    }
  }
  if (plain.size() < 5) return std::nullopt;
  Bytes body(plain.begin(), plain.end() - 4);
  uint32_t crc = 0;
  for (int i = 0; i < 4; ++i) crc |= static_cast<uint32_t>(plain[body.size() + i]) << (8 * i);
  if (crc != Crc32Bzip2(body)) return std::nullopt;
  return body;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

uint32_t ReadLe32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

float ReadFloat(const Bytes& b, size_t at) {
  const uint32_t raw = ReadLe32(b, at);
  float f;
  std::memcpy(&f, &raw, 4);
  return f;
}

// Body of a parameter request from the host (15) to dst.
Bytes ParamBody(uint8_t dst, uint8_t cmd, uint16_t id, uint32_t value) {
  Bytes b = {0x07, static_cast<uint8_t>(0xF0 | dst), cmd, 0x05, static_cast<uint8_t>(id),
             static_cast<uint8_t>(id >> 8)};
  const Bytes v = Le32(value);
  b.insert(b.end(), v.begin(), v.end());
  return b;
}

// Body of a parameter answer from src to the host.
Bytes AnswerBody(uint8_t src, uint8_t cmd, uint8_t status, uint16_t id, uint32_t value) {
  Bytes b = {0x08, static_cast<uint8_t>((src << 4) | 0x0F), cmd, status,
             static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
  const Bytes v = Le32(value);
  b.insert(b.end(), v.begin(), v.end());
  return b;
}

// Body of a firmware-update request from the host to dst.
Bytes OtaBody(uint8_t dst, uint8_t type, const Bytes& payload = {}) {
  Bytes b = {0x0A, static_cast<uint8_t>(0xF0 | dst)};
  Bytes p = payload;
  p.resize(36, 0);
  b.insert(b.end(), p.begin(), p.end());
  b.push_back(type);
  b.push_back(0);
  return b;
}

Bytes OtaReplyBody(uint8_t src, uint32_t info, uint8_t status, uint8_t seq) {
  Bytes b = {0x0B, static_cast<uint8_t>((src << 4) | 0x0F)};
  const Bytes v = Le32(info);
  b.insert(b.end(), v.begin(), v.end());
  b.push_back(status);
  b.push_back(seq);
  return b;
}

// --- A hand-made host on a file descriptor (TCP socket or pty slave) ---

class RawHost {
 public:
  explicit RawHost(int fd) : fd_(fd) {}
  static RawHost Tcp(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    return RawHost(fd);
  }
  RawHost(RawHost&& o) noexcept : fd_(o.fd_), pending_(std::move(o.pending_)) { o.fd_ = -1; }
  ~RawHost() {
    if (fd_ >= 0) ::close(fd_);
  }

  void Send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(w, 0);
      done += static_cast<size_t>(w);
    }
  }

  // The next raw frame (escaped, END excluded), or nothing after the time-out. Sets *eof when
  // the peer closed the connection.
  std::optional<Bytes> NextRawFrame(milliseconds timeout, bool* eof = nullptr) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      auto end = std::find(pending_.begin(), pending_.end(), 0xC0);
      if (end != pending_.end()) {
        Bytes frame(pending_.begin(), end);
        pending_.erase(pending_.begin(), end + 1);
        return frame;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t r = ::read(fd_, buf, sizeof(buf));
      if (r <= 0) {
        if (eof) *eof = true;
        return std::nullopt;
      }
      pending_.insert(pending_.end(), buf, buf + r);
    }
  }

  // The next good frame body on one of the channels (others are skipped), with its raw bytes.
  std::optional<Bytes> Next(std::initializer_list<uint8_t> channels,
                            milliseconds timeout = milliseconds(2000), Bytes* raw = nullptr) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto frame = NextRawFrame(left);
      if (!frame) return std::nullopt;
      auto body = Decode(*frame);
      if (!body || body->size() < 2) continue;
      if (std::find(channels.begin(), channels.end(), (*body)[0]) == channels.end()) continue;
      if (raw) {
        *raw = *frame;
        raw->push_back(0xC0);
      }
      return body;
    }
  }

  // Sends a request body and returns the next answer on channel.
  std::optional<Bytes> Ask(const Bytes& body, uint8_t channel,
                           milliseconds timeout = milliseconds(2000), Bytes* raw = nullptr) {
    Send(Encode(body));
    return Next({channel}, timeout, raw);
  }

  int fd() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
  Bytes pending_;
};

SimConfig Quiet() {
  SimConfig c;
  c.telemetry_hz = 0;
  c.log_period = milliseconds(0);
  c.reboot_delay = milliseconds(50);
  return c;
}

struct Running {
  explicit Running(SimConfig c = Quiet()) : sim(c) {
    sim.Start();
    host.emplace(RawHost::Tcp(sim.Port()));
    EXPECT_TRUE(sim.WaitForHost(milliseconds(2000)));
  }
  SimDevices sim;
  std::optional<RawHost> host;
};

constexpr uint8_t kCh8 = 0x08;
constexpr uint8_t kCh11 = 0x0B;

}  // namespace

// --- The test's own framing against the worked examples ---

TEST(SimFramingTest, TestFramingMatchesWorkedExamples) {
  const Bytes body = {0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(0x333E500Eu, Crc32Bzip2(body));
  EXPECT_EQ(Bytes({0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x50, 0x3E,
                   0x33, 0xC0}),
            Encode(body));
  EXPECT_EQ(0x60597EE4u, Crc32Bzip2({0x07, 0xF1, 0xC0, 0xDB}));
  EXPECT_EQ(Bytes({0x07, 0xF1, 0xDB, 0xDC, 0xDB, 0xDD, 0xE4, 0x7E, 0x59, 0x60, 0xC0}),
            Encode({0x07, 0xF1, 0xC0, 0xDB}));
  EXPECT_EQ(ParamBody(1, 2, 60, 0), body);
}

TEST(SimFramingTest, DeviceFrameAndImageHelpers) {
  const uint8_t payload[] = {0x02, 0x05, 0x3C, 0x00, 0xC0, 0xDB, 0x00, 0x00};
  EXPECT_EQ(Encode({0x08, 0x2F, 0x02, 0x05, 0x3C, 0x00, 0xC0, 0xDB, 0x00, 0x00}),
            SimDevices::DeviceFrame(ChannelDescriptor::PARAMETER_RESPONSE, RX, PC, payload, 8));

  const Bytes image = SimDevices::MakeImage(0x11223344, Bytes(100, 0xAB));
  ASSERT_EQ(132u, image.size());
  EXPECT_EQ(0x11223344u, ReadLe32(image, 0));
  EXPECT_EQ(100u, ReadLe32(image, 12));  // section_size as the host reads it
  EXPECT_EQ(Bytes(100, 0xAB), Bytes(image.begin() + 32, image.end()));

  const Bytes record = SimDevices::MakeArchiveRecord(4, {1, 2, 3});
  EXPECT_EQ(Bytes({4, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}), record);
}

// --- Parameters ---

TEST(SimParameterTest, AnswersTheWorkedExampleWithPinnedBytes) {
  Running r;
  // The 15 bytes of the worked example: GET_PARAMETER of id 60 to the transmitter.
  r.host->Send({0x07, 0xF1, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x50, 0x3E,
                0x33, 0xC0});
  Bytes raw;
  auto body = r.host->Next({kCh8}, milliseconds(2000), &raw);
  ASSERT_TRUE(body);
  EXPECT_EQ(Encode(AnswerBody(1, 2, 5, 60, 0)), raw);
  EXPECT_EQ(Bytes({0x08, 0x1F, 0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00}), *body);

  const auto requests = r.sim.ParameterRequests(TX);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(GET_PARAMETER, requests[0].command);
  EXPECT_EQ(ParamStatus::SUCCESS, requests[0].status);
  EXPECT_EQ(60, requests[0].id);
  EXPECT_TRUE(r.sim.ParameterRequests(RX).empty());
  ASSERT_EQ(1u, r.sim.ReceivedBodies().size());
  EXPECT_EQ(ParamBody(1, 2, 60, 0), r.sim.ReceivedBodies()[0]);
}

TEST(SimParameterTest, EachDeviceAnswersFromItsOwnAddress) {
  Running r;
  auto rx = r.host->Ask(ParamBody(2, 2, 61, 0), kCh8);
  ASSERT_TRUE(rx);
  EXPECT_EQ(AnswerBody(2, 2, 5, 61, 0x48), *rx);  // the receiver's I2C address
  auto tx = r.host->Ask(ParamBody(1, 2, 38, 0), kCh8);
  ASSERT_TRUE(tx);
  uint32_t hash = 0;
  ASSERT_TRUE(r.sim.GetValue(TX, ParamId(38), &hash));
  EXPECT_EQ(AnswerBody(1, 2, 5, 38, hash), *tx);
  // Nobody answers for address 3.
  r.host->Send(Encode(ParamBody(3, 2, 60, 0)));
  EXPECT_FALSE(r.host->Next({kCh8}, milliseconds(200)));
}

TEST(SimParameterTest, ListsItsParameters) {
  Running r;
  for (Address a : {TX, RX}) {
    const auto ids = r.sim.ParameterIds(a);
    auto n = r.host->Ask(ParamBody(a, 0, 0xFFFE, 0), kCh8);
    ASSERT_TRUE(n);
    EXPECT_EQ(AnswerBody(a, 0, 5, 0xFFFE, static_cast<uint32_t>(ids.size())), *n);
    for (size_t i = 0; i < ids.size(); ++i) {
      auto id = r.host->Ask(ParamBody(a, 1, static_cast<uint16_t>(i), 0xFFFE), kCh8);
      ASSERT_TRUE(id);
      EXPECT_EQ(AnswerBody(a, 1, 5, static_cast<uint16_t>(i), ids[i]), *id);
    }
    auto past = r.host->Ask(ParamBody(a, 1, static_cast<uint16_t>(ids.size()), 0xFFFE), kCh8);
    ASSERT_TRUE(past);
    EXPECT_EQ(AnswerBody(a, 1, 0, static_cast<uint16_t>(ids.size()), 0xFFFE), *past);
  }
  // The lists hold what the host's dialogs and seed lists use.
  const auto tx = r.sim.ParameterIds(TX);
  for (int id : {5, 13, 14, 34, 36, 38, 41, 45, 46, 47, 48, 49, 50, 51, 52, 60}) {
    EXPECT_NE(tx.end(), std::find(tx.begin(), tx.end(), ParamId(id))) << id;
  }
  const auto rx = r.sim.ParameterIds(RX);
  for (int id : {4, 7, 34, 36, 38, 41, 61, 62, 63, 68}) {
    EXPECT_NE(rx.end(), std::find(rx.begin(), rx.end(), ParamId(id))) << id;
  }
}

TEST(SimParameterTest, SetStageAndCommit) {
  Running r;
  // Only the bytes of the value type are stored: id 60 is one byte.
  auto set = r.host->Ask(ParamBody(1, 3, 60, 0x12345601), kCh8);
  ASSERT_TRUE(set);
  EXPECT_EQ(AnswerBody(1, 3, 5, 60, 1), *set);
  auto get = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8);
  ASSERT_TRUE(get);
  EXPECT_EQ(AnswerBody(1, 2, 5, 60, 1), *get);

  uint32_t saved = 99;
  ASSERT_TRUE(r.sim.GetSavedValue(TX, ParamId(60), &saved));
  EXPECT_EQ(0u, saved);
  auto stage = r.host->Ask(ParamBody(1, 4, 60, 0), kCh8);
  ASSERT_TRUE(stage);
  EXPECT_EQ(AnswerBody(1, 4, 5, 60, 0), *stage);
  EXPECT_TRUE(r.sim.IsStaged(TX, ParamId(60)));
  ASSERT_TRUE(r.sim.GetSavedValue(TX, ParamId(60), &saved));
  EXPECT_EQ(0u, saved);

  auto commit = r.host->Ask(ParamBody(1, 5, 0xFFFE, 0), kCh8);
  ASSERT_TRUE(commit);
  EXPECT_EQ(AnswerBody(1, 5, 5, 0xFFFE, 0), *commit);
  ASSERT_TRUE(r.sim.GetSavedValue(TX, ParamId(60), &saved));
  EXPECT_EQ(1u, saved);
  EXPECT_FALSE(r.sim.IsStaged(TX, ParamId(60)));

  // A 16-bit value keeps two bytes; a 32-bit value all four.
  auto cells = r.host->Ask(ParamBody(2, 3, 63, 0xFFFF1068), kCh8);
  ASSERT_TRUE(cells);
  EXPECT_EQ(AnswerBody(2, 3, 5, 63, 0x1068), *cells);
  auto ip = r.host->Ask(ParamBody(1, 3, 45, 0xC0A80101), kCh8);
  ASSERT_TRUE(ip);
  EXPECT_EQ(AnswerBody(1, 3, 5, 45, 0xC0A80101), *ip);
}

TEST(SimParameterTest, RefusesWhatItDoesNotHold) {
  Running r;
  auto get = r.host->Ask(ParamBody(1, 2, 70, 0), kCh8);
  ASSERT_TRUE(get);
  EXPECT_EQ(AnswerBody(1, 2, 0, 70, 0), *get);
  auto set = r.host->Ask(ParamBody(1, 3, 70, 5), kCh8);
  ASSERT_TRUE(set);
  EXPECT_EQ(AnswerBody(1, 3, 0, 70, 0), *set);
  uint32_t v;
  EXPECT_FALSE(r.sim.GetValue(TX, ParamId(70), &v));
  auto stage = r.host->Ask(ParamBody(1, 4, 70, 0), kCh8);
  ASSERT_TRUE(stage);
  EXPECT_EQ(AnswerBody(1, 4, 0, 70, 1), *stage);
  auto bad = r.host->Ask(ParamBody(1, 9, 60, 0), kCh8);
  ASSERT_TRUE(bad);
  EXPECT_EQ(AnswerBody(1, 9, 0, 60, 0), *bad);
}

TEST(SimParameterTest, CustomListsAndValues) {
  Running r;
  r.sim.SetParameterList(TX, {{ParamId(80), 7}, {ParamId(60), 1}});
  auto n = r.host->Ask(ParamBody(1, 0, 0xFFFE, 0), kCh8);
  ASSERT_TRUE(n);
  EXPECT_EQ(2u, ReadLe32(*n, 6));
  auto id0 = r.host->Ask(ParamBody(1, 1, 0, 0xFFFE), kCh8);
  ASSERT_TRUE(id0);
  EXPECT_EQ(AnswerBody(1, 1, 5, 0, 80), *id0);
  r.sim.SetParameterList(RX, {});
  auto none = r.host->Ask(ParamBody(2, 0, 0xFFFE, 0), kCh8);
  ASSERT_TRUE(none);
  EXPECT_EQ(AnswerBody(2, 0, 5, 0xFFFE, 0), *none);
  r.sim.SetValue(RX, ParamId(61), 0x50);
  auto i2c = r.host->Ask(ParamBody(2, 2, 61, 0), kCh8);
  ASSERT_TRUE(i2c);
  EXPECT_EQ(AnswerBody(2, 2, 5, 61, 0x50), *i2c);
}

// --- Framing of what the host sends ---

TEST(SimLinkTest, EscapedBytesTravelBothWays) {
  Running r;
  // 0xDBC0 for a 16-bit parameter: the request and the answer both carry escapes.
  const Bytes req = Encode(ParamBody(2, 3, 63, 0xDBC0));
  const Bytes esc_esc = {0xDB, 0xDD};
  ASSERT_NE(req.end(), std::search(req.begin(), req.end(), esc_esc.begin(), esc_esc.end()));
  r.host->Send(req);
  Bytes raw;
  auto body = r.host->Next({kCh8}, milliseconds(2000), &raw);
  ASSERT_TRUE(body);
  EXPECT_EQ(AnswerBody(2, 3, 5, 63, 0xDBC0), *body);
  EXPECT_EQ(Encode(AnswerBody(2, 3, 5, 63, 0xDBC0)), raw);
  const Bytes esc_end = {0xDB, 0xDC};
  EXPECT_NE(raw.end(), std::search(raw.begin(), raw.end(), esc_end.begin(), esc_end.end()));
}

TEST(SimLinkTest, DamagedFramesAreDroppedAndTheNextIsAnswered) {
  Running r;
  Bytes bad = Encode(ParamBody(1, 2, 60, 0));
  bad[4] ^= 0x01;  // id byte changed: CRC fails
  r.host->Send(bad);
  EXPECT_FALSE(r.host->Next({kCh8}, milliseconds(200)));
  // A bad escape, then END.
  r.host->Send({0x07, 0xF1, 0xDB, 0x01, 0x02, 0xC0});
  EXPECT_FALSE(r.host->Next({kCh8}, milliseconds(200)));
  EXPECT_EQ(2u, r.sim.BadFrames());
  EXPECT_TRUE(r.sim.ParameterRequests(TX).empty());
  // A frame split in single bytes is still one request.
  const Bytes good = Encode(ParamBody(1, 2, 60, 0));
  for (uint8_t b : good) r.host->Send({b});
  auto ans = r.host->Next({kCh8});
  ASSERT_TRUE(ans);
  EXPECT_EQ(AnswerBody(1, 2, 5, 60, 0), *ans);
  EXPECT_EQ(1u, r.sim.ParameterRequests(TX).size());
}

TEST(SimLinkTest, RequestsOfTheWrongLengthAreIgnored) {
  Running r;
  Bytes shorter = ParamBody(1, 2, 60, 0);
  shorter.pop_back();
  r.host->Send(Encode(shorter));
  Bytes ota_short = OtaBody(1, 5);
  ota_short.pop_back();
  r.host->Send(Encode(ota_short));
  EXPECT_FALSE(r.host->Next({kCh8, kCh11}, milliseconds(200)));
  EXPECT_TRUE(r.sim.ParameterRequests(TX).empty());
  EXPECT_TRUE(r.sim.OtaRequests(TX).empty());
  EXPECT_EQ(2u, r.sim.ReceivedBodies().size());
  r.sim.ClearRecords();
  EXPECT_TRUE(r.sim.ReceivedBodies().empty());
}

TEST(SimLinkTest, OneHostAtATime) {
  SimDevices sim(Quiet());
  sim.Start();
  EXPECT_EQ("127.0.0.1:" + std::to_string(sim.Port()), sim.LinkText());
  EXPECT_FALSE(sim.HostConnected());
  {
    RawHost first = RawHost::Tcp(sim.Port());
    ASSERT_TRUE(sim.WaitForHost(milliseconds(2000)));
    RawHost second = RawHost::Tcp(sim.Port());
    bool eof = false;
    EXPECT_FALSE(second.NextRawFrame(milliseconds(2000), &eof));
    EXPECT_TRUE(eof);  // closed at once
    auto ans = first.Ask(ParamBody(1, 2, 60, 0), kCh8);
    EXPECT_TRUE(ans);
  }
  // After the first host leaves, the next one is served.
  const auto deadline = Clock::now() + milliseconds(2000);
  while (sim.HostConnected() && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_FALSE(sim.HostConnected());
  RawHost third = RawHost::Tcp(sim.Port());
  ASSERT_TRUE(sim.WaitForHost(milliseconds(2000)));
  EXPECT_TRUE(third.Ask(ParamBody(2, 2, 61, 0), kCh8));
  sim.Stop();
  sim.Stop();  // idempotent
}

TEST(SimLinkTest, ServesAPseudoTerminal) {
  SimConfig c = Quiet();
  c.use_pty = true;
  SimDevices sim(c);
  sim.Start();
  EXPECT_EQ(0, sim.Port());
  ASSERT_EQ('/', sim.LinkText()[0]);
  EXPECT_FALSE(sim.HostConnected());
  sim.SendLog(TX, 1, "nobody listens");  // dropped: no stale bytes wait for the host
  int fd = ::open(sim.LinkText().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(0, ::tcgetattr(fd, &t));
  cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  RawHost host(fd);
  auto ans = host.Ask(ParamBody(1, 2, 60, 0), kCh8);
  ASSERT_TRUE(ans);
  EXPECT_EQ(AnswerBody(1, 2, 5, 60, 0), *ans);
  EXPECT_TRUE(sim.HostConnected());
  sim.SendLog(RX, 2, "hello");
  auto log = host.Next({0x01});
  ASSERT_TRUE(log);
  ASSERT_EQ(43u, log->size());
  EXPECT_EQ(0x2F, (*log)[1]);
  EXPECT_EQ(2, (*log)[2]);
  EXPECT_EQ("hello", std::string(reinterpret_cast<const char*>(log->data() + 3)));
  EXPECT_FALSE(host.Next({0x01}, milliseconds(100)));

  // The host closes the device, and later opens it again.
  ::close(host.Release());
  const auto deadline = Clock::now() + milliseconds(2000);
  while (sim.HostConnected() && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_FALSE(sim.HostConnected());
  fd = ::open(sim.LinkText().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  RawHost again(fd);
  ASSERT_TRUE(sim.WaitForHost(milliseconds(2000)));
  auto ans2 = again.Ask(ParamBody(2, 2, 61, 0), kCh8);
  ASSERT_TRUE(ans2);
  EXPECT_EQ(AnswerBody(2, 2, 5, 61, 0x48), *ans2);
}

TEST(SimLinkTest, ThrowsWhenThePortIsTaken) {
  SimDevices first(Quiet());
  first.Start();
  SimConfig c = Quiet();
  c.tcp_port = first.Port();
  SimDevices second(c);
  EXPECT_THROW(second.Start(), std::runtime_error);
  EXPECT_THROW(first.SetSilent(static_cast<Address>(3), true), std::invalid_argument);
}

// --- Telemetry ---

namespace {

struct Telemetry {
  std::map<uint32_t, Bytes> tx;  // by count
  std::map<uint32_t, Bytes> rx;
  std::vector<Bytes> logs;
  std::vector<uint8_t> order;  // channels in arrival order
};

// Collects telemetry until pred says stop or the time-out passes.
template <typename Pred>
Telemetry Collect(RawHost& host, milliseconds timeout, Pred pred) {
  Telemetry t;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && !pred(t)) {
    auto body = host.Next({0x01, 0x04, 0x05}, milliseconds(100));
    if (!body) continue;
    t.order.push_back((*body)[0]);
    if ((*body)[0] == 0x05) {
      EXPECT_EQ(49u, body->size());
      EXPECT_EQ(0x1F, (*body)[1]);
      t.tx[ReadLe32(*body, 2 + 3)] = *body;
    } else if ((*body)[0] == 0x04) {
      EXPECT_EQ(37u, body->size());
      EXPECT_EQ(0x2F, (*body)[1]);
      t.rx[ReadLe32(*body, 2 + 26)] = *body;
    } else {
      EXPECT_EQ(43u, body->size());
      t.logs.push_back(*body);
    }
  }
  return t;
}

std::string LogText(const Bytes& body) {
  std::string s(reinterpret_cast<const char*>(body.data() + 3), 40);
  return s.substr(0, s.find('\0'));
}

}  // namespace

TEST(SimTelemetryTest, BothDevicesReportAtTheSetRate) {
  SimConfig c = Quiet();
  c.telemetry_hz = 50;
  const auto start = Clock::now();  // before the first record can come
  Running r(c);
  Telemetry t = Collect(*r.host, milliseconds(3000),
                        [](const Telemetry& t) { return t.tx.size() >= 25 && t.rx.size() >= 25; });
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_GE(t.tx.size(), 25u);
  ASSERT_GE(t.rx.size(), 25u);
  // Never faster than the rate (one record may already be on its way at the start).
  EXPECT_LE(static_cast<double>(t.tx.size()), elapsed * 50 + 2);
  // Counts rise by one per tick, and both devices report each tick, the receiver first.
  uint32_t prev = 0;
  for (const auto& e : t.tx) {
    if (prev) {
      EXPECT_EQ(prev + 1, e.first);
    }
    prev = e.first;
    EXPECT_TRUE(t.rx.count(e.first) || e.first == t.tx.begin()->first) << e.first;
  }
  ASSERT_GE(t.order.size(), 2u);
  for (size_t i = 0; i + 1 < t.order.size(); i += 2) {
    EXPECT_EQ(0x04, t.order[i]);
    EXPECT_EQ(0x05, t.order[i + 1]);
  }
  // Off: both report state 0, the power level is 100, no battery current.
  const Bytes& tx = t.tx.rbegin()->second;
  const Bytes& rx = t.rx.rbegin()->second;
  EXPECT_EQ(0, tx[2]);
  EXPECT_EQ(100, tx[3] | tx[4] << 8);
  EXPECT_NEAR(3.3f, ReadFloat(tx, 2 + 7), 0.1f);
  EXPECT_EQ(0, rx[2 + 30]);
  EXPECT_EQ(0.0f, ReadFloat(rx, 2 + 22));
  EXPECT_GT(ReadFloat(rx, 2 + 2), 20.0f);  // a battery is connected
  EXPECT_GE(r.sim.TelemetrySent(TX), 25u);
}

TEST(SimTelemetryTest, ChargingProgressesWithPlausiblePowers) {
  SimConfig c = Quiet();
  c.telemetry_hz = 1000;
  c.charge_ticks = 200;
  Running r(c);
  r.host->Send(Encode(ParamBody(1, 3, 60, 1)));
  Telemetry t = Collect(*r.host, milliseconds(5000), [](const Telemetry& t) {
    return !t.rx.empty() && t.rx.rbegin()->second[2 + 30] == 4 && t.tx.rbegin()->second[2] == 4;
  });
  ASSERT_FALSE(t.rx.empty());
  ASSERT_EQ(4, t.rx.rbegin()->second[2 + 30]) << "battery never full";

  // States in order, each at least once.
  std::vector<uint8_t> rx_states, tx_states;
  for (const auto& e : t.rx) {
    if (rx_states.empty() || rx_states.back() != e.second[2 + 30]) {
      rx_states.push_back(e.second[2 + 30]);
    }
  }
  for (const auto& e : t.tx) {
    if (tx_states.empty() || tx_states.back() != e.second[2]) tx_states.push_back(e.second[2]);
  }
  if (!rx_states.empty() && rx_states.front() == 0) rx_states.erase(rx_states.begin());
  if (!tx_states.empty() && tx_states.front() == 0) tx_states.erase(tx_states.begin());
  EXPECT_EQ(std::vector<uint8_t>({7, 1, 2, 3, 4}), rx_states);
  EXPECT_EQ(std::vector<uint8_t>({2, 3, 4}), tx_states);

  // Efficiency of each charging tick, as the window computes it.
  int checked = 0;
  std::set<int> levels;
  float vmax = 0;
  for (const auto& e : t.tx) {
    const Bytes& tx = e.second;
    auto it = t.rx.find(e.first);
    if (it == t.rx.end() || tx[2] != 3) continue;
    const Bytes& rx = it->second;
    const float pb = ReadFloat(rx, 2 + 2) * ReadFloat(rx, 2 + 22);
    const float ptx = ReadFloat(tx, 2 + 11) * ReadFloat(tx, 2 + 15) +
                      (ReadFloat(tx, 2 + 35) * ReadFloat(tx, 2 + 39) +
                       ReadFloat(tx, 2 + 19) * ReadFloat(tx, 2 + 23));
    levels.insert(tx[3] | tx[4] << 8);
    vmax = std::max(vmax, ReadFloat(rx, 2 + 2));
    if (pb <= 0) continue;
    const float eff = 100 * pb / ptx;
    EXPECT_GE(eff, 70.0f);
    EXPECT_LE(eff, 90.0f);
    EXPECT_GT(ReadFloat(rx, 2 + 10), 20.0f);  // rectified voltage while charging
    ++checked;
  }
  EXPECT_GT(checked, 50);
  EXPECT_GT(levels.size(), 3u);  // the power level moves
  for (int l : levels) {
    EXPECT_GE(l, 2);
    EXPECT_LE(l, 40);
  }
  EXPECT_NEAR(25.2f, vmax, 0.01f);  // up to the receiver's voltage limit (parameter 36)

  // The switch was announced on the log channel.
  bool enabled = false;
  for (const auto& l : t.logs) {
    if (l[1] == 0x1F && l[2] == 1 && LogText(l) == "Charging enabled") enabled = true;
  }
  EXPECT_TRUE(enabled);

  // Switching off returns both to state 0.
  r.host->Send(Encode(ParamBody(1, 3, 60, 0)));
  Telemetry off = Collect(*r.host, milliseconds(3000), [](const Telemetry& t) {
    for (const auto& l : t.logs) {
      if (LogText(l) == "Charging disabled") return !t.tx.empty() && t.tx.rbegin()->second[2] == 0;
    }
    return false;
  });
  ASSERT_FALSE(off.tx.empty());
  EXPECT_EQ(0, off.tx.rbegin()->second[2]);
  EXPECT_EQ(0, off.rx.rbegin()->second[2 + 30]);
}

TEST(SimTelemetryTest, TheSeedMakesTelemetryReproducible) {
  auto run = [](uint32_t seed) {
    SimConfig c = Quiet();
    c.telemetry_hz = 500;
    c.seed = seed;
    Running r(c);
    return Collect(*r.host, milliseconds(3000), [](const Telemetry& t) {
      return !t.tx.empty() && t.tx.rbegin()->first >= 60;
    });
  };
  const Telemetry a = run(7);
  const Telemetry b = run(7);
  const Telemetry other = run(8);
  int same = 0;
  int differ = 0;
  for (const auto& e : a.tx) {
    auto it = b.tx.find(e.first);
    if (it != b.tx.end()) {
      EXPECT_EQ(e.second, it->second) << "count " << e.first;
      ++same;
    }
    auto o = other.tx.find(e.first);
    if (o != other.tx.end() && o->second != e.second) ++differ;
  }
  EXPECT_GT(same, 10);
  EXPECT_GT(differ, 10);
}

TEST(SimTelemetryTest, LogLinesAtTheirLevelsAndRate) {
  // Period, rate (ten lines a millisecond: more than a period can ask for), errors asked for,
  // lines to collect, and every level seen, no other. A machine that cannot make the rate (a
  // sanitizer build, a busy machine) makes fewer lines, never more, and the devices still take
  // the host's connection: the lines are collected for as long as that takes.
  const std::tuple<milliseconds, int, bool, size_t, std::set<int>> cases[] = {
      {milliseconds(2), 0, false, 200, {1, 2}},
      {milliseconds(2), 0, true, 200, {0, 1, 2, 3}},
      {milliseconds(0), 10000, false, 5000, {1, 2}},
      {milliseconds(0), 100000, false, 5000, {1, 2}}};  // beyond a sanitizer build's making
  for (const auto& [period, rate, errors, lines, levels] : cases) {
    SimConfig c = Quiet();
    std::tie(c.log_period, c.log_rate, c.log_errors) = std::tie(period, rate, errors);
    const auto start = Clock::now();
    Running r(c);
    Telemetry t = Collect(*r.host, milliseconds(30000),
                          [&](const Telemetry& t) { return t.logs.size() >= lines; });
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_GE(t.logs.size(), lines) << rate;
    std::set<int> seen, sources;
    size_t warnings = 0;
    for (const auto& l : t.logs) {
      seen.insert(l[2]);
      sources.insert(l[1]);
      warnings += l[2] == 2;
      EXPECT_FALSE(LogText(l).empty());
    }
    EXPECT_EQ(levels, seen) << errors;
    if (!errors) {  // about one in eight
      EXPECT_GT(warnings, t.logs.size() / 16) << rate;
      EXPECT_LT(warnings, t.logs.size() / 4) << rate;
    }
    EXPECT_EQ(std::set<int>({0x1F, 0x2F}), sources);
    EXPECT_LE(static_cast<double>(t.logs.size()), rate > 0 ? elapsed * rate + 1 : 1e9);
  }
}

// --- Firmware update ---

namespace {

Bytes ChunkPayload(uint32_t offset, const Bytes& body) {
  Bytes p = Le32(offset);
  for (size_t i = offset; i < body.size() && i < offset + 32; ++i) p.push_back(body[i]);
  return p;
}

}  // namespace

TEST(SimOtaTest, TakesAnImageAndRebootsIntoIt) {
  Running r;
  r.sim.SetFirmwareId(TX, 0x302);  // running its shim
  Bytes body(70);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 0xC0);
  const Bytes image = SimDevices::MakeImage(0x202, body);
  const Bytes block(image.begin(), image.begin() + 32);

  Bytes raw;
  auto begin = r.host->Ask(OtaBody(1, 1, block), kCh11, milliseconds(2000), &raw);
  ASSERT_TRUE(begin);
  EXPECT_EQ(OtaReplyBody(1, 70, 1, 0), *begin);
  EXPECT_EQ(Encode(OtaReplyBody(1, 70, 1, 0)), raw);
  uint8_t seq = 1;
  for (uint32_t offset : {0u, 32u, 64u}) {
    auto ack = r.host->Ask(OtaBody(1, 2, ChunkPayload(offset, body)), kCh11);
    ASSERT_TRUE(ack);
    EXPECT_EQ(OtaReplyBody(1, offset, 1, seq++), *ack);
  }
  auto end = r.host->Ask(OtaBody(1, 3, block), kCh11);
  ASSERT_TRUE(end);
  EXPECT_EQ(OtaReplyBody(1, 70, 1, seq++), *end);
  EXPECT_EQ(body, r.sim.ReceivedImage(TX));
  EXPECT_EQ(block, r.sim.ReceivedControlBlock(TX));

  auto before = r.host->Ask(OtaBody(1, 5), kCh11);
  ASSERT_TRUE(before);
  EXPECT_EQ(OtaReplyBody(1, 0x302, 1, seq++), *before);

  r.host->Send(Encode(OtaBody(1, 4)));
  ASSERT_TRUE(r.sim.WaitForReboots(TX, 1, milliseconds(2000)));
  EXPECT_FALSE(r.host->Next({kCh11}, milliseconds(100)));  // Reboot has no reply
  auto after = r.host->Ask(OtaBody(1, 5), kCh11);
  ASSERT_TRUE(after);
  EXPECT_EQ(OtaReplyBody(1, 0x202, 1, seq++), *after);
  EXPECT_EQ(0x202u, r.sim.FirmwareId(TX));
  EXPECT_EQ(0x101u, r.sim.FirmwareId(RX));  // the other device is untouched
  const auto requests = r.sim.OtaRequests(TX);
  ASSERT_EQ(8u, requests.size());
  EXPECT_EQ(OtaRequestType::Reboot, requests[6].type);
  EXPECT_EQ(64u, ReadLe32(Bytes(requests[3].payload, requests[3].payload + 36), 0));
}

TEST(SimOtaTest, RefusesBrokenTransfers) {
  Running r;
  // Data before any BeginUpdate.
  auto early = r.host->Ask(OtaBody(2, 2, ChunkPayload(0, Bytes(32, 1))), kCh11);
  ASSERT_TRUE(early);
  EXPECT_EQ(OtaReplyBody(2, 0, 2, 0), *early);
  // EndUpdate before any BeginUpdate.
  auto end0 = r.host->Ask(OtaBody(2, 3), kCh11);
  ASSERT_TRUE(end0);
  EXPECT_EQ(OtaReplyBody(2, 0, 2, 1), *end0);

  const Bytes body(40, 0x5A);
  const Bytes image = SimDevices::MakeImage(0x101, body);
  const Bytes block(image.begin(), image.begin() + 32);
  ASSERT_TRUE(r.host->Ask(OtaBody(2, 1, block), kCh11));
  // Only the first chunk: EndUpdate is refused with the count received.
  ASSERT_TRUE(r.host->Ask(OtaBody(2, 2, ChunkPayload(0, body)), kCh11));
  auto past = r.host->Ask(OtaBody(2, 2, ChunkPayload(40, body)), kCh11);
  ASSERT_TRUE(past);
  EXPECT_EQ(OtaReplyBody(2, 40, 2, 4), *past);
  auto end = r.host->Ask(OtaBody(2, 3, block), kCh11);
  ASSERT_TRUE(end);
  EXPECT_EQ(OtaReplyBody(2, 32, 2, 5), *end);
  // The rest arrives; a different control block at the end is still refused.
  ASSERT_TRUE(r.host->Ask(OtaBody(2, 2, ChunkPayload(32, body)), kCh11));
  Bytes other = block;
  other[20] ^= 1;
  auto mismatch = r.host->Ask(OtaBody(2, 3, other), kCh11);
  ASSERT_TRUE(mismatch);
  EXPECT_EQ(2, (*mismatch)[6]);
  auto ok = r.host->Ask(OtaBody(2, 3, block), kCh11);
  ASSERT_TRUE(ok);
  EXPECT_EQ(1, (*ok)[6]);

  // An image larger than a device takes.
  Bytes huge(32, 0);
  huge[14] = 0x40;  // 4 MiB
  auto big = r.host->Ask(OtaBody(1, 1, huge), kCh11);
  ASSERT_TRUE(big);
  EXPECT_EQ(OtaReplyBody(1, 0, 2, 0), *big);
  // An unknown request type.
  auto unknown = r.host->Ask(OtaBody(1, 9), kCh11);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(2, (*unknown)[6]);

  // A reboot without a finished image keeps the firmware.
  r.host->Send(Encode(OtaBody(1, 4)));
  ASSERT_TRUE(r.sim.WaitForReboots(TX, 1, milliseconds(2000)));
  EXPECT_EQ(0x202u, r.sim.FirmwareId(TX));
}

// --- Faults ---

TEST(SimFaultTest, SilentDeviceRecordsButNeverAnswers) {
  Running r;
  r.sim.SetSilent(TX, true);
  r.host->Send(Encode(ParamBody(1, 3, 60, 1)));
  r.host->Send(Encode(OtaBody(1, 5)));
  ASSERT_TRUE(r.sim.WaitForParameterRequests(TX, 1, milliseconds(2000)));
  ASSERT_TRUE(r.sim.WaitForOtaRequests(TX, 1, milliseconds(2000)));
  EXPECT_FALSE(r.host->Next({kCh8, kCh11}, milliseconds(300)));
  uint32_t v = 9;
  ASSERT_TRUE(r.sim.GetValue(TX, ParamId(60), &v));
  EXPECT_EQ(0u, v);  // nothing changed
  // The receiver still answers; the transmitter does again once un-silenced.
  EXPECT_TRUE(r.host->Ask(ParamBody(2, 2, 61, 0), kCh8));
  r.sim.SetSilent(TX, false);
  EXPECT_TRUE(r.host->Ask(ParamBody(1, 2, 60, 0), kCh8));
}

TEST(SimFaultTest, DroppedAnswersFollowTheSeed) {
  // Which of 16 numbered writes are answered, independent of timing.
  auto pattern = [](uint32_t seed) {
    SimConfig c = Quiet();
    c.seed = seed;
    Running r(c);
    r.sim.SetDropProbability(0.5);
    for (uint32_t i = 0; i < 16; ++i) r.host->Send(Encode(ParamBody(1, 3, 23, i)));
    EXPECT_TRUE(r.sim.WaitForParameterRequests(TX, 16, milliseconds(2000)));
    std::string answered(16, '0');
    while (auto ans = r.host->Next({kCh8}, milliseconds(300))) {
      answered[ReadLe32(*ans, 6)] = '1';
    }
    return answered;
  };
  const std::string a = pattern(3);
  EXPECT_EQ(a, pattern(3));
  EXPECT_NE(std::string::npos, a.find('0'));
  EXPECT_NE(std::string::npos, a.find('1'));

  Running all;
  all.sim.SetDropProbability(1.0);
  EXPECT_FALSE(all.host->Ask(ParamBody(1, 2, 60, 0), kCh8, milliseconds(200)));
  all.sim.SetDropProbability(0.0);
  EXPECT_TRUE(all.host->Ask(ParamBody(1, 2, 60, 0), kCh8));
}

TEST(SimFaultTest, DuplicatedAnswers) {
  Running r;
  r.sim.SetDuplicateAnswers(true);
  auto first = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8);
  auto second = r.host->Next({kCh8}, milliseconds(1000));
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  EXPECT_FALSE(r.host->Next({kCh8}, milliseconds(100)));
  // Firmware replies too, each copy with the same seq.
  auto a = r.host->Ask(OtaBody(1, 5), kCh11);
  auto b = r.host->Next({kCh11}, milliseconds(1000));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
}

TEST(SimFaultTest, CorruptedBytes) {
  SimConfig c = Quiet();
  c.telemetry_hz = 200;
  Running r(c);
  r.sim.SetCorruptRate(0.01);
  int good = 0;
  int bad = 0;
  const auto deadline = Clock::now() + milliseconds(5000);
  while ((good < 20 || bad < 5) && Clock::now() < deadline) {
    auto frame = r.host->NextRawFrame(milliseconds(100));
    if (!frame || frame->empty()) continue;
    (Decode(*frame) ? good : bad)++;
  }
  EXPECT_GE(good, 20);
  EXPECT_GE(bad, 5);

  // Every byte changed: nothing decodes once what was already on its way has passed.
  r.sim.SetCorruptRate(1.0);
  const auto settle = Clock::now() + milliseconds(100);
  while (Clock::now() < settle) r.host->NextRawFrame(milliseconds(10));
  int frames = 0;
  int decoded = 0;
  const auto until = Clock::now() + milliseconds(300);
  while (Clock::now() < until) {
    auto frame = r.host->NextRawFrame(milliseconds(10));
    if (!frame) continue;
    ++frames;
    decoded += Decode(*frame).has_value();
  }
  EXPECT_GT(frames, 0);
  EXPECT_EQ(0, decoded);
  r.sim.SetCorruptRate(0.0);
  EXPECT_TRUE(r.host->Next({0x04, 0x05}, milliseconds(2000)));
}

TEST(SimFaultTest, DelayedAnswers) {
  Running r;
  r.sim.SetAnswerDelay(milliseconds(150));
  const auto sent = Clock::now();
  auto ans = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8);
  ASSERT_TRUE(ans);
  EXPECT_GE(Clock::now() - sent, milliseconds(150));
  EXPECT_EQ(AnswerBody(1, 2, 5, 60, 0), *ans);
}

TEST(SimFaultTest, StatusZeroForChosenIds) {
  Running r;
  r.sim.SetStatusZero(TX, ParamId(60), true);
  auto get = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8);
  ASSERT_TRUE(get);
  EXPECT_EQ(AnswerBody(1, 2, 0, 60, 0), *get);
  auto set = r.host->Ask(ParamBody(1, 3, 60, 1), kCh8);
  ASSERT_TRUE(set);
  EXPECT_EQ(AnswerBody(1, 3, 0, 60, 0), *set);
  auto stage = r.host->Ask(ParamBody(1, 4, 60, 0), kCh8);
  ASSERT_TRUE(stage);
  EXPECT_EQ(AnswerBody(1, 4, 0, 60, 0), *stage);
  EXPECT_FALSE(r.sim.IsStaged(TX, ParamId(60)));
  uint32_t v = 9;
  ASSERT_TRUE(r.sim.GetValue(TX, ParamId(60), &v));
  EXPECT_EQ(0u, v);
  // Other ids and the other device are unaffected.
  auto other = r.host->Ask(ParamBody(1, 2, 13, 0), kCh8);
  ASSERT_TRUE(other);
  EXPECT_EQ(5, (*other)[3]);
  r.sim.SetStatusZero(TX, ParamId(60), false);
  auto again = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8);
  ASSERT_TRUE(again);
  EXPECT_EQ(5, (*again)[3]);
}

TEST(SimFaultTest, ChosenFirmwareUpdateReplies) {
  Running r;
  // One Nak for the query, then the normal Ack.
  r.sim.SetOtaReply(TX, OtaRequestType::QueryFirmwareId, OtaControlPacket::Nak, 1);
  auto nak = r.host->Ask(OtaBody(1, 5), kCh11);
  ASSERT_TRUE(nak);
  EXPECT_EQ(OtaReplyBody(1, 0, 2, 0), *nak);
  auto ack = r.host->Ask(OtaBody(1, 5), kCh11);
  ASSERT_TRUE(ack);
  EXPECT_EQ(OtaReplyBody(1, 0x202, 1, 1), *ack);

  // Pend for BeginUpdate until cleared: nothing is stored.
  r.sim.SetOtaReply(TX, OtaRequestType::BeginUpdate, OtaControlPacket::Pend);
  const Bytes image = SimDevices::MakeImage(0x202, Bytes(10, 3));
  const Bytes block(image.begin(), image.begin() + 32);
  for (int i = 0; i < 2; ++i) {
    auto pend = r.host->Ask(OtaBody(1, 1, block), kCh11);
    ASSERT_TRUE(pend);
    EXPECT_EQ(3, (*pend)[6]);
  }
  EXPECT_EQ(Bytes(32, 0), r.sim.ReceivedControlBlock(TX));
  r.sim.ClearOtaReply(TX, OtaRequestType::BeginUpdate);
  auto begun = r.host->Ask(OtaBody(1, 1, block), kCh11);
  ASSERT_TRUE(begun);
  EXPECT_EQ(1, (*begun)[6]);

  // Nak for a chunk carries its offset.
  r.sim.SetOtaReply(TX, OtaRequestType::ImageData, OtaControlPacket::Nak, 1);
  auto chunk_nak = r.host->Ask(OtaBody(1, 2, ChunkPayload(0, Bytes(10, 3))), kCh11);
  ASSERT_TRUE(chunk_nak);
  EXPECT_EQ(2, (*chunk_nak)[6]);
  EXPECT_EQ(Bytes(10, 0), r.sim.ReceivedImage(TX));

  // An acknowledged Reboot: the Ack comes, and the device reboots all the same.
  r.sim.SetOtaReply(TX, OtaRequestType::Reboot, OtaControlPacket::Ack);
  auto reboot = r.host->Ask(OtaBody(1, 4), kCh11);
  ASSERT_TRUE(reboot);
  EXPECT_EQ(1, (*reboot)[6]);
  EXPECT_TRUE(r.sim.WaitForReboots(TX, 1, milliseconds(2000)));
}

TEST(SimFaultTest, WrongFirmwareIdAfterReboot) {
  Running r;
  r.sim.SetWrongFirmwareIdAfterReboot(RX, true);
  EXPECT_EQ(0x101u, r.sim.FirmwareId(RX));  // only a reboot changes it
  for (int i = 1; i <= 2; ++i) {
    r.host->Send(Encode(OtaBody(2, 4)));
    ASSERT_TRUE(r.sim.WaitForReboots(RX, i, milliseconds(2000)));
    auto id = r.host->Ask(OtaBody(2, 5), kCh11);
    ASSERT_TRUE(id);
    EXPECT_EQ(0x00FF0101u, ReadLe32(*id, 2));
  }
  r.sim.SetWrongFirmwareIdAfterReboot(RX, false);
  r.host->Send(Encode(OtaBody(2, 4)));
  ASSERT_TRUE(r.sim.WaitForReboots(RX, 3, milliseconds(2000)));
  EXPECT_EQ(0x101u, r.sim.FirmwareId(RX));
}

TEST(SimFaultTest, RebootingDeviceIsQuiet) {
  SimConfig c = Quiet();
  c.telemetry_hz = 200;
  c.reboot_delay = milliseconds(800);
  Running r(c);
  ASSERT_TRUE(r.sim.WaitForTelemetry(TX, 5, milliseconds(2000)));
  r.host->Send(Encode(OtaBody(1, 4)));
  ASSERT_TRUE(r.sim.WaitForOtaRequests(TX, 1, milliseconds(2000)));
  const uint32_t tx_before = r.sim.TelemetrySent(TX);
  const uint32_t rx_before = r.sim.TelemetrySent(RX);
  auto during = r.host->Ask(ParamBody(1, 2, 60, 0), kCh8, milliseconds(100));
  EXPECT_FALSE(during);
  EXPECT_EQ(0, r.sim.RebootCount(TX));
  EXPECT_LE(r.sim.TelemetrySent(TX), tx_before + 1);
  EXPECT_GT(r.sim.TelemetrySent(RX), rx_before);
  ASSERT_TRUE(r.sim.WaitForReboots(TX, 1, milliseconds(3000)));
  EXPECT_TRUE(r.host->Ask(ParamBody(1, 2, 60, 0), kCh8));
  EXPECT_TRUE(r.sim.WaitForTelemetry(TX, r.sim.TelemetrySent(TX) + 3, milliseconds(2000)));
}

TEST(SimFaultTest, StoppedTelemetryOfOneDevice) {
  SimConfig c = Quiet();
  c.telemetry_hz = 200;
  Running r(c);
  r.sim.SetTelemetryStopped(TX, true);
  const uint32_t tx_before = r.sim.TelemetrySent(TX);
  const uint32_t rx_before = r.sim.TelemetrySent(RX);
  // Every record sent before the stop may still be on its way; collect well past them.
  Telemetry t = Collect(*r.host, milliseconds(3000), [rx_before](const Telemetry& t) {
    return t.rx.size() >= rx_before + 20;
  });
  EXPECT_GE(t.rx.size(), rx_before + 20u);
  EXPECT_LE(t.tx.size(), tx_before);  // only records already in flight
  EXPECT_EQ(tx_before, r.sim.TelemetrySent(TX));
  r.sim.SetTelemetryStopped(TX, false);
  EXPECT_TRUE(r.host->Next({0x05}, milliseconds(2000)));
}
