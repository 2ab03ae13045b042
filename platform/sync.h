// Thread identity and the event object (automatic- or manual-reset) that stand in for
// the Windows thread and event services. Wait results keep the Windows numbers
// because callers tell a signal from a time-out by them.
#pragma once

#include <condition_variable>
#include <mutex>

// Identifier of the calling thread; never 0, so 0 can mean "nobody".
long PlatformThreadId();

constexpr int kPlatformWaitObject0 = 0;
constexpr int kPlatformWaitAbandoned = 0x80;
constexpr int kPlatformWaitTimeout = 258;
constexpr long kPlatformInfinite = -1;

class PlatformEvent {
 public:
  explicit PlatformEvent(bool manualReset);
  PlatformEvent(const PlatformEvent&) = delete;
  PlatformEvent& operator=(const PlatformEvent&) = delete;

  // Signals the event: an automatic-reset event lets exactly one waiter through
  // (or the next one to wait); a manual-reset event stays signalled until Reset().
  bool Set();
  bool Reset();
  // Waits at most milliseconds (kPlatformInfinite: no limit); returns
  // kPlatformWaitObject0 when signalled, kPlatformWaitTimeout otherwise.
  int Wait(long milliseconds);

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_Signalled = false;
  bool m_ManualReset;
};

// Sleeps the calling thread.
void PlatformSleepMs(long milliseconds);
