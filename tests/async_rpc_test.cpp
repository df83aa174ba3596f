// The parameter request queue on its own: frames are caught by a sink in the test, answers are
// handed to the queue directly, as the I/O thread's listener would.
#include "support/thrown.h"
#include "kovra/async_rpc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "support/frame_sink.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;

Parameter Record(ParamCmd command, uint16_t id, uint32_t value = 0,
                 ParamStatus status = ParamStatus::SUCCESS) {
  Parameter p;
  p.command = command;
  p.status = status;
  p.id = static_cast<ParamId>(id);
  p.value = value;
  return p;
}

// Engine over a FrameSink that the test keeps a pointer to.
struct Engine {
  explicit Engine(bool start = true) {
    auto owned = std::make_unique<FrameSink>();
    sink = owned.get();
    rpc = std::make_unique<AsyncRpc>(std::move(owned));
    if (start) rpc->Start();
  }
  FrameSink* sink;
  std::unique_ptr<AsyncRpc> rpc;
};

bool IsBrokenPromise(std::future<Parameter>& future) {
  try {
    AwaitResponse(std::move(future));
  } catch (const std::future_error& e) {
    return e.code() == std::future_errc::broken_promise;
  }
  return false;
}

TEST(AsyncRpcTest, SilentDeviceGetsTenIdenticalFramesThenTimesOut) {
  LogCapture log(spdlog::level::debug);
  Engine engine;
  const auto start = std::chrono::steady_clock::now();
  auto future = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 13), PRIORITY_REQUEST);
  EXPECT_EQ(ThrownText([&] { AwaitResponse(std::move(future)); }), "Parameter request timed out");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Nine waits of 100 ms separate the ten sends.
  EXPECT_GE(elapsed, 900ms);

  auto frames = engine.sink->Frames();
  ASSERT_EQ(frames.size(), 10u);
  for (const auto& f : frames) {
    EXPECT_EQ(f.bytes, frames[0].bytes);
  }
  ASSERT_TRUE(frames[0].good);
  EXPECT_EQ(frames[0].header.channel, ChannelDescriptor::PARAMETER_REQUEST);
  EXPECT_EQ(frames[0].header.GetSource(), PC);
  EXPECT_EQ(frames[0].header.GetDestination(), TX);
  EXPECT_EQ(frames[0].record.command, GET_PARAMETER);
  EXPECT_EQ(frames[0].record.status, ParamStatus::SUCCESS);
  EXPECT_EQ(frames[0].record.id, 13);
  EXPECT_EQ(frames[0].record.value, 0u);

  EXPECT_EQ(log.CountContaining("Sending request Message"), 1);
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(log.Count("Sending request try " + std::to_string(i)), 1);
  EXPECT_EQ(log.Count("Sending request try 11"), 0);
  int errors = 0;
  for (const auto& line : log.Lines()) {
    if (line.level == spdlog::level::err) {
      ++errors;
      EXPECT_EQ(line.text, "No response after 10 requests");
    }
  }
  EXPECT_EQ(errors, 1);
}

TEST(AsyncRpcTest, AnswerInFirstWaitCompletesAfterOneFrame) {
  LogCapture log(spdlog::level::debug);
  Engine engine;
  auto future = engine.rpc->SubmitRequest(RX, Record(GET_PARAMETER, 36), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(RX, Record(GET_PARAMETER, 36, 4200));
  Parameter answer = future.get();
  EXPECT_EQ(answer.value, 4200u);
  EXPECT_EQ(answer.id, 36);
  // The engine is idle now: no further send of this request.
  auto idle = engine.rpc->SubmitRequest(RX, Record(COMMIT_STAGED, PARAM_ID_NONE),
                                        PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(2));
  auto frames = engine.sink->Frames();
  EXPECT_EQ(frames[1].record.command, COMMIT_STAGED);
  engine.rpc->ParameterResponseCallback(RX, Record(COMMIT_STAGED, PARAM_ID_NONE));
  idle.get();
  EXPECT_EQ(engine.sink->Count(), 2u);
  EXPECT_EQ(log.CountContaining("Got response Message"), 2);
}

TEST(AsyncRpcTest, StatusZeroAnswerIsHandedOverUnchanged) {
  Engine engine;
  auto future = engine.rpc->SubmitRequest(TX, Record(SET_PARAMETER, 5, 1), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(
      TX, Record(SET_PARAMETER, 5, 0xDEADBEEF, ParamStatus::FAILED));
  Parameter answer = future.get();
  EXPECT_EQ(answer.status, ParamStatus::FAILED);
  EXPECT_EQ(answer.value, 0xDEADBEEFu);
}

// Both devices answer the same command and id: only the addressed device's answer counts.
TEST(AsyncRpcTest, AnswerFromAnotherDeviceIsRefused) {
  Engine engine;
  auto future = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 36), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(RX, Record(GET_PARAMETER, 36, 2222));
  EXPECT_EQ(future.wait_for(250ms), std::future_status::timeout);
  // The request is still open and keeps being sent.
  ASSERT_TRUE(engine.sink->WaitForFrames(2));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 36, 1111));
  EXPECT_EQ(future.get().value, 1111u);
}

TEST(AsyncRpcTest, AnswerWithOtherCommandOrIdIsDropped) {
  Engine engine;
  auto future = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 36), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(TX, Record(SET_PARAMETER, 36, 1));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 34, 2));
  EXPECT_EQ(future.wait_for(250ms), std::future_status::timeout);
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 36, 3));
  EXPECT_EQ(future.get().value, 3u);
}

TEST(AsyncRpcTest, AnswerAfterTheTenthSendIsIgnored) {
  Engine engine;
  auto request =
      std::make_shared<AsyncRpc::Request>(TX, Record(GET_PARAMETER, 13), PRIORITY_REQUEST);
  auto future = request->GetFuture();
  engine.rpc->Enqueue_(request);
  ASSERT_TRUE(engine.sink->WaitForFrames(10));
  EXPECT_EQ(ThrownText([&] { AwaitResponse(std::move(future)); }), "Parameter request timed out");
  EXPECT_FALSE(request->ValidateResponse(TX, Record(GET_PARAMETER, 13, 7)));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 13, 7));
  EXPECT_EQ(engine.sink->Count(), 10u);
  // The engine goes on with the next request.
  auto next = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 14), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(11));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 14, 8));
  EXPECT_EQ(next.get().value, 8u);
}

TEST(AsyncRpcTest, RequestTakesNoAnswerBeforeItWasSent) {
  RpcRequest<Parameter, Parameter> request(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  EXPECT_FALSE(request.ValidateResponse(TX, Record(GET_PARAMETER, 5, 1)));
  RpcRequest<Parameter, Parameter> stop(PRIORITY_STOP);
  EXPECT_TRUE(stop.Empty());
  EXPECT_FALSE(stop.ValidateResponse(TX, Record(GET_PARAMETER, 5, 1)));
}

TEST(AsyncRpcTest, AnswersWithoutRequestInFlightAreDropped) {
  Engine idle;
  idle.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 1));
  Engine unstarted(false);
  unstarted.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 1));
  EXPECT_EQ(idle.sink->Count(), 0u);
}

// The device answered two sends: the second answer does not touch a request for another
// parameter.
TEST(AsyncRpcTest, SecondAnswerDoesNotCompleteADifferentRequest) {
  Engine engine;
  auto first = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(2));  // sent twice
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 50));
  EXPECT_EQ(first.get().value, 50u);
  auto second = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 13), PRIORITY_REQUEST);
  const size_t sent = engine.sink->Count();
  ASSERT_TRUE(engine.sink->WaitForFrames(sent + 1));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 51));  // the late twin
  EXPECT_EQ(second.wait_for(150ms), std::future_status::timeout);
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 13, 130));
  EXPECT_EQ(second.get().value, 130u);
}

TEST(AsyncRpcTest, SendFailureFailsThatRequestOnly) {
  Engine engine;
  engine.sink->ThrowOnWrite(true);
  auto broken = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  EXPECT_EQ(ThrownText([&] { AwaitResponse(std::move(broken)); }), "link down");
  engine.sink->ThrowOnWrite(false);
  auto next = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 9));
  EXPECT_EQ(next.get().value, 9u);
}

TEST(AsyncRpcTest, WaitingRequestsAreTakenInSubmissionOrder) {
  Engine engine(false);
  std::vector<std::future<Parameter>> futures;
  std::vector<uint16_t> ids;
  for (uint16_t id = 20; id > 10; --id) {
    ids.push_back(id);
    futures.push_back(engine.rpc->SubmitRequest(id % 2 ? TX : RX, Record(GET_PARAMETER, id),
                                                PRIORITY_REQUEST));
  }
  engine.rpc->Start();
  for (size_t i = 0; i < ids.size(); ++i) {
    // Wait for the request's first frame, then answer it from its device.
    FrameSink::Frame frame;
    for (bool found = false; !found;) {
      const size_t seen = engine.sink->Count();
      for (const auto& f : engine.sink->Frames()) {
        if (f.record.id == ids[i]) {
          frame = f;
          found = true;
        }
      }
      if (!found) {
        ASSERT_TRUE(engine.sink->WaitForFrames(seen + 1));
      }
    }
    EXPECT_EQ(frame.header.GetDestination(), ids[i] % 2 ? TX : RX);
    engine.rpc->ParameterResponseCallback(frame.header.GetDestination(),
                                          Record(GET_PARAMETER, ids[i], ids[i] * 10u));
    EXPECT_EQ(futures[i].get().value, ids[i] * 10u);
  }
  // Sent in submission order, each request only after the one before it was answered.
  std::vector<uint16_t> order;
  for (const auto& f : engine.sink->Frames()) {
    if (order.empty() || order.back() != f.record.id) order.push_back(f.record.id);
  }
  EXPECT_EQ(order, ids);
}

TEST(AsyncRpcTest, SeveralThreadsEachGetTheirOwnAnswer) {
  Engine engine;
  std::atomic<bool> done{false};
  // The device: answers every frame with a value made from its id and destination.
  std::thread device([&] {
    size_t seen = 0;
    while (!done) {
      if (!engine.sink->WaitForFrames(seen + 1, 20ms)) continue;
      auto frames = engine.sink->Frames();
      for (; seen < frames.size(); ++seen) {
        const auto& f = frames[seen];
        engine.rpc->ParameterResponseCallback(
            f.header.GetDestination(),
            Record(f.record.command, f.record.id,
                   f.record.id * 100u + static_cast<uint32_t>(f.header.GetDestination())));
      }
    }
  });
  constexpr int kThreads = 6;
  constexpr int kEach = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int k = 0; k < kEach; ++k) {
        const uint16_t id = static_cast<uint16_t>(t * kEach + k);
        const Address to = (k % 2) ? TX : RX;
        Parameter answer =
            engine.rpc->SubmitRequest(to, Record(GET_PARAMETER, id), PRIORITY_REQUEST).get();
        if (answer.id != id || answer.value != id * 100u + static_cast<uint32_t>(to)) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  done = true;
  device.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(engine.sink->Count(), static_cast<size_t>(kThreads * kEach));
}

TEST(AsyncRpcTest, DestroyingTheEngineFailsWaitingRequestsUnsent) {
  LogCapture log(spdlog::level::debug);
  Engine engine;
  auto in_flight = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 1), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  auto waiting1 = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 2), PRIORITY_REQUEST);
  auto waiting2 = engine.rpc->SubmitRequest(RX, Record(GET_PARAMETER, 3), PRIORITY_REQUEST);
  std::thread destroyer([&] { engine.rpc.reset(); });
  EXPECT_TRUE(IsBrokenPromise(waiting1));
  EXPECT_TRUE(IsBrokenPromise(waiting2));
  destroyer.join();
  // The request in flight ran its course; the waiting ones never went out.
  EXPECT_EQ(ThrownText([&] { AwaitResponse(std::move(in_flight)); }), "Parameter request timed out");
  EXPECT_EQ(log.CountContaining("Sending request Message"), 1);
  EXPECT_EQ(log.Count("Sending request try 10"), 1);
  EXPECT_EQ(log.Count("Sending request try 11"), 0);
}

TEST(AsyncRpcTest, StopEndsTheWorkerAndLaterRequestsFailAtOnce) {
  Engine engine;
  engine.rpc->Stop();
  EXPECT_FALSE(engine.rpc->Running());
  auto late = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  EXPECT_TRUE(IsBrokenPromise(late));
  EXPECT_EQ(engine.sink->Count(), 0u);
  engine.rpc->Stop();  // again: nothing to do

  // A new Start serves requests again.
  engine.rpc->Start();
  auto again = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  ASSERT_TRUE(engine.sink->WaitForFrames(1));
  engine.rpc->ParameterResponseCallback(TX, Record(GET_PARAMETER, 5, 4));
  EXPECT_EQ(again.get().value, 4u);
}

TEST(AsyncRpcTest, StopRightAfterStartEndsTheWorker) {
  for (int i = 0; i < 20; ++i) {
    Engine engine;
    engine.rpc->Stop();
    EXPECT_FALSE(engine.rpc->Running());
  }
}

TEST(AsyncRpcTest, UnstartedEngineFailsItsWaitingRequestsWhenDestroyed) {
  Engine engine(false);
  auto waiting = engine.rpc->SubmitRequest(TX, Record(GET_PARAMETER, 5), PRIORITY_REQUEST);
  engine.rpc->Stop();  // never started: nothing to do
  EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout);
  engine.rpc.reset();
  EXPECT_TRUE(IsBrokenPromise(waiting));
}

}  // namespace
