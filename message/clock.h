// The process-wide clock: the current time and the local zone. The first request
// starts the clock thread, which ticks every second on the system's time source
// (platform/clock.h) and works the local zone out again in the first two seconds of
// every hour, so a change to or from summer time shows within the hour. When the
// thread cannot start, message 51 is reported and the zone is worked out at every
// request instead.
//
// Safe to use from any thread. Now() reads the time source on every call, so it is
// never a tick behind (and tests that set the time source see their time at once).
#pragma once

#include <ctime>

class CTernClock {
 public:
  // Seconds since 1970; starts the clock thread on first use.
  static time_t Now();
  // The offset of local time from UTC as a signed hhmm number (-500, 100, -330).
  static int LocalZone();
  // The hhmm offset of local time at moment t, from the same moment's local and
  // universal calendar fields.
  static int ZoneAt(time_t t);
};
