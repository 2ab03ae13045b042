// CTernNamedLock over the platform's named mutex.
#include "base/named_lock.h"

#include <cerrno>
#include <utility>

#include "base/exception.h"
#include "base/message_codes.h"
#include "base/report.h"

CTernNamedLock::CTernNamedLock(const char* name) {
  if (name) SetName(name);
}

CTernNamedLock::CTernNamedLock(const std::string& name) { SetName(name); }

CTernNamedLock::~CTernNamedLock() {
  if (m_Owner.load() != 0) {
    TernReportEvent(TernEventType::Error, kMsgNamedLockHeldAtDestruction);
    // A named mutex left held by a living thread would shut every other holder out
    // for as long as that thread lives: give it back.
    if (m_Owner.load() == PlatformThreadId()) {
      while (m_Mutex.Release() == 0) {
      }
    }
  }
}

void CTernNamedLock::SetName(const std::string& name) {
  int err;
  {
    CTernWriteGuard guard(m_Guard);
    m_Name = name;
    err = m_Mutex.Open(name);
  }
  if (err != 0) throw CTernException(kMsgNamedLockCreateFailed, name, err);
}

bool CTernNamedLock::Take(const char* name, long milliseconds) {
  if (m_Owner.load() == PlatformThreadId())
    TernReportEvent(TernEventType::Error, kMsgNamedLockTakenAgain);
  if (name) SetName(name);
  CTernWriteGuard guard(m_Guard);
  if (!m_Mutex.IsOpen()) throw CTernException(kMsgNamedLockNoName);
  int result = m_Mutex.Acquire(milliseconds);
  if (result == kPlatformWaitTimeout) return false;
  if (result == kPlatformWaitAbandoned) {
    TernReportEventF(TernEventType::Error, kMsgNamedLockWaitFailed, m_Name, result);
  } else if (result != kPlatformWaitObject0) {
    throw CTernException(kMsgNamedLockWaitFailed, m_Name, result);
  }
  m_Owner.store(PlatformThreadId());
  return true;
}

void CTernNamedLock::Lock(const char* name) { Take(name, -1); }

int CTernNamedLock::TryLock(const char* name, long timeoutMs) {
  return Take(name, timeoutMs > 0 ? timeoutMs : 0) ? 0 : 1;
}

void CTernNamedLock::Unlock() {
  m_Owner.store(0);
  int err;
  {
    CTernWriteGuard guard(m_Guard);
    if (!m_Mutex.IsOpen()) throw CTernException(kMsgNamedLockNoName);
    err = m_Mutex.Release();
  }
  if (err != 0) throw CTernException(kMsgNamedLockReleaseFailed, m_Name, 0);
}

CTernNamedLockScope::CTernNamedLockScope(const std::string& name) : m_Lock(&m_Own.emplace()) {
  Take(name.c_str());
}

CTernNamedLockScope::CTernNamedLockScope(CTernNamedLock& lock) : m_Lock(&lock) { Take(nullptr); }

void CTernNamedLockScope::Take(const char* name) {
  try {
    m_Lock->Lock(name);
    m_Held = true;
  } catch (const CTernException&) {
    // Reported when it was made; Held() tells the caller.
  }
}

CTernNamedLockScope::~CTernNamedLockScope() { Unlock(); }

void CTernNamedLockScope::Unlock() {
  if (!std::exchange(m_Held, false)) return;
  try {
    m_Lock->Unlock();
  } catch (const CTernException&) {
    // Reported when it was made; there is nothing more a scope's end can do.
  }
}
