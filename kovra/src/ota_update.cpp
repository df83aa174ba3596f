// The firmware update as a whole: for each image of an archive, prepare the target through
// parameters, transfer the image, reboot the target into it and check its firmware id.
#include <sys/stat.h>

#include <exception>
#include <fstream>
#include <memory>
#include <vector>

#include "kovra/log.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"

namespace {

// Exchange settings of an update: time-out per try (ms) and try limit.
constexpr unsigned int kInitTimeoutMs = 8000, kInitTries = 1000;
constexpr unsigned int kDataTimeoutMs = 50, kDataTries = 1000;
constexpr unsigned int kFinalizeTimeoutMs = 500, kFinalizeTries = 1000;
constexpr unsigned int kQueryTimeoutMs = 50, kQueryTries = 1000;
constexpr unsigned int kCheckTimeoutMs = 50, kCheckTries = 100;
constexpr int kPrepareAttempts = 10;
constexpr int kRebootAttempts = 5;

constexpr ParamId kEnableOtaMode = static_cast<ParamId>(41);
constexpr ParamId kUpdateOtherDevice = static_cast<ParamId>(75);
constexpr ParamId kRadioChannel = static_cast<ParamId>(4);

// Opening a FIFO or a device node may block for good, and the update thread would never finish:
// only a regular file is opened. A path that does not exist reads as an empty archive.
bool MayOpenArchive(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

}  // namespace

void OtaService::Start(ParameterService& rxParams, ParameterService& txParams,
                       const std::string&& path, const std::function<void(bool)>& done) {
  ReapFinishedWorkers();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard<std::mutex> lock(workers_mutex_);
  std::thread thread([this, &rxParams, &txParams, path = std::string(path), done, finished] {
    RunUpdate(rxParams, txParams, path, done);
    finished->store(true);
  });
  workers_.push_back(Worker{std::move(thread), std::move(finished)});
}

void OtaService::ReapFinishedWorkers() {
  std::lock_guard<std::mutex> lock(workers_mutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->finished->load()) {
      it->thread.join();  // returns at once: the thread has nothing left to run
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void OtaService::RunUpdate(ParameterService& rxParams, ParameterService& txParams,
                           const std::string& path, const std::function<void(bool)>& done) {
  auto log = kovra::GetLog();
  bool result = false;
  // The archive lives until the completion callback has returned.
  std::ifstream file;
  std::unique_ptr<OtaArchive> archive;
  if (!MayOpenArchive(path)) {
    log->error("OTA update file {} is not a regular file", path);
  } else {
    try {
      file.open(path, std::ios::in | std::ios::binary | std::ios::ate);
      archive = std::make_unique<OtaArchive>(file);
      log->info("OTA Update file bits collected. Commencing update...");
      result = UpdateFromArchive(*archive, rxParams, txParams);
    } catch (const std::exception& e) {
      log->error("OTA update failed: {}", e.what());
      result = false;
    } catch (...) {
      log->error("OTA update failed: unknown error");
      result = false;
    }
  }

  if (Stopping()) {
    // The program is shutting down: whatever done refers to may be gone already.
    log->warn("OTA update stopped: the update service is shutting down.");
    return;
  }
  try {
    done(result);
  } catch (const std::exception& e) {
    log->error("OTA completion callback failed: {}", e.what());
  } catch (...) {
    log->error("OTA completion callback failed: unknown error");
  }
}

bool OtaService::UpdateFromArchive(const OtaArchive& archive, ParameterService& rxParams,
                                   ParameterService& txParams) {
  auto log = kovra::GetLog();
  // The whole archive is checked before anything goes to a device: an update that stopped at a
  // damaged image half-way would leave a device on a shim, with its application never sent.
  if (archive.CutShortRecord() != 0) {
    log->error("OTA update file is damaged: record {} is cut short. Aborting!",
               archive.CutShortRecord());
    return false;
  }
  if (archive.ExcessRecord() != 0) {
    log->error("OTA update file is damaged: record {} is beyond the {} records an archive holds. "
               "Aborting!",
               archive.ExcessRecord(), OtaArchive::kMaxRecords);
    return false;
  }
  std::vector<OtaData> images;
  images.reserve(archive.index_.size());
  size_t position = 0;
  for (const auto& entry : archive.index_) {
    ++position;
    try {
      images.emplace_back(entry);
    } catch (const OtaImageError& e) {
      log->error("Malformed OTA image in entry {} (type {}, {}): {}. Aborting!", position,
                 static_cast<uint64_t>(entry.type_), OtaArchive::TypeIdToName(entry.type_),
                 e.what());
      return false;
    }
  }

  bool result = false;
  for (const auto& image : images) {
    if (Stopping()) return false;
    if (image.address_ == 0) continue;

    if (!PrepareTarget(image, rxParams, txParams)) {
      log->error("OTA Failed");
      return false;
    }

    const uint32_t running = GetFirmwareId(image.address_, kQueryTimeoutMs, kQueryTries);
    if (running == 0) return false;
    if (running == OtaData::TypeIdToFirmwareId(image.entry_.type_)) continue;

    result = PerformOtaUpdate(image, txParams);
    if (!result) return false;
    if (!Pause(pacing_.pause_after_image_ms)) return false;
  }
  return result;
}

bool OtaService::PrepareTarget(const OtaData& image, ParameterService& rxParams,
                               ParameterService& txParams) {
  auto log = kovra::GetLog();
  for (int attempt = 0; attempt < kPrepareAttempts; ++attempt) {
    if (Stopping()) return false;
    bool prepared = true;
    try {
      if (image.address_ == TX) {
        txParams.Set<kEnableOtaMode, int>(1);
      } else {
        // The receiver is updated through the transmitter's mode for updating another device.
        rxParams.Set<kEnableOtaMode, int>(1);
        if (Stopping()) return false;
        txParams.Set<kUpdateOtherDevice, int>(1);
        if (GetFirmwareId(RX, kQueryTimeoutMs, kQueryTries) ==
            OtaData::TypeIdToFirmwareId(OtaArchive::RxApp)) {
          log->info("Saving Radio Info...");
          if (!(rxParams.Stage(kRadioChannel) && rxParams.CommitStaged())) {
            prepared = false;
            log->info("Failed prepare radio for OTA");
          }
        }
      }
    } catch (const std::runtime_error&) {
      prepared = false;
      log->info("Failed to set OTA Mode");
    }
    if (prepared) return true;
  }
  return false;
}

bool OtaService::PerformOtaUpdate(const OtaData& image, ParameterService& txParams) {
  auto log = kovra::GetLog();
  const Address target = image.address_;
  if (target == 0) return false;  // an unknown kind of image has no device to go to
  const OtaControlBlock& block = image.control_block_;

  if (!SendInitPacket(block, target, kInitTimeoutMs, kInitTries)) {
    log->error("OTA Initialization error encountered!");
    return false;
  }
  log->info("OTA Initialization complete. Beginning data transfer.");

  if (!SendImageData(image.GetData(), block.section_size, target, kDataTimeoutMs, kDataTries)) {
    log->error("Error during OTA data transfer. Aborting!");
    return false;
  }
  log->info("OTA data transfer complete. Finalizing update...");

  if (!Finalize(block, target, kFinalizeTimeoutMs, kFinalizeTries)) {
    log->error("Error during OTA update finalization. Aborting!");
    return false;
  }
  log->info("OTA update complete for image: {}", OtaArchive::TypeIdToName(image.entry_.type_));
  log->info("Requesting reboot into new image...");

  const uint32_t expected = OtaData::TypeIdToFirmwareId(image.entry_.type_);
  const bool rx_app = image.entry_.type_ == OtaArchive::RxApp;
  bool confirmed = false;
  for (int attempt = 0; attempt < kRebootAttempts && !confirmed && !Stopping(); ++attempt) {
    if (rx_app) txParams.Set<kUpdateOtherDevice, int>(1);
    const bool reset = ResetTarget(target, pacing_.reset_delay_ms);
    if (rx_app) {
      log->info("Leaving Update Mode.");
      txParams.Set<kUpdateOtherDevice, int>(0);
    }
    confirmed = CheckNewFirmwareId(target, expected, kCheckTimeoutMs, kCheckTries) && reset;
  }
  if (!confirmed) {
    log->error("Error requesting reboot. Aborting!");
    return false;
  }
  log->info("Reboot request received. Continuing with update.");
  return true;
}
