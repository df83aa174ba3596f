#include "packet_listeners.h"

#include <cstring>
#include <map>
#include <string>

#include "device_text.h"
#include "kovra/message_router.h"
#include "kovra/parameter_service.h"
#include "main_window.h"

namespace {

const std::map<Address, std::string>& AddressMap() {
  static const std::map<Address, std::string> names = {
      {TX, "TX"}, {RX, "RX"}, {RX_2, "RX_2"}, {RX_3, "RX_3"}, {PC, "PC"}};
  return names;
}

// The text of a log record: up to its first NUL, at most its 40 bytes.
std::string LogText(const LogMessage& message) {
  const size_t size = sizeof(message.text);
  const void* nul = std::memchr(message.text, '\0', size);
  const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - message.text)
                            : size;
  return std::string(message.text, length);
}

const char* CommandField(ParamCmd command) {
  switch (command) {
    case 0:
      return "GET_NUM_PARAMETERS ";
    case 1:
      return "  GET_PARAMETER_ID ";
    case 2:
      return "     GET_PARAMETER ";
    case 3:
      return "     SET_PARAMETER ";
    default:
      return "";
  }
}

const char* StatusText(ParamStatus status) {
  switch (static_cast<uint8_t>(status)) {
    case 0:
      return " -- FAILED";
    case 5:
      return " -- Success";
    default:
      return " -- *** UNKNOWN ***";
  }
}

constexpr size_t WireSize(const TxAdcValues*) { return kTxAdcValuesWireSize; }
constexpr size_t WireSize(const RxAdcValues*) { return kRxAdcValuesWireSize; }

}  // namespace

void LogListener::operator()(const PacketHeader& header, const std::vector<uint8_t>& payload) {
  LogMessage message;
  if (payload.size() < kLogMessageWireSize) return;
  deserialize(payload.data(), &message);
  const Address source = header.GetSource();
  const auto it = AddressMap().find(source);
  const std::string name = it == AddressMap().end() ? std::string() : it->second;
  const std::string text = LogText(message);
  const std::string line = fmt::format("[{}] {}", name, text);
  // The window cleans the text of the pane's lines; the console-only lines are cleaned here.
  switch (message.level) {
    case 0:
      // Cleaned only when it is printed: a flood of debug lines costs the I/O thread little.
      if (kovra::GetLog()->should_log(spdlog::level::debug)) {
        kovra::GetLog()->debug(CleanLine(line).console);
      }
      break;
    case 1:
      window_.Log(line);
      break;
    case 2:
      window_.LogWarn(line);
      break;
    case 3:
      window_.LogError(line);
      break;
    default:
      kovra::GetLog()->error("UNKNOWN LOG LEVEL, {}: {}", source, CleanLine(text).console);
      break;
  }
}

void ParameterListener::operator()(const PacketHeader& header,
                                   const std::vector<uint8_t>& payload) {
  (void)window_;
  if (payload.size() < kParameterWireSize) return;
  Parameter p;
  deserialize(payload.data(), &p);
  kovra::GetLog()->debug("Parameter Response {} --> {}:{}'{}' Value: {}{}", header.GetSource(),
                         header.GetDestination(), CommandField(p.command),
                         ParameterService::GetParameterName(p.id),
                         static_cast<int32_t>(p.value), StatusText(p.status));
}

template <typename T>
void AdcListener<T>::operator()(const PacketHeader& /*header*/,
                                const std::vector<uint8_t>& payload) {
  T record;
  if (payload.size() < WireSize(static_cast<const T*>(nullptr))) return;
  deserialize(payload.data(), &record);
  kovra::GetLog()->debug("{}", record);
  window_.SetAdcValues(record);
}

template class AdcListener<TxAdcValues>;
template class AdcListener<RxAdcValues>;

void AddWindowListeners(MessageRouter& router, MainWindow& window) {
  router.AddCallback(ChannelDescriptor::TX_ADC_VALUES, AdcListener<TxAdcValues>(window))
      .AddCallback(ChannelDescriptor::RX_ADC_VALUES, AdcListener<RxAdcValues>(window))
      .AddCallback(ChannelDescriptor::LOG_MESSAGE, LogListener(window))
      .AddCallback(ChannelDescriptor::PARAMETER_RESPONSE, ParameterListener(window));
}
