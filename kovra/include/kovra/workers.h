#pragma once
#include <cstddef>
#include <string>

#include <QByteArray>
#include <QObject>

#include "kovra/message_router.h"
#include "kovra/slip.h"
#include "kovra/sockets.h"

// I/O workers: the one object that reads and writes the open link.
//
// Built on the GUI thread (the constructor opens the link), then moved to the I/O thread before
// that thread starts, and destroyed only after it has stopped. Every byte that arrives is fed,
// on the I/O thread, through a SLIP reader into the message router, whose callbacks therefore
// run on the I/O thread. Packet sinks call ReqWriteData from any thread; each call becomes one
// write request carrying its own copy of the bytes, written on the I/O thread in the order it
// was made (requests made before the thread runs wait in its event queue).

class SerialWorker : public QObject {
  Q_OBJECT

 public:
  // Opens the serial port. Throws std::invalid_argument: "No device specified" for an empty
  // name, "Can't connect serial port!" when the port does not open.
  SerialWorker(std::string device, MessageRouter& router);
  ~SerialWorker() override;

 signals:
  // One write request.
  void NotifyWrite(QByteArray data);

 public slots:
  // Reads what has arrived (through the port's readyRead).
  void NotifyData();
  // Copies count bytes at buf into a write request and emits it; callable from any thread.
  void ReqWriteData(const void* buf, size_t count);
  // Writes one request to the link (through NotifyWrite, on the I/O thread).
  void WriteDataLoop(QByteArray data);

 private:
  SerialSocket socket_;
  SlipReader reader_;
  MessageRouter& router_;
};

class TcpWorker : public QObject {
  Q_OBJECT

 public:
  // Connects to "host:port" (blocking up to 1000 ms). Throws std::invalid_argument: the link
  // text's own errors (see TcpSocket), "Can't Connect TCP Socket" when no connection is made.
  // A connection that ends afterwards logs one error line that the program must be restarted.
  TcpWorker(std::string address, MessageRouter& router);
  ~TcpWorker() override;

 signals:
  void NotifyWrite(QByteArray data);

 public slots:
  void NotifyData();
  void ReqWriteData(const void* buf, size_t count);
  void WriteDataLoop(QByteArray data);

 private:
  TcpSocket socket_;
  SlipReader reader_;
  MessageRouter& router_;
};
