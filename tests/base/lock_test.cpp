// Thread locks, the readers/writer lock, events and named locks across processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "base/exception.h"
#include "base/lock.h"
#include "base/message_codes.h"
#include "base/named_lock.h"
#include "tests/support/events.h"

using Clock = std::chrono::steady_clock;

namespace {
// A lock name no other test run shares.
std::string UniqueName(const char* base) {
  return std::string(base) + "." + std::to_string(getpid()) + "." +
         std::to_string(Clock::now().time_since_epoch().count());
}
// TryLock of the name from a thread of its own (its own lock object), released
// again when acquired: 0 when the name was free, 1 when held.
int TryFromAnotherThread(const std::string& name) {
  int result = -1;
  std::thread([&] {
    CTernNamedLock theirs(name);
    result = theirs.TryLock();
    if (result == 0) theirs.Unlock();
  }).join();
  return result;
}

}  // namespace

TEST(Lock, MisuseIsReportedAndRepaired) {
  EventCapture events;
  {
    CTernLock lock;
    lock.Unlock();  // not held
    EXPECT_TRUE(events.Has(172));
    lock.Lock();
    lock.Lock();  // re-entry is allowed but reported
    EXPECT_TRUE(events.Has(171));
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), PlatformThreadId());
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), 0);
  }
  EXPECT_FALSE(events.Has(170));
  {
    CTernLock held;
    held.Lock();
  }  // destroyed while held
  EXPECT_TRUE(events.Has(170));
}

TEST(Lock, UnlockFromAnotherThreadDoesNotFreeIt) {
  EventCapture events;
  CTernLock lock;
  lock.Lock();
  std::thread([&] { lock.Unlock(); }).join();
  EXPECT_TRUE(events.Has(172));
  std::atomic<bool> got{false};
  std::thread other([&] {
    lock.Lock();
    got = true;
    lock.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());  // still ours
  lock.Unlock();
  other.join();
  EXPECT_TRUE(got.load());
}

TEST(RWLock, NegativeReaderCountIsRepaired) {
  EventCapture events;
  CTernRWLock lock;
  lock.ReadUnlock();
  EXPECT_TRUE(events.Has(6));
  EXPECT_EQ(lock.Readers(), 0);
  auto start = Clock::now();
  lock.WriteLock();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  lock.WriteUnlock();
}

TEST(RWLock, WriterWaitsForReadersAndGetsInSoonAfterTheLast) {
  CTernRWLock lock;
  lock.ReadLock();
  lock.ReadLock();
  std::atomic<bool> writing{false};
  std::atomic<long long> gotAt{0};
  std::thread writer([&] {
    lock.WriteLock();
    writing = true;
    gotAt = Clock::now().time_since_epoch().count();
    lock.WriteUnlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(writing.load());
  lock.ReadUnlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(writing.load());
  auto released = Clock::now();
  lock.ReadUnlock();
  writer.join();
  EXPECT_TRUE(writing.load());
  auto waited = Clock::time_point(Clock::duration(gotAt.load())) - released;
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
}

TEST(RWLock, ReadersQueueBehindAWriter) {
  CTernRWLock lock;
  lock.WriteLock();
  std::atomic<bool> reading{false};
  std::thread reader([&] {
    lock.ReadLock();
    reading = true;
    lock.ReadUnlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(reading.load());
  lock.WriteUnlock();
  reader.join();
  EXPECT_TRUE(reading.load());
}

TEST(RWLock, WriteMisuseReports) {
  EventCapture events;
  {
    CTernRWLock lock;
    lock.WriteLock();
    lock.WriteLock();
    EXPECT_TRUE(events.Has(175));
    lock.WriteUnlock();
    lock.WriteUnlock();
  }
  EXPECT_FALSE(events.Has(176));
  {
    CTernRWLock lock;
    lock.WriteLock();
  }  // held at destruction
  EXPECT_TRUE(events.Has(176));
}

TEST(RWLock, GuardsReleaseWhenAThrowLeavesTheScope) {
  CTernRWLock lock;
  auto throwing = [&](bool write) {
    try {
      if (write) {
        CTernWriteGuard guard(lock);
        throw std::bad_alloc();
      }
      CTernReadGuard guard(lock);
      throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
  };
  throwing(false);
  EXPECT_EQ(lock.Readers(), 0);
  throwing(true);
  EXPECT_EQ(lock.Writer(), 0);
  // Another thread gets both kinds of lock at once.
  std::thread([&] {
    CTernWriteGuard write(lock);
    write.Unlock();
    CTernReadGuard read(lock);
    EXPECT_EQ(lock.Readers(), 1);
  }).join();
  EXPECT_EQ(lock.Readers(), 0);
}

TEST(RWLock, GuardUnlockedEarlyIsNotReleasedTwice) {
  EventCapture events;
  CTernRWLock lock;
  {
    CTernReadGuard read(lock);
    read.Unlock();
    read.Unlock();
    CTernWriteGuard write(lock);  // would wait for ever on a reader left inside
    write.Unlock();
    write.Unlock();
  }
  EXPECT_EQ(lock.Readers(), 0);
  EXPECT_FALSE(events.Has(kMsgReaderCountNegative));
}

TEST(Event, AutoResetLetsOneWaiterThrough) {
  CTernEvent event;
  EXPECT_EQ(event.Wait(0L), kPlatformWaitTimeout);
  event.Set();
  EXPECT_EQ(event.Wait(1L), kPlatformWaitObject0);
  EXPECT_EQ(event.Wait(0L), kPlatformWaitTimeout);  // reset by the first wait
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set();
  });
  EXPECT_EQ(event.Wait(5L), kPlatformWaitObject0);
  setter.join();
}

TEST(NamedLock, WithoutNameThrows21) {
  EventCapture events;
  CTernNamedLock lock;
  EXPECT_THROW(lock.Lock(), CTernException);
  EXPECT_THROW(lock.Unlock(), CTernException);
  EXPECT_EQ(events.Count(21), 2);
}

TEST(NamedLock, ExcludesThreadsWithTheirOwnObjects) {
  std::string name = UniqueName("TNTESTTHREADS");
  CTernNamedLock mine(name);
  mine.Lock();
  EXPECT_EQ(TryFromAnotherThread(name), 1);
  mine.Unlock();
  EXPECT_EQ(TryFromAnotherThread(name), 0);
}

TEST(NamedLock, UnlockWithoutHoldingThrows43) {
  EventCapture events;
  CTernNamedLock lock(UniqueName("TNTESTUNHELD"));
  EXPECT_THROW(lock.Unlock(), CTernException);
  EXPECT_TRUE(events.Has(43));
}

TEST(NamedLock, SameNameFromTwoObjectsOnOneThreadNests) {
  // The named mutex is recursive for its thread, as a Windows mutex is: an inner
  // release must not free the outer hold.
  std::string name = UniqueName("TNTESTNEST");
  CTernNamedLock outer(name);
  outer.Lock();
  {
    CTernNamedLock inner(name);
    inner.Lock();
    inner.Unlock();
  }
  EXPECT_EQ(TryFromAnotherThread(name), 1);
  outer.Unlock();
}

TEST(NamedLock, TryLockReturns1WhileAnotherProcessHoldsIt) {
  std::string name = UniqueName("TNTESTPROC");
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CTernNamedLock lock(name);
    lock.Lock();
    char c = 'L';
    (void)!write(toParent[1], &c, 1);
    (void)!read(toChild[0], &c, 1);  // hold until told
    lock.Unlock();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  CTernNamedLock lock(name);
  auto start = Clock::now();
  EXPECT_EQ(lock.TryLock(), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  (void)!write(toChild[1], &c, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(lock.TryLock(), 0);
  lock.Unlock();
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST(NamedLock, AbandonedByADeadProcessIsReportedThenHeld) {
  EventCapture events;
  std::string name = UniqueName("TNTESTDEAD");
  int toParent[2];
  ASSERT_EQ(pipe(toParent), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CTernNamedLock lock(name);
    lock.Lock();
    char c = 'L';
    (void)!write(toParent[1], &c, 1);
    pause();  // killed while holding the lock
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);

  CTernNamedLock lock(name);
  EXPECT_NO_THROW(lock.Lock());
  PlatformEventLine event = events.Find(42);
  EXPECT_EQ(event.code, 42);
  EXPECT_NE(event.text.find(name), std::string::npos);
  EXPECT_EQ(lock.Owner(), PlatformThreadId());
  lock.Unlock();
  // The lock is usable again, by this process and by others.
  EXPECT_EQ(lock.TryLock(), 0);
  lock.Unlock();
  close(toParent[0]);
  close(toParent[1]);
}

TEST(NamedLock, AHolderKilledWhileRemovingTheLockLeavesItUsable) {
  // The last holder marks the lock's shared-memory object dead (its last four bytes)
  // and then removes it. This child dies between the two; the next holder must
  // clear the dead object away instead of finding it dead for ever. The next
  // holder runs in a process of its own, so that a hang ends with a kill.
  std::string name = UniqueName("TNTESTHALFGONE");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CTernNamedLock lock(name);
    lock.Lock();
    int fd = open(("/dev/shm" + PlatformNamedMutex::ObjectName(name)).c_str(), O_RDWR);
    struct stat st {};
    int32_t dead = 1;
    if (fd < 0 || fstat(fd, &st) != 0 || pwrite(fd, &dead, sizeof dead, st.st_size - 4) != 4)
      _exit(1);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CTernNamedLock lock(name);
    _exit(lock.TryLock(nullptr, 2000) == 0 ? 0 : 1);
  }
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the next holder never got the lock";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(TryFromAnotherThread(name), 0);
}

TEST(NamedLock, CountersIncrementedUnderTheLockByTwoProcessesAddUp) {
  // Two processes each add 1 to a number in a shared file 200 times under the
  // lock; a lost update would show as a total below 400.
  std::string name = UniqueName("TNTESTCOUNT");
  char path[] = "/tmp/ostrel-count-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  int zero = 0;
  ASSERT_EQ(write(fd, &zero, sizeof zero), static_cast<ssize_t>(sizeof zero));
  auto work = [&] {
    CTernNamedLock lock(name);
    for (int i = 0; i < 200; ++i) {
      lock.Lock();
      int n = 0;
      (void)!pread(fd, &n, sizeof n, 0);
      ++n;
      (void)!pwrite(fd, &n, sizeof n, 0);
      lock.Unlock();
    }
  };
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    work();
    _exit(0);
  }
  work();
  int status = 0;
  waitpid(pid, &status, 0);
  int total = 0;
  ASSERT_EQ(pread(fd, &total, sizeof total, 0), static_cast<ssize_t>(sizeof total));
  EXPECT_EQ(total, 400);
  close(fd);
  unlink(path);
}

TEST(NamedLock, DestroyedWhileHeldReportsAndGivesItBack) {
  EventCapture events;
  std::string name = UniqueName("TNTESTDROP");
  {
    CTernNamedLock lock(name);
    lock.Lock();
  }
  EXPECT_TRUE(events.Has(174));
  EXPECT_EQ(TryFromAnotherThread(name), 0);
}

TEST(NamedLock, ScopeHoldsUntilItEndsEvenWhenAThrowEndsIt) {
  std::string name = UniqueName("TNTESTSCOPE");
  try {
    CTernNamedLockScope scope(name);
    EXPECT_TRUE(scope.Held());
    EXPECT_EQ(TryFromAnotherThread(name), 1);
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  EXPECT_EQ(TryFromAnotherThread(name), 0);
  CTernNamedLockScope early(name);
  early.Unlock();
  EXPECT_FALSE(early.Held());
  EXPECT_EQ(TryFromAnotherThread(name), 0);
}

TEST(NamedLock, ScopeThatCannotTakeTheLockSaysSoWithoutThrowing) {
  // A directory where the lock's shared-memory object belongs keeps it from being
  // made: the scope reports it and does not hold.
  std::string name = UniqueName("TNTESTNOSCOPE");
  std::string blocker = "/dev/shm" + PlatformNamedMutex::ObjectName(name);
  if (mkdir(blocker.c_str(), 0700) != 0) GTEST_SKIP() << "no /dev/shm";
  EventCapture events;
  {
    CTernNamedLockScope scope(name);
    EXPECT_FALSE(scope.Held());
  }
  rmdir(blocker.c_str());
  EXPECT_TRUE(events.Has(kMsgNamedLockCreateFailed));
  EXPECT_FALSE(events.Has(kMsgNamedLockReleaseFailed));
}

TEST(NamedLock, LongNamesAndPathNamesWork) {
  std::string name = UniqueName(std::string(300, 'x').c_str()) + ",tmp,a/b";
  CTernNamedLock lock(name);
  EXPECT_EQ(lock.TryLock(), 0);
  lock.Unlock();
}
