#include "kovra/sockets.h"

#include <stdexcept>

#include <QByteArray>
#include <QString>

#include "kovra/log.h"

namespace {

std::vector<uint8_t> ToVector(const QByteArray& bytes) {
  return std::vector<uint8_t>(bytes.constBegin(), bytes.constEnd());
}

// Reads the port number after the colon: blanks first, then an optional plus sign and decimal
// digits; whatever follows the digits is ignored.
uint16_t ParsePort(const std::string& text) {
  // A plus sign is read as stoul reads it ("+80" is port 80), but a minus sign would negate the
  // value and wrap around, turning "-65535" into port 1.
  const size_t first = text.find_first_not_of(" \t\n\v\f\r");
  if (first != std::string::npos && text[first] == '-') {
    throw std::invalid_argument("Port number must not be negative");
  }
  unsigned long long value = 0;
  try {
    value = std::stoull(text, nullptr, 10);
  } catch (const std::out_of_range&) {
    throw std::invalid_argument("Port number out of range");
  }
  // std::stoull throws std::invalid_argument itself when no digits follow.
  if (value > 65535) throw std::invalid_argument("Port number out of range");
  return static_cast<uint16_t>(value);
}

}  // namespace

SerialSocket::SerialSocket(const std::string& device, QObject* parent)
    : port_(parent), device_(device) {
  if (device_.empty()) throw std::invalid_argument("No device specified");
}

bool SerialSocket::Connect() {
  port_.setPortName(QString::fromStdString(device_));
  port_.setBaudRate(115200, QSerialPort::AllDirections);
  const bool opened = port_.open(QIODevice::ReadWrite);
  kovra::GetLog()->info("Serial device - connecting to {}", device_);
  return opened;
}

void SerialSocket::Disconnect() { port_.close(); }

bool SerialSocket::CloseOnLostDevice(QSerialPort::SerialPortError error) {
  if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError) return false;
  if (!port_.isOpen()) return false;
  kovra::GetLog()->error(
      "Serial device - {} lost ({}); closing the port, restart the program to connect again",
      device_, error == QSerialPort::ReadError ? "read error" : "resource error");
  port_.close();
  return true;
}

std::vector<uint8_t> SerialSocket::Read(size_t n) {
  return ToVector(n == 0 ? port_.readAll() : port_.read(static_cast<qint64>(n)));
}

bool SerialSocket::Write(const void* data, size_t n) {
  // Closed after its device went away: the write is dropped, as on a dead line.
  if (!port_.isOpen()) return true;
  if (n > 0) port_.write(static_cast<const char*>(data), static_cast<qint64>(n));
  port_.flush();
  return true;
}

bool SerialSocket::Write(const std::string& s) { return Write(s.data(), s.size()); }

bool SerialSocket::Write(uint8_t b) { return Write(&b, 1); }

TcpSocket::TcpSocket(const std::string& text, QObject* parent) : socket_(parent) {
  if (text.empty()) throw std::invalid_argument("No server specified");
  const size_t colon = text.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("No port number specified");
  port_ = ParsePort(text.substr(colon + 1));
  host_ = text.substr(0, colon);
}

bool TcpSocket::Connect() {
  socket_.connectToHost(QString::fromStdString(host_), port_, QIODevice::ReadWrite,
                        QAbstractSocket::AnyIPProtocol);
  kovra::GetLog()->info("TCP Socket - Connecing to {}:{}", host_, port_);
  return socket_.waitForConnected(1000);
}

void TcpSocket::Disconnect() { socket_.disconnectFromHost(); }

std::vector<uint8_t> TcpSocket::Read(size_t n) {
  return ToVector(n == 0 ? socket_.readAll() : socket_.read(static_cast<qint64>(n)));
}

bool TcpSocket::Write(const void* data, size_t n) {
  if (n > 0) socket_.write(static_cast<const char*>(data), static_cast<qint64>(n));
  socket_.flush();
  return true;
}

bool TcpSocket::Write(const std::string& s) { return Write(s.data(), s.size()); }

bool TcpSocket::Write(uint8_t b) { return Write(&b, 1); }
