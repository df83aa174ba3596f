#include "kovra/parameters.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "korvane/wire.h"

namespace {

enum class ValueType { U8, U16, U32, I32, I16, F32 };

struct CatalogueEntry {
  const char* name;
  ValueType type;
};

// Indexed by ParamId.
constexpr CatalogueEntry kCatalogue[] = {
    {"Example ID 1", ValueType::U8},                                                    // 0
    {"Example ID 2", ValueType::U16},                                                   // 1
    {"Example ID 3", ValueType::I32},                                                   // 2
    {"Device Address", ValueType::U8},                                                  // 3
    {"Radio Channel", ValueType::U8},                                                   // 4
    {"Manual Mode", ValueType::U8},                                                     // 5
    {"Dropped Packets", ValueType::U8},                                                 // 6
    {"Target Control", ValueType::U32},                                                 // 7
    {"Gate Driver Pot", ValueType::U16},                                                // 8
    {"Power Amplifier Pot", ValueType::U16},                                            // 9
    {"DDS Pot", ValueType::U16},                                                        // 10
    {"VICOR Enable", ValueType::U8},                                                    // 11
    {"Gate Driver Enable", ValueType::U8},                                              // 12
    {"Enable VICOR and Gate Driver ", ValueType::U8},                                   // 13
    {"Software Board Reset", ValueType::U8},                                            // 14
    {"DDS Frequency", ValueType::F32},                                                  // 15
    {"Z-Match Enable", ValueType::U8},                                                  // 16
    {"Z-Match FET 1", ValueType::U8},                                                   // 17
    {"Z-Match FET 2", ValueType::U8},                                                   // 18
    {"Z-Match FET 3", ValueType::U8},                                                   // 19
    {"Z-Match FET 4", ValueType::U8},                                                   // 20
    {"Fan 1 Enable", ValueType::U8},                                                    // 21
    {"Fan 2 Enable", ValueType::U8},                                                    // 22
    {"Power Level", ValueType::U16},                                                    // 23
    {"TX Target V Rectified (mV)", ValueType::U16},                                     // 24
    {"TX Target V Rectified Tolerace (mV)", ValueType::U16},                            // 25
    {"Digital Board Version", ValueType::U8},                                           // 26
    {"RX Battery Connect", ValueType::U8},                                              // 27
    {"RX Battery Charger Enable", ValueType::U8},                                       // 28
    {"RX Z-Match FET In 1", ValueType::U8},                                             // 29
    {"RX Z-Match FET In 2", ValueType::U8},                                             // 30
    {"RX Z-Match FET Out 1", ValueType::U8},                                            // 31
    {"RX Z-Match FET Out 2", ValueType::U8},                                            // 32
    {"RX Fan Enable", ValueType::U8},                                                   // 33
    {"Mobile Rx Maximum Current (mA)", ValueType::U16},                                 // 34
    {"Mobile Rx Current Limit (mA)", ValueType::U16},                                   // 35
    {"Mobile Rx Voltage Limit (mV)", ValueType::U16},                                   // 36
    {"RX Battery Minimum Voltage (mV)", ValueType::U16},                                // 37
    {"Firmware Build Hash", ValueType::U32},                                            // 38
    {"Target Firmware Id", ValueType::U32},                                             // 39
    {"TX Plvl Min (Minimum PLVL value, maximum POWER ALLOWED)", ValueType::U8},         // 40
    {"Enable OTA Mode", ValueType::U32},                                                // 41
    {"RX Battery Voltage", ValueType::U32},                                             // 42
    {"RX Battery Current", ValueType::U32},                                             // 43
    {"RX Temperature", ValueType::U32},                                                 // 44
    {"Ethernet IP Address", ValueType::U32},                                            // 45
    {"Ethernet Subnet Mask", ValueType::U32},                                           // 46
    {"Ethernet Default Gateway", ValueType::U32},                                       // 47
    {"Etherent DNS Server", ValueType::U32},                                            // 48
    {"Ethernet uses DHCP", ValueType::U8},                                              // 49
    {"Ethernet uses link local addressing if DHCP fails", ValueType::U8},               // 50
    {"Ethernet MAC Organizationally Unique Identifier", ValueType::U32},                 // 51
    {"Ethernet MAC Individual Address", ValueType::U32},                                // 52
    {"Ethernet TCP Server Port", ValueType::U16},                                       // 53
    {"Ethernet MTU", ValueType::U32},                                                   // 54
    {"Ethernet responds to ping", ValueType::U8},                                       // 55
    {"Ethernet TCP TTL", ValueType::U8},                                                // 56
    {"Ethernet UDP TTL", ValueType::U8},                                                // 57
    {"Ethernet uses DNS", ValueType::U8},                                               // 58
    {"Ethernet sends TCP KeepAlive", ValueType::U8},                                    // 59
    {"Enable Charging for Device", ValueType::U8},                                      // 60
    {"I2C Address", ValueType::U8},                                                     // 61
    {"Number of Battery Cells", ValueType::U8},                                         // 62
    {"Volts Per Battery Cell", ValueType::U16},                                         // 63
    {"TX Wireless Power Limit", ValueType::U16},                                        // 64
    {"TX Wireless Power Loss Limit", ValueType::U16},                                   // 65
    {"Maximum amount of time to charge a battery in seconds", ValueType::U32},          // 66
    {"Enable logging to storage", ValueType::U8},                                       // 67
    {"Battery Chemistry", ValueType::U8},                                               // 68
    {"Inverse gain for battery current tracking under wireless power", ValueType::U16}, // 69
    {"Ignore under or overvoltage conditions on battery charger output", ValueType::U8}, // 70
    {"Power Board Version", ValueType::U8},                                             // 71
    {"Duty Cycle Mux Setting", ValueType::U8},                                          // 72
    {"12v Auxillary LED Power Supply", ValueType::U8},                                  // 73
    {"Modify Power Level", ValueType::I16},                                             // 74
    {"Mode for updating another device", ValueType::U8},                                // 75
    {"Log Radio Debug Info", ValueType::U8},                                            // 76
};
constexpr size_t kCatalogueSize = sizeof(kCatalogue) / sizeof(kCatalogue[0]);
static_assert(kCatalogueSize == 77, "the catalogue holds the ids 0 to 76");

std::map<ParamId, std::string> BuildNames() {
  std::map<ParamId, std::string> names;
  for (size_t id = 0; id < kCatalogueSize; ++id) {
    names.emplace(static_cast<ParamId>(id), kCatalogue[id].name);
  }
  return names;
}

[[noreturn]] void Unimplemented() { throw std::runtime_error("Unimplemented"); }

}  // namespace

const std::map<ParamId, std::string> parameter_names = BuildNames();

// ---- text conversion -------------------------------------------------------------------------

template <typename T>
std::string ValueToString(const T& value) {
  std::ostringstream os;
  if constexpr (std::is_same<T, uint8_t>::value) {
    os << static_cast<unsigned int>(value);
  } else {
    os << value;
  }
  return os.str();
}

template <typename T>
void ValueFromString(const std::string& text, T* value) {
  std::istringstream is(text);
  if constexpr (std::is_same<T, uint8_t>::value) {
    unsigned int wide = 0;
    is >> wide;
    *value = static_cast<uint8_t>(wide);
  } else {
    // Stays 0 when the text holds no number (extraction may leave it untouched at end of text).
    T parsed{};
    is >> parsed;
    *value = parsed;
  }
}

template std::string ValueToString<uint8_t>(const uint8_t&);
template std::string ValueToString<uint16_t>(const uint16_t&);
template std::string ValueToString<int16_t>(const int16_t&);
template std::string ValueToString<uint32_t>(const uint32_t&);
template std::string ValueToString<int32_t>(const int32_t&);
template std::string ValueToString<float>(const float&);
template void ValueFromString<uint8_t>(const std::string&, uint8_t*);
template void ValueFromString<uint16_t>(const std::string&, uint16_t*);
template void ValueFromString<int16_t>(const std::string&, int16_t*);
template void ValueFromString<uint32_t>(const std::string&, uint32_t*);
template void ValueFromString<int32_t>(const std::string&, int32_t*);
template void ValueFromString<float>(const std::string&, float*);

// ---- HostParam -------------------------------------------------------------------------------

uint32_t HostParam::GetRaw() const {
  uint32_t raw = 0;
  deserialize(value_.data, &raw);
  return raw;
}

void HostParam::Set(int v) { serialize(static_cast<int32_t>(v), value_.data); }

uint8_t HostParam::GetImpl(uint8_t*) { Unimplemented(); }
int8_t HostParam::GetImpl(int8_t*) { Unimplemented(); }
uint16_t HostParam::GetImpl(uint16_t*) { Unimplemented(); }
int16_t HostParam::GetImpl(int16_t*) { Unimplemented(); }
uint32_t HostParam::GetImpl(uint32_t*) { Unimplemented(); }
int32_t HostParam::GetImpl(int32_t*) { Unimplemented(); }
float HostParam::GetImpl(float*) { Unimplemented(); }

template <typename T>
T HostParamImpl<T>::Value() const {
  T v{};
  deserialize(value_.data, &v);
  return v;
}

template <typename T>
void HostParamImpl<T>::Set(const std::string& text) {
  T v{};
  ValueFromString(text, &v);
  serialize(v, value_.data);
}

template <typename T>
void HostParamImpl<T>::Set(const UnsizedParamElement<4>& raw) {
  value_ = raw;
}

template <typename T>
std::string HostParamImpl<T>::ToString() const {
  return ValueToString(Value());
}

template <typename T>
T HostParamImpl<T>::GetImpl(T*) {
  return Value();
}

template class HostParamImpl<uint8_t>;
template class HostParamImpl<uint16_t>;
template class HostParamImpl<int16_t>;
template class HostParamImpl<uint32_t>;
template class HostParamImpl<int32_t>;
template class HostParamImpl<float>;

std::shared_ptr<HostParam> CreateHostParam(ParamId id) {
  if (static_cast<size_t>(id) >= kCatalogueSize) {
    throw std::runtime_error("Unknown parameter...maybe add it to parameter_service?");
  }
  switch (kCatalogue[id].type) {
    case ValueType::U8: return std::make_shared<HostParamImpl<uint8_t>>();
    case ValueType::U16: return std::make_shared<HostParamImpl<uint16_t>>();
    case ValueType::U32: return std::make_shared<HostParamImpl<uint32_t>>();
    case ValueType::I32: return std::make_shared<HostParamImpl<int32_t>>();
    case ValueType::I16: return std::make_shared<HostParamImpl<int16_t>>();
    case ValueType::F32: return std::make_shared<HostParamImpl<float>>();
  }
  throw std::runtime_error("Unknown parameter...maybe add it to parameter_service?");
}
