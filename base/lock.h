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

// Holds a CTernRWLock's read lock from construction to the end of the scope, or to
// Unlock() when the holder is done earlier. An exception leaving the scope releases
// it.
class CTernReadGuard {
 public:
  explicit CTernReadGuard(CTernRWLock& lock) : m_Lock(&lock) { m_Lock->ReadLock(); }
  ~CTernReadGuard() { Unlock(); }
  CTernReadGuard(const CTernReadGuard&) = delete;
  CTernReadGuard& operator=(const CTernReadGuard&) = delete;

  // Releases the read lock now; later calls and the destructor do nothing.
  void Unlock() {
    if (m_Lock) std::exchange(m_Lock, nullptr)->ReadUnlock();
  }

 private:
  CTernRWLock* m_Lock;
};

// Holds a CTernRWLock's write lock from construction to the end of the scope, or to
// Unlock(). Construction and release run on the same thread, as the lock requires.
class CTernWriteGuard {
 public:
  explicit CTernWriteGuard(CTernRWLock& lock) : m_Lock(&lock) { m_Lock->WriteLock(); }
  ~CTernWriteGuard() { Unlock(); }
  CTernWriteGuard(const CTernWriteGuard&) = delete;
  CTernWriteGuard& operator=(const CTernWriteGuard&) = delete;

  // Releases the write lock now; later calls and the destructor do nothing.
  void Unlock() {
    if (m_Lock) std::exchange(m_Lock, nullptr)->WriteUnlock();
  }

 private:
  CTernRWLock* m_Lock;
};

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
