#pragma once
// Qt hands a queued signal's arguments from the emitting thread to the receiving one under its
// own locks, which ThreadSanitizer cannot see (Qt is not instrumented): it would report the
// receiving slot's reads of the copy as a race with the copy's construction. Under
// ThreadSanitizer, a QueuedEmission around an emit hides that copy from it; in every other
// build it is nothing.
#if defined(__SANITIZE_THREAD__)
#define KORVANE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANE_THREAD_SANITIZER 1
#endif
#endif

#ifdef KORVANE_THREAD_SANITIZER
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

class QueuedEmission {
 public:
  QueuedEmission() { __tsan_ignore_thread_begin(); }
  ~QueuedEmission() { __tsan_ignore_thread_end(); }
  QueuedEmission(const QueuedEmission&) = delete;
  QueuedEmission& operator=(const QueuedEmission&) = delete;
};
#else
class QueuedEmission {
 public:
  QueuedEmission() {}
};
#endif
