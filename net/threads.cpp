// Thread creation over the platform's detached threads.
#include "net/threads.h"

#include <exception>

#include "base/exception.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "log/eventlog.h"

int TernCreateThread(TernThreadRoutine routine, void* argument, int priority) {
  if (!routine) return kTernThreadNotCreated;
  return TernCreateThread([routine, argument] { routine(argument); }, priority);
}

int TernCreateThread(std::function<void()> routine, int priority) {
  if (!routine) return kTernThreadNotCreated;
  auto body = [routine = std::move(routine)] {
    // An exception escaping a thread would end the whole process.
    try {
      routine();
    } catch (const CTernException&) {
    } catch (const std::exception& e) {
      TernDebugTrace(1, e.what());
    } catch (...) {
      TernDebugTrace(1, "thread ended by an unknown exception");
    }
  };
  switch (PlatformStartThread(std::move(body), priority)) {
    case kPlatformThreadStarted: return kTernThreadCreated;
    case kPlatformThreadPriorityUnchanged: return kTernThreadPriorityNotSet;
    default: return kTernThreadNotCreated;
  }
}

void TernSleep(int seconds) {
  if (seconds > 0) PlatformSleepMs(seconds * 1000L);
}
