// The thread pools of the servers: creation, surplus, restart after an exception,
// and the stop that waits for every thread.
#include "net/server.h"

#include <algorithm>
#include <chrono>

#include "net/threads.h"
#include "log/eventlog.h"

struct CTernServer::ThreadContext {
  CTernServer* server;
  int kind;
  int number;
  bool retired = false;  // already taken out of the running count
};

namespace {

// The context of the server thread running on this thread, if any.
thread_local void* t_Context = nullptr;

// How often Stop looks whether the threads have left.
constexpr long kStopPollMs = 50;
// How often idle surplus workers look whether they may leave.
constexpr long kSurplusLookMs = 1000;

long long SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CTernServer::CTernServer(std::string_view name, const TernServerMessages& messages)
    : m_Messages(messages), m_Name(name) {}

CTernServer::~CTernServer() = default;

bool CTernServer::StopRequested() const { return m_Stop.load(); }

std::string CTernServer::Name() const {
  CTernLockGuard guard(m_Lock);
  return m_Name;
}

bool CTernServer::Started() const {
  CTernLockGuard guard(m_Lock);
  return m_Started;
}

int CTernServer::RunningCount(int kind) const {
  CTernLockGuard guard(m_Lock);
  return kind >= 0 && kind < 3 ? m_Running[kind] : 0;
}

int CTernServer::WantedCount(int kind) const {
  CTernLockGuard guard(m_Lock);
  return kind >= 0 && kind < 3 ? m_Wanted[kind] : 0;
}

int CTernServer::RunningTotalLocked() const { return m_Running[0] + m_Running[1] + m_Running[2]; }

void CTernServer::ReportInvalidStart(int workers) {
  TernReportEventF(TernEventType::Error, m_Messages.invalidStart, Name(), workers);
}

void CTernServer::ReportNoListen() {
  TernReportEventF(TernEventType::Error, m_Messages.noListen, m_Name);
}

bool CTernServer::BeginStartLocked() {
  if (m_Started) {
    TernReportEventF(TernEventType::Error, m_Messages.alreadyStarted, m_Name);
    return false;
  }
  m_Stop = false;
  m_StopEvent.Reset();
  return true;
}

bool CTernServer::LaunchLocked(int workers, int background) {
  bool ok = SetCountLocked(kTernReceiverThread, 1) && SetCountLocked(kTernWorkerThread, workers) &&
            SetCountLocked(kTernBackgroundThread, background);
  if (ok) m_Started = true;
  return ok;
}

bool CTernServer::SetWorkerCount(int n) {
  bool ok;
  {
    CTernLockGuard guard(m_Lock);
    if (!m_Started || m_Stop.load() || n < 1) return false;
    ok = SetCountLocked(kTernWorkerThread, n);
  }
  // Wake one worker now: a surplus one leaves and passes the baton on.
  SignalWork();
  return ok;
}

bool CTernServer::SetBackgroundCount(int n) {
  CTernLockGuard guard(m_Lock);
  if (!m_Started || m_Stop.load() || n < 0) return false;
  return SetCountLocked(kTernBackgroundThread, n);
}

bool CTernServer::SetCountLocked(int kind, int n) {
  m_Wanted[kind] = n;
  while (m_Running[kind] < n) {
    auto* context = new ThreadContext{this, kind, m_NextNumber++};
    if (!StartThreadLocked(context)) {
      delete context;
      TernReportEventF(TernEventType::Error, m_Messages.threadsShort, m_Running[kind], n);
      return false;
    }
    m_Running[kind]++;
  }
  return true;
}

bool CTernServer::StartThreadLocked(ThreadContext* context) {
  return TernCreateThread([this, context] { RunThread(context); }, 0) == kTernThreadCreated;
}

void CTernServer::RunThread(ThreadContext* context) {
  t_Context = context;
  try {
    switch (context->kind) {
      case kTernReceiverThread: ReceiverLoop(); break;
      case kTernWorkerThread: WorkerLoop(context); break;
      default: Background(context->number); break;
    }
  } catch (...) {
    // A CTernException has reported itself; whatever it was, the thread is lost.
    t_Context = nullptr;
    Restart(context);
    return;
  }
  t_Context = nullptr;
  {
    CTernLockGuard guard(m_Lock);
    if (!context->retired) m_Running[context->kind]--;
  }
  // Nothing of the server may be touched from here on: Stop may have returned.
  delete context;
}

void CTernServer::Restart(ThreadContext* context) {
  CTernLockGuard guard(m_Lock);
  TernReportEventF(TernEventType::Error, m_Messages.threadException, m_Name, context->number);
  if (context->retired) {
    delete context;  // it was leaving anyway
    return;
  }
  if (!StartThreadLocked(context)) {
    TernReportEventF(TernEventType::Error, m_Messages.noRestart, m_Name, context->number);
    m_Running[context->kind]--;
    delete context;
  }
}

bool CTernServer::GrowWorkersLocked(int needed, int ceiling) {
  if (!m_Started || m_Stop.load()) return false;
  int most = std::min(needed, std::max(ceiling, m_Wanted[kTernWorkerThread]));
  while (m_Running[kTernWorkerThread] < most) {
    auto* context = new ThreadContext{this, kTernWorkerThread, m_NextNumber++};
    if (!StartThreadLocked(context)) {
      delete context;
      return false;
    }
    m_Running[kTernWorkerThread]++;
    m_LastGrowthMs = SteadyMs();
  }
  return true;
}

bool CTernServer::RetireIfSurplus(ThreadContext* context) {
  CTernLockGuard guard(m_Lock);
  return RetireIfSurplusLocked(context);
}

bool CTernServer::RetireIdleWorker(ThreadContext* context) {
  CTernLockGuard guard(m_Lock);
  // Work queued meanwhile is this worker's: whoever queued it counted on it.
  if (HasQueued()) return false;
  if (m_LastGrowthMs != 0 && SteadyMs() - m_LastGrowthMs < m_SurplusIdleMs.load()) return false;
  return RetireIfSurplusLocked(context);
}

bool CTernServer::SurplusWorkers() const {
  CTernLockGuard guard(m_Lock);
  return m_Running[kTernWorkerThread] > m_Wanted[kTernWorkerThread];
}

bool CTernServer::RetireIfSurplusLocked(ThreadContext* context) {
  if (m_Running[context->kind] <= m_Wanted[context->kind]) return false;
  // Decided and counted in one step, so that two workers woken together cannot
  // both leave when only one is surplus.
  m_Running[context->kind]--;
  context->retired = true;
  return true;
}

bool CTernServer::BackgroundSurplus() {
  auto* context = static_cast<ThreadContext*>(t_Context);
  if (context && context->server == this && context->kind == kTernBackgroundThread) {
    if (context->retired) return true;
    return RetireIfSurplus(context);
  }
  CTernLockGuard guard(m_Lock);
  return m_Running[kTernBackgroundThread] > m_Wanted[kTernBackgroundThread];
}

void CTernServer::WorkerLoop(ThreadContext* context) {
  while (!StopRequested()) {
    m_WorkEvent.Wait(SurplusWorkers() ? kSurplusLookMs : kPlatformInfinite);
    if (StopRequested()) break;
    if (!ServeNext(context->number)) {
      if (RetireIdleWorker(context)) break;
      continue;
    }
    while (!StopRequested() && ServeNext(context->number)) {
    }
  }
  // Pass the baton on so that the next waiting worker sees the stop or the surplus.
  SignalWork();
}

void CTernServer::Background(int number) {
  (void)number;
  while (!StopRequested() && !BackgroundSurplus()) SleepUnlessStopped(5);
}

bool CTernServer::SleepUnlessStopped(int seconds) {
  if (seconds > 0) m_StopEvent.Wait(seconds * 1000L);
  return StopRequested();
}

bool CTernServer::Stop() {
  auto* self = static_cast<ThreadContext*>(t_Context);
  int own = self && self->server == this && !self->retired ? 1 : 0;
  m_Stop = true;
  m_StopEvent.Set();
  SignalWork();
  for (;;) {
    {
      CTernLockGuard guard(m_Lock);
      if (RunningTotalLocked() <= own) break;
    }
    SignalWork();
    PlatformSleepMs(kStopPollMs);
  }
  CTernLockGuard guard(m_Lock);
  DropQueued();
  CloseReceiver();
  m_Started = false;
  return true;
}
