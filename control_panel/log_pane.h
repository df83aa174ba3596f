#pragma once
// The window's message pane: entries wait in a queue that any thread may fill, and the GUI thread
// draws them into the pane's text, each as a bold time stamp, a blank and the text in its level's
// colour. A flood of entries is drawn in paced flushes, so that the window keeps answering; what
// comes faster than the pane can draw is left out of the pane (never more waits than the pane
// keeps) and a warning entry says how many.
#include <cstddef>
#include <deque>
#include <mutex>

#include <QObject>
#include <QString>

class QTextEdit;
class QTimer;

class LogPane : public QObject {
  Q_OBJECT

 public:
  enum class Level { kInfo, kWarning, kError };

  // The maximum number of entries the pane keeps; the oldest go first.
  static constexpr int kMaxEntries = 10000;

  // Draws into `text` (which must outlive the pane); a Qt child of `parent`.
  LogPane(QTextEdit* text, QObject* parent);

  // Queues one entry (plain text, one line). Callable from any thread: entries from other threads
  // are drawn within the next flush (50 ms), those of the GUI thread at once, after any still
  // waiting.
  void Queue(Level level, QString text);

 signals:
  // Entries from another thread wait in the queue (queued to the GUI thread).
  void EntriesWaiting();

 private:
  struct Entry {
    Level level;
    QString text;
  };
  void Draw();

  QTextEdit* text_;
  // Entries waiting for the GUI thread, in the order they were queued, at most as many as the
  // pane keeps, and how many older ones were left out since the last flush.
  std::mutex mutex_;
  std::deque<Entry> queue_;
  std::size_t left_out_ = 0;
  QTimer* flush_;
  // What drawing one entry costs, laying out included, as last measured (a guess until then).
  qint64 entry_ns_ = 25'000;
};
