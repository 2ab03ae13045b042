// The thread lock, the readers/writer lock and the event of the foundation. Each
// lock remembers the thread that holds it and reports misuse (taking it twice,
// releasing it unheld, destroying it held) to the event log; the operation goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/sync.h"

// A re-entrant thread lock that reports each re-entry.
class CTernLock {
 public:
  CTernLock();
  virtual ~CTernLock();
  CTernLock(const CTernLock&) = delete;
  CTernLock& operator=(const CTernLock&) = delete;

  void Lock();
  void Unlock();
  // The holding thread's identifier, 0 when free.
  long Owner() const { return m_Owner.load(); }

 private:
  std::recursive_mutex m_Mutex;
  std::atomic<long> m_Owner{0};
  int m_Depth = 0;  // levels held by the owner; changed only by the owner
};

// Holds a CTernLock for a scope.
class CTernLockGuard {
 public:
  explicit CTernLockGuard(CTernLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
  ~CTernLockGuard() { m_Lock.Unlock(); }
  CTernLockGuard(const CTernLockGuard&) = delete;
  CTernLockGuard& operator=(const CTernLockGuard&) = delete;

 private:
  CTernLock& m_Lock;
};

// Readers enter without waiting except while a writer holds the lock. A writer
// takes the lock's critical section for the whole of its write lock, so new readers
// queue behind it, and waits for the readers inside to leave, looking again at least
// once a second.
class CTernRWLock {
 public:
  CTernRWLock();
  ~CTernRWLock();
  CTernRWLock(const CTernRWLock&) = delete;
  CTernRWLock& operator=(const CTernRWLock&) = delete;

  void ReadLock();
  void ReadUnlock();
  void WriteLock();
  void WriteUnlock();

  int32_t Readers();
  long Writer() const { return m_Writer.load(); }

 private:
  int32_t m_Readers = 0;
  std::atomic<long> m_Writer{0};
  std::recursive_mutex m_Section;
  PlatformEvent m_OkToWrite{true};
};

// Holds one side of a CTernRWLock from construction to the end of the scope, or to
// Unlock() when the holder is done earlier. An exception leaving the scope releases
// it. Use it as CTernReadGuard or CTernWriteGuard.
template <void (CTernRWLock::*Take)(), void (CTernRWLock::*Give)()>
class CTernRWLockGuard {
 public:
  explicit CTernRWLockGuard(CTernRWLock& lock) : m_Lock(&lock) { (m_Lock->*Take)(); }
  ~CTernRWLockGuard() { Unlock(); }
  CTernRWLockGuard(const CTernRWLockGuard&) = delete;
  CTernRWLockGuard& operator=(const CTernRWLockGuard&) = delete;

  // Releases the lock now; later calls and the destructor do nothing.
  void Unlock() {
    if (m_Lock) (std::exchange(m_Lock, nullptr)->*Give)();
  }

 private:
  CTernRWLock* m_Lock;
};

// Holds the read lock for a scope.
using CTernReadGuard = CTernRWLockGuard<&CTernRWLock::ReadLock, &CTernRWLock::ReadUnlock>;
// Holds the write lock for a scope; taken and released on the same thread, as the
// lock requires.
using CTernWriteGuard = CTernRWLockGuard<&CTernRWLock::WriteLock, &CTernRWLock::WriteUnlock>;

// An automatic-reset event, created non-signalled.
class CTernEvent {
 public:
  CTernEvent();
  CTernEvent(const CTernEvent&) = delete;
  CTernEvent& operator=(const CTernEvent&) = delete;

  void Set();
  // Waits without limit; returns the wait result (kPlatformWaitObject0).
  int Wait();
  // Waits at most seconds; kPlatformWaitObject0 when signalled, else
  // kPlatformWaitTimeout.
  int Wait(long seconds);

 private:
  PlatformEvent m_Event{false};
};
