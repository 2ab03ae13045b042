// Thread identity, events and sleeping on Linux.
#include "platform/sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

long PlatformThreadId() {
  static thread_local long id = static_cast<long>(syscall(SYS_gettid));
  return id;
}

PlatformEvent::PlatformEvent(bool manualReset) : m_ManualReset(manualReset) {}

bool PlatformEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Signalled = true;
  }
  if (m_ManualReset)
    m_Cond.notify_all();
  else
    m_Cond.notify_one();
  return true;
}

bool PlatformEvent::Reset() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_Signalled = false;
  return true;
}

int PlatformEvent::Wait(long milliseconds) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  auto ready = [this] { return m_Signalled; };
  if (milliseconds < 0) {
    m_Cond.wait(lock, ready);
  } else if (!m_Cond.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return kPlatformWaitTimeout;
  }
  if (!m_ManualReset) m_Signalled = false;
  return kPlatformWaitObject0;
}

void PlatformSleepMs(long milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
