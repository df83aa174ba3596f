#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "kovra/log.h"
#include "kovra/serial_port.h"

namespace {

// VTIME below: a read returns after this long without data.
constexpr std::chrono::seconds kReadTimeout{2};

}  // namespace

LinuxSerial::LinuxSerial(const std::string& device, uint32_t speed)
    : Serial(device), speed_(speed) {}

LinuxSerial::~LinuxSerial() { Disconnect(); }

bool LinuxSerial::Connect() {
  // Connecting again replaces the connection; the old descriptor must not leak.
  Disconnect();
  fd_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) {
    int err = errno;
    kovra::GetLog()->error("LinuxSerial error {} ({}) when opening {}", err, std::strerror(err),
                           device_);
    return false;
  }
  struct termios tty {};
  if (::tcgetattr(fd_, &tty) != 0) {
    int err = errno;
    kovra::GetLog()->error("LinuxSerial error {} ({}) from tcgetattr", err, std::strerror(err));
    Disconnect();
    return false;
  }
  ::cfsetospeed(&tty, speed_);
  ::cfsetispeed(&tty, speed_);

  tty.c_cflag &= ~PARENB;
  tty.c_cflag |= CSTOPB;  // two stop bits
  tty.c_cflag &= ~CSIZE;
  tty.c_cflag |= CS8;
  tty.c_cflag &= ~CRTSCTS;
  tty.c_cflag |= CREAD | CLOCAL;

  tty.c_lflag = 0;  // not canonical, no echo, no signals
  tty.c_oflag = 0;

  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = 20;  // a read returns after 2 s without data (kReadTimeout)

  tty.c_iflag &= ~(IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL);

  ::tcflush(fd_, TCIFLUSH);
  if (::tcsetattr(fd_, TCSANOW, &tty) != 0) {
    kovra::GetLog()->error("LinuxSerial error {} from tcsetattr", errno);
    Disconnect();
    return false;
  }
  return true;
}

void LinuxSerial::Disconnect() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int LinuxSerial::WriteImpl(const void* data, size_t n) {
  if (fd_ < 0) {
    kovra::GetLog()->error("LinuxSerial {} not connected", device_);
    return 0;
  }
  ssize_t written = ::write(fd_, data, n);
  ::fsync(fd_);
  return static_cast<int>(written);
}

std::vector<uint8_t> LinuxSerial::ReadImpl(size_t n) {
  if (fd_ < 0) {
    kovra::GetLog()->error("LinuxSerial {} not connected", device_);
    return {};
  }
  std::vector<uint8_t> buffer(n, 0);
  const auto start = std::chrono::steady_clock::now();
  ssize_t got = ::read(fd_, buffer.data(), n);
  if (got > 0) {
    buffer.resize(static_cast<size_t>(got));
    return buffer;
  }
  if (got < 0) {
    kovra::GetLog()->error("LinuxSerial error reading: {}", std::strerror(errno));
  } else {
    kovra::GetLog()->error("LinuxSerial read timeout");
  }
  // A hung-up line (the device unplugged) returns nothing at once, every time: waiting out the
  // rest of the time-out keeps a reader that loops from spinning and flooding the log.
  if (n > 0) std::this_thread::sleep_until(start + kReadTimeout);
  return {};
}
