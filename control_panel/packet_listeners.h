#pragma once
// Router callbacks that turn device packets into window updates and console lines. They run on
// the I/O thread and reach the window only through its logging and telemetry functions, which
// log and emit signals.
#include <cstdint>
#include <vector>

#include "korvane/messages.h"
#include "korvane/packet_header.h"
#include "kovra/log.h"

class MainWindow;
class MessageRouter;

// Adds the window's listeners to the router, in this order: TX telemetry (channel 5), RX
// telemetry (4), device log lines (1) and the parameter trace (8). Before the I/O thread starts.
void AddWindowListeners(MessageRouter& router, MainWindow& window);

// Device log lines (channel 1): levels 1 to 3 go to the message pane, 0 to the console only.
class LogListener {
 public:
  explicit LogListener(MainWindow& window) : window_(window) {}
  void operator()(const PacketHeader& header, const std::vector<uint8_t>& payload);

 private:
  MainWindow& window_;
};

// A debug trace of every parameter response (channel 8).
class ParameterListener {
 public:
  explicit ParameterListener(MainWindow& window) : window_(window) {}
  void operator()(const PacketHeader& header, const std::vector<uint8_t>& payload);

 private:
  MainWindow& window_;
};

// Telemetry (TxAdcValues on channel 5, RxAdcValues on channel 4).
template <typename T>
class AdcListener {
 public:
  explicit AdcListener(MainWindow& window) : window_(window) {}
  void operator()(const PacketHeader& header, const std::vector<uint8_t>& payload);

 private:
  MainWindow& window_;
};

extern template class AdcListener<TxAdcValues>;
extern template class AdcListener<RxAdcValues>;
