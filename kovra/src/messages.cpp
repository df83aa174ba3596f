#include "korvane/messages.h"

#include <typeinfo>

namespace {

// Every 1-byte field and enumeration travels through the same 1-byte primitive.
using Byte = OtaControlPacket::Type;

template <typename E>
uint8_t* put_byte(const E& value, uint8_t* out) {
  static_assert(sizeof(E) == 1, "one-byte field");
  return serialize(static_cast<Byte>(value), out);
}

template <typename E>
const uint8_t* get_byte(const uint8_t* in, E* value) {
  static_assert(sizeof(E) == 1, "one-byte field");
  Byte b{};
  in = deserialize(in, &b);
  *value = static_cast<E>(b);
  return in;
}

uint8_t* put_bytes(const void* data, size_t n, uint8_t* out) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) out = put_byte(p[i], out);
  return out;
}

const uint8_t* get_bytes(const uint8_t* in, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) in = get_byte(in, &p[i]);
  return in;
}

template <typename E>
std::ostream& PrintEnum(std::ostream& os, const E& value) {
  return os << typeid(E).name() << "=[" << static_cast<unsigned int>(value) << "]";
}

std::ostream& Open(std::ostream& os, const std::string& name, size_t indent) {
  return os << std::string(indent, ' ') << "Message " << name << " {" << std::endl;
}

std::ostream& Close(std::ostream& os, size_t indent) {
  return os << std::string(indent, ' ') << "}" << std::endl;
}

}  // namespace

// ---- codecs ----------------------------------------------------------------------------------

uint8_t* serialize(const PacketHeader& r, uint8_t* out) {
  out = put_byte(r.channel, out);
  return put_byte(r.addresses, out);
}
const uint8_t* deserialize(const uint8_t* in, PacketHeader* r) {
  in = get_byte(in, &r->channel);
  return get_byte(in, &r->addresses);
}

uint8_t* serialize(const Parameter& r, uint8_t* out) {
  out = put_byte(r.command, out);
  out = put_byte(r.status, out);
  out = serialize(static_cast<unsigned short>(r.id), out);
  return serialize(static_cast<unsigned int>(r.value), out);
}
const uint8_t* deserialize(const uint8_t* in, Parameter* r) {
  in = get_byte(in, &r->command);
  in = get_byte(in, &r->status);
  unsigned short id = 0;
  in = deserialize(in, &id);
  r->id = static_cast<ParamId>(id);
  unsigned int value = 0;
  in = deserialize(in, &value);
  r->value = value;
  return in;
}

uint8_t* serialize(const OtaControlPacket& r, uint8_t* out) {
  out = serialize(static_cast<unsigned int>(r.info), out);
  out = serialize(r.status, out);
  return put_byte(r.seq, out);
}
const uint8_t* deserialize(const uint8_t* in, OtaControlPacket* r) {
  unsigned int info = 0;
  in = deserialize(in, &info);
  r->info = info;
  in = deserialize(in, &r->status);
  return get_byte(in, &r->seq);
}

uint8_t* serialize(const OtaDataPacket& r, uint8_t* out) {
  out = put_bytes(r.payload, sizeof(r.payload), out);
  out = put_byte(r.type, out);
  return put_byte(r.reserved, out);
}
const uint8_t* deserialize(const uint8_t* in, OtaDataPacket* r) {
  in = get_bytes(in, r->payload, sizeof(r->payload));
  in = get_byte(in, &r->type);
  return get_byte(in, &r->reserved);
}

uint8_t* serialize(const LogMessage& r, uint8_t* out) {
  out = put_byte(r.level, out);
  return put_bytes(r.text, sizeof(r.text), out);
}
const uint8_t* deserialize(const uint8_t* in, LogMessage* r) {
  in = get_byte(in, &r->level);
  return get_bytes(in, r->text, sizeof(r->text));
}

uint8_t* serialize(const TxAdcValues& r, uint8_t* out) {
  out = put_byte(r.charge_state, out);
  out = serialize(static_cast<unsigned short>(r.plvl), out);
  out = serialize(static_cast<unsigned int>(r.count), out);
  for (float f : {r.vmon_3v3, r.vmon_5v, r.imon_5v, r.vmon_12v, r.imon_12v, r.vmon_gate_driver,
                  r.imon_gate_driver, r.vmon_pa, r.imon_pa, r.adc_in10}) {
    out = serialize(f, out);
  }
  return out;
}
const uint8_t* deserialize(const uint8_t* in, TxAdcValues* r) {
  in = get_byte(in, &r->charge_state);
  unsigned short plvl = 0;
  in = deserialize(in, &plvl);
  r->plvl = plvl;
  unsigned int count = 0;
  in = deserialize(in, &count);
  r->count = count;
  for (float* f : {&r->vmon_3v3, &r->vmon_5v, &r->imon_5v, &r->vmon_12v, &r->imon_12v,
                   &r->vmon_gate_driver, &r->imon_gate_driver, &r->vmon_pa, &r->imon_pa,
                   &r->adc_in10}) {
    in = deserialize(in, f);
  }
  return in;
}

uint8_t* serialize(const RxAdcValues& r, uint8_t* out) {
  out = serialize(static_cast<unsigned short>(r.flags), out);
  for (float f : {r.vmon_battery, r.vmon_battery_prog, r.vmon_rectified, r.tmon_board,
                  r.imon_charger, r.imon_battery}) {
    out = serialize(f, out);
  }
  out = serialize(static_cast<unsigned int>(r.count), out);
  out = put_byte(r.charge_state, out);
  return serialize(r.battery_I_target, out);
}
const uint8_t* deserialize(const uint8_t* in, RxAdcValues* r) {
  unsigned short flags = 0;
  in = deserialize(in, &flags);
  r->flags = static_cast<RxStatusFlag>(flags);
  for (float* f : {&r->vmon_battery, &r->vmon_battery_prog, &r->vmon_rectified, &r->tmon_board,
                   &r->imon_charger, &r->imon_battery}) {
    in = deserialize(in, f);
  }
  unsigned int count = 0;
  in = deserialize(in, &count);
  r->count = count;
  in = get_byte(in, &r->charge_state);
  return deserialize(in, &r->battery_I_target);
}

uint8_t* serialize(const RxControl& r, uint8_t* out) {
  out = serialize(static_cast<unsigned short>(r.first), out);
  return serialize(static_cast<unsigned short>(r.second), out);
}
const uint8_t* deserialize(const uint8_t* in, RxControl* r) {
  unsigned short v = 0;
  in = deserialize(in, &v);
  r->first = v;
  in = deserialize(in, &v);
  r->second = v;
  return in;
}

// ---- text forms ------------------------------------------------------------------------------

std::ostream& operator<<(std::ostream& os, const ChargeState& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const RxStatusFlag& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const RxChargeState& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const Address& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const ChannelDescriptor& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const ParamCmd& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const ParamStatus& v) { return PrintEnum(os, v); }
std::ostream& operator<<(std::ostream& os, const ParamId& v) { return PrintEnum(os, v); }

namespace serdes {

template <typename F>
std::ostream& Dump(std::ostream& os, const F& field, const std::string& name, size_t indent) {
  return os << std::string(indent, ' ') << name << " = " << field << std::endl;
}

template std::ostream& Dump<unsigned int>(std::ostream&, const unsigned int&, const std::string&,
                                          size_t);
template std::ostream& Dump<unsigned short>(std::ostream&, const unsigned short&,
                                            const std::string&, size_t);
template std::ostream& Dump<int>(std::ostream&, const int&, const std::string&, size_t);
template std::ostream& Dump<float>(std::ostream&, const float&, const std::string&, size_t);
template std::ostream& Dump<ChargeState>(std::ostream&, const ChargeState&, const std::string&,
                                         size_t);
template std::ostream& Dump<RxStatusFlag>(std::ostream&, const RxStatusFlag&, const std::string&,
                                          size_t);
template std::ostream& Dump<RxChargeState>(std::ostream&, const RxChargeState&,
                                           const std::string&, size_t);
template std::ostream& Dump<ParamCmd>(std::ostream&, const ParamCmd&, const std::string&, size_t);
template std::ostream& Dump<ParamStatus>(std::ostream&, const ParamStatus&, const std::string&,
                                         size_t);
template std::ostream& Dump<ParamId>(std::ostream&, const ParamId&, const std::string&, size_t);

std::ostream& Dump(std::ostream& os, const TxAdcValues& r, const std::string& name,
                   size_t indent) {
  Open(os, name, indent);
  const size_t in = indent + 2;
  Dump(os, r.charge_state, "charge_state", in);
  Dump(os, static_cast<unsigned short>(r.plvl), "plvl", in);
  Dump(os, static_cast<unsigned int>(r.count), "count", in);
  Dump(os, r.vmon_3v3, "vmon_3v3", in);
  Dump(os, r.vmon_5v, "vmon_5v", in);
  Dump(os, r.imon_5v, "imon_5v", in);
  Dump(os, r.vmon_12v, "vmon_12v", in);
  Dump(os, r.imon_12v, "imon_12v", in);
  Dump(os, r.vmon_gate_driver, "vmon_gate_driver", in);
  Dump(os, r.imon_gate_driver, "imon_gate_driver", in);
  Dump(os, r.vmon_pa, "vmon_pa", in);
  Dump(os, r.imon_pa, "imon_pa", in);
  Dump(os, r.adc_in10, "adc_in10", in);
  return Close(os, indent);
}

std::ostream& Dump(std::ostream& os, const RxAdcValues& r, const std::string& name,
                   size_t indent) {
  Open(os, name, indent);
  const size_t in = indent + 2;
  Dump(os, r.flags, "flags", in);
  Dump(os, r.vmon_battery, "vmon_battery", in);
  Dump(os, r.vmon_battery_prog, "vmon_battery_prog", in);
  Dump(os, r.vmon_rectified, "vmon_rectified", in);
  Dump(os, r.tmon_board, "tmon_board", in);
  Dump(os, r.imon_charger, "imon_charger", in);
  Dump(os, r.imon_battery, "imon_battery", in);
  Dump(os, static_cast<unsigned int>(r.count), "count", in);
  Dump(os, r.charge_state, "charge_state", in);
  Dump(os, r.battery_I_target, "battery_I_target", in);
  return Close(os, indent);
}

std::ostream& Dump(std::ostream& os, const Parameter& r, const std::string& name, size_t indent) {
  Open(os, name, indent);
  const size_t in = indent + 2;
  Dump(os, r.command, "command", in);
  Dump(os, r.status, "status", in);
  Dump(os, r.id, "id", in);
  // The raw value read as a signed 32-bit integer.
  Dump(os, static_cast<int>(static_cast<int32_t>(r.value)), "value", in);
  return Close(os, indent);
}

}  // namespace serdes

std::ostream& operator<<(std::ostream& os, const TxAdcValues& r) {
  return serdes::Dump(os, r, "TxAdcValues", 0);
}
std::ostream& operator<<(std::ostream& os, const RxAdcValues& r) {
  return serdes::Dump(os, r, "RxAdcValues", 0);
}
std::ostream& operator<<(std::ostream& os, const Parameter& r) {
  return serdes::Dump(os, r, "Parameter", 0);
}
