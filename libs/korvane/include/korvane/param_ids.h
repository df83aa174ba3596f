#pragma once
#include <cstddef>
#include <cstdint>

// Number of a device parameter. The catalogue holds the ids 0 to 76; PARAM_ID_NONE names no
// parameter (the id of requests that address no single parameter).
enum ParamId : uint16_t {
  PARAM_ID_NONE = 0xFFFE,
};

// Command of a Parameter record; a response carries the command of its request.
enum ParamCmd : uint8_t {
  GET_NUM_PARAMETERS = 0,
  GET_PARAMETER_ID = 1,
  GET_PARAMETER = 2,
  SET_PARAMETER = 3,
  STAGE_PARAMETER = 4,
  COMMIT_STAGED = 5,
};

// Status of a Parameter record and result of a write into the host's own parameter map. Any
// value other than SUCCESS counts as a failure.
enum class ParamStatus : uint8_t {
  FAILED = 0,
  REJECTED = 4,
  SUCCESS = 5,
};

// N raw value bytes, all zero when constructed. A value of type T occupies the first sizeof(T)
// bytes, little-endian.
template <size_t N>
struct UnsizedParamElement {
  uint8_t data[N] = {};
};
