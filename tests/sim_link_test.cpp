// The simulated devices driven by the host link library: the I/O worker, the parameter services
// and the firmware-update service, over TCP loopback and once over a pseudo-terminal.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/thrown.h"
#include "korvane/messages.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "sim/sim_devices.h"
#include "support/delivery_log.h"
#include "support/io_link.h"

using namespace std::chrono_literals;

namespace {

ParamId P(int id) { return static_cast<ParamId>(id); }

SimConfig Config(int hz = 0) {
  SimConfig c;
  c.telemetry_hz = hz;
  c.log_period = 0ms;
  c.reboot_delay = 50ms;
  return c;
}

// The devices, one host link and the host's services, wired as the program wires them.
class Host {
 public:
  explicit Host(SimConfig config, bool pty = false) {
    config.use_pty = pty;
    sim = std::make_unique<SimDevices>(config);
    sim->Start();
    link = std::make_unique<IoLink>(sim->LinkText());
    telemetry = std::make_unique<DeliveryLog>(
        link->Router(), std::initializer_list<ChannelDescriptor>{
                            ChannelDescriptor::TX_ADC_VALUES, ChannelDescriptor::RX_ADC_VALUES,
                            ChannelDescriptor::LOG_MESSAGE});
    tx = std::make_unique<ParameterService>(TX, link->CreateSink(), link->Router(), "?? Params");
    rx = std::make_unique<ParameterService>(RX, link->CreateSink(), link->Router(), "?? Params");
    ota = std::make_unique<OtaService>(link->CreateSink());
    OtaService* service = ota.get();
    link->Router().AddCallback(ChannelDescriptor::OTA_CONTROL,
                               [service](const PacketHeader& h, const std::vector<uint8_t>& d) {
                                 service->HandleControlPacket(h, d);
                               });
    link->Start();
    EXPECT_TRUE(sim->WaitForHost(2s));
    tx->Enable(true);
    rx->Enable(true);
    // The services start with their seed lists; load the devices' own.
    tx->UpdateParametersList();
    rx->UpdateParametersList();
    sim->ClearRecords();
  }

  ~Host() {
    if (ParameterService::rpc_) ParameterService::rpc_->Stop();
    link->Stop();
    ota.reset();
    tx.reset();
    rx.reset();
    ParameterService::rpc_.reset();
    link.reset();
    telemetry.reset();
    sim.reset();
  }

  // Telemetry records of one channel delivered so far.
  template <typename T>
  std::vector<T> Records(ChannelDescriptor channel) {
    std::vector<T> out;
    for (const auto& p : telemetry->Packets()) {
      if (p.header.channel != channel) continue;
      T record;
      deserialize(p.data.data(), &record);
      out.push_back(record);
    }
    return out;
  }

  std::unique_ptr<SimDevices> sim;
  std::unique_ptr<IoLink> link;
  std::unique_ptr<DeliveryLog> telemetry;
  std::unique_ptr<ParameterService> tx;
  std::unique_ptr<ParameterService> rx;
  std::unique_ptr<OtaService> ota;
};

// The device received exactly n parameter requests: the last may still be on its way when the
// host gives up, and no more may follow.
void ExpectExactly(const SimDevices& sim, Address device, size_t n) {
  EXPECT_TRUE(sim.WaitForParameterRequests(device, n, 2s));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(n, sim.ParameterRequests(device).size());
}

void ListReadWriteStageCommit(Host& h) {
  h.tx->UpdateParametersList();
  auto ids = h.sim->ParameterIds(TX);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, h.tx->GetParameters());
  h.rx->UpdateParametersList();
  ids = h.sim->ParameterIds(RX);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, h.rx->GetParameters());

  std::string text;
  ASSERT_TRUE(h.rx->Get(P(61), &text));
  EXPECT_EQ("72", text);
  ASSERT_TRUE(h.tx->Get(P(45), &text));
  EXPECT_EQ(std::to_string(0xC0A80132u), text);

  ASSERT_TRUE(h.rx->Set(P(63), "4100"));
  uint32_t raw = 0;
  ASSERT_TRUE(h.sim->GetValue(RX, P(63), &raw));
  EXPECT_EQ(4100u, raw);
  ASSERT_TRUE(h.rx->Get(P(63), &text));
  EXPECT_EQ("4100", text);

  ASSERT_TRUE(h.rx->Stage(P(63)));
  EXPECT_TRUE(h.sim->IsStaged(RX, P(63)));
  ASSERT_TRUE(h.sim->GetSavedValue(RX, P(63), &raw));
  EXPECT_EQ(4200u, raw);
  ASSERT_TRUE(h.rx->CommitStaged());
  ASSERT_TRUE(h.sim->GetSavedValue(RX, P(63), &raw));
  EXPECT_EQ(4100u, raw);
  EXPECT_FALSE(h.sim->IsStaged(RX, P(63)));

  // Every request the host made reached the device it was meant for, once.
  const auto requests = h.sim->ParameterRequests(RX);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(COMMIT_STAGED, requests.back().command);
  EXPECT_EQ(PARAM_ID_NONE, requests.back().id);
  EXPECT_EQ(ids.size() + 1 + 1 + 1 + 1 + 1 + 1, requests.size());
}

}  // namespace

// --- Parameters ---

TEST(SimHostTest, ParametersOverTcp) {
  Host h(Config());
  ListReadWriteStageCommit(h);
}

TEST(SimHostTest, ParametersOverAPseudoTerminal) {
  Host h(Config(), true);
  ListReadWriteStageCommit(h);
  EXPECT_TRUE(h.sim->HostConnected());
}

TEST(SimHostTest, TheChargingSwitchDrivesTelemetry) {
  SimConfig c = Config(200);
  c.charge_ticks = 100;
  Host h(c);
  std::string text;
  ASSERT_TRUE(h.tx->Set(P(60), "1"));
  ASSERT_TRUE(h.tx->Get(P(60), &text));
  EXPECT_EQ("1", text);
  // Wait for a full battery as the host sees it.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool full = false;
  while (!full && std::chrono::steady_clock::now() < deadline) {
    const auto rx = h.Records<RxAdcValues>(ChannelDescriptor::RX_ADC_VALUES);
    full = !rx.empty() && rx.back().charge_state == 4;
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(full);
  std::set<int> tx_states;
  for (const auto& t : h.Records<TxAdcValues>(ChannelDescriptor::TX_ADC_VALUES)) {
    tx_states.insert(t.charge_state);
  }
  EXPECT_TRUE(tx_states.count(3));
  bool announced = false;
  for (const auto& p : h.telemetry->Packets()) {
    if (p.header.channel != ChannelDescriptor::LOG_MESSAGE) continue;
    LogMessage m;
    deserialize(p.data.data(), &m);
    if (p.header.GetSource() == TX && std::string(m.text, strnlen(m.text, 40)) ==
                                          "Charging enabled") {
      announced = true;
    }
  }
  EXPECT_TRUE(announced);
}

// --- Telemetry rate ---

TEST(SimHostTest, TelemetryArrivesAtTheSetRate) {
  const auto start = std::chrono::steady_clock::now();  // before the first record can come
  Host h(Config(100));
  ASSERT_TRUE(h.sim->WaitForTelemetry(TX, 50, 3s));
  h.telemetry->WaitFor(100, 3s);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto tx = h.Records<TxAdcValues>(ChannelDescriptor::TX_ADC_VALUES);
  const auto rx = h.Records<RxAdcValues>(ChannelDescriptor::RX_ADC_VALUES);
  EXPECT_GE(tx.size(), 40u);
  EXPECT_GE(rx.size(), 40u);
  EXPECT_LE(static_cast<double>(tx.size()), elapsed * 100 + 3);
  for (size_t i = 1; i < tx.size(); ++i) EXPECT_EQ(tx[i - 1].count + 1, tx[i].count);
}

// --- Firmware update ---

TEST(SimHostTest, FirmwareUpdateExchanges) {
  Host h(Config());
  std::vector<uint8_t> body(70);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(0xC0 + i);
  const auto image = SimDevices::MakeImage(0x101, body);
  const OtaControlBlock block = OtaControlBlock::FromBytes(image.data());
  EXPECT_EQ(70u, block.section_size);

  h.sim->SetFirmwareId(RX, 0x301);
  EXPECT_EQ(0x301u, h.ota->GetFirmwareId(RX, 200, 5));
  ASSERT_TRUE(h.ota->SendInitPacket(block, RX, 500, 5));
  ASSERT_TRUE(h.ota->SendImageData(body.data(), 70, RX, 200, 5));
  ASSERT_TRUE(h.ota->Finalize(block, RX, 500, 5));
  EXPECT_EQ(body, h.sim->ReceivedImage(RX));
  EXPECT_TRUE(h.ota->ResetTarget(RX, 300));
  EXPECT_EQ(1, h.sim->RebootCount(RX));
  EXPECT_TRUE(h.ota->CheckNewFirmwareId(RX, 0x101, 200, 5));
  EXPECT_EQ(0x202u, h.sim->FirmwareId(TX));
  // Three chunks with offsets 0, 32 and 64 went to the receiver only.
  std::vector<uint32_t> offsets;
  for (const auto& r : h.sim->OtaRequests(RX)) {
    if (r.type == OtaRequestType::ImageData) {
      offsets.push_back(static_cast<uint32_t>(r.payload[0] | r.payload[1] << 8));
    }
  }
  EXPECT_EQ(std::vector<uint32_t>({0, 32, 64}), offsets);
  EXPECT_TRUE(h.sim->OtaRequests(TX).empty());
}

TEST(SimHostTest, WholeUpdateFromAnArchive) {
  Host h(Config());
  h.sim->SetFirmwareId(TX, 0x302);  // the transmitter runs its shim
  std::vector<uint8_t> body(100);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13);
  const auto record = SimDevices::MakeArchiveRecord(4, SimDevices::MakeImage(0x202, body));
  char path[] = "/tmp/sim_link_test_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(record.size()), ::write(fd, record.data(), record.size()));
  ::close(fd);

  OtaService::Pacing pacing;
  pacing.reset_delay_ms = 300;
  pacing.pause_after_image_ms = 0;
  h.ota->SetPacing(pacing);
  std::promise<bool> result;
  h.ota->Start(*h.rx, *h.tx, std::string(path), [&result](bool ok) { result.set_value(ok); });
  auto future = result.get_future();
  ASSERT_EQ(std::future_status::ready, future.wait_for(10s));
  EXPECT_TRUE(future.get());
  ::unlink(path);
  EXPECT_EQ(body, h.sim->ReceivedImage(TX));
  EXPECT_EQ(0x202u, h.sim->FirmwareId(TX));
  uint32_t ota_mode = 0;
  ASSERT_TRUE(h.sim->GetValue(TX, P(41), &ota_mode));
  EXPECT_EQ(1u, ota_mode);
}

// --- Faults, as the host sees them ---

TEST(SimHostTest, SilentDeviceTimesOutAfterTenSends) {
  Host h(Config());
  h.sim->SetSilent(TX, true);
  std::string text;
  EXPECT_EQ("Parameter request timed out", ThrownText([&] { h.tx->Get(P(60), &text); }));
  ExpectExactly(*h.sim, TX, 10);
  // The receiver is still reachable.
  EXPECT_TRUE(h.rx->Get(P(61), &text));
}

TEST(SimHostTest, DroppedAnswersAreRetried) {
  Host h(Config());
  h.sim->SetDropProbability(1.0);
  std::string text;
  EXPECT_EQ("Parameter request timed out", ThrownText([&] { h.tx->Get(P(60), &text); }));
  ExpectExactly(*h.sim, TX, 10);
  h.sim->ClearRecords();
  h.sim->SetDropProbability(0.4);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(h.tx->Get(P(60), &text)) << i;
  EXPECT_GT(h.sim->ParameterRequests(TX).size(), 8u);  // some went out more than once
}

TEST(SimHostTest, DuplicatedAnswersDoNotConfuseTheQueue) {
  Host h(Config());
  h.sim->SetDuplicateAnswers(true);
  std::string a, b;
  ASSERT_TRUE(h.tx->Set(P(60), "1"));
  ASSERT_TRUE(h.tx->Get(P(60), &a));
  ASSERT_TRUE(h.rx->Get(P(61), &b));
  EXPECT_EQ("1", a);
  EXPECT_EQ("72", b);
  EXPECT_EQ(2u, h.sim->ParameterRequests(TX).size());
  EXPECT_EQ(1u, h.sim->ParameterRequests(RX).size());
}

TEST(SimHostTest, CorruptedAnswersAreDroppedAndRetried) {
  Host h(Config());
  h.sim->SetCorruptRate(0.02);
  std::string text;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(h.rx->Get(P(61), &text)) << i;
    EXPECT_EQ("72", text);
  }
  EXPECT_GE(h.sim->ParameterRequests(RX).size(), 10u);
}

TEST(SimHostTest, SlowAnswersStillComplete) {
  Host h(Config());
  h.sim->SetAnswerDelay(150ms);  // longer than one wait of the queue
  std::string text;
  ASSERT_TRUE(h.rx->Get(P(61), &text));
  EXPECT_EQ("72", text);
  EXPECT_GE(h.sim->ParameterRequests(RX).size(), 2u);  // sent again while waiting
}

TEST(SimHostTest, StatusZeroMakesReadsAndWritesFail) {
  Host h(Config());
  h.sim->SetStatusZero(TX, P(60), true);
  std::string text = "unchanged";
  EXPECT_FALSE(h.tx->Get(P(60), &text));
  EXPECT_EQ("unchanged", text);
  EXPECT_FALSE(h.tx->Set(P(60), "1"));
  EXPECT_FALSE(h.tx->Stage(P(60)));
  EXPECT_TRUE(h.tx->Get(P(13), &text));
}

TEST(SimHostTest, FirmwareUpdateFaults) {
  Host h(Config());
  const auto image = SimDevices::MakeImage(0x202, std::vector<uint8_t>(40, 1));
  const OtaControlBlock block = OtaControlBlock::FromBytes(image.data());
  h.sim->SetOtaReply(TX, OtaRequestType::BeginUpdate, OtaControlPacket::Nak);
  EXPECT_FALSE(h.ota->SendInitPacket(block, TX, 500, 5));
  EXPECT_EQ(1u, h.sim->OtaRequests(TX).size());
  h.sim->ClearOtaReply(TX, OtaRequestType::BeginUpdate);

  // Pend answers never satisfy a wait: every try times out.
  h.sim->ClearRecords();
  h.sim->SetOtaReply(TX, OtaRequestType::QueryFirmwareId, OtaControlPacket::Pend);
  EXPECT_EQ(0u, h.ota->GetFirmwareId(TX, 50, 3));
  EXPECT_TRUE(h.sim->WaitForOtaRequests(TX, 3, 2s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(3u, h.sim->OtaRequests(TX).size());
  h.sim->ClearOtaReply(TX, OtaRequestType::QueryFirmwareId);

  // A Nak, then the Ack: two sends.
  h.sim->ClearRecords();
  h.sim->SetOtaReply(TX, OtaRequestType::QueryFirmwareId, OtaControlPacket::Nak, 1);
  EXPECT_EQ(0x202u, h.ota->GetFirmwareId(TX, 500, 5));
  EXPECT_EQ(2u, h.sim->OtaRequests(TX).size());

  // A wrong id after the reboot.
  h.sim->SetWrongFirmwareIdAfterReboot(TX, true);
  EXPECT_TRUE(h.ota->ResetTarget(TX, 300));
  EXPECT_FALSE(h.ota->CheckNewFirmwareId(TX, 0x202, 200, 5));
}

TEST(SimHostTest, StoppedTelemetryOfOneDevice) {
  Host h(Config(100));
  ASSERT_TRUE(h.sim->WaitForTelemetry(TX, 5, 3s));
  h.sim->SetTelemetryStopped(TX, true);
  // Every transmitter record sent before the stop travels ahead of the next receiver record.
  const size_t rx_sent = h.sim->TelemetrySent(RX);
  auto delivered = [&h](ChannelDescriptor channel) {
    size_t n = 0;
    for (const auto& p : h.telemetry->Packets()) n += p.header.channel == channel;
    return n;
  };
  auto wait_rx = [&](size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (delivered(ChannelDescriptor::RX_ADC_VALUES) < n &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return delivered(ChannelDescriptor::RX_ADC_VALUES) >= n;
  };
  ASSERT_TRUE(wait_rx(rx_sent + 1));
  const size_t tx_before = delivered(ChannelDescriptor::TX_ADC_VALUES);
  ASSERT_TRUE(wait_rx(rx_sent + 20));
  EXPECT_EQ(tx_before, delivered(ChannelDescriptor::TX_ADC_VALUES));
  h.sim->SetTelemetryStopped(TX, false);
  EXPECT_TRUE(h.sim->WaitForTelemetry(TX, h.sim->TelemetrySent(TX) + 3, 3s));
}
