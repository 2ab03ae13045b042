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
  m_Guard.WriteLock();
  m_Name = name;
  int err = m_Mutex.Open(name);
  m_Guard.WriteUnlock();
  if (err != 0) throw CTernException(kMsgNamedLockCreateFailed, name, err);
}

void CTernNamedLock::ReportReentry() {
  if (m_Owner.load() == PlatformThreadId())
    TernReportEvent(TernEventType::Error, kMsgNamedLockTakenAgain);
}

bool CTernNamedLock::Acquired(int result) {
  if (result == kPlatformWaitObject0) return true;
  if (result == kPlatformWaitTimeout) return false;
  if (result == kPlatformWaitAbandoned) {
    TernReportEventF(TernEventType::Error, kMsgNamedLockWaitFailed, m_Name, result);
    return true;
  }
  std::string name = m_Name;
  m_Guard.WriteUnlock();
  throw CTernException(kMsgNamedLockWaitFailed, name, result);
}

void CTernNamedLock::Lock(const char* name) {
  ReportReentry();
  if (name) SetName(name);
  m_Guard.WriteLock();
  if (!m_Mutex.IsOpen()) {
    m_Guard.WriteUnlock();
    throw CTernException(kMsgNamedLockNoName);
  }
  Acquired(m_Mutex.Acquire(-1));
  m_Owner.store(PlatformThreadId());
  m_Guard.WriteUnlock();
}

int CTernNamedLock::TryLock(const char* name, long timeoutMs) {
  ReportReentry();
  if (name) SetName(name);
  m_Guard.WriteLock();
  if (!m_Mutex.IsOpen()) {
    m_Guard.WriteUnlock();
    throw CTernException(kMsgNamedLockNoName);
  }
  bool held = Acquired(m_Mutex.Acquire(timeoutMs > 0 ? timeoutMs : 0));
  if (held) m_Owner.store(PlatformThreadId());
  m_Guard.WriteUnlock();
  return held ? 0 : 1;
}

void CTernNamedLock::Unlock() {
  m_Owner.store(0);
  m_Guard.WriteLock();
  if (!m_Mutex.IsOpen()) {
    m_Guard.WriteUnlock();
    throw CTernException(kMsgNamedLockNoName);
  }
  int err = m_Mutex.Release();
  m_Guard.WriteUnlock();
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
