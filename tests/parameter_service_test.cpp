// The parameter services of both devices against the simulated devices over TCP loopback, wired
// as the program wires them: one I/O worker on an I/O thread, the transmitter's service first
// (its sink carries every request), then the receiver's. Frames are counted at the device.
#include "support/thrown.h"
#include "kovra/parameter_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_devices.h"
#include "support/delivery_log.h"
#include "support/frame_sink.h"
#include "support/io_link.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr ParamId P(int id) { return static_cast<ParamId>(id); }

class ParameterServiceLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimConfig config;
    config.telemetry_hz = 0;
    config.log_period = 0ms;
    sim_ = std::make_unique<SimDevices>(config);
    // Both devices hold 36, with different values.
    sim_->SetParameterList(TX, {{P(5), 0}, {P(13), 1}, {P(14), 0}, {P(34), 3000}, {P(36), 1111},
                                {P(41), 0}, {P(60), 0}, {P(4), 11}, {P(75), 0}, {P(15), 0},
                                {P(74), 0}});
    sim_->SetParameterList(RX, {{P(36), 2222}, {P(34), 1500}, {P(7), 0}, {P(41), 0},
                                {P(38), 0xCAFEF00D}, {P(61), 0x42}, {P(62), 4}, {P(63), 4200},
                                {P(68), 1}, {P(4), 11}});
    sim_->Start();
    link_ = std::make_unique<IoLink>(sim_->LinkText());
    answers_ = std::make_unique<DeliveryLog>(link_->Router(),
                                             std::initializer_list<ChannelDescriptor>{
                                                 ChannelDescriptor::PARAMETER_RESPONSE});
    tx_ = std::make_unique<ParameterService>(TX, link_->CreateSink(), link_->Router(),
                                             "?? Params");
    auto rx_sink = link_->CreateSink();
    rx_ = std::make_unique<ParameterService>(RX, std::move(rx_sink), link_->Router(),
                                             "?? Params");
    EXPECT_NE(rx_sink, nullptr);  // the second service leaves its sink to the caller
    rx_sink.reset();
    link_->Start();
    tx_->Enable(true);
    rx_->Enable(true);
  }

  void TearDown() override {
    // No request may go out once the link is gone: stop the queue first. The router's copies of
    // the listeners hold the queue until the link (and its router) is destroyed.
    if (ParameterService::rpc_) ParameterService::rpc_->Stop();
    tx_.reset();
    rx_.reset();
    ParameterService::rpc_.reset();
    link_.reset();
    answers_.reset();
    sim_.reset();
  }

  // A parameter answer sent by the test in the name of a device.
  void Answer(Address from, ParamCmd command, ParamId id, uint32_t value,
              ParamStatus status = ParamStatus::SUCCESS) {
    Parameter p;
    p.command = command;
    p.status = status;
    p.id = id;
    p.value = value;
    uint8_t payload[kParameterWireSize];
    serialize(p, payload);
    sim_->SendRaw(SimDevices::DeviceFrame(ChannelDescriptor::PARAMETER_RESPONSE, from, PC, payload,
                                          sizeof payload));
  }

  // Requests the device received, a send repeated after a slow answer counted once.
  size_t Exchanges(Address device) const {
    const auto requests = sim_->ParameterRequests(device);
    size_t n = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
      if (i == 0 || std::memcmp(&requests[i], &requests[i - 1], sizeof(Parameter)) != 0) ++n;
    }
    return n;
  }

  // One exchange with the receiver: frames to the devices travel in order over the one link,
  // so every frame sent before it has reached the simulator afterwards.
  void SyncLink() {
    sim_->SetSilent(RX, false);
    std::string text;
    ASSERT_TRUE(rx_->Get(P(36), &text));
  }

  bool WaitForRequests(Address device, size_t n) {
    return sim_->WaitForParameterRequests(device, n, 5000ms);
  }

  LogCapture log_;  // attached before any thread that logs starts
  std::unique_ptr<SimDevices> sim_;
  std::unique_ptr<IoLink> link_;
  std::unique_ptr<DeliveryLog> answers_;
  std::unique_ptr<ParameterService> tx_;
  std::unique_ptr<ParameterService> rx_;
};

TEST_F(ParameterServiceLinkTest, ListGetSetStageCommitOnBothDevices) {
  // Seed lists before the first reload.
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(5, 13, 14, 34, 36, 41));
  EXPECT_THAT(rx_->GetParameters(), ElementsAre(7, 34, 36, 38, 41, 61, 62, 63, 68));

  tx_->UpdateParametersList();
  rx_->UpdateParametersList();
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(4, 5, 13, 14, 15, 34, 36, 41, 60, 74, 75));
  EXPECT_THAT(rx_->GetParameters(), ElementsAre(4, 7, 34, 36, 38, 41, 61, 62, 63, 68));
  // 1 + 11 requests to the transmitter, 1 + 10 to the receiver, all answered at once.
  EXPECT_EQ(Exchanges(TX), 12u);
  EXPECT_EQ(Exchanges(RX), 11u);

  std::string text;
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "1111");
  ASSERT_TRUE(rx_->Get(P(36), &text));
  EXPECT_EQ(text, "2222");
  ASSERT_TRUE(rx_->Get(P(38), &text));
  EXPECT_EQ(text, std::to_string(0xCAFEF00Du));

  // Write, read back through the device.
  ASSERT_TRUE(tx_->Set(P(60), "1"));
  uint32_t raw = 0;
  ASSERT_TRUE(sim_->GetValue(TX, P(60), &raw));
  EXPECT_EQ(raw, 1u);
  ASSERT_TRUE(tx_->Get(P(60), &text));
  EXPECT_EQ(text, "1");
  ASSERT_TRUE(tx_->Set(P(15), "13.56e6"));
  ASSERT_TRUE(tx_->Get(P(15), &text));
  EXPECT_EQ(text, "1.356e+07");
  ASSERT_TRUE(tx_->Set(P(74), "-1"));
  ASSERT_TRUE(sim_->GetValue(TX, P(74), &raw));
  EXPECT_EQ(raw, 0x0000FFFFu);
  ASSERT_TRUE(tx_->Get(P(74), &text));
  EXPECT_EQ(text, "-1");
  ASSERT_TRUE(rx_->Set(P(61), "77"));
  ASSERT_TRUE(sim_->GetValue(RX, P(61), &raw));
  EXPECT_EQ(raw, 77u);

  // Plain values for the firmware update.
  ASSERT_TRUE((tx_->Set<P(41), int>(1)));
  ASSERT_TRUE(sim_->GetValue(TX, P(41), &raw));
  EXPECT_EQ(raw, 1u);
  ASSERT_TRUE((tx_->Set<P(75), int>(1)));
  ASSERT_TRUE(sim_->GetValue(TX, P(75), &raw));
  EXPECT_EQ(raw, 1u);
  EXPECT_EQ(sim_->ParameterRequests(TX).back().value, 1u);
  EXPECT_EQ(sim_->ParameterRequests(TX).back().command, SET_PARAMETER);

  // Stage and commit on the receiver.
  ASSERT_TRUE(rx_->Set(P(4), "23"));
  ASSERT_TRUE(rx_->Stage(P(4)));
  EXPECT_TRUE(sim_->IsStaged(RX, P(4)));
  ASSERT_TRUE(rx_->CommitStaged());
  EXPECT_FALSE(sim_->IsStaged(RX, P(4)));
  ASSERT_TRUE(sim_->GetSavedValue(RX, P(4), &raw));
  EXPECT_EQ(raw, 23u);
  // The transmitter's 4 was not touched.
  ASSERT_TRUE(sim_->GetSavedValue(TX, P(4), &raw));
  EXPECT_EQ(raw, 11u);

  // The frames of the last exchanges, as the device saw them.
  const auto rx_requests = sim_->ParameterRequests(RX);
  const Parameter& commit = rx_requests.back();
  EXPECT_EQ(commit.command, COMMIT_STAGED);
  EXPECT_EQ(commit.status, ParamStatus::SUCCESS);
  EXPECT_EQ(commit.id, PARAM_ID_NONE);
  EXPECT_EQ(commit.value, 0u);
  const Parameter& stage = rx_requests[rx_requests.size() - 2];
  EXPECT_EQ(stage.command, STAGE_PARAMETER);
  EXPECT_EQ(stage.id, 4);
  EXPECT_EQ(stage.value, 0u);
}

TEST_F(ParameterServiceLinkTest, ListRequestsCarryIndexAndNoneValue) {
  tx_->UpdateParametersList();
  const auto requests = sim_->ParameterRequests(TX);
  ASSERT_EQ(Exchanges(TX), 12u);
  EXPECT_EQ(requests[0].command, GET_NUM_PARAMETERS);
  EXPECT_EQ(requests[0].id, PARAM_ID_NONE);
  EXPECT_EQ(requests[0].value, 0u);
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].command, GET_PARAMETER_ID);
    EXPECT_EQ(requests[i].status, ParamStatus::SUCCESS);
    EXPECT_EQ(requests[i].id, i - 1);
    EXPECT_EQ(requests[i].value, 0xFFFEu);
  }
}

TEST_F(ParameterServiceLinkTest, SilentDeviceGetsTenIdenticalRequestsThenTimesOut) {
  sim_->SetSilent(TX, true);
  std::string text = "untouched";
  EXPECT_EQ(ThrownText([&] { tx_->Get(P(13), &text); }), "Parameter request timed out");
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(log_.Count("No response after 10 requests"), 1);

  // The queue goes on: the other device answers at once. Its exchange also follows the last
  // frame to the transmitter over the one link, so every frame sent has arrived by now.
  std::string rx_text;
  ASSERT_TRUE(rx_->Get(P(36), &rx_text));
  EXPECT_EQ(rx_text, "2222");
  EXPECT_EQ(Exchanges(RX), 1u);

  const auto requests = sim_->ParameterRequests(TX);
  ASSERT_EQ(requests.size(), 10u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.command, GET_PARAMETER);
    EXPECT_EQ(r.status, ParamStatus::SUCCESS);
    EXPECT_EQ(r.id, 13);
    EXPECT_EQ(r.value, 0u);
  }
  EXPECT_EQ(sim_->BadFrames(), 0u);
}

TEST_F(ParameterServiceLinkTest, AnswerAfterTheTenthSendIsIgnored) {
  // Every answer leaves long after the tenth send (which goes out about 900 ms after the first),
  // with room for a slow, loaded machine.
  sim_->SetAnswerDelay(2000ms);
  EXPECT_EQ(ThrownText([&] { tx_->Set(P(34), "1"); }), "Parameter request timed out");
  // All ten late answers arrive and are dropped.
  ASSERT_EQ(answers_->WaitFor(10, 10000ms).size(), 10u);
  ASSERT_EQ(sim_->ParameterRequests(TX).size(), 10u);
  sim_->SetAnswerDelay(0ms);
  std::string text;
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "1111");
  EXPECT_EQ(Exchanges(TX), 2u);
}

// The mended fault: both devices answer the same command and id, and only the answer of the
// addressed device completes the request.
TEST_F(ParameterServiceLinkTest, AnswerOfTheOtherDeviceDoesNotCompleteTheRequest) {
  sim_->SetSilent(TX, true);
  std::string text;
  auto result = std::async(std::launch::async, [&] { return tx_->Get(P(36), &text); });
  ASSERT_TRUE(WaitForRequests(TX, 1));
  Answer(RX, GET_PARAMETER, P(36), 2222);
  // The receiver's answer does not end the request: it is sent again.
  ASSERT_TRUE(WaitForRequests(TX, 3));
  EXPECT_EQ(result.wait_for(0ms), std::future_status::timeout);
  Answer(TX, GET_PARAMETER, P(36), 1111);
  ASSERT_TRUE(result.get());
  EXPECT_EQ(text, "1111");
}

TEST_F(ParameterServiceLinkTest, EachDeviceAnswersForItsOwnParameter) {
  // With both devices answering every send twice, reads alternate between them.
  sim_->SetDuplicateAnswers(true);
  for (int i = 0; i < 10; ++i) {
    std::string text;
    ASSERT_TRUE(tx_->Get(P(36), &text));
    EXPECT_EQ(text, "1111");
    ASSERT_TRUE(rx_->Get(P(36), &text));
    EXPECT_EQ(text, "2222");
  }
}

TEST_F(ParameterServiceLinkTest, DuplicatedAnswerCompletesOnlyItsOwnRequest) {
  sim_->SetDuplicateAnswers(true);
  tx_->UpdateParametersList();
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(4, 5, 13, 14, 15, 34, 36, 41, 60, 74, 75));
  std::string text;
  ASSERT_TRUE(tx_->Get(P(34), &text));
  EXPECT_EQ(text, "3000");
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "1111");
  ASSERT_TRUE(rx_->Get(P(34), &text));
  EXPECT_EQ(text, "1500");
  ASSERT_TRUE(tx_->Set(P(34), "3100"));
  ASSERT_TRUE(tx_->Get(P(34), &text));
  EXPECT_EQ(text, "3100");
  EXPECT_EQ(Exchanges(TX), 12u + 4u);
  EXPECT_EQ(Exchanges(RX), 1u);
  // Both copies of every answer reached the host.
  EXPECT_GE(answers_->WaitFor(2 * 17).size(), 2u * 17);
}

TEST_F(ParameterServiceLinkTest, StatusZeroAnswers) {
  sim_->SetStatusZero(TX, P(36), true);
  std::string text = "untouched";
  EXPECT_FALSE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "untouched");
  EXPECT_FALSE(tx_->Set(P(36), "5"));
  EXPECT_FALSE(tx_->Stage(P(36)));
  EXPECT_EQ(Exchanges(TX), 3u);
  // The next read asks again.
  EXPECT_FALSE(tx_->Get(P(36), &text));
  EXPECT_EQ(Exchanges(TX), 4u);
  sim_->SetStatusZero(TX, P(36), false);
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "1111");
}

TEST_F(ParameterServiceLinkTest, StageNeedsStatusFiveAndValueZero) {
  // The device answers a stage of an id it lacks with status 0 and value 1.
  EXPECT_FALSE(tx_->Stage(P(61)));
  // Status 5 with value 1 is a failure too.
  sim_->SetSilent(RX, true);
  auto staged = std::async(std::launch::async, [&] { return rx_->Stage(P(61)); });
  ASSERT_TRUE(WaitForRequests(RX, 1));
  Answer(RX, STAGE_PARAMETER, P(61), 1);
  EXPECT_FALSE(staged.get());
  auto committed = std::async(std::launch::async, [&] { return rx_->CommitStaged(); });
  ASSERT_TRUE(WaitForRequests(RX, 2));
  Answer(RX, COMMIT_STAGED, PARAM_ID_NONE, 1);
  EXPECT_FALSE(committed.get());
}

TEST_F(ParameterServiceLinkTest, DisabledServiceSendsNothingForGetAndSetButStillStages) {
  tx_->Enable(false);
  EXPECT_FALSE(tx_->Enabled());
  std::string text = "untouched";
  EXPECT_FALSE(tx_->Get(P(36), &text));
  EXPECT_FALSE(tx_->Set(P(36), "1"));
  EXPECT_FALSE((tx_->Set<P(41), int>(1)));
  // Disabled comes before the list check: no throw for an unknown id either.
  EXPECT_FALSE(tx_->Get(P(70), &text));
  EXPECT_EQ(text, "untouched");
  EXPECT_TRUE(sim_->ParameterRequests(TX).empty());

  EXPECT_TRUE(tx_->Stage(P(4)));
  EXPECT_TRUE(tx_->CommitStaged());
  tx_->UpdateParametersList();
  ASSERT_EQ(Exchanges(TX), 2u + 12u);
  const auto requests = sim_->ParameterRequests(TX);
  EXPECT_EQ(requests[0].command, STAGE_PARAMETER);
  EXPECT_EQ(requests.back().command, GET_PARAMETER_ID);
  EXPECT_EQ(tx_->GetParameters().size(), 11u);
  tx_->Enable(true);
  EXPECT_TRUE(tx_->Get(P(36), &text));
}

TEST_F(ParameterServiceLinkTest, TimeOutOnTheThirdIdKeepsTheOldList) {
  sim_->SetSilent(TX, true);
  std::promise<std::string> outcome;
  std::thread caller([&] { outcome.set_value(ThrownText([&] { tx_->UpdateParametersList(); })); });
  ASSERT_TRUE(WaitForRequests(TX, 1));
  Answer(TX, GET_NUM_PARAMETERS, PARAM_ID_NONE, 5);
  ASSERT_TRUE(WaitForRequests(TX, 2));
  Answer(TX, GET_PARAMETER_ID, P(0), 60);
  ASSERT_TRUE(WaitForRequests(TX, 3));
  Answer(TX, GET_PARAMETER_ID, P(1), 4);
  caller.join();
  EXPECT_EQ(outcome.get_future().get(), "Parameter request timed out");
  SyncLink();
  // The count, ids 0 and 1, then ten sends for id 2.
  const auto requests = sim_->ParameterRequests(TX);
  ASSERT_EQ(requests.size(), 3u + 10u);
  for (size_t i = 3; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].command, GET_PARAMETER_ID);
    EXPECT_EQ(requests[i].id, 2);
  }
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(5, 13, 14, 34, 36, 41));
}

TEST_F(ParameterServiceLinkTest, ImplausibleCountIsRefusedWithoutAskingForIds) {
  sim_->SetSilent(TX, true);
  std::promise<std::string> outcome;
  std::thread caller([&] { outcome.set_value(ThrownText([&] { tx_->UpdateParametersList(); })); });
  ASSERT_TRUE(WaitForRequests(TX, 1));
  Answer(TX, GET_NUM_PARAMETERS, PARAM_ID_NONE, 65537);
  caller.join();
  EXPECT_FALSE(outcome.get_future().get().empty());
  SyncLink();
  EXPECT_EQ(sim_->ParameterRequests(TX).size(), 1u);
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(5, 13, 14, 34, 36, 41));
}

TEST_F(ParameterServiceLinkTest, RepeatedAndUnknownIdsFromTheDevice) {
  sim_->SetSilent(TX, true);
  std::thread caller([&] { tx_->UpdateParametersList(); });
  const uint32_t listed[] = {80, 60, 5, 60};
  ASSERT_TRUE(WaitForRequests(TX, 1));
  Answer(TX, GET_NUM_PARAMETERS, PARAM_ID_NONE, 4);
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(WaitForRequests(TX, i + 2));
    Answer(TX, GET_PARAMETER_ID, P(static_cast<int>(i)), 0xABCD0000u | listed[i]);
  }
  caller.join();
  // Only the low 16 bits count; repeats stay.
  EXPECT_THAT(tx_->GetParameters(), ElementsAre(5, 60, 60, 80));
  EXPECT_TRUE(tx_->HasParameter(P(80)));
  EXPECT_FALSE(tx_->HasParameter(P(13)));

  // 80 is outside the catalogue: the read is sent, then the value cannot be typed.
  std::promise<std::string> outcome;
  std::thread reader([&] {
    std::string text;
    outcome.set_value(ThrownText([&] { tx_->Get(P(80), &text); }));
  });
  ASSERT_TRUE(WaitForRequests(TX, 6));
  Answer(TX, GET_PARAMETER, P(80), 3);
  reader.join();
  EXPECT_EQ(outcome.get_future().get(),
            "Unknown parameter...maybe add it to parameter_service?");
  EXPECT_EQ(sim_->ParameterRequests(TX).back().id, 80);
}

TEST_F(ParameterServiceLinkTest, EmptyListFromTheDevice) {
  sim_->SetParameterList(TX, {});
  tx_->UpdateParametersList();
  EXPECT_TRUE(tx_->GetParameters().empty());
  std::string text;
  EXPECT_EQ(ThrownText([&] { tx_->Get(P(36), &text); }), "Unknown parameter");
  EXPECT_EQ(ThrownText([&] { tx_->Set(P(36), "1"); }), "Unknown parameter");
  EXPECT_EQ(ThrownText([&] { tx_->Set<P(41), int>(1); }), "Unknown parameter");
  EXPECT_EQ(Exchanges(TX), 1u);
}

TEST_F(ParameterServiceLinkTest, IdOutsideTheListIsRefusedWithoutARequest) {
  // The device holds 60, but the seed list does not.
  std::string text;
  EXPECT_EQ(ThrownText([&] { tx_->Get(P(60), &text); }), "Unknown parameter");
  EXPECT_EQ(ThrownText([&] { tx_->Set(P(60), "1"); }), "Unknown parameter");
  EXPECT_TRUE(sim_->ParameterRequests(TX).empty());
}

TEST_F(ParameterServiceLinkTest, EveryReadAsksTheDevice) {
  kovra::GetLog()->set_level(spdlog::level::debug);  // restored by the capture
  std::string text;
  ASSERT_TRUE(tx_->Get(P(36), &text));
  ASSERT_TRUE(tx_->Get(P(36), &text));
  // Two requests, each sent once unless its answer was slow.
  EXPECT_EQ(log_.Count("Sending request try 1"), 2);
  const auto requests = sim_->ParameterRequests(TX);
  EXPECT_EQ(requests.size(), static_cast<size_t>(log_.CountContaining("Sending request try ")));
  EXPECT_GE(requests.size(), 2u);
  for (const auto& r : requests) EXPECT_EQ(r.id, 36);
  // A change on the device shows at the next read.
  sim_->SetValue(TX, P(36), 4321);
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "4321");
  ASSERT_TRUE(tx_->Set(P(36), "99"));
  ASSERT_TRUE(tx_->Get(P(36), &text));
  EXPECT_EQ(text, "99");
}

TEST_F(ParameterServiceLinkTest, SeveralThreadsEachGetTheirOwnAnswer) {
  tx_->UpdateParametersList();
  rx_->UpdateParametersList();
  // Each thread owns one parameter of one device: it writes its own values and reads them back.
  struct Job {
    ParameterService* service;
    ParamId id;
  };
  const std::vector<Job> jobs = {{tx_.get(), P(34)}, {tx_.get(), P(36)}, {rx_.get(), P(34)},
                                 {rx_.get(), P(36)}, {rx_.get(), P(63)}, {tx_.get(), P(60)}};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < jobs.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 8; ++k) {
        const std::string value = std::to_string(t * 10 + static_cast<size_t>(k) + 1);
        std::string text;
        if (!jobs[t].service->Set(jobs[t].id, value)) ++failures;
        if (!jobs[t].service->Get(jobs[t].id, &text) || text != value) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  for (size_t t = 0; t < jobs.size(); ++t) {
    uint32_t raw = 0;
    ASSERT_TRUE(sim_->GetValue(jobs[t].service == tx_.get() ? TX : RX, jobs[t].id, &raw));
    EXPECT_EQ(raw, t * 10 + 8);
  }
}

TEST_F(ParameterServiceLinkTest, StoppingTheQueueFailsWaitingCallers) {
  sim_->SetSilent(TX, true);
  std::vector<std::future<std::string>> callers;
  for (int id : {5, 13, 14}) {
    callers.push_back(std::async(std::launch::async, [this, id] {
      std::string text;
      try {
        tx_->Get(P(id), &text);
      } catch (const std::future_error& e) {
        return std::string(e.code() == std::future_errc::broken_promise ? "broken" : "other");
      } catch (const std::exception& e) {
        return std::string(e.what());
      }
      return std::string("answered");
    }));
  }
  ASSERT_TRUE(WaitForRequests(TX, 1));
  // Give the other two callers time to queue behind the first.
  std::this_thread::sleep_for(50ms);
  ParameterService::rpc_->Stop();
  int timed_out = 0;
  int broken = 0;
  for (auto& c : callers) {
    const std::string outcome = c.get();
    timed_out += outcome == "Parameter request timed out";
    broken += outcome == "broken";
  }
  EXPECT_EQ(timed_out, 1);
  EXPECT_EQ(broken, 2);
  // Only the request in flight went out.
  ASSERT_TRUE(WaitForRequests(TX, 10));
  EXPECT_FALSE(sim_->WaitForParameterRequests(TX, 11, 200ms));
  const auto requests = sim_->ParameterRequests(TX);
  ASSERT_EQ(requests.size(), 10u);
  for (const auto& r : requests) EXPECT_EQ(r.id, requests[0].id);
  // A request after the stop fails at once.
  std::string text;
  EXPECT_THROW(tx_->Get(P(5), &text), std::future_error);
  EXPECT_EQ(sim_->ParameterRequests(TX).size(), 10u);
}

TEST_F(ParameterServiceLinkTest, ReadsSucceedThroughThirtyPercentDroppedAnswers) {
  tx_->UpdateParametersList();
  rx_->UpdateParametersList();
  sim_->ClearRecords();
  sim_->SetDropProbability(0.3);
  // Alternate ids, so that a late answer to one read cannot pass for the next.
  const std::vector<std::pair<ParameterService*, std::pair<ParamId, const char*>>> reads = {
      {tx_.get(), {P(34), "3000"}}, {tx_.get(), {P(36), "1111"}}, {rx_.get(), {P(36), "2222"}},
      {rx_.get(), {P(63), "4200"}}};
  int failures = 0;
  for (int i = 0; i < 200; ++i) {
    const auto& read = reads[static_cast<size_t>(i) % reads.size()];
    std::string text;
    if (!read.first->Get(read.second.first, &text) || text != read.second.second) ++failures;
  }
  EXPECT_EQ(failures, 0);
  const size_t sent = sim_->ParameterRequests(TX).size() + sim_->ParameterRequests(RX).size();
  // Dropped answers were made up for by sending again.
  EXPECT_GT(sent, 200u);
  EXPECT_LT(sent, 2000u);
}

// Without a link: the first service makes the queue from its sink, later ones leave theirs.
TEST(ParameterServiceTest, OnlyTheFirstServiceGivesItsSinkToTheQueue) {
  ASSERT_EQ(ParameterService::rpc_, nullptr);
  {
    MessageRouter router;
    std::unique_ptr<PacketSink> first = std::make_unique<FrameSink>();
    FrameSink* shared_sink = static_cast<FrameSink*>(first.get());
    ParameterService tx(TX, std::move(first), router, "?? Params");
    EXPECT_EQ(first, nullptr);
    ASSERT_NE(ParameterService::rpc_, nullptr);
    const auto rpc = ParameterService::rpc_;

    std::unique_ptr<PacketSink> second = std::make_unique<FrameSink>();
    ParameterService other(RX_2, std::move(second), router, "other");
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(ParameterService::rpc_, rpc);
    EXPECT_TRUE(other.GetParameters().empty());
    EXPECT_EQ(other.Name(), "other");
    EXPECT_FALSE(other.Enabled());

    // The second service's requests leave through the first service's sink.
    auto staged = std::async(std::launch::async, [&] { return other.Stage(P(4)); });
    ASSERT_TRUE(shared_sink->WaitForFrames(1));
    const auto frame = shared_sink->Frames()[0];
    EXPECT_EQ(frame.header.GetDestination(), RX_2);
    EXPECT_EQ(frame.record.command, STAGE_PARAMETER);
    rpc->ParameterResponseCallback(RX_2, frame.record);
    EXPECT_TRUE(staged.get());
    ParameterService::rpc_->Stop();
  }
  ParameterService::rpc_.reset();
}

TEST(ParameterServiceTest, DisplayNames) {
  EXPECT_EQ(ParameterService::GetParameterName(P(13)), "Enable VICOR and Gate Driver ");
  EXPECT_EQ(ParameterService::GetParameterName(P(60)), "Enable Charging for Device");
  EXPECT_EQ(ParameterService::GetParameterName(P(77)), "Unknown Parameter");
  EXPECT_EQ(ParameterService::GetParameterName(PARAM_ID_NONE), "Unknown Parameter");
}

}  // namespace
