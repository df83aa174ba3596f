#include "kovra/async_rpc.h"

#include <utility>

RpcRequest<Parameter, Parameter>::RpcRequest(Address address, const Parameter& request,
                                             Priority priority)
    : request(std::make_unique<Parameter>(request)), priority(priority), address(address) {}

RpcRequest<Parameter, Parameter>::RpcRequest(Address address, std::unique_ptr<Parameter> request,
                                             Priority priority)
    : request(std::move(request)), priority(priority), address(address) {}

RpcRequest<Parameter, Parameter>::RpcRequest(Priority priority) : priority(priority) {}

std::future<Parameter> RpcRequest<Parameter, Parameter>::GetFuture() {
  return promise.get_future();
}

bool RpcRequest<Parameter, Parameter>::ValidateResponse(Address source,
                                                        const Parameter& response) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!request || !sent || responded || finished) return false;
  // Only the device the request went to can answer it.
  if (source != address) return false;
  if (response.command != request->command || response.id != request->id) return false;
  promise.set_value(response);
  kovra::GetLog()->debug("Got response {}", response);
  responded = true;
  cv.notify_all();
  return true;
}

void RpcRequest<Parameter, Parameter>::SetException(std::exception_ptr error) {
  promise.set_exception(std::move(error));
}

Parameter AwaitResponse(std::future<Parameter> future) {
  const std::shared_future<Parameter> shared = future.share();
  try {
    return shared.get();
  } catch (const std::future_error& e) {
    throw std::future_error(static_cast<std::future_errc>(e.code().value()));
  } catch (const RequestTimedOut&) {
    throw RequestTimedOut();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

bool AsyncRpc::Order::operator()(const std::shared_ptr<Request>& a,
                                 const std::shared_ptr<Request>& b) const {
  // True when a is taken after b.
  if (a->priority != b->priority) return a->priority < b->priority;
  return a->sequence > b->sequence;
}

AsyncRpc::AsyncRpc(std::unique_ptr<PacketSink>&& sink) : sink(std::move(sink)) {}

AsyncRpc::~AsyncRpc() { Stop(); }

void AsyncRpc::Start() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (worker.valid()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopped_ = false;
  }
  worker = std::async(std::launch::async, [this] { Run_(); });
}

std::future<Parameter> AsyncRpc::SubmitRequest(Address address, const Parameter& request,
                                               Priority priority) {
  auto rpc = std::make_shared<Request>(address, request, priority);
  std::future<Parameter> future = rpc->GetFuture();
  Enqueue_(std::move(rpc));
  return future;
}

void AsyncRpc::Enqueue_(std::shared_ptr<Request> request) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopped_ || request->Empty()) {
      request->sequence = next_sequence_++;
      queue.push(std::move(request));
      pending = true;
    }
  }
  // A refused request is released here, outside the lock: its caller gets a broken promise.
  request.reset();
  cv.notify_one();
}

void AsyncRpc::ParameterResponseCallback(Address source, const Parameter& response) {
  if (!running) return;
  std::shared_ptr<Request> in_flight;
  {
    std::lock_guard<std::mutex> lock(mutex);
    in_flight = current;
  }
  if (in_flight) in_flight->ValidateResponse(source, response);
}

void AsyncRpc::Stop() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (!worker.valid()) return;
  Enqueue_(std::make_shared<Request>(PRIORITY_STOP));
  worker.get();
  // The worker left the stop request and every request behind it in the queue. Release them
  // outside the lock, so that their callers see a broken promise now rather than at exit.
  std::vector<std::shared_ptr<Request>> left;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopped_ = true;
    while (!queue.empty()) {
      left.push_back(queue.top());
      queue.pop();
    }
    pending = false;
  }
  left.clear();
}

void AsyncRpc::Run_() {
  running = true;
  while (running) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return pending; });
    std::shared_ptr<Request> request = queue.top();
    if (request->Empty()) {
      running = false;
      break;
    }
    current = request;
    queue.pop();
    if (queue.empty()) pending = false;
    lock.unlock();

    try {
      if (!sink) throw std::runtime_error("No packet sink for parameter requests");
      request->SendRequest(*sink);
    } catch (...) {
      try {
        request->SetException(std::current_exception());
      } catch (...) {
      }
    }

    lock.lock();
    current.reset();
  }
}
