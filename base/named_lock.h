// A lock with a name that excludes across threads and processes: every
// CTernNamedLock of the same name, in any process, shares one named mutex.
// One object belongs to one thread at a time; a second thread makes its own object
// for the same name.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "base/lock.h"
#include "platform/named_mutex.h"

class CTernNamedLock {
 public:
  CTernNamedLock() = default;
  explicit CTernNamedLock(const char* name);
  explicit CTernNamedLock(const std::string& name);
  ~CTernNamedLock();
  CTernNamedLock(const CTernNamedLock&) = delete;
  CTernNamedLock& operator=(const CTernNamedLock&) = delete;

  // Names the lock and opens its mutex (not owned). Throws CTernException 44 when
  // the mutex cannot be opened.
  void SetName(const std::string& name);
  // Waits without limit. Throws 21 without a name and 42 when the wait fails. A
  // mutex whose holder died is reported with 42 and is then held: throwing there
  // would leave it held for ever.
  void Lock(const char* name = nullptr);
  // 0 when acquired, 1 when another thread or process holds it. With a time-out
  // (milliseconds) waits that long for the holder to let go before answering 1.
  int TryLock(const char* name = nullptr, long timeoutMs = 0);
  // Throws 21 without a name and 43 when the mutex cannot be released.
  void Unlock();

  const std::string& Name() const { return m_Name; }
  long Owner() const { return m_Owner.load(); }

 private:
  // Lock and TryLock: waits at most milliseconds (-1: without limit); true when
  // the mutex is now held.
  bool Take(const char* name, long milliseconds);

  CTernRWLock m_Guard;
  std::atomic<long> m_Owner{0};
  std::string m_Name;
  PlatformNamedMutex m_Mutex;
};

// Holds a named lock for a scope without ever throwing: a lock that cannot be made,
// waited on or released has already been reported (by its CTernException) and is
// caught here. Held() says whether the scope holds the lock, so a caller can refuse
// to touch the data set the lock guards. Release runs on the constructing thread.
class CTernNamedLockScope {
 public:
  // Takes the lock of that name through an object of its own.
  explicit CTernNamedLockScope(const std::string& name);
  // Takes a named lock object that already has its name (kept open by its owner,
  // who makes sure only one thread uses it at a time).
  explicit CTernNamedLockScope(CTernNamedLock& lock);
  ~CTernNamedLockScope();
  CTernNamedLockScope(const CTernNamedLockScope&) = delete;
  CTernNamedLockScope& operator=(const CTernNamedLockScope&) = delete;

  // True when the lock was taken and has not been given back.
  bool Held() const { return m_Held; }
  // Gives the lock back now; later calls and the destructor do nothing.
  void Unlock();

 private:
  void Take(const char* name);

  std::optional<CTernNamedLock> m_Own;
  CTernNamedLock* m_Lock;
  bool m_Held = false;
};
