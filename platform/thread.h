// Threads of the system: detached threads (never joined) at a chosen priority step,
// standing in for CreateThread and SetThreadPriority.
#pragma once

#include <functional>

// Results of PlatformStartThread.
constexpr int kPlatformThreadStarted = 0;
constexpr int kPlatformThreadNotCreated = 1;
// The thread runs, but its priority could not be changed (raising one needs a
// privilege that an ordinary account lacks on this platform).
constexpr int kPlatformThreadPriorityUnchanged = 2;

// Starts body on a new detached thread with the default stack size. A priority
// above 0 raises the thread one step above normal, below 0 lowers it one step, 0
// leaves it. Returns once the thread runs at its priority (or could not be made to).
int PlatformStartThread(std::function<void()> body, int priority);
