#pragma once
// The I/O thread: a plain event loop that also reports its start and its end through a
// std::mutex. Qt's own start and wait handshakes run on futexes that ThreadSanitizer cannot see;
// with these, the thread's set-up is seen as done before WaitRunning returns, and everything it
// did as done before Ended returns after the thread has stopped, so that what it used can be
// destroyed afterwards without false reports.
#include <condition_variable>
#include <mutex>

#include <QThread>

class IoThread : public QThread {
 public:
  // Waits until the thread's event loop is about to run.
  void WaitRunning();
  // Whether the event loop has ended; once the thread has stopped (QThread::wait), this orders
  // everything the thread did before the caller's next steps.
  bool Ended();

 protected:
  void run() override;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = false;
  bool ended_ = false;
};
