#include "kovra/serial_thread.h"

#include <iostream>

#include "kovra/message_router.h"
#include "kovra/serial_port.h"
#include "kovra/slip.h"

SerialThread::SerialThread(Serial& serial, MessageRouter& router)
    : QThread(nullptr), serial_(serial), router_(router) {}

SerialThread::~SerialThread() {
  // Destroying a running QThread aborts the program; stop it first if the owner has not.
  requestInterruption();
  wait();
}

void SerialThread::run() {
  // A fresh reader each run, and the part of a body that an earlier run left in the router is
  // dropped: no half frame is carried over into the first frame of this run.
  SlipReader reader(router_);
  router_.Flush();
  while (!QThread::currentThread()->isInterruptionRequested()) {
    // At most one byte, waiting up to the port's read time-out; nothing on time-out or failure.
    for (uint8_t b : serial_.Read(1)) {
      if (!reader.Write(b)) std::cerr << "\nSlip error reading\n";
    }
  }
}
