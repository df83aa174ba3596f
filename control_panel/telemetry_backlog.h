#pragma once
// The telemetry records that wait for the window's GUI thread, each as a posted event. A device
// that sends faster than the window can handle records would make them pile up without bound (and
// the window would spend ever longer on each turn of its event loop): at most kMaxWaiting wait,
// and a record that comes while they do is left out and counted. The count is said at most once
// a second, with whether the CSV log lacks their rows: as it was when they were left out, since
// logging may have started or stopped by the time it is said.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <QObject>

class QTimer;

class TelemetryBacklog : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxWaiting = 4000;

  // `say` gets each report (GUI thread); a Qt child of `parent`.
  TelemetryBacklog(std::function<void(const std::string&)> say, QObject* parent);

  // I/O thread: whether one more record may wait for the GUI thread (else it is counted as left
  // out).
  bool MayWait();
  // GUI thread: a record reached its handler, so one less waits. Saturating at 0: a record
  // handed to the handler directly never counted as waiting.
  void Handled();
  // Whether records wait for the GUI thread.
  bool RecordsWait() const { return waiting_.load(std::memory_order_relaxed) > 0; }
  // GUI thread: CSV logging started or stopped.
  void SetCsvLogging(bool on) { csv_logging_.store(on, std::memory_order_relaxed); }

 private:
  void Report();

  std::function<void(const std::string&)> say_;
  std::atomic<int> waiting_{0};
  // Left out since the last report, while CSV logging was on and while it was off.
  std::atomic<std::uint64_t> left_out_logging_{0};
  std::atomic<std::uint64_t> left_out_idle_{0};
  std::atomic<bool> csv_logging_{false};
  QTimer* report_;
};
