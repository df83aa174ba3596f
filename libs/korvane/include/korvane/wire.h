#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Field primitives of the message codecs: copy one integer, float or enumeration to or from its
// little-endian wire bytes and return the advanced pointer. No length checks: the caller
// guarantees the room.

namespace wire_detail {

template <size_t N> struct UintOfSize;
template <> struct UintOfSize<1> { using type = uint8_t; };
template <> struct UintOfSize<2> { using type = uint16_t; };
template <> struct UintOfSize<4> { using type = uint32_t; };
template <> struct UintOfSize<8> { using type = uint64_t; };

template <typename T>
constexpr bool IsWireField = std::is_arithmetic<T>::value || std::is_enum<T>::value;

}  // namespace wire_detail

template <typename T, std::enable_if_t<wire_detail::IsWireField<T>, int> = 0>
inline uint8_t* serialize(const T& value, uint8_t* out) {
  using U = typename wire_detail::UintOfSize<sizeof(T)>::type;
  U bits;
  std::memcpy(&bits, &value, sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  return out + sizeof(T);
}

template <typename T, std::enable_if_t<wire_detail::IsWireField<T>, int> = 0>
inline const uint8_t* deserialize(const uint8_t* in, T* value) {
  using U = typename wire_detail::UintOfSize<sizeof(T)>::type;
  U bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    bits = static_cast<U>(bits | static_cast<U>(static_cast<U>(in[i]) << (8 * i)));
  }
  std::memcpy(value, &bits, sizeof(T));
  return in + sizeof(T);
}
