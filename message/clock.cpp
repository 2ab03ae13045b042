// The clock thread and the local zone.
#include "message/clock.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/lock.h"
#include "base/message_codes.h"
#include "log/eventlog.h"
#include "message/mail_time.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace {

struct ClockState {
  CTernLock lock;  // guards zone
  int zone = 0;
  std::atomic<bool> running{false};
};

ClockState& State() {
  static ClockState* state = new ClockState;  // lives as long as the thread may
  return *state;
}

void Recompute(ClockState& state, time_t now) {
  int zone = CTernClock::ZoneAt(now);
  CTernLockGuard guard(state.lock);
  state.zone = zone;
}

void Tick() {
  ClockState& state = State();
  for (;;) {
    time_t now = PlatformNow();
    if (now % 3600 < 2) Recompute(state, now);
    PlatformSleepMs(1000);
  }
}

void StartOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    ClockState& state = State();
    Recompute(state, PlatformNow());
    try {
      std::thread(Tick).detach();
      state.running = true;
    } catch (const std::system_error&) {
      TernReportEvent(TernEventType::Error, kMsgTimerThreadFailed);
    }
  });
}

}  // namespace

time_t CTernClock::Now() {
  StartOnce();
  return PlatformNow();
}

int CTernClock::LocalZone() {
  StartOnce();
  ClockState& state = State();
  if (!state.running) return ZoneAt(PlatformNow());
  CTernLockGuard guard(state.lock);
  return state.zone;
}

int CTernClock::ZoneAt(time_t t) {
  struct tm local = PlatformLocalTime(t);
  TernCalendar utc = TernCalendarOf(t);
  // The difference in minutes between the two readings of the same moment; the
  // day numbers take care of a change of day, month or year between them.
  int64_t localDays = TernDaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  int64_t utcDays = TernDaysFromCivil(utc.year, utc.month, utc.day);
  long minutes = static_cast<long>(localDays - utcDays) * 1440 +
                 (local.tm_hour * 60 + local.tm_min) - (utc.hour * 60 + utc.minute);
  return static_cast<int>(minutes / 60 * 100 + minutes % 60);
}
