#pragma once
// Access to the parameters of one device (transmitter or receiver) through the shared request
// queue. Keeps the device's list of parameter ids, never their values: every read asks the
// device. Every operation blocks its caller until the answer or the time-out.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "korvane/packet_header.h"
#include "korvane/param_ids.h"
#include "kovra/async_rpc.h"
#include "kovra/message_router.h"

class ParameterService {
 public:
  // Router callback on channel 8: passes the answers of the service's device to the queue.
  // Copyable; the router's copy keeps the queue alive.
  class ParameterListener {
   public:
    ParameterListener(Address address, std::shared_ptr<AsyncRpc> rpc);
    void operator()(const PacketHeader& header, const std::vector<uint8_t>& data) const;

    Address address;
    std::shared_ptr<AsyncRpc> rpc;
  };

  // The first service builds the shared queue with sink and starts it; later services leave
  // sink to the caller. Registers the service's listener with router on channel 8 (so build
  // services before the I/O thread starts) and installs the seed list of address.
  ParameterService(Address address, std::unique_ptr<PacketSink>&& sink, MessageRouter& router,
                   const std::string& name);
  ~ParameterService();
  ParameterService(const ParameterService&) = delete;
  ParameterService& operator=(const ParameterService&) = delete;

  // A disabled service refuses Get and Set at once, without sending.
  void Enable(bool enable);
  bool Enabled() const;

  bool HasParameter(ParamId id) const;
  // Throws std::runtime_error "Unknown parameter" when the id is not in the list.
  void CheckExists(ParamId id) const;
  // The sorted id list. The reference stays valid until the next UpdateParametersList; use it
  // on the thread that reloads the list.
  const std::vector<ParamId>& GetParameters() const;
  // The catalogue's display name, or "Unknown Parameter".
  static std::string GetParameterName(ParamId id);
  std::string Name() const;

  // Reads one parameter as decimal text into out. False when disabled or refused by the device
  // (out unchanged).
  bool Get(ParamId id, std::string* out);
  // Writes one parameter from decimal text. False when disabled or refused.
  bool Set(ParamId id, const std::string& text);
  // Writes one parameter from a plain value whose bytes become the raw value.
  template <ParamId ID, typename T>
  bool Set(const T& value);
  // Marks one parameter for saving; sent whether enabled or not.
  bool Stage(ParamId id);
  // Saves the staged parameters; sent whether enabled or not.
  bool CommitStaged();
  // Reloads the list from the device. On a time-out the old list stays; a count above 65536
  // throws std::runtime_error without asking for ids.
  void UpdateParametersList();

  // The queue shared by all services, made by the first one.
  static std::shared_ptr<AsyncRpc> rpc_;

  // No list of 16-bit ids can be longer.
  static constexpr uint32_t kMaxParameterCount = 65536;

 private:
  Parameter CachedGet(ParamId id);
  // Sends one record to the device and waits for its answer.
  Parameter Exchange_(ParamCmd command, ParamId id, uint32_t value);

  std::vector<ParamId> parameters;
  Address address;
  std::string name;
  std::atomic<bool> enabled{false};
  std::shared_ptr<ParameterListener> listener;
  mutable std::mutex parameters_mutex_;  // guards parameters; never held while waiting
};

template <ParamId ID, typename T>
bool ParameterService::Set(const T& value) {
  static_assert(std::is_trivially_copyable<T>::value && sizeof(T) <= 4,
                "the value must fit the 4 raw bytes");
  if (!enabled) return false;
  CheckExists(ID);
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  uint32_t raw = 0;
  for (size_t i = 0; i < sizeof(T); ++i) raw |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return Exchange_(SET_PARAMETER, ID, raw).status == ParamStatus::SUCCESS;
}
