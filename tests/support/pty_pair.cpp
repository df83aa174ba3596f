#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

PtyPair::PtyPair() {
  struct termios raw {};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
  }
  slave_path_ = name;
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  struct termios t {};
  if (::tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    ::tcsetattr(master_, TCSANOW, &t);
  }
}

PtyPair::~PtyPair() {
  CloseSlave();
  CloseMaster();
}

bool PtyPair::Send(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t w = ::write(master_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::vector<uint8_t> PtyPair::Receive(size_t n, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd pfd {master_, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(pfd.revents & POLLIN)) break;
    uint8_t buf[256];
    ssize_t got = ::read(master_, buf, std::min(sizeof(buf), n - out.size()));
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

std::vector<uint8_t> PtyPair::Drain(std::chrono::milliseconds quiet) {
  std::vector<uint8_t> out;
  for (;;) {
    struct pollfd pfd {master_, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(quiet.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(pfd.revents & POLLIN)) break;
    uint8_t buf[256];
    ssize_t got = ::read(master_, buf, sizeof(buf));
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

size_t PtyPair::SlaveQueued() const {
  int n = 0;
  if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

namespace {

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

bool PtyPair::WaitSlaveQueuedAtLeast(size_t n, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return SlaveQueued() >= n; }, timeout);
}

bool PtyPair::WaitSlaveQueuedAtMost(size_t n, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return SlaveQueued() <= n; }, timeout);
}

void PtyPair::CloseSlave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}
