#pragma once
#include <memory>
#include <string>

#include <QThread>

#include "korvane/packet_comms.h"
#include "kovra/io_thread.h"
#include "kovra/message_router.h"
#include "kovra/stream_sink_sp.h"
#include "kovra/workers.h"

// A real device link for tests, wired the way the application wires it: the I/O worker is built
// (and the link opened) on the calling thread, moved to an I/O thread of its own, and sinks are
// made by a StreamSinkFactory.
//
//   IoLink link("127.0.0.1:" + std::to_string(port));   // or IoLink link(pty.SlavePath());
//   link.Router().AddCallback(ChannelDescriptor::X, cb);  // callbacks first: they run on the
//   link.Start();                                          // I/O thread once it has started
//   auto sink = link.CreateSink();
//   sink->SendPacket<ChannelDescriptor::PARAMETER_REQUEST>(Address::TX, param);
//
// Link text: a text starting with '/' is a serial device path (opened at 115200 baud); anything
// else is a TCP "host:port". The constructor throws the worker's std::invalid_argument when the
// link does not open (a TCP connect waits up to 1000 ms; the peer only needs to be listening,
// it need not accept yet).
//
// Threads: construct, AddCallback, Start and destroy on one thread (normally the test's main
// thread). CreateSink may be called from any thread; each sink may be used from any thread, one
// thread at a time, and frames written before Start are queued and written once the I/O thread
// runs. Router callbacks run on the I/O thread: share their results with the test through
// std::mutex / std::atomic (ThreadSanitizer does not see Qt's own synchronisation). The I/O
// thread reports its start and end through a std::mutex, so ThreadSanitizer sees its set-up
// ordered before Start returns and all its work ordered before Stop returns.
//
// Lifetime: destroy every sink (and anything that sends through one) before the link. Stop()
// (also done by the destructor) ends the I/O thread and waits for it; afterwards no callback
// runs and frames sent are dropped. The destructor then destroys the worker, which closes the
// port or the connection. A router passed by reference must outlive the link.
class IoLink {
 public:
  // Opens the link with a router of the link's own.
  explicit IoLink(const std::string& link);
  // Opens the link over the caller's router.
  IoLink(const std::string& link, MessageRouter& router);
  ~IoLink();
  IoLink(const IoLink&) = delete;
  IoLink& operator=(const IoLink&) = delete;

  // "127.0.0.1:<port>".
  static std::string TcpText(uint16_t port);

  MessageRouter& Router() { return router_; }
  bool IsSerial() const { return serial_worker_ != nullptr; }
  // The worker of the link (the other one is null).
  SerialWorker* GetSerialWorker() const { return serial_worker_.get(); }
  TcpWorker* GetTcpWorker() const { return tcp_worker_.get(); }
  QThread& Thread();

  // A new sink with its own buffer.
  std::unique_ptr<PacketSink> CreateSink();

  // Starts the I/O thread and waits until its event loop is about to run (once; later calls do
  // nothing).
  void Start();
  // Ends the I/O thread and waits for it (no callback runs afterwards). Idempotent.
  void Stop();

 private:
  void Open(const std::string& link);

  std::unique_ptr<MessageRouter> own_router_;
  MessageRouter& router_;
  std::unique_ptr<IoThread> thread_;
  std::unique_ptr<SerialWorker> serial_worker_;
  std::unique_ptr<TcpWorker> tcp_worker_;
  std::unique_ptr<StreamSinkFactory> factory_;
  bool started_ = false;
};
