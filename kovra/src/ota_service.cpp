// Firmware-update exchanges with one device: requests on channel 10, replies on channel 11.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "kovra/log.h"
#include "kovra/ota.h"

namespace {

const char* StatusName(OtaControlPacket::Type status) {
  switch (status) {
    case OtaControlPacket::Ack: return "Ack";
    case OtaControlPacket::Nak: return "Nak";
    case OtaControlPacket::Pend: return "Pend";
  }
  return "UNK";
}

constexpr size_t kChunkSize = 32;

}  // namespace

OtaService::OtaService(std::unique_ptr<PacketSink> sink) : sink_(std::move(sink)) {}

OtaService::~OtaService() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
  }
  cv_.notify_all();
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
  }
  pause_cv_.notify_all();

  std::list<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) {
    if (worker.thread.get_id() == std::this_thread::get_id()) {
      // Destroyed from its own update's completion callback: that thread has nothing left to do
      // with the service.
      worker.thread.detach();
    } else if (worker.thread.joinable()) {
      worker.thread.join();
    }
  }
}

void OtaService::HandleControlPacket(const PacketHeader&, const std::vector<uint8_t>& payload) {
  if (payload.size() < kOtaControlPacketWireSize) return;
  OtaControlPacket reply;
  deserialize(payload.data(), &reply);

  std::lock_guard<std::mutex> lock(mutex_);
  kovra::GetLog()->info("OTA Control packet recv : status {} | info {:08x} | seq {:02x}",
                        StatusName(reply.status), reply.info, static_cast<unsigned>(reply.seq));
  // Pend only says the device is busy: the waiting exchange keeps its timeout running.
  if (reply.status == OtaControlPacket::Pend) return;
  if (replies_.size() >= kMaxQueuedReplies) {
    const OtaControlPacket& oldest = replies_.front();
    kovra::GetLog()->debug("OTA reply queue full: dropping the oldest reply ({} | info {:08x})",
                           StatusName(oldest.status), oldest.info);
    replies_.pop_front();
  }
  replies_.push_back(reply);
  cv_.notify_one();
}

void OtaService::Send(Address target, OtaRequestType type, const uint8_t* payload, size_t size) {
  OtaDataPacket packet;
  if (size > 0) std::memcpy(packet.payload, payload, std::min(size, sizeof(packet.payload)));
  packet.type = type;
  sink_->SendPacket<ChannelDescriptor::OTA_DATA>(target, packet);
}

bool OtaService::WaitReply(std::unique_lock<std::mutex>& lock, unsigned int timeoutMs,
                           OtaControlPacket* reply) {
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
               [this] { return !replies_.empty() || Stopping(); });
  if (replies_.empty()) return false;
  *reply = replies_.front();
  replies_.pop_front();
  return true;
}

bool OtaService::Pause(unsigned int ms) {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  return !pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Stopping(); });
}

bool OtaService::SendInitPacket(const OtaControlBlock& block, Address target,
                                unsigned int timeoutMs, unsigned int maxTries) {
  auto log = kovra::GetLog();
  std::unique_lock<std::mutex> lock(mutex_);
  uint8_t payload[OtaControlBlock::kSize];
  block.ToBytes(payload);
  for (unsigned int attempt = 0; attempt < maxTries && !Stopping(); ++attempt) {
    log->info("OTA Sending Init.");
    Send(target, OtaRequestType::BeginUpdate, payload, sizeof(payload));
    OtaControlPacket reply;
    if (WaitReply(lock, timeoutMs, &reply)) return reply.status == OtaControlPacket::Ack;
    log->debug("No response to Init packet. Retrying...");
  }
  log->debug("Init failed after {} attempts with no response.", maxTries);
  return false;
}

bool OtaService::SendImageData(const uint8_t* data, unsigned int size, Address target,
                               unsigned int timeoutMs, unsigned int maxTries) {
  auto log = kovra::GetLog();
  std::unique_lock<std::mutex> lock(mutex_);
  log->debug("start data send");
  // 64-bit, so that the last step past a body close to 4 GiB cannot wrap around.
  for (uint64_t offset = 0; offset < size; offset += kChunkSize) {
    bool acknowledged = false;
    for (unsigned int attempt = 0; attempt < maxTries && !acknowledged && !Stopping(); ++attempt) {
      log->debug("try # {}", attempt);
      uint8_t chunk[4 + kChunkSize] = {};
      const auto offset32 = static_cast<uint32_t>(offset);
      for (int i = 0; i < 4; ++i) chunk[i] = static_cast<uint8_t>(offset32 >> (8 * i));
      log->debug("copy offset into payload: {}", offset32);
      const auto n = static_cast<size_t>(std::min<uint64_t>(size - offset, kChunkSize));
      log->debug("num copied: {}", n);
      std::memcpy(chunk + 4, data + offset, n);
      try {
        Send(target, OtaRequestType::ImageData, chunk, sizeof(chunk));
      } catch (const std::runtime_error&) {
        log->debug("SendPacket failed");
      }
      OtaControlPacket reply;
      if (!WaitReply(lock, timeoutMs, &reply)) {
        log->debug("timeout waiting image data send");
      } else if (reply.status != OtaControlPacket::Ack) {
        log->debug("recv control packet nak : {}", reply.info);
      } else if (reply.info != offset32) {
        log->debug("recv control packet out of order ack : {}", reply.info);
      } else {
        log->debug("recv control packet ack : {}", reply.info);
        acknowledged = true;
      }
    }
    if (!acknowledged) {
      log->debug("too many naks or timeouts, failing data transfer");
      return false;
    }
  }
  return true;
}

bool OtaService::Finalize(const OtaControlBlock& block, Address target, unsigned int timeoutMs,
                          unsigned int maxTries) {
  auto log = kovra::GetLog();
  std::unique_lock<std::mutex> lock(mutex_);
  uint8_t payload[OtaControlBlock::kSize];
  block.ToBytes(payload);
  for (unsigned int attempt = 0; attempt < maxTries && !Stopping(); ++attempt) {
    Send(target, OtaRequestType::EndUpdate, payload, sizeof(payload));
    OtaControlPacket reply;
    if (!WaitReply(lock, timeoutMs, &reply)) continue;
    if (reply.status == OtaControlPacket::Ack) {
      log->debug("recv control packet ack ota complete success");
      return true;
    }
    log->debug("recv control packt nak ota fail");
    return false;
  }
  return false;
}

uint32_t OtaService::GetFirmwareId(Address target, unsigned int timeoutMs, unsigned int maxTries) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (unsigned int attempt = 0; attempt < maxTries && !Stopping(); ++attempt) {
    Send(target, OtaRequestType::QueryFirmwareId, nullptr, 0);
    OtaControlPacket reply;
    if (WaitReply(lock, timeoutMs, &reply) && reply.status == OtaControlPacket::Ack) {
      return reply.info;
    }
  }
  return 0;
}

bool OtaService::CheckNewFirmwareId(Address target, unsigned int expectedId,
                                    unsigned int timeoutMs, unsigned int maxTries) {
  auto log = kovra::GetLog();
  std::unique_lock<std::mutex> lock(mutex_);
  for (unsigned int attempt = 0; attempt < maxTries && !Stopping(); ++attempt) {
    Send(target, OtaRequestType::QueryFirmwareId, nullptr, 0);
    OtaControlPacket reply;
    if (!WaitReply(lock, timeoutMs, &reply)) continue;
    if (reply.status != OtaControlPacket::Ack) {
      log->debug("recv control packt nak otai reboot fail");
      return false;
    }
    if (reply.info == expectedId) {
      log->debug("recv reboot success!");
      return true;
    }
    log->debug("recv incorrect target_firmware_id, retrying reboot.");
    return false;
  }
  return false;
}

bool OtaService::ResetTarget(Address target, unsigned int delayMs) {
  // No lock: replies that come during the sleep are queued for the next exchange.
  Send(target, OtaRequestType::Reboot, nullptr, 0);
  Pause(delayMs);
  return true;
}
