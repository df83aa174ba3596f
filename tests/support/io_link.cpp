#include "support/io_link.h"

#include <utility>

IoLink::IoLink(const std::string& link)
    : own_router_(std::make_unique<MessageRouter>()), router_(*own_router_) {
  Open(link);
}

IoLink::IoLink(const std::string& link, MessageRouter& router) : router_(router) { Open(link); }

void IoLink::Open(const std::string& link) {
  thread_ = std::make_unique<IoThread>();
  // Built (and the link opened) on this thread; a throw leaves nothing behind.
  if (!link.empty() && link[0] == '/') {
    serial_worker_ = std::make_unique<SerialWorker>(link, router_);
    serial_worker_->moveToThread(thread_.get());
  } else {
    tcp_worker_ = std::make_unique<TcpWorker>(link, router_);
    tcp_worker_->moveToThread(thread_.get());
  }
  factory_ =
      std::make_unique<StreamSinkFactory>(IsSerial(), serial_worker_.get(), tcp_worker_.get());
}

IoLink::~IoLink() {
  Stop();
  // The thread has ended (or never ran), so the worker and its device are no longer used
  // anywhere and may go from this thread; the router the reader feeds goes after it.
  serial_worker_.reset();
  tcp_worker_.reset();
  thread_.reset();
}

std::string IoLink::TcpText(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

QThread& IoLink::Thread() { return *thread_; }

std::unique_ptr<PacketSink> IoLink::CreateSink() { return factory_->Create(); }

void IoLink::Start() {
  if (started_) return;
  started_ = true;
  thread_->start(QThread::InheritPriority);
  thread_->WaitRunning();
}

void IoLink::Stop() {
  if (!started_) return;
  thread_->quit();
  thread_->wait();
  // Taking the thread's own mutex once more orders everything the thread did before this.
  const bool ended = thread_->Ended();
  Q_ASSERT(ended);
  (void)ended;
}
