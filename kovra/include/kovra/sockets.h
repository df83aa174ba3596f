#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <QSerialPort>
#include <QTcpSocket>

class QObject;

// The two link transports. Each wraps one Qt I/O device, checks the link text, opens the link
// once, hands out the bytes that have arrived and writes bytes. An I/O worker builds its socket
// on the GUI thread with itself as the device's Qt parent (so the device follows the worker
// into the I/O thread), opens it there, and afterwards uses it only on the I/O thread.
// Neither class holds a lock. A link that fails is never reopened; the serial worker only closes
// a port whose device has gone (see SerialSocket::CloseOnLostDevice).

// A serial port at 115200 baud (other settings: QSerialPort's defaults).
class SerialSocket {
 public:
  // Keeps the device name as given; throws std::invalid_argument "No device specified" when it
  // is empty. Does not open the port.
  SerialSocket(const std::string& device, QObject* parent);
  SerialSocket(const SerialSocket&) = delete;
  SerialSocket& operator=(const SerialSocket&) = delete;

  // Opens the port for reading and writing; logs "Serial device - connecting to {}" either way.
  bool Connect();
  void Disconnect();

  // Never blocks. n = 0: every byte held now; otherwise at most n bytes.
  std::vector<uint8_t> Read(size_t n);

  // Writes the bytes and flushes what the device can take without waiting. Always true; the
  // bytes go nowhere once the port has been closed.
  bool Write(const void* data, size_t n);
  bool Write(const std::string& s);
  bool Write(uint8_t b);

  // For the port's errorOccurred. A read or resource error means the device has gone (a USB
  // adapter pulled): QSerialPort would keep signalling it for as long as the port stays open,
  // so the port is closed, with one log line. Other errors are left alone. True when it closed.
  bool CloseOnLostDevice(QSerialPort::SerialPortError error);

  // The Qt device, for connecting its signals.
  QSerialPort& Device() { return port_; }
  const std::string& DeviceName() const { return device_; }

 private:
  QSerialPort port_;
  std::string device_;
};

// A TCP connection to "host:port".
class TcpSocket {
 public:
  // Parses host and port: throws std::invalid_argument "No server specified" for an empty
  // text, "No port number specified" without a colon, and std::invalid_argument when no
  // decimal number follows the first colon (blanks before it are skipped, a plus sign is
  // accepted and a minus sign refused, anything after it is ignored) or when that number is
  // above 65535. The host (text before the first colon) may be empty and is not checked. Does
  // not connect.
  TcpSocket(const std::string& text, QObject* parent);
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Starts connecting, logs "TCP Socket - Connecing to {}:{}" and waits up to 1000 ms (blocking
  // the calling thread); true when connected.
  bool Connect();
  void Disconnect();

  // Never blocks. n = 0: every byte held now; otherwise at most n bytes.
  std::vector<uint8_t> Read(size_t n);

  // Writes the bytes and flushes what the socket can take without waiting. Always true.
  bool Write(const void* data, size_t n);
  bool Write(const std::string& s);
  bool Write(uint8_t b);

  // The Qt device, for connecting its signals.
  QTcpSocket& Device() { return socket_; }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }

 private:
  QTcpSocket socket_;
  uint16_t port_ = 0;
  std::string host_;
};
