#pragma once
// The host's own parameter map. The host is node 15 (PC) of the packet protocol and keeps its
// settings as numbered parameters like a device does; its set holds a single parameter, id 3
// "Device Address". The map is filled before main runs (15, then a callback that refuses every
// later change) and only read afterwards.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "korvane/param_ids.h"
#include "korvane/wire.h"

// A plain function with its context, called with a new raw value; its status decides whether the
// value is taken. A default callback (null function) accepts everything.
struct ParamCallback {
  using Fn = ParamStatus (*)(void* ctx, const UnsizedParamElement<4>& value);

  constexpr ParamCallback() = default;
  constexpr ParamCallback(Fn f, void* c) : fn(f), ctx(c) {}

  bool IsValid() const { return fn != nullptr; }
  ParamStatus operator()(const UnsizedParamElement<4>& value) const {
    return IsValid() ? fn(ctx, value) : ParamStatus::SUCCESS;
  }

  // Adapts a typed check F(const T&) to the untyped form: reads the first sizeof(T) bytes of the
  // value as a T. ctx is not used.
  template <typename T, ParamStatus (*F)(const T&)>
  static ParamStatus Wrapper(void* /*ctx*/, const UnsizedParamElement<4>& value) {
    static_assert(sizeof(T) <= 4, "a parameter value has at most 4 bytes");
    T typed{};
    deserialize(value.data, &typed);
    return F(typed);
  }

  Fn fn = nullptr;
  void* ctx = nullptr;
};

// Value types of the host's parameters.
struct ParamDataType {
  template <ParamId ID> struct Of;
};
template <> struct ParamDataType::Of<static_cast<ParamId>(3)> { using type = uint8_t; };

// Description of one parameter of a map: its id and value type.
template <typename Types, ParamId ID>
struct ParamBaseT {
  static constexpr ParamId Id = ID;
  using DataT = typename Types::template Of<ID>::type;
};

// The host's parameter set: the device address only.
struct PcParams {
  static constexpr ParamId ids[] = {static_cast<ParamId>(3)};
};

// Position of an id in a parameter set.
template <typename Set>
struct ParamIndex {
  static constexpr size_t SIZE = std::size(Set::ids);
  // The id's position, or -1 when the set does not hold it.
  static constexpr int Lookup(ParamId id) {
    for (size_t i = 0; i < SIZE; ++i) {
      if (Set::ids[i] == id) return static_cast<int>(i);
    }
    return -1;
  }
};

// One entry of a map: raw value and change callback.
struct ParamStorage {
  UnsizedParamElement<4> value;
  ParamCallback callback;
};

uint8_t HostAddress();

// A static parameter map over the parameter set of Index.
template <typename Index, typename Storage>
class ParamMapBaseT {
 public:
  // Stores a new value unless the entry's callback refuses it (force skips the callback).
  // Returns the callback's status, SUCCESS when forced or when no callback is installed.
  template <typename P>
  static ParamStatus Set(const typename P::DataT& value, bool force) {
    constexpr int pos = Index::Lookup(P::Id);
    static_assert(pos >= 0, "the map does not hold this parameter");
    UnsizedParamElement<4> element;
    serialize(value, element.data);
    const ParamStatus status = force ? ParamStatus::SUCCESS : storage_[pos].callback(element);
    if (status == ParamStatus::SUCCESS) storage_[pos].value = element;
    return status;
  }

  // Installs the callback of an entry; false for an id the map does not hold.
  static bool RegisterCallback(ParamId id, const ParamCallback& callback) {
    const int pos = Index::Lookup(id);
    if (pos < 0 || static_cast<size_t>(pos) >= Index::SIZE) return false;
    storage_[pos].callback = callback;
    return true;
  }

  // Raw value of an entry (all zero for an id the map does not hold).
  static UnsizedParamElement<4> GetRaw(ParamId id) {
    const int pos = Index::Lookup(id);
    if (pos < 0) return {};
    return storage_[pos].value;
  }

 private:
  friend uint8_t HostAddress();
  static Storage storage_[Index::SIZE];
};

using PcParamMap = ParamMapBaseT<ParamIndex<PcParams>, ParamStorage>;
using PcDeviceAddressParam = ParamBaseT<ParamDataType, static_cast<ParamId>(3)>;

// Defined (constant-initialised to zero) in param_map.cpp, next to the start-up object that fills
// it, so that every user of the map links that object in.
template <>
ParamStorage PcParamMap::storage_[ParamIndex<PcParams>::SIZE];

// The host's own address: byte 0 of the raw value of entry 3 (15 from start-up on).
inline uint8_t HostAddress() {
  constexpr int pos = ParamIndex<PcParams>::Lookup(static_cast<ParamId>(3));
  return PcParamMap::storage_[pos].value.data[0];
}
