#include "kovra/io_thread.h"

void IoThread::WaitRunning() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return running_; });
}

bool IoThread::Ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

void IoThread::run() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
  }
  changed_.notify_all();
  exec();
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
}
