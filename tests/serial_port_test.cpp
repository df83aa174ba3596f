#include "kovra/serial_port.h"

#include <dirent.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/pty_pair.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> AllByteValues() {
  std::vector<uint8_t> v(256);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

// Reads through the port until n bytes have come or a read returns nothing.
std::vector<uint8_t> ReadAll(Serial& port, size_t n) {
  std::vector<uint8_t> out;
  while (out.size() < n) {
    auto got = port.Read(n - out.size());
    if (got.empty()) break;
    out.insert(out.end(), got.begin(), got.end());
  }
  return out;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

std::string LockPathOf(const std::string& device) {
  std::string name = "serial-" + device;
  for (char& c : name) c = c == '/' ? '_' : c;
  return "/var/lock/scoped-file-lock-" + name;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A device name of the running test's own: the port's lock file is named after the device, and
// tests run at the same time in other processes.
std::string MissingDevice() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return "/dev/korvane-test-no-such-port-" + std::to_string(::getpid()) + "-" + test->name();
}

}  // namespace

// --- LinuxSerial -------------------------------------------------------------------------------

TEST(LinuxSerial, WritesAndReadsEveryByteValueUnchanged) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());

  const auto bytes = AllByteValues();
  EXPECT_EQ(port.Write(bytes.data(), bytes.size()), 256);
  EXPECT_EQ(pty.Receive(256), bytes);

  EXPECT_EQ(port.Write(std::string("ok\r\n")), 4);
  EXPECT_EQ(port.Write(uint8_t{0xC0}), 1);
  EXPECT_EQ(pty.Receive(5), (std::vector<uint8_t>{'o', 'k', '\r', '\n', 0xC0}));

  ASSERT_TRUE(pty.Send(bytes));
  EXPECT_EQ(ReadAll(port, 256), bytes);
}

TEST(LinuxSerial, ConfiguresTheLineAsRaw8N2WithTwoSecondReads) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());
  struct termios t {};
  ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &t), 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 20);
}

TEST(LinuxSerial, ConnectDropsInputReceivedBefore) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{1, 2, 3}));
  ASSERT_TRUE(pty.WaitSlaveQueuedAtLeast(3));  // the bytes wait on the port
  ASSERT_TRUE(port.Connect());
  EXPECT_EQ(pty.SlaveQueued(), 0u);
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{4}));
  EXPECT_EQ(port.Read(8), std::vector<uint8_t>{4});
}

TEST(LinuxSerial, BeforeConnectReadAndWriteFailWithALogLine) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  LogCapture log;
  const auto start = Clock::now();
  EXPECT_TRUE(port.Read(1).empty());
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(port.Write(uint8_t{0x55}), 0);
  EXPECT_EQ(log.Count("LinuxSerial " + pty.SlavePath() + " not connected"), 2);
  EXPECT_TRUE(pty.Drain().empty());
}

TEST(LinuxSerial, ReadOnASilentLineTimesOutAfterTwoSeconds) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());
  LogCapture log;
  const auto start = Clock::now();
  EXPECT_TRUE(port.Read(1).empty());
  const double took = SecondsSince(start);
  EXPECT_GE(took, 1.5);
  EXPECT_LT(took, 10.0);
  EXPECT_EQ(log.Count("LinuxSerial read timeout"), 1);
}

TEST(LinuxSerial, OpeningAMissingDeviceFails) {
  const std::string device = MissingDevice();
  LinuxSerial port(device, B115200);
  LogCapture log;
  EXPECT_FALSE(port.Connect());
  EXPECT_EQ(log.Count("LinuxSerial error 2 (No such file or directory) when opening " + device), 1);
  EXPECT_EQ(port.Write(uint8_t{1}), 0);
}

TEST(LinuxSerial, NotATerminalFailsAtTcgetattrAndStaysDisconnected) {
  LinuxSerial port("/dev/null", B115200);
  LogCapture log;
  EXPECT_FALSE(port.Connect());
  EXPECT_EQ(log.Count("LinuxSerial error 25 (Inappropriate ioctl for device) from tcgetattr"), 1);
  EXPECT_EQ(port.Write(uint8_t{1}), 0);
  EXPECT_EQ(log.Count("LinuxSerial /dev/null not connected"), 1);
}

TEST(LinuxSerial, HungUpLineReadsAsATimeOut) {
  PtyPair pty;  // its own slave descriptor keeps the pty number (and so the lock's name) taken
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());
  pty.CloseMaster();
  LogCapture log;
  const auto start = Clock::now();
  // A hung-up terminal reads as end of file at once, which the port cannot tell from a quiet
  // line; it waits out the time-out as on a quiet line.
  EXPECT_TRUE(port.Read(1).empty());
  EXPECT_GE(SecondsSince(start), 1.5);
  EXPECT_EQ(log.Count("LinuxSerial read timeout"), 1);
  EXPECT_EQ(port.Write(uint8_t{1}), -1);
}

TEST(LinuxSerial, ConnectingAgainDoesNotLeakTheDescriptor) {
  PtyPair pty;
  const int before = OpenDescriptors();
  {
    LinuxSerial port(pty.SlavePath(), B115200);
    ASSERT_TRUE(port.Connect());
    const int connected = OpenDescriptors();
    ASSERT_TRUE(port.Connect());
    ASSERT_TRUE(port.Connect());
    EXPECT_EQ(OpenDescriptors(), connected);
    // The new connection works.
    ASSERT_TRUE(pty.Send(std::vector<uint8_t>{0x42}));
    EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x42});
    port.Disconnect();
    port.Disconnect();
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(LinuxSerial, WriteDoesNotWaitForABlockedRead) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());
  std::vector<uint8_t> read;
  std::thread reader([&] { read = port.Read(1); });
  std::this_thread::sleep_for(100ms);
  // Were reads and writes serialised together, this write would wait out the 2 s read, which
  // would then return empty.
  EXPECT_EQ(port.Write(uint8_t{'x'}), 1);
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{'x'});
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{'y'}));
  reader.join();
  EXPECT_EQ(read, std::vector<uint8_t>{'y'});
}

// --- CrossSerial -------------------------------------------------------------------------------

TEST(CrossSerial, WritesAndReadsEveryByteValueUnchanged) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  const auto bytes = AllByteValues();
  // Connects by itself.
  EXPECT_EQ(port.Write(bytes.data(), bytes.size()), 256);
  EXPECT_EQ(pty.Receive(256), bytes);
  EXPECT_EQ(port.Write(std::string("abc")), 3);
  EXPECT_EQ(pty.Receive(3), (std::vector<uint8_t>{'a', 'b', 'c'}));

  ASSERT_TRUE(pty.Send(bytes));
  EXPECT_EQ(ReadAll(port, 256), bytes);
}

TEST(CrossSerial, ReadOnASilentLineTimesOutAfterAboutOneSecond) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  ASSERT_TRUE(port.Connect());
  LogCapture log;
  const auto start = Clock::now();
  EXPECT_TRUE(port.Read(1).empty());
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 10.0);
  EXPECT_TRUE(log.Lines().empty());  // a quiet line is not an error
}

TEST(CrossSerial, MissingDeviceFailsAtOnceWithALogLine) {
  CrossSerial port(MissingDevice(), 115200);
  LogCapture log;
  const auto start = Clock::now();
  EXPECT_TRUE(port.Read(1).empty());
  EXPECT_LT(SecondsSince(start), 0.9);
  EXPECT_EQ(port.Write(uint8_t{1}), 0);
  EXPECT_FALSE(port.Connect());
  EXPECT_EQ(log.Count("CrossSerial::Connect - couldn't open port"), 3);
  for (const auto& line : log.Lines()) EXPECT_EQ(line.level, spdlog::level::warn);
}

TEST(CrossSerial, TxDumpOnlyAtDebugLevel) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  const std::vector<uint8_t> bytes{0x0c, 0x07, 0xff};
  {
    LogCapture log(spdlog::level::debug);
    EXPECT_EQ(port.Write(bytes.data(), bytes.size()), 3);
    EXPECT_EQ(log.Count("TX: 0c 07 ff "), 1);
    EXPECT_EQ(log.CountContaining("TX:"), 1);
  }
  for (auto level : {spdlog::level::trace, spdlog::level::info}) {
    LogCapture log(level);
    EXPECT_EQ(port.Write(bytes.data(), bytes.size()), 3);
    EXPECT_EQ(log.CountContaining("TX:"), 0) << spdlog::level::to_string_view(level).data();
  }
  EXPECT_EQ(pty.Receive(9).size(), 9u);
}

TEST(CrossSerial, DisconnectLogsAndTheNextReadReconnects) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  LogCapture log;
  port.Disconnect();  // nothing open: nothing logged
  EXPECT_TRUE(log.Lines().empty());
  ASSERT_TRUE(port.Connect());
  ASSERT_TRUE(port.Connect());
  port.Disconnect();
  EXPECT_EQ(log.Count("CrossSerial::Disconnect - closing port " + pty.SlavePath()), 1);
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{0x5A}));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x5A});
}

TEST(CrossSerial, HungUpLineDropsThePortAndRetries) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  ASSERT_TRUE(port.Connect());
  // The pair's own slave descriptor stays open: it keeps the pty number, whose lock the port
  // still holds, from going to another test meanwhile.
  pty.CloseMaster();
  LogCapture log;
  EXPECT_TRUE(port.Read(1).empty());
  EXPECT_EQ(log.Count("CrossSerial::ReadImpl - Serial port error"), 1);
  EXPECT_EQ(log.Count("CrossSerial::Disconnect - closing port " + pty.SlavePath()), 1);
  // The dropped port is opened again at the next use, which fails on the dead line.
  log.Clear();
  EXPECT_EQ(port.Write(uint8_t{1}), 0);
  EXPECT_EQ(log.Count("CrossSerial::Connect - couldn't open port"), 1);
}

// One thread reads while another writes, with the port dropped and reopened under them: the
// port object must never change or vanish under a transfer.
TEST(CrossSerial, ConcurrentReaderWriterAndReconnects) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  ASSERT_TRUE(port.Connect());
  std::atomic<bool> stop{false};
  std::atomic<bool> stop_device{false};
  std::atomic<int> writes{0};
  std::atomic<size_t> read_bytes{0};
  std::thread writer([&] {
    const std::string msg = "0123456789";
    while (!stop) {
      if (port.Write(msg) == 10) ++writes;
      std::this_thread::sleep_for(1ms);
    }
  });
  std::thread reader([&] {
    while (!stop) read_bytes += port.Read(16).size();
  });
  std::thread device([&] {
    const std::vector<uint8_t> reply(8, 0xA5);
    while (!stop_device) {
      pty.Receive(64, 5ms);
      pty.Send(reply);
    }
  });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(60ms);
    port.Disconnect();
  }
  std::this_thread::sleep_for(100ms);
  stop = true;
  writer.join();
  reader.join();  // the device keeps sending, so the last read ends soon
  stop_device = true;
  device.join();
  EXPECT_GT(writes.load(), 0);
  EXPECT_GT(read_bytes.load(), 0u);
}

// --- Serial ------------------------------------------------------------------------------------

TEST(Serial, SecondPortOnTheSameDeviceThrows) {
  PtyPair pty;
  const std::string lock_path = LockPathOf(pty.SlavePath());
  {
    LinuxSerial first(pty.SlavePath(), B115200);
    EXPECT_EQ(::access(lock_path.c_str(), F_OK), 0);
    try {
      CrossSerial second(pty.SlavePath(), 115200);
      ADD_FAILURE() << "second port built";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Lock is held by file " + lock_path);
    }
    EXPECT_THROW(LinuxSerial(pty.SlavePath(), B115200), std::runtime_error);
    // The first port is unharmed.
    ASSERT_TRUE(first.Connect());
    EXPECT_EQ(first.Write(uint8_t{9}), 1);
    EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{9});
  }
  EXPECT_NE(::access(lock_path.c_str(), F_OK), 0);
  CrossSerial again(pty.SlavePath(), 115200);
  EXPECT_EQ(again.Write(uint8_t{10}), 1);
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{10});
}
