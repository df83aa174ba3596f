#pragma once
#include <QThread>

class MessageRouter;
class Serial;

// Reads a blocking serial port on a thread of its own and feeds the bytes, through a SLIP
// reader, into a message router, whose callbacks therefore run on this thread. A LinuxSerial
// must be connected before start(); a CrossSerial connects at the first read.
//
// To stop it: requestInterruption(), then wait(); the loop ends after the read under way, so
// within one read time-out of the port. The owner stops it before destroying it, the port or
// the router.
class SerialThread : public QThread {
  Q_OBJECT

 public:
  SerialThread(Serial& serial, MessageRouter& router);
  ~SerialThread() override;

 protected:
  void run() override;

 private:
  Serial& serial_;
  MessageRouter& router_;
};
