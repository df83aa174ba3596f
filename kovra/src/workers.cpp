#include "kovra/workers.h"

#include <stdexcept>
#include <utility>

#include "kovra/log.h"

namespace {

// Feeds every byte to the reader; a rejected byte does not stop the loop (the reader resyncs
// at the next frame boundary on its own).
void FeedReader(SlipReader& reader, const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) reader.Write(b);
}

QByteArray CopyRequest(const void* buf, size_t count) {
  if (count == 0) return QByteArray();
  return QByteArray(static_cast<const char*>(buf), static_cast<int>(count));
}

}  // namespace

SerialWorker::SerialWorker(std::string device, MessageRouter& router)
    : QObject(nullptr), socket_(device, this), reader_(router), router_(router) {
  if (!socket_.Connect()) throw std::invalid_argument("Can't connect serial port!");
  connect(&socket_.Device(), &QIODevice::readyRead, this, &SerialWorker::NotifyData);
  connect(this, &SerialWorker::NotifyWrite, this, &SerialWorker::WriteDataLoop);
  // A device that goes away leaves the port signalling read errors without end, which would
  // keep the I/O thread busy: the port is closed then, and the link stays down.
  connect(&socket_.Device(), &QSerialPort::errorOccurred, this,
          [this](QSerialPort::SerialPortError error) { socket_.CloseOnLostDevice(error); });
}

SerialWorker::~SerialWorker() = default;

void SerialWorker::NotifyData() { FeedReader(reader_, socket_.Read(0)); }

void SerialWorker::ReqWriteData(const void* buf, size_t count) {
  emit NotifyWrite(CopyRequest(buf, count));
}

void SerialWorker::WriteDataLoop(QByteArray data) {
  socket_.Write(data.constData(), static_cast<size_t>(data.size()));
}

TcpWorker::TcpWorker(std::string address, MessageRouter& router)
    : QObject(nullptr), socket_(address, this), reader_(router), router_(router) {
  if (!socket_.Connect()) throw std::invalid_argument("Can't Connect TCP Socket");
  connect(&socket_.Device(), &QIODevice::readyRead, this, &TcpWorker::NotifyData);
  connect(this, &TcpWorker::NotifyWrite, this, &TcpWorker::WriteDataLoop);
  // The link is opened once: a server that goes away is not connected to again, so the console
  // says so, as the serial worker does for a lost port.
  connect(&socket_.Device(), &QAbstractSocket::disconnected, this, [this] {
    kovra::GetLog()->error(
        "TCP Socket - connection to {}:{} lost ({}); restart the program to connect again",
        socket_.Host(), socket_.Port(), socket_.Device().errorString().toStdString());
  });
}

// Closing the socket at destruction is no lost link: its signals no longer reach the worker.
TcpWorker::~TcpWorker() { socket_.Device().disconnect(this); }

void TcpWorker::NotifyData() { FeedReader(reader_, socket_.Read(0)); }

void TcpWorker::ReqWriteData(const void* buf, size_t count) {
  emit NotifyWrite(CopyRequest(buf, count));
}

void TcpWorker::WriteDataLoop(QByteArray data) {
  socket_.Write(data.constData(), static_cast<size_t>(data.size()));
}
