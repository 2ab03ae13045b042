// The settable clock: real time plus an offset, or a frozen time for tests.
#include "platform/clock.h"

#include <atomic>

namespace {
std::atomic<bool> g_Frozen{false};
std::atomic<time_t> g_FrozenAt{0};
std::atomic<long> g_Offset{0};
}  // namespace

time_t PlatformNow() {
  if (g_Frozen.load()) return g_FrozenAt.load();
  return time(nullptr) + g_Offset.load();
}

struct tm PlatformLocalTime(time_t t) {
  struct tm out {};
  localtime_r(&t, &out);
  return out;
}

void PlatformSetTime(time_t t) {
  g_FrozenAt.store(t);
  g_Frozen.store(true);
}

void PlatformAdvance(long seconds) {
  if (g_Frozen.load())
    g_FrozenAt.fetch_add(seconds);
  else
    g_Offset.fetch_add(seconds);
}

void PlatformClearTime() {
  g_Frozen.store(false);
  g_Offset.store(0);
}
