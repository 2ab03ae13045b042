// Clocks the benchmarks share: wall time since a moment, and the CPU time of the
// calling thread, whose figures hold on a machine whose other work takes the
// processor away part of the time.
#pragma once

#include <time.h>

#include <chrono>

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}
