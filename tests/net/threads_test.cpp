// Thread creation: the routine runs with its argument at the asked priority step,
// and an exception leaving a routine ends only that thread.
#include "net/threads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "base/exception.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

struct Probe {
  std::atomic<bool> ran{false};
  std::atomic<int> nice{-100};
};

void Record(void* argument) {
  auto* probe = static_cast<Probe*>(argument);
  probe->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  probe->ran = true;
}

}  // namespace

TEST(Threads, TheRoutineRunsWithItsArgumentOneStepLowerWhenAsked) {
  int mine = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  Probe normal, lowered;
  ASSERT_EQ(TernCreateThread(Record, &normal, 0), kTernThreadCreated);
  ASSERT_EQ(TernCreateThread(Record, &lowered, -1), kTernThreadCreated);
  ASSERT_TRUE(WaitFor([&] { return normal.ran && lowered.ran; }));
  EXPECT_EQ(normal.nice, mine);
  EXPECT_EQ(lowered.nice, mine + 1);
}

TEST(Threads, RaisingReportsWhetherThePriorityCouldBeSet) {
  Probe raised;
  int result = TernCreateThread(Record, &raised, 1);
  // Raising needs a privilege; without it the thread still runs.
  ASSERT_TRUE(result == kTernThreadCreated || result == kTernThreadPriorityNotSet) << result;
  ASSERT_TRUE(WaitFor([&] { return raised.ran.load(); }));
  if (result == kTernThreadCreated) {
    EXPECT_EQ(raised.nice, getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))) - 1);
  }
}

TEST(Threads, AnExceptionEndsOnlyItsThread) {
  EventCapture events;
  std::atomic<int> ended{0};
  ASSERT_EQ(TernCreateThread([&] { ended++; throw std::runtime_error("lost"); }, 0), kTernThreadCreated);
  ASSERT_EQ(TernCreateThread([&] { ended++; throw CTernException(142); }, 0), kTernThreadCreated);
  EXPECT_TRUE(WaitFor([&] { return ended == 2; }));
  EXPECT_TRUE(WaitFor([&] { return events.Has(142); }));
  EXPECT_EQ(TernCreateThread(nullptr, nullptr, 0), kTernThreadNotCreated);
}
