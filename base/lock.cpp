// CTernLock, CTernRWLock and CTernEvent over standard recursive mutexes and the
// platform's event.
#include "base/lock.h"

#include "base/message_codes.h"
#include "base/report.h"

CTernLock::CTernLock() {}

CTernLock::~CTernLock() {
  long owner = m_Owner.load();
  if (owner != 0) {
    TernReportEvent(TernEventType::Error, kMsgLockHeldAtDestruction);
    // Give back what the destroying thread holds so that the mutex is free when
    // it goes away.
    if (owner == PlatformThreadId())
      while (m_Depth-- > 0) m_Mutex.unlock();
  }
}

void CTernLock::Lock() {
  long me = PlatformThreadId();
  if (m_Owner.load() == me) TernReportEvent(TernEventType::Error, kMsgLockTakenAgain);
  m_Mutex.lock();
  m_Owner.store(me);
  m_Depth++;
}

void CTernLock::Unlock() {
  long me = PlatformThreadId();
  if (m_Owner.load() != me) {
    // Releasing a lock this thread does not hold would free someone else's
    // critical section: report it and leave the lock alone.
    TernReportEvent(TernEventType::Error, kMsgLockNotHeld);
    return;
  }
  if (--m_Depth == 0) m_Owner.store(0);
  m_Mutex.unlock();
}

CTernRWLock::CTernRWLock() {}

CTernRWLock::~CTernRWLock() {
  if (m_Writer.load() != 0) {
    TernReportEvent(TernEventType::Error, kMsgWriteLockHeldAtDestruction);
    if (m_Writer.load() == PlatformThreadId()) m_Section.unlock();
  }
}

void CTernRWLock::ReadLock() {
  m_Section.lock();
  m_Readers++;
  m_Section.unlock();
}

void CTernRWLock::ReadUnlock() {
  m_Section.lock();
  m_Readers--;
  if (m_Readers < 0) {
    TernReportEvent(TernEventType::Error, kMsgReaderCountNegative);
    TernDebugTrace(3, "CTernRWLock::ReadUnlock m_Readers < 0");
    m_Readers = 0;
  }
  if (m_Readers == 0 && !m_OkToWrite.Set()) {
    TernReportEvent(TernEventType::Warning, kMsgOkToWriteSetFailed);
    TernDebugTrace(3, "Cannot set event on m_OkToWrite");
  }
  m_Section.unlock();
}

void CTernRWLock::WriteLock() {
  long me = PlatformThreadId();
  if (m_Writer.load() == me) TernReportEvent(TernEventType::Error, kMsgWriteLockTakenAgain);
  for (;;) {
    m_Section.lock();
    if (m_Readers == 0) break;
    m_Section.unlock();
    // The event is reset after every wake-up, so a reader's last ReadUnlock may
    // signal it between our look and our wait: never wait longer than a second.
    int rc = m_OkToWrite.Wait(1000);
    if (rc == kPlatformWaitObject0 || rc == kPlatformWaitTimeout) {
      if (!m_OkToWrite.Reset()) TernDebugTrace(3, kMsgOkToWriteResetFailed);
    }
  }
  m_Writer.store(me);
}

void CTernRWLock::WriteUnlock() {
  m_Writer.store(0);
  if (m_Readers != 0) {
    TernReportEvent(TernEventType::Error, kMsgReadersAtWriteUnlock, m_Readers);
    m_Readers = 0;
  }
  m_Section.unlock();
}

int32_t CTernRWLock::Readers() {
  m_Section.lock();
  int32_t n = m_Readers;
  m_Section.unlock();
  return n;
}

CTernEvent::CTernEvent() {}

void CTernEvent::Set() {
  if (!m_Event.Set()) TernReportEvent(TernEventType::Warning, kMsgOkToWriteSetFailed, 0);
}

int CTernEvent::Wait() { return m_Event.Wait(kPlatformInfinite); }

int CTernEvent::Wait(long seconds) { return m_Event.Wait(seconds * 1000); }
