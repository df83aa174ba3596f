#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "korvane/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Serialises a record into a buffer guarded by canary bytes; checks the returned pointer and that
// nothing past the wire size was touched.
template <typename T>
Bytes Encode(const T& record, size_t wire_size) {
  Bytes buf(wire_size + 8, 0xAA);
  uint8_t* end = serialize(record, buf.data());
  EXPECT_EQ(end, buf.data() + wire_size);
  for (size_t i = wire_size; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xAA) << "byte " << i;
  buf.resize(wire_size);
  return buf;
}

template <typename T>
T Decode(const Bytes& bytes, size_t wire_size) {
  T record{};
  const uint8_t* end = deserialize(bytes.data(), &record);
  EXPECT_EQ(end, bytes.data() + wire_size);
  return record;
}

Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes LeFloat(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return Le32(bits);
}
Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + from, b.begin() + from + n);
}

std::string Text(const Parameter& p) {
  std::ostringstream os;
  os << p;
  return os.str();
}

TEST(MessageLayout, InMemorySizes) {
  EXPECT_EQ(sizeof(Parameter), 8u);
  EXPECT_EQ(sizeof(TxAdcValues), 48u);
  EXPECT_EQ(sizeof(RxAdcValues), 40u);
  EXPECT_EQ(sizeof(OtaDataPacket), 38u);
  EXPECT_EQ(sizeof(LogMessage), 41u);
  EXPECT_EQ(sizeof(ChargeState), 1u);
  EXPECT_EQ(sizeof(RxStatusFlag), 2u);
  EXPECT_EQ(sizeof(ParamId), 2u);
  EXPECT_EQ(sizeof(OtaControlPacket::Type), 1u);
}

TEST(MessageCodec, ParameterWireBytes) {
  Parameter p{GET_PARAMETER, ParamStatus::SUCCESS, static_cast<ParamId>(60), 1};
  EXPECT_EQ(Encode(p, 8), (Bytes{0x02, 0x05, 0x3C, 0x00, 0x01, 0x00, 0x00, 0x00}));

  Parameter q{COMMIT_STAGED, ParamStatus::FAILED, PARAM_ID_NONE, 0x12345678};
  EXPECT_EQ(Encode(q, 8), (Bytes{0x05, 0x00, 0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12}));

  Parameter back = Decode<Parameter>(Encode(q, 8), 8);
  EXPECT_EQ(back.command, COMMIT_STAGED);
  EXPECT_EQ(back.status, ParamStatus::FAILED);
  EXPECT_EQ(back.id, PARAM_ID_NONE);
  EXPECT_EQ(back.value, 0x12345678u);
}

TEST(MessageCodec, PacketHeaderWireBytes) {
  PacketHeader h;
  h.channel = ChannelDescriptor::PARAMETER_REQUEST;
  h.SetSource(PC);
  h.SetDestination(TX);
  EXPECT_EQ(Encode(h, 2), (Bytes{0x07, 0xF1}));
  PacketHeader back = Decode<PacketHeader>(Bytes{0x0A, 0xF2}, 2);
  EXPECT_EQ(back.channel, ChannelDescriptor::OTA_DATA);
  EXPECT_EQ(back.GetSource(), PC);
  EXPECT_EQ(back.GetDestination(), RX);
}

TEST(MessageCodec, TxAdcValuesWireBytes) {
  TxAdcValues tx;
  tx.charge_state = static_cast<ChargeState>(3);
  tx.plvl = 0x1234;
  tx.count = 1;
  tx.vmon_3v3 = 1.0f;
  const float floats[10] = {1.0f, 5.0f, 2.0f, 12.0f, 1.5f, 9.0f, 0.25f, 24.0f, -2.0f, 1e-3f};
  float TxAdcValues::*const fields[10] = {
      &TxAdcValues::vmon_3v3,         &TxAdcValues::vmon_5v,  &TxAdcValues::imon_5v,
      &TxAdcValues::vmon_12v,         &TxAdcValues::imon_12v, &TxAdcValues::vmon_gate_driver,
      &TxAdcValues::imon_gate_driver, &TxAdcValues::vmon_pa,  &TxAdcValues::imon_pa,
      &TxAdcValues::adc_in10};
  for (int i = 0; i < 10; ++i) tx.*fields[i] = floats[i];

  Bytes b = Encode(tx, 47);
  EXPECT_EQ(b[0], 0x03);
  EXPECT_EQ(Slice(b, 1, 2), (Bytes{0x34, 0x12}));
  EXPECT_EQ(Slice(b, 3, 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(b, 7, 4), (Bytes{0x00, 0x00, 0x80, 0x3F}));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Slice(b, 7 + 4 * i, 4), LeFloat(floats[i])) << i;

  // The alignment byte in memory is left alone by deserialize.
  TxAdcValues back;
  std::memset(static_cast<void*>(&back), 0x5A, sizeof back);
  EXPECT_EQ(deserialize(b.data(), &back), b.data() + 47);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&back)[1], 0x5A);
  EXPECT_EQ(back.charge_state, tx.charge_state);
  EXPECT_EQ(back.plvl, 0x1234);
  EXPECT_EQ(back.count, 1u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(back.*fields[i], floats[i]) << i;
}

TEST(MessageCodec, RxAdcValuesWireBytes) {
  RxAdcValues rx;
  rx.flags = static_cast<RxStatusFlag>(0xBEEF);
  rx.vmon_battery = 25.2f;
  rx.vmon_battery_prog = 25.0f;
  rx.vmon_rectified = 30.5f;
  rx.tmon_board = 41.0f;
  rx.imon_charger = 2.5f;
  rx.imon_battery = 1.75f;
  rx.count = 0xA1B2C3D4;
  rx.charge_state = static_cast<RxChargeState>(3);
  rx.battery_I_target = 3.0f;

  Bytes b = Encode(rx, 35);
  EXPECT_EQ(Slice(b, 0, 2), (Bytes{0xEF, 0xBE}));
  EXPECT_EQ(Slice(b, 2, 4), LeFloat(25.2f));
  EXPECT_EQ(Slice(b, 6, 4), LeFloat(25.0f));
  EXPECT_EQ(Slice(b, 10, 4), LeFloat(30.5f));
  EXPECT_EQ(Slice(b, 14, 4), LeFloat(41.0f));
  EXPECT_EQ(Slice(b, 18, 4), LeFloat(2.5f));
  EXPECT_EQ(Slice(b, 22, 4), LeFloat(1.75f));
  EXPECT_EQ(Slice(b, 26, 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(b[30], 0x03);
  EXPECT_EQ(Slice(b, 31, 4), LeFloat(3.0f));

  RxAdcValues back = Decode<RxAdcValues>(b, 35);
  EXPECT_EQ(back.flags, rx.flags);
  EXPECT_EQ(back.vmon_battery, rx.vmon_battery);
  EXPECT_EQ(back.vmon_battery_prog, rx.vmon_battery_prog);
  EXPECT_EQ(back.vmon_rectified, rx.vmon_rectified);
  EXPECT_EQ(back.tmon_board, rx.tmon_board);
  EXPECT_EQ(back.imon_charger, rx.imon_charger);
  EXPECT_EQ(back.imon_battery, rx.imon_battery);
  EXPECT_EQ(back.count, rx.count);
  EXPECT_EQ(back.charge_state, rx.charge_state);
  EXPECT_EQ(back.battery_I_target, rx.battery_I_target);
}

TEST(MessageCodec, OtaControlPacketWireBytes) {
  OtaControlPacket c;
  c.info = 0x00000202;
  c.status = OtaControlPacket::Nak;
  c.seq = 0x7F;
  Bytes b = Encode(c, 6);
  EXPECT_EQ(b, (Bytes{0x02, 0x02, 0x00, 0x00, 0x02, 0x7F}));

  OtaControlPacket back = Decode<OtaControlPacket>(Bytes{0x40, 0x00, 0x00, 0x00, 0x01, 0x09}, 6);
  EXPECT_EQ(back.info, 64u);
  EXPECT_EQ(back.status, OtaControlPacket::Type::Ack);
  EXPECT_EQ(back.seq, 9);
  // A status outside the named values survives decoding.
  back = Decode<OtaControlPacket>(Bytes{0, 0, 0, 0, 9, 0}, 6);
  EXPECT_EQ(static_cast<int>(back.status), 9);
}

TEST(MessageCodec, OtaDataPacketWireBytes) {
  OtaDataPacket d;
  for (int i = 0; i < 36; ++i) d.payload[i] = static_cast<uint8_t>(0xC0 + i);
  d.type = OtaRequestType::ImageData;
  Bytes b = Encode(d, 38);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(b[i], 0xC0 + i);
  EXPECT_EQ(b[36], 2);
  EXPECT_EQ(b[37], 0);

  OtaDataPacket back = Decode<OtaDataPacket>(b, 38);
  EXPECT_EQ(std::memcmp(back.payload, d.payload, 36), 0);
  EXPECT_EQ(back.type, OtaRequestType::ImageData);
  EXPECT_EQ(back.reserved, 0);
  EXPECT_EQ(static_cast<int>(OtaRequestType::BeginUpdate), 1);
  EXPECT_EQ(static_cast<int>(OtaRequestType::QueryFirmwareId), 5);
}

TEST(MessageCodec, LogMessageWireBytes) {
  LogMessage m;
  m.level = 2;
  const char text[] = "Charging started, 40 characters long!!!";  // 39 + NUL
  std::memcpy(m.text, text, 40);
  Bytes b = Encode(m, 41);
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(std::string(b.begin() + 1, b.end()), std::string(text, 40));

  // A full 40-character text without terminator comes back whole.
  Bytes full(41, 'x');
  full[0] = 1;
  LogMessage back = Decode<LogMessage>(full, 41);
  EXPECT_EQ(back.level, 1);
  EXPECT_EQ(std::string(back.text, 40), std::string(40, 'x'));
}

TEST(MessageCodec, RxControlWireBytes) {
  RxControl r{0x0102, 0xA0B0};
  Bytes b = Encode(r, 4);
  EXPECT_EQ(b, (Bytes{0x02, 0x01, 0xB0, 0xA0}));
  RxControl back = Decode<RxControl>(b, 4);
  EXPECT_EQ(back.first, 0x0102);
  EXPECT_EQ(back.second, 0xA0B0);
}

TEST(MessageCodec, FieldPrimitives) {
  uint8_t buf[4] = {};
  EXPECT_EQ(serialize<unsigned short>(0xABCD, buf), buf + 2);
  EXPECT_EQ(buf[0], 0xCD);
  EXPECT_EQ(buf[1], 0xAB);
  EXPECT_EQ(serialize<float>(-2.5f, buf), buf + 4);
  EXPECT_EQ(Bytes(buf, buf + 4), LeFloat(-2.5f));
  float f = 0;
  EXPECT_EQ(deserialize(buf, &f), buf + 4);
  EXPECT_EQ(f, -2.5f);
  unsigned int u = 0;
  deserialize(buf, &u);
  EXPECT_EQ(Le32(u), LeFloat(-2.5f));  // the 4-byte primitives copy the same bytes
  EXPECT_EQ(serialize(OtaControlPacket::Pend, buf), buf + 1);
  EXPECT_EQ(buf[0], 3);
}

TEST(MessageText, ParameterDumpSixLines) {
  Parameter p{GET_PARAMETER, ParamStatus::SUCCESS, static_cast<ParamId>(60), 1};
  EXPECT_EQ(Text(p),
            "Message Parameter {\n"
            "  command = 8ParamCmd=[2]\n"
            "  status = 11ParamStatus=[5]\n"
            "  id = 7ParamId=[60]\n"
            "  value = 1\n"
            "}\n");
}

TEST(MessageText, ParameterValueIsSigned) {
  Parameter p = Decode<Parameter>(Bytes{0x03, 0x09, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8);
  EXPECT_EQ(Text(p),
            "Message Parameter {\n"
            "  command = 8ParamCmd=[3]\n"
            "  status = 11ParamStatus=[9]\n"
            "  id = 7ParamId=[65534]\n"
            "  value = -1\n"
            "}\n");
}

TEST(MessageText, NestedDumpIndents) {
  std::ostringstream os;
  serdes::Dump(os, Parameter{}, "Inner", 4);
  EXPECT_EQ(os.str(),
            "    Message Inner {\n"
            "      command = 8ParamCmd=[0]\n"
            "      status = 11ParamStatus=[0]\n"
            "      id = 7ParamId=[0]\n"
            "      value = 0\n"
            "    }\n");
}

TEST(MessageText, FieldDumpValues) {
  auto dump = [](auto v) {
    std::ostringstream os;
    serdes::Dump(os, v, "f", 2);
    return os.str();
  };
  EXPECT_EQ(dump(12.5f), "  f = 12.5\n");
  EXPECT_EQ(dump(0.000123f), "  f = 0.000123\n");
  EXPECT_EQ(dump(1234567.0f), "  f = 1.23457e+06\n");
  EXPECT_EQ(dump(static_cast<unsigned short>(65535)), "  f = 65535\n");
  EXPECT_EQ(dump(4294967295u), "  f = 4294967295\n");
  EXPECT_EQ(dump(-7), "  f = -7\n");
  EXPECT_EQ(dump(static_cast<RxStatusFlag>(0x8001)), "  f = 12RxStatusFlag=[32769]\n");
}

TEST(MessageText, TxAdcValuesDump) {
  TxAdcValues tx;
  tx.charge_state = static_cast<ChargeState>(3);
  tx.plvl = 7;
  tx.count = 42;
  tx.vmon_pa = 24.5f;
  std::ostringstream os;
  os << tx;
  EXPECT_EQ(os.str(),
            "Message TxAdcValues {\n"
            "  charge_state = 11ChargeState=[3]\n"
            "  plvl = 7\n"
            "  count = 42\n"
            "  vmon_3v3 = 0\n"
            "  vmon_5v = 0\n"
            "  imon_5v = 0\n"
            "  vmon_12v = 0\n"
            "  imon_12v = 0\n"
            "  vmon_gate_driver = 0\n"
            "  imon_gate_driver = 0\n"
            "  vmon_pa = 24.5\n"
            "  imon_pa = 0\n"
            "  adc_in10 = 0\n"
            "}\n");
}

TEST(MessageText, RxAdcValuesDump) {
  RxAdcValues rx;
  rx.flags = static_cast<RxStatusFlag>(1);
  rx.vmon_battery = 25.2f;
  rx.count = 5;
  rx.charge_state = static_cast<RxChargeState>(7);
  rx.battery_I_target = 1.5f;
  std::ostringstream os;
  os << rx;
  EXPECT_EQ(os.str(),
            "Message RxAdcValues {\n"
            "  flags = 12RxStatusFlag=[1]\n"
            "  vmon_battery = 25.2\n"
            "  vmon_battery_prog = 0\n"
            "  vmon_rectified = 0\n"
            "  tmon_board = 0\n"
            "  imon_charger = 0\n"
            "  imon_battery = 0\n"
            "  count = 5\n"
            "  charge_state = 13RxChargeState=[7]\n"
            "  battery_I_target = 1.5\n"
            "}\n");
}

TEST(MessageText, EnumerationPrinter) {
  auto text = [](auto v) {
    std::ostringstream os;
    os << v;
    return os.str();
  };
  EXPECT_EQ(text(ParamStatus::SUCCESS), "11ParamStatus=[5]");
  EXPECT_EQ(text(static_cast<ParamStatus>(9)), "11ParamStatus=[9]");
  EXPECT_EQ(text(TX), "7Address=[1]");
  EXPECT_EQ(text(PC), "7Address=[15]");
  EXPECT_EQ(text(SET_PARAMETER), "8ParamCmd=[3]");
  EXPECT_EQ(text(PARAM_ID_NONE), "7ParamId=[65534]");
  EXPECT_EQ(text(static_cast<ChargeState>(255)), "11ChargeState=[255]");
  EXPECT_EQ(text(static_cast<RxChargeState>(8)), "13RxChargeState=[8]");
  EXPECT_EQ(text(ChannelDescriptor::OTA_CONTROL), "17ChannelDescriptor=[11]");
}

TEST(MessageText, FmtPlaceholdersUseTheDump) {
  Parameter p{GET_PARAMETER, ParamStatus::SUCCESS, static_cast<ParamId>(60), 1};
  EXPECT_EQ(fmt::format("Got response {}", p), "Got response " + Text(p));
  EXPECT_EQ(fmt::format("{} {}", ParamStatus::REJECTED, RX), "11ParamStatus=[4] 7Address=[2]");
  EXPECT_EQ(fmt::format("{}", static_cast<ParamId>(13)), "7ParamId=[13]");
}

}  // namespace
