// The one source of "now" for the whole system. Everything that needs the current
// time (logs, schedules, queue spacing, expiry, time-outs) asks here, so that tests
// can set the clock to a chosen moment or move it forward.
#pragma once

#include <ctime>

// Seconds since 1 January 1970: the real time, or the time a test has set.
time_t PlatformNow();

// Local calendar time of t (thread-safe).
struct tm PlatformLocalTime(time_t t);

// Tests: freeze the clock at t; later calls of PlatformNow() return t (plus any
// PlatformAdvance()) until PlatformClearTime().
void PlatformSetTime(time_t t);
// Tests: move a frozen clock (or the offset of a running one) by seconds.
void PlatformAdvance(long seconds);
// Tests: return to the real clock.
void PlatformClearTime();
