#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include "kovra/parameters.h"

namespace {

ParamId Id(int v) { return static_cast<ParamId>(v); }

uint32_t FloatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

// Raw value after parsing text into a fresh parameter of the id.
uint32_t RawFromText(int id, const std::string& text) {
  auto p = CreateHostParam(Id(id));
  p->Set(text);
  return p->GetRaw();
}

// Text of a raw value read through the id's type.
std::string TextFromRaw(int id, uint32_t raw) {
  auto p = CreateHostParam(Id(id));
  p->Set(static_cast<int>(raw));
  return p->ToString();
}

// Which typed read the parameter implements.
std::string TypeOf(HostParam& p) {
  std::string found;
  auto probe = [&](const char* name, auto read) {
    try {
      read();
      found += name;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unimplemented");
    }
  };
  probe("u8", [&] { p.Get<uint8_t>(); });
  probe("i8", [&] { p.Get<int8_t>(); });
  probe("u16", [&] { p.Get<uint16_t>(); });
  probe("i16", [&] { p.Get<int16_t>(); });
  probe("u32", [&] { p.Get<uint32_t>(); });
  probe("i32", [&] { p.Get<int32_t>(); });
  probe("f32", [&] { p.Get<float>(); });
  return found;
}

TEST(ParameterCatalogue, NamesSpotChecks) {
  EXPECT_EQ(parameter_names.size(), 77u);
  EXPECT_EQ(parameter_names.begin()->first, 0);
  EXPECT_EQ(parameter_names.rbegin()->first, 76);
  EXPECT_EQ(parameter_names.at(Id(0)), "Example ID 1");
  EXPECT_EQ(parameter_names.at(Id(3)), "Device Address");
  EXPECT_EQ(parameter_names.at(Id(13)), "Enable VICOR and Gate Driver ");
  EXPECT_EQ(parameter_names.at(Id(25)), "TX Target V Rectified Tolerace (mV)");
  EXPECT_EQ(parameter_names.at(Id(40)), "TX Plvl Min (Minimum PLVL value, maximum POWER ALLOWED)");
  EXPECT_EQ(parameter_names.at(Id(48)), "Etherent DNS Server");
  EXPECT_EQ(parameter_names.at(Id(60)), "Enable Charging for Device");
  EXPECT_EQ(parameter_names.at(Id(73)), "12v Auxillary LED Power Supply");
  EXPECT_EQ(parameter_names.at(Id(76)), "Log Radio Debug Info");
  EXPECT_EQ(parameter_names.count(PARAM_ID_NONE), 0u);
  EXPECT_EQ(static_cast<unsigned>(PARAM_ID_NONE), 0xFFFEu);
}

TEST(ParameterCatalogue, ValueTypes) {
  std::map<std::string, int> counts;
  for (int id = 0; id <= 76; ++id) {
    auto p = CreateHostParam(Id(id));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetRaw(), 0u) << id;
    counts[TypeOf(*p)]++;
  }
  EXPECT_EQ(counts["u8"], 43);
  EXPECT_EQ(counts["u16"], 16);
  EXPECT_EQ(counts["u32"], 15);
  EXPECT_EQ(counts["i32"], 1);
  EXPECT_EQ(counts["i16"], 1);
  EXPECT_EQ(counts["f32"], 1);
  EXPECT_EQ(counts.size(), 6u);  // every parameter implements exactly one typed read

  EXPECT_EQ(TypeOf(*CreateHostParam(Id(2))), "i32");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(3))), "u8");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(15))), "f32");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(38))), "u32");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(63))), "u16");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(74))), "i16");
  EXPECT_EQ(TypeOf(*CreateHostParam(Id(76))), "u8");
}

TEST(ParameterCatalogue, UnknownIdThrows) {
  for (int id : {77, 80, 0xFFFE, 0xFFFF}) {
    try {
      CreateHostParam(Id(id));
      ADD_FAILURE() << "no exception for id " << id;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unknown parameter...maybe add it to parameter_service?");
    }
  }
}

TEST(HostParamValues, FloatFrequency) {
  EXPECT_EQ(RawFromText(15, "13.56e6"), FloatBits(13.56e6f));
  EXPECT_EQ(TextFromRaw(15, FloatBits(13.56e6f)), "1.356e+07");
  EXPECT_EQ(TextFromRaw(15, FloatBits(0.5f)), "0.5");
  EXPECT_EQ(TextFromRaw(15, FloatBits(123.456789e6f)), "1.23457e+08");
  auto p = CreateHostParam(Id(15));
  p->Set(std::string("13.56e6"));
  EXPECT_EQ(p->Get<float>(), 13.56e6f);
}

TEST(HostParamValues, SignedSixteenBit) {
  EXPECT_EQ(RawFromText(74, "-1"), 0x0000FFFFu);  // not sign-extended
  EXPECT_EQ(TextFromRaw(74, 0xFFFFFFFF), "-1");
  EXPECT_EQ(TextFromRaw(74, 0x0001FFFF), "-1");  // upper bytes ignored
  EXPECT_EQ(TextFromRaw(74, 0x00008000), "-32768");
  EXPECT_EQ(RawFromText(74, "-32768"), 0x00008000u);
}

TEST(HostParamValues, SignedThirtyTwoBit) {
  EXPECT_EQ(TextFromRaw(2, 0xFFFFFFFE), "-2");
  EXPECT_EQ(RawFromText(2, "-2"), 0xFFFFFFFEu);
  EXPECT_EQ(RawFromText(2, "2147483647"), 0x7FFFFFFFu);
}

TEST(HostParamValues, UnsignedByte) {
  EXPECT_EQ(RawFromText(60, "1"), 1u);
  EXPECT_EQ(RawFromText(60, "257"), 1u);
  EXPECT_EQ(RawFromText(60, "300"), 44u);
  EXPECT_EQ(RawFromText(60, "256"), 0u);
  EXPECT_EQ(RawFromText(60, ""), 0u);
  EXPECT_EQ(TextFromRaw(60, 0x00000101), "1");  // a number, never a control character
  EXPECT_EQ(TextFromRaw(60, 0xFFFFFF41), "65");
}

TEST(HostParamValues, IpAddressRoundTrip) {
  const uint32_t ip = (192u << 24) + (168u << 16) + (1u << 8) + 1u;
  const std::string text = std::to_string(ip);
  EXPECT_EQ(RawFromText(45, text), 0xC0A80101u);
  EXPECT_EQ(TextFromRaw(45, 0xC0A80101u), text);
}

TEST(HostParamValues, MalformedTextIsNotAnError) {
  EXPECT_EQ(RawFromText(63, "42 V"), 42u);
  EXPECT_EQ(RawFromText(63, "  4200"), 4200u);
  EXPECT_EQ(RawFromText(63, "1.5"), 1u);
  EXPECT_EQ(RawFromText(63, "0x10"), 0u);
  EXPECT_EQ(RawFromText(63, "volts"), 0u);
  EXPECT_EQ(RawFromText(38, ""), 0u);
  EXPECT_EQ(RawFromText(15, "abc"), 0u);
  EXPECT_EQ(RawFromText(74, ""), 0u);
}

TEST(HostParamValues, TextKeepsUpperRawBytes) {
  auto p = CreateHostParam(Id(63));  // uint16_t
  p->Set(static_cast<int>(0xAABBCCDD));
  p->Set(std::string("1"));
  EXPECT_EQ(p->GetRaw(), 0xAABB0001u);
  EXPECT_EQ(p->ToString(), "1");

  UnsizedParamElement<4> raw;
  raw.data[0] = 0x10;
  raw.data[3] = 0x80;
  p->Set(raw);
  EXPECT_EQ(p->GetRaw(), 0x80000010u);
  EXPECT_EQ(p->Get<uint16_t>(), 0x10);
}

TEST(HostParamValues, ValueTextHelpers) {
  EXPECT_EQ(ValueToString<uint8_t>(7), "7");
  EXPECT_EQ(ValueToString<uint16_t>(65535), "65535");
  EXPECT_EQ(ValueToString<uint32_t>(4000000000u), "4000000000");
  EXPECT_EQ(ValueToString<int32_t>(std::numeric_limits<int32_t>::min()), "-2147483648");
  EXPECT_EQ(ValueToString<float>(12.5f), "12.5");

  uint8_t u8 = 99;
  ValueFromString("x", &u8);
  EXPECT_EQ(u8, 0);
  int16_t i16 = 5;
  ValueFromString(" -12abc", &i16);
  EXPECT_EQ(i16, -12);
  uint32_t u32 = 5;
  ValueFromString("", &u32);
  EXPECT_EQ(u32, 0u);
  float f = 1;
  ValueFromString("2.5e-3", &f);
  EXPECT_EQ(f, 2.5e-3f);
}

TEST(HostParamValues, WrongTypedReadThrows) {
  auto p = CreateHostParam(Id(60));
  EXPECT_THROW(p->Get<float>(), std::runtime_error);
  EXPECT_THROW(p->Get<int8_t>(), std::runtime_error);
  EXPECT_NO_THROW(p->Get<uint8_t>());
}

}  // namespace
