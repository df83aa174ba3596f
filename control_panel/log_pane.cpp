#include "log_pane.h"

#include <time.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTime>
#include <QTimer>

#include "kovra/log.h"

namespace {

// Lines from the devices are gathered for this long and appended in one edit: at the pane's
// cap every edit re-lays out the whole pane, so one edit per line (or per event-loop turn)
// would keep the GUI thread busy under a flood; 20 edits a second look live and cost little.
constexpr int kFlushMs = 50;
// One flush draws for at most this long; what is left waits for the next flush, so that the
// window keeps answering while a device floods its log.
constexpr qint64 kDrawBudgetNs = 30'000'000;
// A flush draws at least this many entries, and only flushes of this many or more tell the cost
// of an entry (in smaller ones the trimming and scrolling weigh more than the entries).
constexpr std::size_t kMinFit = 64;

// The GUI thread's own CPU time: a flush during which the process was stopped (Ctrl-Z, a
// suspended laptop, a debugger) costs no more by it than any other.
qint64 ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<qint64>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

LogPane::LogPane(QTextEdit* text, QObject* parent) : QObject(parent), text_(text) {
  text_->document()->setMaximumBlockCount(kMaxEntries);
  text_->document()->setUndoRedoEnabled(false);
  flush_ = new QTimer(this);
  flush_->setSingleShot(true);
  flush_->setInterval(kFlushMs);
  connect(flush_, &QTimer::timeout, this, [this] { Draw(); }, Qt::DirectConnection);
  connect(this, &LogPane::EntriesWaiting, flush_, QOverload<>::of(&QTimer::start),
          Qt::QueuedConnection);
}

// The lock hands each entry to the GUI thread; the queue never holds more entries than the pane
// keeps, since older ones would be trimmed from the pane anyway.
void LogPane::Queue(Level level, QString text) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = queue_.empty();
    if (queue_.size() >= static_cast<std::size_t>(kMaxEntries)) {
      queue_.pop_front();
      ++left_out_;
    }
    queue_.push_back({level, std::move(text)});
  }
  if (QThread::currentThread() == thread()) {
    Draw();
  } else if (first) {
    emit EntriesWaiting();
  }
}

// The waiting entries in one edit; the document drops the oldest entries beyond the cap once, at
// the end of the edit. One flush draws as many as fit its time by the cost per entry; the rest
// waits for the next flush.
void LogPane::Draw() {
  const auto fit = std::max(static_cast<std::size_t>(kDrawBudgetNs / entry_ns_), kMinFit);
  std::vector<Entry> entries;
  std::size_t left_out = 0;
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(fit, queue_.size());
    entries.reserve(n + 1);
    std::swap(left_out, left_out_);
    if (left_out > 0) {
      const std::string text = fmt::format(
          "{} log lines were left out of this pane, too many at once; the console has them all",
          left_out);
      kovra::GetLog()->warn(text);
      entries.push_back({Level::kWarning, QString::fromStdString(text)});
    }
    std::move(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n),
              std::back_inserter(entries));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    more = !queue_.empty();
  }
  if (entries.empty()) return;

  const qint64 start = ThreadCpuNs();
  QTextDocument* document = text_->document();
  QTextCharFormat stamp;
  stamp.setFontWeight(QFont::Bold);
  QTextCharFormat formats[3];
  formats[1].setForeground(QColor(0xcc, 0x7a, 0x00));
  formats[2].setForeground(QColor(0xdd, 0x00, 0x00));
  const QString time = QTime::currentTime().toString(Qt::TextDate);
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  for (const Entry& entry : entries) {
    if (!document->isEmpty()) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(time, stamp);
    cursor.insertText(QStringLiteral(" "), QTextCharFormat());
    cursor.insertText(entry.text, formats[static_cast<int>(entry.level)]);
  }
  cursor.endEditBlock();
  text_->moveCursor(QTextCursor::End);
  // Every large flush measures the cost again. One that took far longer than the others (the
  // machine was swapping, another program held the processor) at most doubles the estimate, so
  // that the next flush still draws half as many and measures again: a single slow flush is
  // forgotten within a few flushes, while a pane that really became slower is followed.
  if (entries.size() >= kMinFit) {
    const qint64 measured = (ThreadCpuNs() - start) / static_cast<qint64>(entries.size());
    entry_ns_ = std::clamp<qint64>(measured, 1000, 2 * entry_ns_);
  }
  if (more) flush_->start();
}
