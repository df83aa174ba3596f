#include "telemetry_backlog.h"

#include <utility>

#include <QTimer>

#include <fmt/format.h>

namespace {

// Records left out are said at most this often.
constexpr int kReportMs = 1000;

}  // namespace

TelemetryBacklog::TelemetryBacklog(std::function<void(const std::string&)> say, QObject* parent)
    : QObject(parent), say_(std::move(say)), report_(new QTimer(this)) {
  report_->setSingleShot(true);
  report_->setInterval(kReportMs);
  connect(report_, &QTimer::timeout, this, [this] { Report(); }, Qt::DirectConnection);
}

bool TelemetryBacklog::MayWait() {
  if (waiting_.fetch_add(1, std::memory_order_relaxed) < kMaxWaiting) return true;
  waiting_.fetch_sub(1, std::memory_order_relaxed);
  (csv_logging_.load(std::memory_order_relaxed) ? left_out_logging_ : left_out_idle_)
      .fetch_add(1, std::memory_order_relaxed);
  return false;
}

void TelemetryBacklog::Handled() {
  int waiting = waiting_.load(std::memory_order_relaxed);
  while (waiting > 0 &&
         !waiting_.compare_exchange_weak(waiting, waiting - 1, std::memory_order_relaxed)) {
  }
  if ((left_out_logging_.load(std::memory_order_relaxed) != 0 ||
       left_out_idle_.load(std::memory_order_relaxed) != 0) &&
      !report_->isActive()) {
    report_->start();
  }
}

void TelemetryBacklog::Report() {
  const std::uint64_t logging = left_out_logging_.exchange(0, std::memory_order_relaxed);
  const std::uint64_t left_out = logging + left_out_idle_.exchange(0, std::memory_order_relaxed);
  if (left_out == 0) return;
  std::string text = fmt::format("{} telemetry {} left out, too many at once", left_out,
                                 left_out == 1 ? "record was" : "records were");
  if (logging == left_out) {
    text += left_out == 1 ? "; the CSV log lacks its row" : "; the CSV log lacks their rows";
  } else if (logging > 0) {
    text += fmt::format("; the CSV log lacks {} of their rows", logging);
  }
  say_(text);
}
