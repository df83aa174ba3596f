// Arbitrary bytes through a SlipReader into a MessageRouter whose callbacks decode the record of
// their channel, as the application's listeners do: no crash, no sanitizer report, no growth.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "korvane/messages.h"
#include "kovra/message_router.h"
#include "kovra/slip.h"

namespace {

template <typename T>
MessageRouter::Callback Decoder() {
  return [](const PacketHeader&, const std::vector<uint8_t>& data) {
    if (data.size() != 50) abort();
    T record;
    if (deserialize(data.data(), &record) > data.data() + data.size()) abort();
  };
}

MessageRouter& Router() {
  static MessageRouter* router = [] {
    auto* r = new MessageRouter;
    r->AddCallback(ChannelDescriptor::LOG_MESSAGE, Decoder<LogMessage>())
        .AddCallback(ChannelDescriptor::RX_ADC_VALUES, Decoder<RxAdcValues>())
        .AddCallback(ChannelDescriptor::TX_ADC_VALUES, Decoder<TxAdcValues>())
        .AddCallback(ChannelDescriptor::PARAMETER_REQUEST, Decoder<Parameter>())
        .AddCallback(ChannelDescriptor::PARAMETER_RESPONSE, Decoder<Parameter>())
        .AddCallback(ChannelDescriptor::OTA_DATA, Decoder<OtaDataPacket>())
        .AddCallback(ChannelDescriptor::OTA_CONTROL, Decoder<OtaControlPacket>());
    return r;
  }();
  return *router;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MessageRouter& router = Router();
  router.Flush();
  SlipReader reader(router);
  for (size_t i = 0; i < size; ++i) {
    reader.Write(data[i]);
    if (router.Buffered() > MessageRouter::kMaxBody + 1) abort();
  }
  return 0;
}
