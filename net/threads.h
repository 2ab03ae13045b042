// Thread creation and sleeping for every thread of the system: the servers' listener,
// worker and background threads, the clock and the mailbox cache cleaner. Threads
// are detached and never joined; each ends by returning from its routine.
#pragma once

#include <functional>

using TernThreadRoutine = void (*)(void* argument);

// TernCreateThread results: 0 the thread runs; non-zero otherwise.
constexpr int kTernThreadCreated = 0;
constexpr int kTernThreadNotCreated = 1;
// Non-zero as well, but the thread runs: only its priority could not be set.
constexpr int kTernThreadPriorityNotSet = 2;

// Creates a thread running routine(argument) with the default stack size. A priority
// above 0 raises the thread one step above normal, below 0 lowers it one step, 0
// leaves it. An exception that leaves the routine ends only that thread (a
// CTernException has reported itself already).
int TernCreateThread(TernThreadRoutine routine, void* argument, int priority);
int TernCreateThread(std::function<void()> routine, int priority);

// Sleeps the calling thread for whole seconds.
void TernSleep(int seconds);
