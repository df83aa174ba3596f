#include "kovra/parameter_service.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "kovra/parameters.h"

std::shared_ptr<AsyncRpc> ParameterService::rpc_;

namespace {

// Ids the window and the dialogs use before the first reload of the list.
std::vector<ParamId> SeedList(Address address) {
  std::vector<ParamId> ids;
  switch (address) {
    case TX:
      ids = {ParamId(5), ParamId(13), ParamId(34), ParamId(36), ParamId(14), ParamId(41)};
      break;
    case RX:
      ids = {ParamId(36), ParamId(34), ParamId(7),  ParamId(41), ParamId(38),
             ParamId(61), ParamId(62), ParamId(63), ParamId(68)};
      break;
    default:
      break;
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

ParameterService::ParameterListener::ParameterListener(Address address,
                                                       std::shared_ptr<AsyncRpc> rpc)
    : address(address), rpc(std::move(rpc)) {}

void ParameterService::ParameterListener::operator()(const PacketHeader& header,
                                                     const std::vector<uint8_t>& data) const {
  if (header.GetSource() != address || !rpc || data.size() < kParameterWireSize) return;
  Parameter response;
  deserialize(data.data(), &response);
  rpc->ParameterResponseCallback(header.GetSource(), response);
}

ParameterService::ParameterService(Address address, std::unique_ptr<PacketSink>&& sink,
                                   MessageRouter& router, const std::string& name)
    : address(address), name(name) {
  if (!rpc_) {
    rpc_ = std::make_shared<AsyncRpc>(std::move(sink));
    rpc_->Start();
  }
  listener = std::make_shared<ParameterListener>(address, rpc_);
  router.AddCallback(ChannelDescriptor::PARAMETER_RESPONSE, *listener);
  parameters = SeedList(address);
}

ParameterService::~ParameterService() = default;

void ParameterService::Enable(bool enable) { enabled = enable; }

bool ParameterService::Enabled() const { return enabled; }

bool ParameterService::HasParameter(ParamId id) const {
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  return std::binary_search(parameters.begin(), parameters.end(), id);
}

void ParameterService::CheckExists(ParamId id) const {
  if (!HasParameter(id)) throw std::runtime_error("Unknown parameter");
}

const std::vector<ParamId>& ParameterService::GetParameters() const { return parameters; }

std::string ParameterService::GetParameterName(ParamId id) {
  auto it = parameter_names.find(id);
  return it == parameter_names.end() ? std::string("Unknown Parameter") : it->second;
}

std::string ParameterService::Name() const { return name; }

Parameter ParameterService::Exchange_(ParamCmd command, ParamId id, uint32_t value) {
  Parameter request;
  request.command = command;
  request.status = ParamStatus::SUCCESS;
  request.id = id;
  request.value = value;
  return AwaitResponse(rpc_->SubmitRequest(address, request, PRIORITY_REQUEST));
}

Parameter ParameterService::CachedGet(ParamId id) {
  CheckExists(id);
  return Exchange_(GET_PARAMETER, id, 0);
}

bool ParameterService::Get(ParamId id, std::string* out) {
  if (!enabled) return false;
  Parameter response = CachedGet(id);
  if (response.status != ParamStatus::SUCCESS) return false;
  auto value = CreateHostParam(id);
  value->Set(static_cast<int>(response.value));
  *out = value->ToString();
  return true;
}

bool ParameterService::Set(ParamId id, const std::string& text) {
  if (!enabled) return false;
  CheckExists(id);
  auto value = CreateHostParam(id);
  value->Set(text);
  return Exchange_(SET_PARAMETER, id, value->GetRaw()).status == ParamStatus::SUCCESS;
}

bool ParameterService::Stage(ParamId id) {
  Parameter response = Exchange_(STAGE_PARAMETER, id, 0);
  return response.status == ParamStatus::SUCCESS && response.value == 0;
}

bool ParameterService::CommitStaged() {
  Parameter response = Exchange_(COMMIT_STAGED, PARAM_ID_NONE, 0);
  return response.status == ParamStatus::SUCCESS && response.value == 0;
}

void ParameterService::UpdateParametersList() {
  const uint32_t count = Exchange_(GET_NUM_PARAMETERS, PARAM_ID_NONE, 0).value;
  if (count > kMaxParameterCount)
    throw std::runtime_error(fmt::format("Implausible parameter count {}", count));
  std::vector<ParamId> ids;
  ids.reserve(count);
  for (uint32_t i = 0; i != count; ++i) {
    Parameter response =
        Exchange_(GET_PARAMETER_ID, static_cast<ParamId>(i & 0xFFFF), PARAM_ID_NONE);
    ids.push_back(static_cast<ParamId>(response.value & 0xFFFF));
  }
  std::sort(ids.begin(), ids.end());
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  parameters.swap(ids);
}
