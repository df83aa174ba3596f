#pragma once
// Simulated transmitter (address 1) and receiver (address 2) behind one link, for tests and for
// trying the program without hardware.
//
// The devices speak the host's link protocol from the other end: SLIP frames with CRC-32, the
// 2-byte packet header (source 1 or 2, destination 15) and the message records. They run on one
// thread of their own with plain sockets and poll(), so they never touch Qt objects of the code
// under test. Every public member is thread-safe.
//
// What each device does
// ---------------------
// Parameters (channel 7 in, channel 8 out), answered from the address the request was sent to;
// the answer carries the request's command and id:
//   GET_NUM_PARAMETERS  status 5, value = number of ids in the device's list.
//   GET_PARAMETER_ID    id = list index i: status 5, value = the id at i; past the end: status 0,
//                       value 0xFFFE.
//   GET_PARAMETER       status 5 and the raw value; an id the device lacks: status 0, value 0.
//   SET_PARAMETER       stores the value (only the bytes of the id's value type; the rest is
//                       cleared) and answers status 5 with the stored value; unknown id: status 0.
//   STAGE_PARAMETER     marks the id for saving: status 5, value 0; unknown id: status 0, value 1.
//   COMMIT_STAGED       the staged ids' current values become the saved values, the marks are
//                       cleared: status 5, value 0.
//   other commands      status 0, value 0.
// Requests to other addresses are not answered. Every request received is recorded (also while a
// device is silent or rebooting) before any fault is applied.
//
// Telemetry: TxAdcValues on channel 5 (from 1) and RxAdcValues on channel 4 (from 2), each at
// telemetry_hz (every tick due is made on each wake-up, so rates far above 1000 hold; after a
// hold-up of over a second the missed ticks beyond one second are skipped, and so are those a rate
// beyond what the machine can make misses); both records of one tick carry the same `count`.
// Charging follows the transmitter's parameter 60: while it is 0 both devices report charge state 0
// and draw standby power; when it becomes 1 the transmitter ramps up (2) and then charges (3) while
// the receiver goes through 7 (stabilizing), 1 (ramp up), 2 (constant current), 3 (constant
// voltage) and 4 (battery full), after which the transmitter reports 4 (done). The battery follows
// the receiver's parameters 62 (cells), 63 (mV per cell), 36 (voltage limit, mV) and 34 (maximum
// current, mA). While the receiver draws battery power, the transmitter's supplies (5 V, 12 V,
// power amplifier) add up to the battery power divided by an efficiency between 0.72 and 0.88. The
// power level `plvl` wanders between 3 and 40 while charging, 100 when off.
// Periodic log lines (channel 1, 40 text bytes, NUL-padded) come at log_period, or at log_rate
// lines per second across both devices when that is above 0 (made as telemetry ticks are: rates
// far above 1000 hold, and lines a rate beyond the machine misses are skipped). Their level: one
// in eight is a warning (2), the rest info (1); with log_errors the levels 0 (debug) to 3 (error)
// come alike. Log lines also come on events: charging switched on ("Charging enabled") or off
// ("Charging disabled"), staged values saved ("Parameters saved"), boot after a reboot ("Booted
// firmware 0x%08x").
//
// Firmware update (channel 10 in, channel 11 out), per device:
//   BeginUpdate     payload bytes 0..31 are the control block. It is stored, a new image of
//                   section_size bytes is started (nothing received yet): Ack, info =
//                   section_size. A section_size above 2 MiB: Nak, info 0.
//   ImageData       payload bytes 0..3 the offset (u32 LE), 4..35 up to 32 body bytes; the
//                   smaller of 32 and section_size - offset bytes are stored at the offset:
//                   Ack, info = offset. No update begun, or offset >= section_size: Nak,
//                   info = offset.
//   EndUpdate       Ack, info = section_size, when every body byte has been received and the
//                   block equals BeginUpdate's; the image becomes the installed one. Otherwise
//                   Nak, info = number of body bytes received.
//   Reboot          no reply. After reboot_delay the device runs the installed image: its
//                   firmware id is the image's (see MakeImage) or, with no image installed, the
//                   one it ran before. While rebooting the device answers nothing and sends no
//                   telemetry.
//   QueryFirmwareId Ack, info = the firmware id it runs (TX 0x202, RX 0x101 at start).
//   other types     Nak, info 0.
// `seq` of every reply is the device's count of replies made before it (mod 256), dropped
// ones included.
// The control block is the device's own format: bytes 0..3 the image's firmware id (u32 LE),
// bytes 12..15 section_size (u32 LE, the body length, as the host reads it), all others
// opaque. MakeImage builds such an image.
//
// Reproducibility: telemetry values, periodic log lines, drop decisions and corruption each draw
// from a pseudo-random sequence of their own, seeded with SimConfig::seed. The telemetry of tick
// n (its `count`) is the same in every run with the same seed and settings; the i-th answer is
// dropped or not alike in every such run.
//
// Faults (each switchable at any time):
//   SetSilent               the device ignores requests: it records them, changes nothing and
//                           answers nothing (telemetry goes on).
//   SetDropProbability      each answer (parameter or firmware reply) is dropped with p.
//   SetDuplicateAnswers     each answer is sent twice.
//   SetCorruptRate          each byte sent (answers and telemetry) is changed with this rate.
//   SetAnswerDelay          each answer leaves this long after its request arrived.
//   SetStatusZero           GET, SET and STAGE requests for this id are answered with status 0,
//                           value 0 and change nothing.
//   SetGetUnanswered        GET requests for this id are not answered (other requests for it
//                           are, so a write is taken but its read-back times out).
//   SetOtaReply             a request of this type is answered with the given status instead of
//                           the normal reply, for `count` requests (-1: until cleared). Nak and
//                           Pend change nothing on the device; Ack on Reboot makes the device
//                           acknowledge the Reboot, then reboot.
//   SetWrongFirmwareIdAfterReboot  after each reboot the device runs id ^ 0x00FF0000 instead.
//   SetTelemetryStopped     the device sends no telemetry (the host's watchdog trips).
//
// Links: a TCP server on 127.0.0.1 (one host at a time; a second connection is closed at once),
// or a pseudo-terminal whose slave path the host opens as a serial port. The devices run from
// Start on (telemetry ticks advance the charging model), but nothing is sent while no host is
// connected (TCP) or has the device open (pty): frames made then, SendRaw and SendLog included,
// are dropped. Call WaitForHost before relying on them. A new connection starts with empty
// buffers.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_header.h"
#include "korvane/param_ids.h"

struct SimConfig {
  uint16_t tcp_port = 0;    // TCP port on 127.0.0.1; 0 picks a free one (see Port())
  bool use_pty = false;     // pseudo-terminal instead of TCP (see LinkText())
  int telemetry_hz = 10;    // telemetry records per second and device, 0 none, at most 100000
  uint32_t seed = 1;        // seeds every pseudo-random choice
  std::chrono::milliseconds log_period{3000};    // periodic log lines; 0: only event lines
  int log_rate = 0;         // periodic log lines per second (both devices); above 0 it replaces
                            // log_period; at most 100000
  bool log_errors = false;  // periodic lines of levels 0 to 3 alike instead of info and warnings
  std::chrono::milliseconds reboot_delay{200};   // time from Reboot to running the new image
  int charge_ticks = 300;   // telemetry ticks from switching on to a full battery
};

class SimDevices {
 public:
  explicit SimDevices(SimConfig config = {});
  ~SimDevices();  // stops
  SimDevices(const SimDevices&) = delete;
  SimDevices& operator=(const SimDevices&) = delete;

  // Opens the link and starts the device thread. Throws std::runtime_error when the link cannot
  // be opened (port taken, no pseudo-terminal).
  void Start();
  // Stops the thread and closes the link; idempotent.
  void Stop();

  // The TCP port listened on (0 in pty mode or before Start).
  uint16_t Port() const;
  // "127.0.0.1:<port>" for TCP, the slave device path in pty mode.
  std::string LinkText() const;

  // Periodic log lines at this many per second (both devices) from now on; 0: back to
  // log_period.
  void SetLogRate(int lines_per_second);

  // Telemetry at this many records per second and device from now on (0: none).
  void SetTelemetryRate(int hz);

  // --- Faults (see the top of this file) ---
  void SetSilent(Address device, bool silent);
  void SetDropProbability(double p);
  void SetDuplicateAnswers(bool on);
  void SetCorruptRate(double rate);
  void SetAnswerDelay(std::chrono::milliseconds delay);
  void SetStatusZero(Address device, ParamId id, bool on);
  void SetGetUnanswered(Address device, ParamId id, bool on);
  void SetOtaReply(Address device, OtaRequestType type, OtaControlPacket::Type status,
                   int count = -1);
  void ClearOtaReply(Address device, OtaRequestType type);
  void SetWrongFirmwareIdAfterReboot(Address device, bool on);
  void SetTelemetryStopped(Address device, bool stopped);

  // --- Device state ---
  // The device's parameter list, in list order.
  std::vector<ParamId> ParameterIds(Address device) const;
  // Replaces the device's list: ids in list order with their values (saved values too).
  void SetParameterList(Address device, const std::vector<std::pair<ParamId, uint32_t>>& list);
  // Current (last written) value; false when the device lacks the id.
  bool GetValue(Address device, ParamId id, uint32_t* raw) const;
  void SetValue(Address device, ParamId id, uint32_t raw);  // adds the id when missing
  // Value kept by the last commit (the start value before any); false when the device lacks it.
  bool GetSavedValue(Address device, ParamId id, uint32_t* raw) const;
  bool IsStaged(Address device, ParamId id) const;
  // Firmware id the device runs now.
  uint32_t FirmwareId(Address device) const;
  void SetFirmwareId(Address device, uint32_t id);
  // Control block and body of the last image begun, as received (bytes not yet received are 0).
  std::vector<uint8_t> ReceivedControlBlock(Address device) const;
  std::vector<uint8_t> ReceivedImage(Address device) const;
  int RebootCount(Address device) const;  // reboots completed

  // --- What the host sent (copies) ---
  std::vector<Parameter> ParameterRequests(Address device) const;  // every request, in order
  std::vector<OtaDataPacket> OtaRequests(Address device) const;    // every request, in order
  // Every good frame body (header + payload) received from the host, in order.
  std::vector<std::vector<uint8_t>> ReceivedBodies() const;
  size_t BadFrames() const;  // frames dropped for a bad CRC or escape
  void ClearRecords();       // empties the three lists above and the bad-frame count

  // --- What the devices sent ---
  uint32_t TelemetrySent(Address device) const;  // records handed to the link
  // Frames of any kind not handed to the link because the host was too far behind (over 1 MiB
  // waited to be sent to it); never reset.
  size_t FramesDropped() const;

  // --- Waiting (each returns false when the time-out passes first) ---
  bool WaitForParameterRequests(Address device, size_t n, std::chrono::milliseconds timeout) const;
  bool WaitForOtaRequests(Address device, size_t n, std::chrono::milliseconds timeout) const;
  bool WaitForTelemetry(Address device, uint32_t n, std::chrono::milliseconds timeout) const;
  bool WaitForReboots(Address device, int n, std::chrono::milliseconds timeout) const;
  // A host is connected (TCP), or has the device open (pty).
  bool HostConnected() const;
  bool WaitForHost(std::chrono::milliseconds timeout) const;

  // --- Injection ---
  // Sends raw bytes to the host as they are (no framing, no fault).
  void SendRaw(const std::vector<uint8_t>& bytes);
  // Sends a log line (text cut to 40 bytes) from the device.
  void SendLog(Address device, uint8_t level, const std::string& text);

  // --- Helpers for tests ---
  // One device frame: header (channel, source, destination), payload, CRC and END, escaped.
  static std::vector<uint8_t> DeviceFrame(ChannelDescriptor channel, Address source,
                                          Address destination, const uint8_t* payload,
                                          size_t size);
  // A firmware image as the devices take it: the 32-byte control block (firmware id in bytes
  // 0..3, body length in bytes 12..15) followed by the body.
  static std::vector<uint8_t> MakeImage(uint32_t firmware_id, const std::vector<uint8_t>& body);
  // One archive record: u64 type, u64 size, then the image.
  static std::vector<uint8_t> MakeArchiveRecord(uint64_t type, const std::vector<uint8_t>& image);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
