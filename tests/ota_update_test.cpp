// Whole firmware updates against the simulated devices over TCP loopback, wired as the program
// wires them: both parameter services and the update service on sinks of one link, the update
// service's HandleControlPacket on channel 11, the I/O worker on a thread of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <list>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <QTemporaryDir>

#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "sim/sim_devices.h"
#include "support/io_link.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;

constexpr ParamId kEnableOta = static_cast<ParamId>(41);
constexpr ParamId kOtherDevice = static_cast<ParamId>(75);
constexpr ParamId kRadio = static_cast<ParamId>(4);

std::vector<uint8_t> Body(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> body(size);
  for (auto& b : body) b = static_cast<uint8_t>(rng());
  // SLIP's special bytes at chunk starts, so escaping is exercised at known places.
  for (size_t i = 0; i < size; i += 32 * 7) body[i] = (i / 32) % 2 ? 0xC0 : 0xDB;
  return body;
}

// What the completion callback saw.
class DoneProbe {
 public:
  std::function<void(bool)> Callback() {
    return [this](bool ok) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++calls_;
      result_ = ok;
      thread_ = std::this_thread::get_id();
      cv_.notify_all();
    };
  }
  // Waits for the first call; false when none came in time.
  bool Wait(std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return calls_ > 0; });
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  bool Result() {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_;
  }
  std::thread::id Thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int calls_ = 0;
  bool result_ = false;
  std::thread::id thread_;
};

class OtaUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    SimConfig config;
    config.telemetry_hz = 0;
    config.log_period = 0ms;
    config.reboot_delay = 100ms;
    sim_ = std::make_unique<SimDevices>(config);
    sim_->Start();

    // Each test builds its own request queue on its own link.
    ParameterService::rpc_.reset();
    link_ = std::make_unique<IoLink>(sim_->LinkText(), router_);
    tx_ = std::make_unique<ParameterService>(TX, link_->CreateSink(), router_, "?? Params");
    rx_ = std::make_unique<ParameterService>(RX, link_->CreateSink(), router_, "?? Params");
    ota_ = std::make_unique<OtaService>(link_->CreateSink());
    router_.AddCallback(ChannelDescriptor::OTA_CONTROL,
                        [this](const PacketHeader& h, const std::vector<uint8_t>& d) {
                          ota_->HandleControlPacket(h, d);
                        });
    link_->Start();
    tx_->Enable(true);
    rx_->Enable(true);
    // The main window reloads the transmitter's list on connect; 75 is not in the seed list.
    tx_->UpdateParametersList();
    ASSERT_TRUE(tx_->HasParameter(kOtherDevice));
    // Short fixed pauses; the device reboots in 100 ms.
    ota_->SetPacing({300, 50});
    sim_->ClearRecords();
    log_.Clear();
  }

  void TearDown() override {
    // As at program shutdown: the I/O thread ends before the services go.
    if (link_) link_->Stop();
    ota_.reset();
    rx_.reset();
    tx_.reset();
    if (ParameterService::rpc_) ParameterService::rpc_->Stop();
    ParameterService::rpc_.reset();
    link_.reset();
    sim_.reset();
  }

  std::string WriteArchive(const std::vector<std::vector<uint8_t>>& records) {
    const std::string path = dir_.filePath("update.bin").toStdString();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& r : records) out.write(reinterpret_cast<const char*>(r.data()), r.size());
    return path;
  }
  static std::vector<uint8_t> Record(uint64_t type, uint32_t firmware_id,
                                     const std::vector<uint8_t>& body) {
    return SimDevices::MakeArchiveRecord(type, SimDevices::MakeImage(firmware_id, body));
  }

  void Run(const std::string& path) { ota_->Start(*rx_, *tx_, std::string(path), done_.Callback()); }

  // Values written to id on the device, in order.
  std::vector<uint32_t> Writes(Address device, ParamId id) {
    std::vector<uint32_t> values;
    for (const auto& p : sim_->ParameterRequests(device)) {
      if (p.command == SET_PARAMETER && p.id == id) values.push_back(p.value);
    }
    return values;
  }
  size_t Requests(Address device, ParamCmd command) {
    size_t n = 0;
    for (const auto& p : sim_->ParameterRequests(device)) n += p.command == command;
    return n;
  }
  size_t OtaRequests(Address device, OtaRequestType type) {
    size_t n = 0;
    for (const auto& p : sim_->OtaRequests(device)) n += p.type == type;
    return n;
  }
  // Info lines other than the reply lines, in order.
  std::vector<std::string> InfoLines() {
    std::vector<std::string> lines;
    for (const auto& line : log_.Lines()) {
      if (line.level == spdlog::level::info &&
          line.text.rfind("OTA Control packet recv", 0) != 0) {
        lines.push_back(line.text);
      }
    }
    return lines;
  }

  LogCapture log_;  // attached before any thread starts
  QTemporaryDir dir_;
  MessageRouter router_;  // outlives the link and the listeners it holds
  std::unique_ptr<SimDevices> sim_;
  std::unique_ptr<IoLink> link_;
  std::unique_ptr<ParameterService> tx_;
  std::unique_ptr<ParameterService> rx_;
  std::unique_ptr<OtaService> ota_;
  DoneProbe done_;
};

TEST_F(OtaUpdateTest, TransmitterApplicationArrivesByteForByte) {
  sim_->SetFirmwareId(TX, 0x302);  // running its shim
  const auto body = Body(100 * 1024, 1);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, body)}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_TRUE(done_.Result());
  EXPECT_NE(done_.Thread(), std::this_thread::get_id());
  EXPECT_EQ(sim_->ReceivedImage(TX), body);
  const auto image = SimDevices::MakeImage(0x202, body);
  EXPECT_EQ(sim_->ReceivedControlBlock(TX), std::vector<uint8_t>(image.begin(), image.begin() + 32));
  EXPECT_EQ(sim_->FirmwareId(TX), 0x202u);
  EXPECT_EQ(Writes(TX, kEnableOta), (std::vector<uint32_t>{1}));
  EXPECT_TRUE(Writes(TX, kOtherDevice).empty());
  EXPECT_EQ(OtaRequests(TX, OtaRequestType::ImageData), body.size() / 32);
  EXPECT_EQ(OtaRequests(TX, OtaRequestType::Reboot), 1u);
  EXPECT_TRUE(sim_->OtaRequests(RX).empty());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(done_.Calls(), 1);
}

TEST_F(OtaUpdateTest, InfoLinesOfATransmitterUpdateInOrderWithTheProtocolPauses) {
  ota_->SetPacing(OtaService::Pacing{});  // 4 s after the reboot request, 2 s after the image
  sim_->SetFirmwareId(TX, 0x302);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(1000, 2))}));
  const auto start = std::chrono::steady_clock::now();

  ASSERT_TRUE(done_.Wait());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 6s);
  EXPECT_TRUE(done_.Result());
  const std::vector<std::string> expected = {
      "OTA Update file bits collected. Commencing update...",
      "OTA Sending Init.",
      "OTA Initialization complete. Beginning data transfer.",
      "OTA data transfer complete. Finalizing update...",
      "OTA update complete for image: TX app",
      "Requesting reboot into new image...",
      "Reboot request received. Continuing with update.",
  };
  EXPECT_EQ(InfoLines(), expected);
  EXPECT_EQ(log_.Count("OTA Control packet recv : status Ack | info 00000302 | seq 00"), 1);
}

TEST_F(OtaUpdateTest, ReceiverApplicationSwitchesTheTransmitterAroundTheReset) {
  sim_->SetFirmwareId(RX, 0x301);  // running its shim: no radio save
  const auto body = Body(5000, 3);
  Run(WriteArchive({Record(OtaArchive::RxApp, 0x101, body)}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_TRUE(done_.Result());
  EXPECT_EQ(sim_->ReceivedImage(RX), body);
  EXPECT_EQ(sim_->FirmwareId(RX), 0x101u);
  EXPECT_EQ(Writes(RX, kEnableOta), (std::vector<uint32_t>{1}));
  // 1 while preparing, then 1 before and 0 after the reset.
  EXPECT_EQ(Writes(TX, kOtherDevice), (std::vector<uint32_t>{1, 1, 0}));
  EXPECT_TRUE(Writes(TX, kEnableOta).empty());
  EXPECT_EQ(Requests(RX, STAGE_PARAMETER), 0u);
  EXPECT_EQ(Requests(RX, COMMIT_STAGED), 0u);
  EXPECT_EQ(log_.Count("Saving Radio Info..."), 0);
  EXPECT_EQ(log_.Count("Leaving Update Mode."), 1);
  EXPECT_TRUE(sim_->OtaRequests(TX).empty());
}

TEST_F(OtaUpdateTest, ReceiverRunningItsApplicationSavesTheRadioFirst) {
  // The receiver runs its application: preparing the shim saves the radio channel; the shim
  // then replaces it, and the application after it needs no save.
  sim_->SetValue(RX, kRadio, 23);
  const auto shim = Body(700, 4);
  const auto app = Body(900, 5);
  Run(WriteArchive({Record(OtaArchive::RxShim, 0x301, shim), Record(OtaArchive::RxApp, 0x101, app)}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_TRUE(done_.Result());
  EXPECT_EQ(log_.Count("Saving Radio Info..."), 1);
  EXPECT_EQ(Requests(RX, STAGE_PARAMETER), 1u);
  EXPECT_EQ(Requests(RX, COMMIT_STAGED), 1u);
  uint32_t saved = 0;
  ASSERT_TRUE(sim_->GetSavedValue(RX, kRadio, &saved));
  EXPECT_EQ(saved, 23u);
  // Shim: 1 while preparing. App: 1 while preparing, then 1 and 0 around the reset.
  EXPECT_EQ(Writes(TX, kOtherDevice), (std::vector<uint32_t>{1, 1, 1, 0}));
  EXPECT_EQ(sim_->ReceivedImage(RX), app);
  EXPECT_EQ(sim_->FirmwareId(RX), 0x101u);
  EXPECT_EQ(sim_->RebootCount(RX), 2);
  EXPECT_EQ(log_.Count("OTA update complete for image: RX shim"), 1);
  EXPECT_EQ(log_.Count("OTA update complete for image: RX app"), 1);
}

TEST_F(OtaUpdateTest, ImageTheTargetRunsIsSkipped) {
  // The transmitter already runs its application.
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(640, 6))}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(sim_->ParameterRequests(TX).size(), 1u);
  EXPECT_EQ(Writes(TX, kEnableOta), (std::vector<uint32_t>{1}));
  ASSERT_EQ(sim_->OtaRequests(TX).size(), 1u);
  EXPECT_EQ(sim_->OtaRequests(TX)[0].type, OtaRequestType::QueryFirmwareId);
  EXPECT_EQ(InfoLines(),
            (std::vector<std::string>{"OTA Update file bits collected. Commencing update..."}));
}

TEST_F(OtaUpdateTest, UnknownEntryBetweenTwoImagesIsPassedOver) {
  // Shim first (the transmitter runs its application), then back to the application.
  const auto shim = Body(300, 7);
  const auto app = Body(400, 8);
  Run(WriteArchive({Record(OtaArchive::TxShim, 0x302, shim), Record(7, 0x777, Body(64, 9)),
                    Record(OtaArchive::TxApp, 0x202, app)}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_TRUE(done_.Result());
  EXPECT_EQ(OtaRequests(TX, OtaRequestType::BeginUpdate), 2u);
  EXPECT_EQ(sim_->ReceivedImage(TX), app);
  EXPECT_EQ(sim_->FirmwareId(TX), 0x202u);
  EXPECT_EQ(Writes(TX, kEnableOta), (std::vector<uint32_t>{1, 1}));
  EXPECT_TRUE(sim_->OtaRequests(RX).empty());
}

TEST_F(OtaUpdateTest, SecondImageWhosePreparationFailsFailsTheUpdate) {
  // The transmitter's list lacks 75, so preparing the receiver fails at once each time.
  auto list = std::vector<std::pair<ParamId, uint32_t>>{};
  for (ParamId id : sim_->ParameterIds(TX)) {
    if (id != kOtherDevice) list.push_back({id, 0});
  }
  sim_->SetParameterList(TX, list);
  tx_->UpdateParametersList();
  ASSERT_FALSE(tx_->HasParameter(kOtherDevice));
  sim_->SetFirmwareId(TX, 0x302);
  sim_->SetFirmwareId(RX, 0x301);
  const auto app = Body(256, 10);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, app), Record(OtaArchive::RxApp, 0x101, app)}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(sim_->ReceivedImage(TX), app);
  EXPECT_EQ(log_.Count("Failed to set OTA Mode"), 10);
  EXPECT_EQ(log_.Count("OTA Failed"), 1);
  EXPECT_TRUE(sim_->OtaRequests(RX).empty());
}

TEST_F(OtaUpdateTest, SilentTransmitterIsNeverPrepared) {
  sim_->SetSilent(TX, true);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(64, 11))}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(log_.Count("Failed to set OTA Mode"), 10);
  EXPECT_EQ(log_.Count("OTA Failed"), 1);
  // Ten attempts of ten sends each; nothing of the update protocol. The last frame may still be
  // on its way to the device when the update gives up, so wait for it before counting.
  for (int i = 0; i < 100 && Writes(TX, kEnableOta).size() < 100u; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(Writes(TX, kEnableOta).size(), 100u);
  EXPECT_TRUE(sim_->OtaRequests(TX).empty());
}

TEST_F(OtaUpdateTest, WrongFirmwareIdAfterEveryRebootAborts) {
  sim_->SetFirmwareId(TX, 0x302);
  sim_->SetWrongFirmwareIdAfterReboot(TX, true);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(96, 12))}));

  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(OtaRequests(TX, OtaRequestType::Reboot), 5u);
  EXPECT_EQ(log_.Count("Error requesting reboot. Aborting!"), 1);
  EXPECT_EQ(log_.Count("Reboot request received. Continuing with update."), 0);
}

TEST_F(OtaUpdateTest, MissingFileEndsWithFailure) {
  Run(dir_.filePath("no-such-file.bin").toStdString());
  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(log_.Count("OTA Update file bits collected. Commencing update..."), 1);
  EXPECT_TRUE(sim_->ParameterRequests(TX).empty());
  EXPECT_TRUE(sim_->OtaRequests(TX).empty());
}

TEST_F(OtaUpdateTest, ArchivePathThatIsNoRegularFileIsRefused) {
  const std::string fifo = dir_.filePath("update.bin").toStdString();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it would wait for a writer
  Run(fifo);
  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(log_.Count("OTA update file " + fifo + " is not a regular file"), 1);
}

TEST_F(OtaUpdateTest, DamagedArchiveStopsTheUpdateBeforeAnythingIsSent) {
  // Every damaged archive starts with a good TX shim, which the transmitter (on its application)
  // would take first if the damage were only found when reached.
  const auto shim_body = Body(128, 13);
  const auto shim = Record(OtaArchive::TxShim, 0x302, shim_body);
  const auto rx_app = Record(OtaArchive::RxApp, 0x101, Body(160, 14));
  auto bad = SimDevices::MakeImage(0x202, Body(100, 15));
  bad[12] = 99;  // section_size one short of the body
  const char* beyond =
      "OTA update file is damaged: record 17 is beyond the 16 records an archive holds. Aborting!";
  const std::pair<std::vector<std::vector<uint8_t>>, const char*> rows[] = {
      {{shim, Record(OtaArchive::TxApp, 0x202, shim_body),
        Record(OtaArchive::RxShim, 0x301, shim_body), {rx_app.begin(), rx_app.end() - 100}},
       "OTA update file is damaged: record 4 is cut short. Aborting!"},  // incomplete download
      {{shim, SimDevices::MakeArchiveRecord(OtaArchive::TxApp, bad)},
       "Malformed OTA image in entry 2 (type 4, TX app)"},
      {{shim, SimDevices::MakeArchiveRecord(OtaArchive::RxApp, std::vector<uint8_t>(31, 1))},
       "Malformed OTA image in entry 2 (type 3, RX app)"},
      {{shim, SimDevices::MakeArchiveRecord(9, bad), rx_app},
       "Malformed OTA image in entry 2 (type 9, UNKNOWN)"},
      {{shim, std::vector<uint8_t>(4 << 20, 0)}, beyond},  // then zeros, as in a disk image
      {std::vector<std::vector<uint8_t>>(17, shim), beyond},
      {{shim, std::vector<uint8_t>(15, 0x7F)}, nullptr}};  // stray bytes: updates as usual
  std::list<DoneProbe> probes;  // each outlives the update that calls it
  for (const auto& [records, error] : rows) {
    SCOPED_TRACE(error ? error : "stray bytes");
    sim_->ClearRecords();
    log_.Clear();
    auto& done = probes.emplace_back();
    ota_->Start(*rx_, *tx_, WriteArchive(records), done.Callback());
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.Result(), error == nullptr);
    if (!error) continue;  // the update went ahead: checked below
    EXPECT_EQ(log_.CountContaining(error), 1);
    for (Address device : {TX, RX}) {
      EXPECT_TRUE(sim_->ParameterRequests(device).empty());
      EXPECT_TRUE(sim_->OtaRequests(device).empty());
    }
  }
  EXPECT_EQ(sim_->ReceivedImage(TX), shim_body);
}

TEST_F(OtaUpdateTest, ImageArrivesDespiteDroppedReplies) {
  sim_->SetFirmwareId(TX, 0x302);
  sim_->SetDropProbability(0.1);
  const auto body = Body(12 * 1024, 15);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, body)}));

  ASSERT_TRUE(done_.Wait(90s));
  EXPECT_TRUE(done_.Result());
  EXPECT_EQ(sim_->ReceivedImage(TX), body);
  EXPECT_GT(OtaRequests(TX, OtaRequestType::ImageData), body.size() / 32);
  EXPECT_EQ(sim_->FirmwareId(TX), 0x202u);
}

TEST_F(OtaUpdateTest, ErrorOutsideThePreparationEndsTheUpdateOnItsThread) {
  // While the receiver's update is being finalized, the transmitter's list is reloaded without
  // 75, so the write of 75 before the reset throws on the update thread.
  sim_->SetFirmwareId(RX, 0x301);
  sim_->SetOtaReply(RX, OtaRequestType::EndUpdate, OtaControlPacket::Pend);  // until cleared
  const auto body = Body(320, 16);
  Run(WriteArchive({Record(OtaArchive::RxApp, 0x101, body)}));
  // Two queries, BeginUpdate, ten chunks, then the first EndUpdate (answered Pend: the host
  // sends it again every 500 ms until the device acknowledges it).
  ASSERT_TRUE(sim_->WaitForOtaRequests(RX, 14, 30s));
  std::vector<std::pair<ParamId, uint32_t>> list;
  for (ParamId id : sim_->ParameterIds(TX)) {
    if (id != kOtherDevice) list.push_back({id, 0});
  }
  sim_->SetParameterList(TX, list);
  tx_->UpdateParametersList();
  sim_->ClearOtaReply(RX, OtaRequestType::EndUpdate);

  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
  EXPECT_EQ(log_.Count("OTA update failed: Unknown parameter"), 1);
  EXPECT_EQ(OtaRequests(RX, OtaRequestType::Reboot), 0u);
  EXPECT_EQ(Writes(TX, kOtherDevice), (std::vector<uint32_t>{1}));
  EXPECT_EQ(done_.Calls(), 1);
}

TEST_F(OtaUpdateTest, ThrowingCompletionCallbackStaysOnItsThread) {
  std::atomic<int> calls{0};
  ota_->Start(*rx_, *tx_, dir_.filePath("none.bin").toStdString(), [&calls](bool) {
    ++calls;
    throw std::logic_error("callback broke");
  });
  // A second update after the first one ended works as usual.
  for (int i = 0; i < 500 && log_.CountContaining("OTA completion callback failed") == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(log_.Count("OTA completion callback failed: callback broke"), 1);
  EXPECT_EQ(calls.load(), 1);
  Run(dir_.filePath("none.bin").toStdString());
  ASSERT_TRUE(done_.Wait());
  EXPECT_FALSE(done_.Result());
}

TEST_F(OtaUpdateTest, DestroyingTheServiceMidTransferStopsTheUpdate) {
  sim_->SetFirmwareId(TX, 0x302);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(1024 * 1024, 17))}));
  ASSERT_TRUE(sim_->WaitForOtaRequests(TX, 200, 30s));

  link_->Stop();  // shutdown order: the I/O thread first
  const auto before = std::chrono::steady_clock::now();
  ota_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_EQ(log_.Count("OTA update stopped: the update service is shutting down."), 1);
  EXPECT_EQ(log_.Count("Error during OTA data transfer. Aborting!"), 1);
  // The thread has ended: nothing more is sent, done is never called. The last frame written
  // before the link stopped may still be on its way to the device: the count settles first.
  size_t sent = 0;
  for (int i = 0; i < 25 && sent != sim_->OtaRequests(TX).size(); ++i) {
    sent = sim_->OtaRequests(TX).size();
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(sim_->OtaRequests(TX).size(), sent);
  EXPECT_EQ(done_.Calls(), 0);
}

TEST_F(OtaUpdateTest, DestroyingTheServiceCutsTheRebootPauseShort) {
  ota_->SetPacing(OtaService::Pacing{});
  sim_->SetFirmwareId(TX, 0x302);
  Run(WriteArchive({Record(OtaArchive::TxApp, 0x202, Body(64, 18))}));
  ASSERT_TRUE(sim_->WaitForReboots(TX, 1, 30s));  // inside the 4-second pause

  link_->Stop();
  const auto before = std::chrono::steady_clock::now();
  ota_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
  EXPECT_EQ(done_.Calls(), 0);
}

}  // namespace
