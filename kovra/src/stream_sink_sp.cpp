#include "kovra/stream_sink_sp.h"

#include <stdexcept>

#include "kovra/workers.h"

SerialSink::SerialSink(SerialWorker& worker) : buffer_(kCapacity, 0), worker_(&worker) {}

bool SerialSink::Write(uint8_t b) {
  buffer_[count_++] = b;
  if (count_ >= capacity_) Sync();
  return true;
}

bool SerialSink::Sync() {
  worker_->ReqWriteData(buffer_.data(), count_);
  count_ = 0;
  return true;
}

bool SerialSink::Flush() {
  count_ = 0;
  return true;
}

TcpSink::TcpSink(TcpWorker& worker) : buffer_(kCapacity, 0), worker_(&worker) {}

bool TcpSink::Write(uint8_t b) {
  buffer_[count_++] = b;
  if (count_ >= capacity_) Sync();
  return true;
}

bool TcpSink::Sync() {
  worker_->ReqWriteData(buffer_.data(), count_);
  count_ = 0;
  return true;
}

bool TcpSink::Flush() {
  count_ = 0;
  return true;
}

StreamSinkFactory::StreamSinkFactory(bool useSerial, SerialWorker* serialWorker,
                                     TcpWorker* tcpWorker)
    : useSerial(useSerial), serial_worker_(serialWorker), tcp_worker_(tcpWorker) {}

std::unique_ptr<PacketSink> StreamSinkFactory::Create() {
  if (useSerial) {
    if (serial_worker_ == nullptr) throw std::logic_error("No serial worker for a serial link");
    return std::make_unique<SerialSink>(*serial_worker_);
  }
  if (tcp_worker_ == nullptr) throw std::logic_error("No TCP worker for a TCP link");
  return std::make_unique<TcpSink>(*tcp_worker_);
}
