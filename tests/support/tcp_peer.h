#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <QTcpServer>
#include <QTcpSocket>

// The far end of a TCP link for tests: a QTcpServer listening on 127.0.0.1 (ephemeral port).
// Everything here blocks on the calling thread and needs no running event loop; use it from
// one thread only (normally the test's main thread).
class TcpPeer {
 public:
  // Listens; throws std::runtime_error when it cannot.
  TcpPeer();
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  uint16_t Port() const;
  // "127.0.0.1:<port>".
  std::string Text() const;

  // The connection made to the server (waits for it up to the limit); null when none came.
  // The kernel completes the handshake while the server is listening, so a client's
  // waitForConnected succeeds before this is called.
  QTcpSocket* Accept(std::chrono::milliseconds limit = std::chrono::seconds(5));

  // Writes every byte to the accepted connection and waits until they are handed to the kernel.
  bool Send(const std::vector<uint8_t>& bytes);
  // Reads until n bytes have come or the time-out has passed; returns what came.
  std::vector<uint8_t> Receive(size_t n,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Reads everything that arrives until the line has been quiet for the given time.
  std::vector<uint8_t> Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
  // Waits until the other end has closed the connection.
  bool WaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(5));

 private:
  QTcpServer server_;
  QTcpSocket* peer_ = nullptr;
};
