#pragma once
// The window against the simulated devices, wired as start-up wires it: the window gets its own
// sink, and the telemetry, log and trace listeners are added to the router before the I/O thread
// starts. Header-only: only tests that link the application include it.
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include "main_window.h"
#include "packet_listeners.h"
#include "support/device_fixture.h"

// Runs the event loop until pred holds or ms pass; true when it holds. (QTRY_* macros report
// through QtTest, which GoogleTest does not see.)
template <typename Pred>
bool Eventually(Pred pred, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QTest::qWait(5);
  }
  return true;
}

class WindowFixture : public DeviceFixture {
 protected:
  void Wire() override {
    MainWindow::RegisterMetaTypes();
    window_ = std::make_unique<MainWindow>(std::move(window_sink_), *tx_, *rx_, *ota_, nullptr);
    AddWindowListeners(link_->Router(), *window_);
  }
  void Unwire() override { window_.reset(); }

  // Hands a record to the window's listener as the router would, then lets the queued signals
  // and everything they start run.
  template <typename T>
  void Feed(const T& record) {
    Queue(record);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }

  // The same, but leaves the record queued for the window.
  template <typename T>
  void Queue(const T& record) {
    std::vector<uint8_t> payload(50, 0);
    serialize(record, payload.data());
    PacketHeader header;
    header.SetSource(std::is_same<T, TxAdcValues>::value ? TX : RX);
    header.SetDestination(PC);
    AdcListener<T>{*window_}(header, payload);
  }

  std::unique_ptr<MainWindow> window_;
};
