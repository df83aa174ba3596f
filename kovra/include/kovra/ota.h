#pragma once
// Firmware update: the archive file, the images in it, and the service that sends an image to a
// device over channels 10 (requests) and 11 (replies) and runs whole updates on a thread.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "korvane/packet_header.h"

class ParameterService;

// The 32-byte block at the head of every image. The device defines it; the host passes it on
// unchanged and reads only section_size, the length of the image body (little-endian).
struct OtaControlBlock {
  uint8_t head[12] = {};
  uint32_t section_size = 0;
  uint8_t tail[16] = {};

  static constexpr size_t kSize = 32;

  // From / to the 32 bytes as they are stored in the archive and sent on the wire.
  static OtaControlBlock FromBytes(const uint8_t* bytes);
  void ToBytes(uint8_t* out) const;
};
static_assert(sizeof(OtaControlBlock) == OtaControlBlock::kSize, "control block is 32 bytes");

// An archive file: a headerless run of records {u64 type, u64 size, size data bytes}, all
// little-endian. Records larger than kMaxImageSize are skipped unread; fewer than 16 stray bytes
// at the end are ignored. Reading never throws: a record the file ends inside of (an incomplete
// download) or that cannot be read is left out, and CutShortRecord() tells which one it was.
// A file of more than kMaxRecords records cannot be an archive: reading stops before the first
// record beyond, and ExcessRecord() tells its number. A large file of something else (a disk
// image of zeros reads as one empty record every 16 bytes) thus costs neither memory nor time.
class OtaArchive {
 public:
  enum TypeId : uint64_t {
    RxShim = 1,
    TxShim = 2,
    RxApp = 3,
    TxApp = 4,
  };

  static constexpr uint64_t kMaxImageSize = 2 * 1024 * 1024;
  // Records an archive holds at most, skipped ones included: room for the four image kinds of
  // each device a link addresses (TX, RX, RX_2, RX_3).
  static constexpr std::size_t kMaxRecords = 16;

  // One record. Copies share the bytes.
  struct Entry {
    Entry(TypeId type, std::size_t size);

    TypeId type_;
    std::shared_ptr<std::vector<uint8_t>> data_;
  };

  explicit OtaArchive(std::istream& in);

  // Number, counted from 1 over every record (skipped ones included), of the record inside which
  // the file ended or could no longer be read; 0 when there was none (the file was read to its
  // end, or reading stopped before ExcessRecord()).
  std::size_t CutShortRecord() const { return cut_short_record_; }
  // Number of the first record beyond kMaxRecords when the file holds more (reading stopped
  // before it); 0 otherwise.
  std::size_t ExcessRecord() const { return excess_record_; }

  // Name of an image kind in the update log ("TX app", ..., "UNKNOWN").
  static const char* TypeIdToName(TypeId type);

  std::deque<Entry> index_;

 private:
  std::size_t cut_short_record_ = 0;
  std::size_t excess_record_ = 0;
};

// Raised when an archive entry cannot be an image: data shorter than the control block, or a
// length other than the control block plus its section_size.
class OtaImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One image ready to send: its control block, its target and the entry holding its bytes.
class OtaData {
 public:
  // Throws OtaImageError for a malformed entry, whatever its type.
  explicit OtaData(const OtaArchive::Entry& entry);

  // The image body: section_size bytes after the control block.
  const uint8_t* GetData() const;

  // Target device of an image kind; 0 for an unknown kind.
  static Address TypeIdToAddress(const OtaArchive::TypeId& type);
  // Firmware id a device reports while it runs an image of that kind; 0 for an unknown kind.
  static uint32_t TypeIdToFirmwareId(OtaArchive::TypeId type);

  OtaControlBlock control_block_;
  Address address_;
  OtaArchive::Entry entry_;
};

// Host side of the firmware-update protocol. Replies come in through HandleControlPacket (the
// router's callback for channel 11, on the I/O thread); the exchanges block their caller and
// take one queued reply per try, in arrival order, whatever request it answered. At most
// kMaxQueuedReplies replies wait; a newer one pushes out the oldest, so that a device (or a
// link) that keeps sending replies cannot grow the queue without bound.
class OtaService {
 public:
  static constexpr size_t kMaxQueuedReplies = 64;

  // Fixed pauses of an update. The defaults are the protocol's; tests and benchmarks may
  // shorten them.
  struct Pacing {
    unsigned int reset_delay_ms = 4000;        // after each Reboot request
    unsigned int pause_after_image_ms = 2000;  // after each image updated
  };

  explicit OtaService(std::unique_ptr<PacketSink> sink);
  // Stops a running update at its next exchange or wait and waits for its thread to end; the
  // completion callback of an update cut short this way is not called.
  ~OtaService();
  OtaService(const OtaService&) = delete;
  OtaService& operator=(const OtaService&) = delete;

  void HandleControlPacket(const PacketHeader& header, const std::vector<uint8_t>& payload);

  bool SendInitPacket(const OtaControlBlock& block, Address target, unsigned int timeoutMs,
                      unsigned int maxTries);
  bool SendImageData(const uint8_t* data, unsigned int size, Address target,
                     unsigned int timeoutMs, unsigned int maxTries);
  bool Finalize(const OtaControlBlock& block, Address target, unsigned int timeoutMs,
                unsigned int maxTries);
  uint32_t GetFirmwareId(Address target, unsigned int timeoutMs, unsigned int maxTries);
  bool CheckNewFirmwareId(Address target, unsigned int expectedId, unsigned int timeoutMs,
                          unsigned int maxTries);
  bool ResetTarget(Address target, unsigned int delayMs);

  // Transfers one image, reboots its target into it and checks the firmware id.
  bool PerformOtaUpdate(const OtaData& image, ParameterService& txParams);

  // Runs the update of every image in the archive at path on a thread of its own, and calls
  // done with the result on that thread.
  void Start(ParameterService& rxParams, ParameterService& txParams, const std::string&& path,
             const std::function<void(bool)>& done);

  void SetPacing(const Pacing& pacing) { pacing_ = pacing; }
  const Pacing& GetPacing() const { return pacing_; }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  // Sends one request to target. A request always starts from an all-zero packet.
  void Send(Address target, OtaRequestType type, const uint8_t* payload, size_t size);
  // Sends and waits for one reply (lock held on entry, released while waiting). True when a
  // reply was taken into *reply.
  bool WaitReply(std::unique_lock<std::mutex>& lock, unsigned int timeoutMs,
                 OtaControlPacket* reply);
  // Sleeps, ending early when the service is being destroyed. False when it ended early.
  bool Pause(unsigned int ms);
  bool Stopping() const { return stopping_.load(); }

  void RunUpdate(ParameterService& rxParams, ParameterService& txParams,
                 const std::string& path, const std::function<void(bool)>& done);
  bool UpdateFromArchive(const OtaArchive& archive, ParameterService& rxParams,
                         ParameterService& txParams);
  bool PrepareTarget(const OtaData& image, ParameterService& rxParams,
                     ParameterService& txParams);
  void ReapFinishedWorkers();

  std::unique_ptr<PacketSink> sink_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<OtaControlPacket> replies_;

  Pacing pacing_;
  std::atomic<bool> stopping_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
  std::mutex workers_mutex_;
  std::list<Worker> workers_;
};
