// Detached threads; a priority step is one step of the thread's nice value.
#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

namespace {

// Moves the calling thread's nice value one step; true when that worked.
bool StepPriority(int priority) {
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (nice == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + (priority > 0 ? -1 : 1)) == 0;
}

}  // namespace

int PlatformStartThread(std::function<void()> body, int priority) {
  try {
    if (priority == 0) {
      std::thread(std::move(body)).detach();
      return kPlatformThreadStarted;
    }
    std::promise<bool> set;
    std::future<bool> done = set.get_future();
    // The thread owns the promise, so the answer outlives this call if need be.
    std::thread([set = std::move(set), priority, body = std::move(body)]() mutable {
      set.set_value(StepPriority(priority));
      body();
    }).detach();
    return done.get() ? kPlatformThreadStarted : kPlatformThreadPriorityUnchanged;
  } catch (const std::system_error&) {
    return kPlatformThreadNotCreated;
  }
}
