#include "kovra/param_map.h"

#include "korvane/packet_header.h"

// Zero value and null callback, set at constant initialisation, before any dynamic initialiser
// of any unit runs.
template <>
ParamStorage PcParamMap::storage_[ParamIndex<PcParams>::SIZE] = {};

namespace {

// The host's address is fixed for the whole run.
ParamStatus AddressCallback(const uint8_t& /*value*/) { return ParamStatus::REJECTED; }

// Fills the map before main: address 15, then the callback that refuses every later change.
struct PreInit {
  PreInit() {
    PcParamMap::Set<PcDeviceAddressParam>(static_cast<uint8_t>(PC), false);
    PcParamMap::RegisterCallback(
        static_cast<ParamId>(3),
        ParamCallback(&ParamCallback::Wrapper<uint8_t, &AddressCallback>, nullptr));
  }
};

// storage_ is constant-initialised only while its entries are constexpr-constructible.
static_assert(ParamStorage{}.callback.fn == nullptr, "ParamStorage must be constexpr");

PreInit s_preinit;

}  // namespace
