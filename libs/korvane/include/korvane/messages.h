#pragma once
// Message records carried in packet payloads, their wire codecs and their log text.
//
// Wire rules: fields follow one another in the order declared, with no byte between them;
// multi-byte integers and floats are little-endian. In memory the records keep natural alignment,
// so TxAdcValues and RxAdcValues are larger in memory than on the wire.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "korvane/packet_header.h"
#include "korvane/param_ids.h"
#include "korvane/wire.h"

// Transmitter charge state (0 off, 1 heartbeat, 2 ramp up, 3 charging, 4 done).
enum ChargeState : uint8_t {};
// Receiver status bits.
enum RxStatusFlag : uint16_t {};
// Receiver charge state (0 off, 1 ramp up, 2 constant current, 3 constant voltage, 4 battery
// full, 5 stopping, 6 alarm, 7 stabilizing).
enum RxChargeState : uint8_t {};

// Request type of an OtaDataPacket.
enum class OtaRequestType : uint8_t {
  BeginUpdate = 1,
  ImageData = 2,
  EndUpdate = 3,
  Reboot = 4,
  QueryFirmwareId = 5,
};

// Parameter request (channel 7) and response (channel 8). 8 bytes, same offsets in memory.
struct Parameter {
  ParamCmd command{};
  ParamStatus status{};
  ParamId id{};
  uint32_t value = 0;  // raw value bytes, little-endian
};

// Firmware-update reply (channel 11). 6 bytes on the wire.
struct OtaControlPacket {
  enum Type : uint8_t {
    Ack = 1,
    Nak = 2,
    Pend = 3,
  };
  uint32_t info = 0;
  Type status{};
  uint8_t seq = 0;
};

// Firmware-update request (channel 10). 38 bytes.
struct OtaDataPacket {
  uint8_t payload[36] = {};
  OtaRequestType type{};
  uint8_t reserved = 0;
};

// Device log line (channel 1). 41 bytes; the text carries no length and no terminator.
struct LogMessage {
  uint8_t level = 0;
  char text[40] = {};
};

// Transmitter telemetry (channel 5). 47 bytes on the wire, 48 in memory.
struct TxAdcValues {
  ChargeState charge_state{};
  uint16_t plvl = 0;
  uint32_t count = 0;
  float vmon_3v3 = 0;
  float vmon_5v = 0;
  float imon_5v = 0;
  float vmon_12v = 0;
  float imon_12v = 0;
  float vmon_gate_driver = 0;
  float imon_gate_driver = 0;
  float vmon_pa = 0;
  float imon_pa = 0;
  float adc_in10 = 0;
};

// Receiver telemetry (channel 4). 35 bytes on the wire, 40 in memory.
struct RxAdcValues {
  RxStatusFlag flags{};
  float vmon_battery = 0;
  float vmon_battery_prog = 0;
  float vmon_rectified = 0;
  float tmon_board = 0;
  float imon_charger = 0;
  float imon_battery = 0;
  uint32_t count = 0;
  RxChargeState charge_state{};
  float battery_I_target = 0;
};

// Receiver control word pair. 4 bytes.
struct RxControl {
  uint16_t first = 0;
  uint16_t second = 0;
};

// Wire sizes.
constexpr size_t kPacketHeaderWireSize = 2;
constexpr size_t kParameterWireSize = 8;
constexpr size_t kOtaControlPacketWireSize = 6;
constexpr size_t kOtaDataPacketWireSize = 38;
constexpr size_t kLogMessageWireSize = 41;
constexpr size_t kTxAdcValuesWireSize = 47;
constexpr size_t kRxAdcValuesWireSize = 35;
constexpr size_t kRxControlWireSize = 4;

// Record codecs. serialize writes the record's wire bytes at out and returns out + the wire size;
// deserialize fills the record from in and returns in + the wire size. Neither checks a length.
uint8_t* serialize(const PacketHeader& record, uint8_t* out);
uint8_t* serialize(const Parameter& record, uint8_t* out);
uint8_t* serialize(const OtaControlPacket& record, uint8_t* out);
uint8_t* serialize(const OtaDataPacket& record, uint8_t* out);
uint8_t* serialize(const LogMessage& record, uint8_t* out);
uint8_t* serialize(const TxAdcValues& record, uint8_t* out);
uint8_t* serialize(const RxAdcValues& record, uint8_t* out);
uint8_t* serialize(const RxControl& record, uint8_t* out);

const uint8_t* deserialize(const uint8_t* in, PacketHeader* record);
const uint8_t* deserialize(const uint8_t* in, Parameter* record);
const uint8_t* deserialize(const uint8_t* in, OtaControlPacket* record);
const uint8_t* deserialize(const uint8_t* in, OtaDataPacket* record);
const uint8_t* deserialize(const uint8_t* in, LogMessage* record);
const uint8_t* deserialize(const uint8_t* in, TxAdcValues* record);
const uint8_t* deserialize(const uint8_t* in, RxAdcValues* record);
const uint8_t* deserialize(const uint8_t* in, RxControl* record);

namespace serdes {

// Multi-line dump of a record: "Message <name> {", one line per field indented by indent + 2,
// then "}". Every line ends with a newline and a flush.
std::ostream& Dump(std::ostream& os, const TxAdcValues& record, const std::string& name,
                   size_t indent);
std::ostream& Dump(std::ostream& os, const RxAdcValues& record, const std::string& name,
                   size_t indent);
std::ostream& Dump(std::ostream& os, const Parameter& record, const std::string& name,
                   size_t indent);

// One field line: indent blanks, the name, " = ", the value. Defined for unsigned int,
// unsigned short, int, float, ChargeState, RxStatusFlag, RxChargeState, ParamCmd, ParamStatus
// and ParamId.
template <typename F>
std::ostream& Dump(std::ostream& os, const F& field, const std::string& name, size_t indent);

}  // namespace serdes

// Record text: the record's dump with indent 0.
std::ostream& operator<<(std::ostream& os, const TxAdcValues& record);
std::ostream& operator<<(std::ostream& os, const RxAdcValues& record);
std::ostream& operator<<(std::ostream& os, const Parameter& record);

// Enumeration text: run-time type name, "=[", the value as unsigned decimal, "]"
// (for example 11ParamStatus=[5]).
std::ostream& operator<<(std::ostream& os, const ChargeState& value);
std::ostream& operator<<(std::ostream& os, const RxStatusFlag& value);
std::ostream& operator<<(std::ostream& os, const RxChargeState& value);
std::ostream& operator<<(std::ostream& os, const Address& value);
std::ostream& operator<<(std::ostream& os, const ChannelDescriptor& value);
std::ostream& operator<<(std::ostream& os, const ParamCmd& value);
std::ostream& operator<<(std::ostream& os, const ParamStatus& value);
std::ostream& operator<<(std::ostream& os, const ParamId& value);

// "{}" placeholders in log lines print records and enumerations through the operators above.
template <> struct fmt::formatter<TxAdcValues> : fmt::ostream_formatter {};
template <> struct fmt::formatter<RxAdcValues> : fmt::ostream_formatter {};
template <> struct fmt::formatter<Parameter> : fmt::ostream_formatter {};
template <> struct fmt::formatter<ChargeState> : fmt::ostream_formatter {};
template <> struct fmt::formatter<RxStatusFlag> : fmt::ostream_formatter {};
template <> struct fmt::formatter<RxChargeState> : fmt::ostream_formatter {};
template <> struct fmt::formatter<Address> : fmt::ostream_formatter {};
template <> struct fmt::formatter<ChannelDescriptor> : fmt::ostream_formatter {};
template <> struct fmt::formatter<ParamCmd> : fmt::ostream_formatter {};
template <> struct fmt::formatter<ParamStatus> : fmt::ostream_formatter {};
template <> struct fmt::formatter<ParamId> : fmt::ostream_formatter {};
