// The scratch directory of a fuzz target that works on files: made once per
// process on a memory file system when there is one (every save syncs its files,
// which costs nothing there), else in /tmp. Events are switched off (they would
// only slow the run down) and the clock is fixed, so that runs repeat.
#pragma once

#include <stdlib.h>

#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/eventsink.h"

inline std::string MakeFuzzDirectory(const std::string& name, time_t now) {
  std::string memory = "/dev/shm/ostrel-" + name + "-fuzz-XXXXXX";
  std::string fallback = "/tmp/ostrel-" + name + "-fuzz-XXXXXX";
  const char* made = mkdtemp(memory.data());
  if (!made) made = mkdtemp(fallback.data());
  if (!made) abort();
  PlatformSetEventFile("");
  PlatformSetEventSyslog(false);
  PlatformSetTime(now);
  return made;
}
