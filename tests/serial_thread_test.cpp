#include "kovra/serial_thread.h"

#include <termios.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kovra/message_router.h"
#include "kovra/serial_port.h"
#include "kovra/slip.h"
#include "support/delivery_log.h"
#include "support/link_frames.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "support/recording_sink.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAreArray;

namespace {

// Channel 7, from the host (15) to the transmitter (1): GET_PARAMETER of parameter 60.
const std::vector<uint8_t>& kFrame = link_frames::kGetParam60;
const std::vector<uint8_t> kPayload = {0x02, 0x05, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00};
using link_frames::Frame;

// Records what the router delivers on channels 5 and 7, from whichever thread.
struct Deliveries : DeliveryLog {
  explicit Deliveries(MessageRouter& router)
      : DeliveryLog(router,
                    {ChannelDescriptor::PARAMETER_REQUEST, ChannelDescriptor::TX_ADC_VALUES}) {}
};

void SendOneByteAtATime(PtyPair& pty, const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) {
    ASSERT_TRUE(pty.Send(&b, 1));
    std::this_thread::sleep_for(2ms);
  }
}

// The thread under test. ThreadSanitizer does not see the synchronisation inside QThread::wait
// when Qt's calls are excluded from its view, so the end of run() is also published through an
// atomic that it does see; the test reads it after wait() before touching the port or router.
class TestThread : public SerialThread {
 public:
  using SerialThread::SerialThread;
  // Stops the thread before this part of the object goes, also when a test ends early.
  ~TestThread() override {
    requestInterruption();
    wait();
  }
  void Start() {
    finished_.store(false);
    start();
  }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

 protected:
  void run() override {
    SerialThread::run();
    finished_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> finished_{false};
};

void Stop(TestThread& thread) {
  thread.requestInterruption();
  ASSERT_TRUE(thread.wait(10000));
  ASSERT_TRUE(thread.Finished());
}

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(SerialThread, FrameArrivingByteByByteIsDeliveredOnceOnTheThread) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  Deliveries deliveries(router);
  TestThread thread(port, router);
  thread.Start();

  SendOneByteAtATime(pty, kFrame);
  auto got = deliveries.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.channel, ChannelDescriptor::PARAMETER_REQUEST);
  EXPECT_EQ(got[0].header.addresses, 0xF1);
  ASSERT_EQ(got[0].data.size(), 50u);
  EXPECT_THAT(std::vector<uint8_t>(got[0].data.begin(), got[0].data.begin() + 8),
              ElementsAreArray(kPayload));
  EXPECT_NE(got[0].thread, std::this_thread::get_id());

  // Another thread may write to the port while this one reads.
  EXPECT_EQ(port.Write(kFrame.data(), kFrame.size()), static_cast<int>(kFrame.size()));
  EXPECT_EQ(pty.Receive(kFrame.size()), kFrame);

  // A second frame, in one piece, is the second delivery: the first was not repeated.
  const std::vector<uint8_t> body = {0x05, 0x12, 0xC0, 0xDB, 0x01};
  ASSERT_TRUE(pty.Send(Frame(body)));
  got = deliveries.WaitFor(2);
  Stop(thread);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].header.channel, ChannelDescriptor::TX_ADC_VALUES);
  EXPECT_EQ(got[1].header.addresses, 0x12);
  EXPECT_THAT(std::vector<uint8_t>(got[1].data.begin(), got[1].data.begin() + 3),
              ElementsAreArray({0xC0, 0xDB, 0x01}));
}

TEST(SerialThread, EachRejectedBytePrintsASlipError) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  Deliveries deliveries(router);
  TestThread thread(port, router);
  ::testing::internal::CaptureStderr();
  thread.Start();
  // Two END bytes are two empty frames: two rejections. The good frame after them arrives.
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{0xC0, 0xC0}));
  ASSERT_TRUE(pty.Send(kFrame));
  auto got = deliveries.WaitFor(1);
  Stop(thread);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(Occurrences(err, "\nSlip error reading\n"), 2) << err;
}

TEST(SerialThread, DamagedFrameIsDroppedAndTheNextOneDelivered) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  Deliveries deliveries(router);
  TestThread thread(port, router);
  auto damaged = kFrame;
  damaged[4] = 0x3D;  // the CRC no longer matches
  ::testing::internal::CaptureStderr();
  thread.Start();
  ASSERT_TRUE(pty.Send(damaged));
  ASSERT_TRUE(pty.Send(kFrame));
  auto got = deliveries.WaitFor(1);
  Stop(thread);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[2], 0x3C);
  EXPECT_EQ(Occurrences(err, "\nSlip error reading\n"), 1) << err;
}

TEST(SerialThread, InterruptionEndsTheThreadWithinOneReadTimeout) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  TestThread thread(port, router);
  thread.Start();
  std::this_thread::sleep_for(200ms);  // blocked in a read of the silent line by now
  ASSERT_TRUE(thread.isRunning());
  const auto start = Clock::now();
  thread.requestInterruption();
  ASSERT_TRUE(thread.wait(10000));
  ASSERT_TRUE(thread.Finished());
  // One CrossSerial read time-out is 1000 ms; allow for a slow machine.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.5);
  EXPECT_TRUE(thread.isFinished());
}

TEST(SerialThread, RestartDropsTheHalfFrameOfTheEarlierRun) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  Deliveries deliveries(router);
  TestThread thread(port, router);
  ASSERT_TRUE(port.Connect());
  // The first ten bytes of a channel-5 frame; six of them get through to the router. They wait
  // on the port before the thread starts, and the thread is stopped only once it has read them
  // all (each byte read is fed before the loop looks for the interruption).
  auto half = Frame({0x05, 0x12, 1, 2, 3, 4, 5, 6, 7, 8});
  half.resize(10);
  ASSERT_TRUE(pty.Send(half));
  ASSERT_TRUE(pty.WaitSlaveQueuedAtLeast(half.size()));
  thread.Start();
  ASSERT_TRUE(pty.WaitSlaveQueuedAtMost(0));
  Stop(thread);
  ASSERT_EQ(router.Buffered(), 6u);

  thread.Start();
  ASSERT_TRUE(pty.Send(kFrame));
  auto got = deliveries.WaitFor(1);
  Stop(thread);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.channel, ChannelDescriptor::PARAMETER_REQUEST);
  EXPECT_EQ(got[0].header.addresses, 0xF1);
  EXPECT_THAT(std::vector<uint8_t>(got[0].data.begin(), got[0].data.begin() + 8),
              ElementsAreArray(kPayload));
}

TEST(SerialThread, ReadsAConnectedLinuxSerial) {
  PtyPair pty;
  LinuxSerial port(pty.SlavePath(), B115200);
  ASSERT_TRUE(port.Connect());
  MessageRouter router;
  Deliveries deliveries(router);
  TestThread thread(port, router);
  thread.Start();
  SendOneByteAtATime(pty, kFrame);
  auto got = deliveries.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.addresses, 0xF1);
  // Deliver one more byte so the thread is not left waiting out a whole 2 s read.
  thread.requestInterruption();
  ASSERT_TRUE(pty.Send(std::vector<uint8_t>{0xC0}));
  ASSERT_TRUE(thread.wait(10000));
  ASSERT_TRUE(thread.Finished());
}

TEST(SerialThread, DestroyingARunningThreadStopsItFirst) {
  PtyPair pty;
  CrossSerial port(pty.SlavePath(), 115200);
  MessageRouter router;
  {
    SerialThread thread(port, router);
    thread.start();
    std::this_thread::sleep_for(50ms);
  }
  // The thread touched the router only before its last read; taking the port's read lock makes
  // that visible to ThreadSanitizer before the router and port go.
  EXPECT_TRUE(port.Read(0).empty());
}

TEST(SerialThread, HungUpLineLogsAtMostAFewLinesPerSecond) {
  for (const bool linux_port : {true, false}) {
    PtyPair pty;  // its own slave descriptor keeps the pty number taken while the port lives
    std::unique_ptr<Serial> port(
        linux_port ? static_cast<Serial*>(new LinuxSerial(pty.SlavePath(), B115200))
                   : new CrossSerial(pty.SlavePath(), 115200));
    ASSERT_TRUE(port->Connect());
    MessageRouter router;
    LogCapture log;
    TestThread thread(*port, router);
    thread.Start();
    pty.CloseMaster();  // the device goes away; its slave path goes with it
    std::this_thread::sleep_for(1s);  // reads and reopens of the dead line wait out time-outs
    EXPECT_LE(log.Lines().size(), 5u) << (linux_port ? "LinuxSerial" : "CrossSerial");
    Stop(thread);
  }
}
