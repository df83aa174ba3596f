#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kovra/param_map.h"

namespace {

constexpr ParamId kDeviceAddress = static_cast<ParamId>(3);

int g_calls = 0;
ParamStatus CountingCheck(const uint8_t& v) {
  ++g_calls;
  return v == 0x42 ? ParamStatus::SUCCESS : ParamStatus::FAILED;
}

ParamStatus RejectAll(const uint8_t&) { return ParamStatus::REJECTED; }

ParamStatus SeeContext(void* ctx, const UnsizedParamElement<4>& value) {
  *static_cast<int*>(ctx) = value.data[0];
  return ParamStatus::REJECTED;
}

TEST(HostParamMap, AddressIsFifteenFromStartUp) {
  EXPECT_EQ(HostAddress(), 15);
  const UnsizedParamElement<4> raw = PcParamMap::GetRaw(kDeviceAddress);
  EXPECT_EQ(raw.data[0], 15);
  EXPECT_EQ(raw.data[1], 0);
  EXPECT_EQ(raw.data[2], 0);
  EXPECT_EQ(raw.data[3], 0);
}

TEST(HostParamMap, Lookup) {
  using Index = ParamIndex<PcParams>;
  EXPECT_EQ(Index::SIZE, 1u);
  EXPECT_EQ(Index::Lookup(kDeviceAddress), 0);
  EXPECT_EQ(Index::Lookup(static_cast<ParamId>(0)), -1);
  EXPECT_EQ(Index::Lookup(static_cast<ParamId>(4)), -1);
  EXPECT_EQ(Index::Lookup(PARAM_ID_NONE), -1);
  static_assert(Index::Lookup(static_cast<ParamId>(3)) == 0, "usable at compile time");
  static_assert(std::is_same<PcDeviceAddressParam::DataT, uint8_t>::value, "address is a byte");
}

TEST(HostParamMap, ChangesAreRefusedUnlessForced) {
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(7, false), ParamStatus::REJECTED);
  EXPECT_EQ(HostAddress(), 15);
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(15, false), ParamStatus::REJECTED);

  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(7, true), ParamStatus::SUCCESS);
  EXPECT_EQ(HostAddress(), 7);
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(15, true), ParamStatus::SUCCESS);
  EXPECT_EQ(HostAddress(), 15);
}

TEST(HostParamMap, RegisterCallbackForUnknownIdChangesNothing) {
  ParamCallback reject_all(&ParamCallback::Wrapper<uint8_t, &CountingCheck>, nullptr);
  EXPECT_FALSE(PcParamMap::RegisterCallback(static_cast<ParamId>(4), reject_all));
  EXPECT_FALSE(PcParamMap::RegisterCallback(PARAM_ID_NONE, reject_all));
  g_calls = 0;
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(0x42, false), ParamStatus::REJECTED);
  EXPECT_EQ(g_calls, 0);  // the installed address callback is still the one in force
  EXPECT_EQ(HostAddress(), 15);
}

TEST(HostParamMap, CallbackDecidesThenStartUpCallbackIsRestored) {
  g_calls = 0;
  ASSERT_TRUE(PcParamMap::RegisterCallback(
      kDeviceAddress, ParamCallback(&ParamCallback::Wrapper<uint8_t, &CountingCheck>, nullptr)));
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(9, false), ParamStatus::FAILED);
  EXPECT_EQ(HostAddress(), 15);
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(0x42, false), ParamStatus::SUCCESS);
  EXPECT_EQ(HostAddress(), 0x42);
  EXPECT_EQ(g_calls, 2);

  // A null callback accepts everything.
  ASSERT_TRUE(PcParamMap::RegisterCallback(kDeviceAddress, ParamCallback()));
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(15, false), ParamStatus::SUCCESS);
  EXPECT_EQ(HostAddress(), 15);

  // The context reaches the function.
  static int seen = -1;
  ASSERT_TRUE(PcParamMap::RegisterCallback(kDeviceAddress, ParamCallback(&SeeContext, &seen)));
  EXPECT_EQ(PcParamMap::Set<PcDeviceAddressParam>(3, false), ParamStatus::REJECTED);
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(HostAddress(), 15);

  // Back to a callback that refuses every change, as after start-up.
  ASSERT_TRUE(PcParamMap::RegisterCallback(
      kDeviceAddress, ParamCallback(&ParamCallback::Wrapper<uint8_t, &RejectAll>, nullptr)));
}

TEST(ParamCallbackTest, DefaultAndWrapper) {
  UnsizedParamElement<4> v;
  v.data[0] = 0x42;
  v.data[1] = 0x99;  // ignored by a uint8_t check
  ParamCallback none;
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none(v), ParamStatus::SUCCESS);
  EXPECT_EQ(ParamCallback()(UnsizedParamElement<4>{}), ParamStatus::SUCCESS);

  ParamCallback check(&ParamCallback::Wrapper<uint8_t, &CountingCheck>, nullptr);
  EXPECT_TRUE(check.IsValid());
  EXPECT_EQ(check(v), ParamStatus::SUCCESS);
  v.data[0] = 0x43;
  EXPECT_EQ(check(v), ParamStatus::FAILED);
}

TEST(HostParamMap, ConcurrentReadsSeeFifteen) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 10000; ++i) wrong[t] += HostAddress() != 15;
    });
  }
  for (auto& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

}  // namespace
