#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "korvane/packet_comms.h"

class SerialWorker;
class TcpWorker;

// Packet sinks of the two transports. A sink gathers the bytes of one frame and, at Sync, hands
// them to its worker as one write request (the worker copies them, so the sink may refill at
// once). A run of 128 bytes without a Sync leaves as a request of its own; a frame is at most
// 113 bytes, so one frame is always one request. A sink has no lock: one owner uses it, from one
// thread at a time. The worker must outlive the sink.

template <typename Worker>
class WorkerSink : public PacketSink {
 public:
  static constexpr size_t kCapacity = 128;

  explicit WorkerSink(Worker& worker) : buffer_(kCapacity, 0), worker_(&worker) {}

  bool Write(uint8_t b) override {  // always true
    buffer_[count_++] = b;
    if (count_ >= capacity_) Sync();
    return true;
  }
  bool Sync() override;  // always true; with nothing held, a request of zero bytes
  bool Flush() override {  // drops the bytes held; always true
    count_ = 0;
    return true;
  }

 private:
  std::vector<uint8_t> buffer_;
  size_t count_ = 0;
  size_t capacity_ = kCapacity;
  Worker* worker_;
};

class SerialSink : public WorkerSink<SerialWorker> {
 public:
  using WorkerSink::WorkerSink;
};

class TcpSink : public WorkerSink<TcpWorker> {
 public:
  using WorkerSink::WorkerSink;
};

// Makes one new sink per owner, for the link that is open. Only the worker selected by
// useSerial is used; the other pointer may be null. Owns neither worker.
class StreamSinkFactory {
 public:
  StreamSinkFactory(bool useSerial, SerialWorker* serialWorker, TcpWorker* tcpWorker);

  std::unique_ptr<PacketSink> Create();

 private:
  bool useSerial;
  SerialWorker* serial_worker_;
  TcpWorker* tcp_worker_;
};
