#include "support/tcp_peer.h"

#include <stdexcept>

#include <QHostAddress>

using Clock = std::chrono::steady_clock;

namespace {

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

TcpPeer::TcpPeer() {
  if (!server_.listen(QHostAddress::LocalHost, 0)) {
    throw std::runtime_error("TcpPeer: cannot listen: " + server_.errorString().toStdString());
  }
}

TcpPeer::~TcpPeer() {
  if (peer_ != nullptr) peer_->abort();
  server_.close();
}

uint16_t TcpPeer::Port() const { return server_.serverPort(); }

std::string TcpPeer::Text() const { return "127.0.0.1:" + std::to_string(Port()); }

QTcpSocket* TcpPeer::Accept(std::chrono::milliseconds limit) {
  if (peer_ == nullptr) {
    if (!server_.hasPendingConnections()) {
      server_.waitForNewConnection(static_cast<int>(limit.count()));
    }
    peer_ = server_.nextPendingConnection();
  }
  return peer_;
}

bool TcpPeer::Send(const std::vector<uint8_t>& bytes) {
  QTcpSocket* s = Accept();
  if (s == nullptr) return false;
  if (s->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
      static_cast<qint64>(bytes.size())) {
    return false;
  }
  while (s->bytesToWrite() > 0) {
    if (!s->waitForBytesWritten(5000)) return false;
  }
  return true;
}

std::vector<uint8_t> TcpPeer::Receive(size_t n, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> out;
  QTcpSocket* s = Accept();
  if (s == nullptr) return out;
  const auto deadline = Clock::now() + timeout;
  while (out.size() < n) {
    if (s->bytesAvailable() == 0) {
      const int left = MsLeft(deadline);
      if (left == 0 || !s->waitForReadyRead(left)) break;
    }
    const QByteArray got = s->read(static_cast<qint64>(n - out.size()));
    out.insert(out.end(), got.constBegin(), got.constEnd());
  }
  return out;
}

std::vector<uint8_t> TcpPeer::Drain(std::chrono::milliseconds quiet) {
  std::vector<uint8_t> out;
  QTcpSocket* s = Accept();
  if (s == nullptr) return out;
  while (s->bytesAvailable() > 0 || s->waitForReadyRead(static_cast<int>(quiet.count()))) {
    const QByteArray got = s->readAll();
    out.insert(out.end(), got.constBegin(), got.constEnd());
  }
  return out;
}

bool TcpPeer::WaitClosed(std::chrono::milliseconds limit) {
  QTcpSocket* s = Accept();
  if (s == nullptr) return false;
  const auto deadline = Clock::now() + limit;
  while (s->state() != QAbstractSocket::UnconnectedState) {
    const int left = MsLeft(deadline);
    if (left == 0) return false;
    // A close shows as readable with nothing to read; the socket then leaves the connected state.
    s->waitForReadyRead(left);
    s->readAll();
  }
  return true;
}
