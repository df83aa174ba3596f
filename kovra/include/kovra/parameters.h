#pragma once
// Parameter catalogue (display names and value types of the 77 device parameters) and the typed
// values that turn a parameter's raw 4-byte value into decimal text and back.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "korvane/param_ids.h"

// Display names of the catalogue's ids, 0 to 76. Built during static initialisation, read-only
// afterwards.
extern const std::map<ParamId, std::string> parameter_names;

// The value as text, with the stream's default formatting (uint8_t as a number, float with six
// significant digits).
template <typename T>
std::string ValueToString(const T& value);

// Formatted extraction of a T from the text: leading blanks skipped, the rest after the number
// ignored, 0 when the text holds no number. uint8_t is read as unsigned int and keeps its low
// 8 bits. No error is reported.
template <typename T>
void ValueFromString(const std::string& text, T* value);

// Typed view of one parameter's raw value. Created only by CreateHostParam, inside a shared_ptr
// made for the concrete HostParamImpl<T>, which destroys it as that type; the destructor is
// protected so that no one deletes it through the base.
class HostParam {
 public:
  HostParam(const HostParam&) = default;
  HostParam& operator=(const HostParam&) = default;

  // The 4 raw bytes as a little-endian u32.
  uint32_t GetRaw() const;
  // Stores the 4 bytes of v as the raw value.
  void Set(int v);

  // Parses text into the value.
  virtual void Set(const std::string& text) = 0;
  // Takes 4 raw bytes.
  virtual void Set(const UnsizedParamElement<4>& raw) = 0;
  // The value as text.
  virtual std::string ToString() const = 0;

  // The value as the pointed-to type; the pointer only selects the type and is not written.
  // Only the object's own type is implemented; the others throw "Unimplemented".
  virtual uint8_t GetImpl(uint8_t*);
  virtual int8_t GetImpl(int8_t*);
  virtual uint16_t GetImpl(uint16_t*);
  virtual int16_t GetImpl(int16_t*);
  virtual uint32_t GetImpl(uint32_t*);
  virtual int32_t GetImpl(int32_t*);
  virtual float GetImpl(float*);

  // Typed read: Get<uint16_t>() and so on.
  template <typename T>
  T Get() {
    return GetImpl(static_cast<T*>(nullptr));
  }

 protected:
  HostParam() = default;
  ~HostParam() = default;

  UnsizedParamElement<4> value_;
};

// Typed value of T, one of uint8_t, uint16_t, int32_t, uint32_t, float, int16_t.
template <typename T>
class HostParamImpl final : public HostParam {
 public:
  using HostParam::Set;

  // Stores the parsed T in the first sizeof(T) raw bytes; the other bytes keep their value.
  void Set(const std::string& text) override;
  void Set(const UnsizedParamElement<4>& raw) override;
  // The first sizeof(T) raw bytes read as a T.
  std::string ToString() const override;
  T GetImpl(T*) override;
  using HostParam::GetImpl;

 private:
  T Value() const;
};

extern template class HostParamImpl<uint8_t>;
extern template class HostParamImpl<uint16_t>;
extern template class HostParamImpl<int16_t>;
extern template class HostParamImpl<uint32_t>;
extern template class HostParamImpl<int32_t>;
extern template class HostParamImpl<float>;

// A new typed value of the id's catalogue type, raw value 0. Throws std::runtime_error
// "Unknown parameter...maybe add it to parameter_service?" for an id outside the catalogue.
std::shared_ptr<HostParam> CreateHostParam(ParamId id);
