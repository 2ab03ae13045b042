// Mailboxes shared between processes: appends from two processes with several
// threads each lose nothing, and a process killed (SIGKILL) at random moments while
// it appends and compacts leaves a mailbox that loads with every message whose
// append had succeeded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/mailbox_manager.h"
#include "tests/store/store_fixture.h"

namespace {

// Appends message number i ("m<i>", with a body that names it) to box.
bool AddNumbered(const std::string& dir, CTernMailbox& box, long i) {
  std::string path = dir + "/src-" + std::to_string(getpid()) + "-" + std::to_string(i);
  {
    std::ofstream out(path, std::ios::binary);
    out << "From: p@example.org\r\nSubject: m" << i << "\r\n\r\nbody of " << i << "\r\n"
        << std::string(1500, 'x') << "\r\n";
  }
  CTernMessage source(path, 0, 0, TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
  bool added = source.Open() && box.Add(source, 1, "p@example.org") == TernAddResult::Added;
  source.Close();
  unlink(path.c_str());
  return added;
}

long NumberOf(const std::string& subject) { return std::stol(subject.substr(1)); }

void Report(int fd, const std::string& line) {
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
}

// The child of one round: appends, and every fifth turn marks the messages whose
// numbers divide by 3 and compacts, telling the parent each success, until killed.
[[noreturn]] void AppendAndCompactUntilKilled(const std::string& root, const std::string& dir,
                                              long first, int fd) {
  CTernMailboxManager manager(root, "jo");
  for (long i = first;; ++i) {
    CTernOpenMailbox box = manager.Open("Inbox", 30);
    if (!box) _exit(2);
    if (i % 5 != 4) {
      if (AddNumbered(dir, *box, i)) Report(fd, "A " + std::to_string(i) + "\n");
      continue;
    }
    std::string marked = "M";
    TernTocEntry e;
    for (int32_t n = 1; box->Info(n, e) == 0; ++n) {
      if (NumberOf(e.subject) % 3 != 0) continue;
      box->MarkForRemoval(n);
      marked += " " + e.subject.substr(1);
    }
    Report(fd, marked + "\n");
    if (box->Compact() == 0) Report(fd, "C\n");
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

class MailboxProcesses : public StoreFixture {};

TEST_F(MailboxProcesses, TwoProcessesWithThreadsAppendingLoseNothing) {
  constexpr int kThreads = 3, kEach = 12;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      CTernMailboxManager manager(Root(), "jo");
      std::atomic<int> failed{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = 0; i < kEach; ++i) {
            CTernOpenMailbox box = manager.Open("Inbox", 60);
            if (!box || !AddNumbered(m_Dir.Path(), *box, (p * 10 + t) * 1000 + i)) ++failed;
          }
        });
      }
      for (std::thread& t : threads) t.join();
      _exit(failed.load() == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  m_Events.Clear();
  CTernMailbox box(UserDir(), "jo", "Inbox");
  ASSERT_EQ(box.Load(), 0);
  EXPECT_EQ(ScanEvents(), "");
  std::set<long> numbers;
  TernTocEntry e;
  for (int32_t n = 1; box.Info(n, e) == 0; ++n) {
    EXPECT_TRUE(numbers.insert(NumberOf(e.subject)).second) << e.subject;
    EXPECT_NE(Read(box, n).find("body of " + e.subject.substr(1) + "\r\n"), std::string::npos);
  }
  EXPECT_EQ(numbers.size(), 2u * kThreads * kEach);
}

TEST_F(MailboxProcesses, AProcessKilledWhileAppendingAndCompactingLosesNoAcknowledgedMail) {
  constexpr int kRounds = 10;
  const int delaysMs[kRounds] = {35, 180, 60, 250, 20, 120, 90, 200, 45, 150};
  std::set<long> added, maybeRemoved, removed;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      AppendAndCompactUntilKilled(Root(), m_Dir.Path(), round * 100000L, fds[1]);
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(delaysMs[round]));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own: " << status;
    std::istringstream lines(ReadAll(fds[0]));
    close(fds[0]);
    std::set<long> lastMarked;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string kind;
      words >> kind;
      if (kind == "A") {
        long i;
        words >> i;
        added.insert(i);
      } else if (kind == "M") {
        lastMarked.clear();
        for (long i; words >> i;) lastMarked.insert(i);
        maybeRemoved.insert(lastMarked.begin(), lastMarked.end());
      } else if (kind == "C") {
        removed.insert(lastMarked.begin(), lastMarked.end());
      }
    }

    // What the next holder finds.
    CTernMailboxManager manager(Root(), "jo");
    CTernOpenMailbox box = manager.Open("Inbox", 10);
    ASSERT_TRUE(box) << "round " << round;
    std::map<long, int> present;
    TernTocEntry e;
    for (int32_t n = 1; box->Info(n, e) == 0; ++n) {
      long i = NumberOf(e.subject);
      ++present[i];
      EXPECT_NE(Read(*box, n).find("body of " + std::to_string(i) + "\r\n"), std::string::npos)
          << "round " << round << " message " << i;
    }
    for (long i : added)
      if (!maybeRemoved.count(i)) {
        EXPECT_EQ(present[i], 1) << "round " << round << " lost " << i;
      }
    for (long i : removed) EXPECT_EQ(present.count(i), 0u) << "round " << round << " kept " << i;
    for (const auto& [i, count] : present) EXPECT_LE(count, 1) << "round " << round << " twice " << i;
  }
  EXPECT_GT(added.size(), static_cast<size_t>(kRounds));  // the children got real work done
  EXPECT_FALSE(removed.empty());
}
