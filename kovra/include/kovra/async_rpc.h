#pragma once
// The parameter request queue: every parameter request of the program goes through one AsyncRpc,
// whose worker thread sends one request at a time on channel 7 (up to 10 sends, 100 ms apart)
// and hands the caller's future the answer that arrives on channel 8.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "korvane/packet_header.h"
#include "kovra/log.h"

// Order of waiting requests: the higher value is taken first.
enum Priority : uint32_t {
  PRIORITY_REQUEST = 1,  // every parameter request
  PRIORITY_STOP = 5,     // the stop request, taken before any waiting request
};

// A parameter request that went unanswered through all its sends.
class RequestTimedOut : public std::runtime_error {
 public:
  RequestTimedOut() : std::runtime_error("Parameter request timed out") {}
};

template <typename Request, typename Response>
class RpcRequest;

// One parameter request: the record, its destination and the caller's promise. The worker
// holds mutex while it sends and releases it only inside the waits; ValidateResponse takes it,
// so the choice between "answered" and "timed out" is made exactly once.
template <>
class RpcRequest<Parameter, Parameter> {
 public:
  static constexpr uint64_t kTimeoutMs = 100;  // longest wait after each send
  static constexpr uint64_t kMaxSends = 10;

  RpcRequest(Address address, const Parameter& request, Priority priority);
  RpcRequest(Address address, std::unique_ptr<Parameter> request, Priority priority);
  // The stop request: no record, no address.
  explicit RpcRequest(Priority priority);
  RpcRequest(const RpcRequest&) = delete;
  RpcRequest& operator=(const RpcRequest&) = delete;

  // The caller's future; taken once.
  std::future<Parameter> GetFuture();
  // True for the stop request.
  bool Empty() const { return !request; }
  Priority GetPriority() const { return priority; }
  Address GetAddress() const { return address; }
  // The record to send; null for the stop request.
  const Parameter* Request() const { return request.get(); }

  // Sends the record to its address and waits for the answer, up to kMaxSends sends. Returns
  // once answered; throws RequestTimedOut ("Parameter request timed out") after the last send.
  template <typename Sink>
  void SendRequest(Sink& sink);

  // Offers a record that arrived from the device at source. Taken only when the request has
  // been sent at least once, is still open, was sent to source, and the command and id match;
  // then the promise is fulfilled and the sender woken. Returns whether it was taken.
  bool ValidateResponse(Address source, const Parameter& response);

  // Fails the caller's future with the exception. Throws std::future_error when the promise
  // was satisfied already.
  void SetException(std::exception_ptr error);

 private:
  friend class AsyncRpc;

  uint64_t timeout = kTimeoutMs;
  std::unique_ptr<Parameter> request;
  std::promise<Parameter> promise;
  std::mutex mutex;
  std::condition_variable cv;
  bool responded = false;
  Priority priority;
  Address address = static_cast<Address>(0);
  bool sent = false;       // at least one send went out: earlier records cannot be answers
  bool finished = false;   // failed: no answer is taken any more
  uint64_t sequence = 0;   // submission order, set by the queue
};

template <typename Sink>
void RpcRequest<Parameter, Parameter>::SendRequest(Sink& sink) {
  auto log = kovra::GetLog();
  std::unique_lock<std::mutex> lock(mutex);
  try {
    if (!request) throw std::logic_error("The stop request cannot be sent");
    log->debug("Sending request {}", *request);
    uint64_t tries = 0;
    for (;;) {
      sink.template SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(address, *request);
      sent = true;
      ++tries;
      log->debug("Sending request try {}", tries);
      if (tries > kMaxSends - 1) {
        log->error("No response after {} requests", tries);
        finished = true;
        throw RequestTimedOut();
      }
      if (cv.wait_for(lock, std::chrono::milliseconds(timeout), [this] { return responded; }))
        return;
    }
  } catch (...) {
    // A request that failed takes no late answer.
    finished = true;
    throw;
  }
}

// Waits for the answer behind a future from AsyncRpc::SubmitRequest and returns it. A failure
// is thrown as a copy made on the calling thread (RequestTimedOut, std::runtime_error and
// std::future_error keep their type and text): the exception stored by the worker is read only
// while this thread still holds the future's shared state, so its release on another thread is
// ordered after the read.
Parameter AwaitResponse(std::future<Parameter> future);

// The request engine shared by all parameter services. Requests are taken in the order they
// were submitted; the stop request goes before any that wait.
class AsyncRpc {
 public:
  using Request = RpcRequest<Parameter, Parameter>;

  // Takes the sink that every request goes out through; the worker is not started.
  explicit AsyncRpc(std::unique_ptr<PacketSink>&& sink);
  // Stops the worker; requests still waiting fail with a broken promise.
  ~AsyncRpc();
  AsyncRpc(const AsyncRpc&) = delete;
  AsyncRpc& operator=(const AsyncRpc&) = delete;

  // Starts the worker thread unless it runs already.
  void Start();
  // Queues a request for the device at address and returns the caller's future at once.
  std::future<Parameter> SubmitRequest(Address address, const Parameter& request,
                                       Priority priority);
  // Queues a request and wakes the worker. After Stop (and before a new Start) the request
  // fails at once with a broken promise instead of waiting for a worker that will not come.
  void Enqueue_(std::shared_ptr<Request> request);
  // Called on the I/O thread with every parameter answer, and the device it came from. Offered
  // to the request in flight; dropped when there is none or the worker does not run.
  void ParameterResponseCallback(Address source, const Parameter& response);
  // Ends the worker (the stop request goes before any waiting request) and waits for it; the
  // requests that were still waiting fail with a broken promise. Does nothing when not started.
  void Stop();

  // True while the worker runs.
  bool Running() const { return running; }

 private:
  struct Order {
    bool operator()(const std::shared_ptr<Request>& a, const std::shared_ptr<Request>& b) const;
  };

  void Run_();

  std::unique_ptr<PacketSink> sink;
  bool pending = false;
  std::priority_queue<std::shared_ptr<Request>, std::vector<std::shared_ptr<Request>>, Order>
      queue;
  std::shared_ptr<Request> current;
  std::mutex mutex;
  std::condition_variable cv;
  std::future<void> worker;
  std::atomic<bool> running{false};

  uint64_t next_sequence_ = 0;  // guarded by mutex
  bool stopped_ = false;        // guarded by mutex: Stop ran, no Start since
  std::mutex control_mutex_;    // serialises Start and Stop
};
