#include "kovra/stream_sink_sp.h"

#include <stdexcept>

#include "kovra/workers.h"

template <typename Worker>
bool WorkerSink<Worker>::Sync() {
  worker_->ReqWriteData(buffer_.data(), count_);
  count_ = 0;
  return true;
}

template class WorkerSink<SerialWorker>;
template class WorkerSink<TcpWorker>;

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
