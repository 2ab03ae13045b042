// The disk file and the memory file: lines, buffering, positions, the per-path
// lock, limits and the failures they report.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "base/disk_file.h"
#include "base/memory_file.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

using namespace std::chrono_literals;
namespace mode = TernFileMode;

namespace {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Joins a thread that has said it is done; one that has not finished in time is
// left behind so that the test still ends (it must own everything it uses).
using Flag = std::shared_ptr<std::atomic<bool>>;
Flag NewFlag() { return std::make_shared<std::atomic<bool>>(false); }

bool JoinWithin(std::thread& thread, const Flag& done, std::chrono::milliseconds limit) {
  bool finished = WaitFor([&] { return done->load(); }, limit);
  if (finished)
    thread.join();
  else
    thread.detach();
  return finished;
}

int64_t DiskSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A file of either kind holding contents, closed, and the name its messages use.
struct SomeFile {
  std::unique_ptr<CTernFile> file;
  std::string name;
};

SomeFile MakeFile(const std::string& kind, const TempDir& dir, const std::string& contents,
                  uint32_t diskMode = mode::NoLock) {
  if (kind == "disk") {
    std::string path = dir.Write("file", contents);
    return {std::make_unique<CTernDiskFile>(path, diskMode), path};
  }
  auto memory = std::make_unique<CTernMemoryFile>();
  memory->Open();
  memory->Write(contents);
  memory->Close();
  return {std::move(memory), "(memoryfile)"};
}

std::vector<std::string> ReadAllLines(CTernFile& file, const char* terminator) {
  std::vector<std::string> lines;
  std::string line;
  while (file.ReadLine(line, terminator) > 0) lines.push_back(line);
  return lines;
}

class AnyFile : public testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(Kinds, AnyFile, testing::Values("disk", "memory"),
                         [](const auto& info) { return info.param; });

struct LineCase {
  const char* label;
  std::string contents;
  const char* terminator;
  std::vector<std::string> lines;
};

TEST_P(AnyFile, ReadLineSplitsAtTheTerminatorAndEndsWithZero) {
  const std::string longLine(10000, 'y');
  const std::string edge(kTernFileBlock - 1, 'x');  // CR ends the first block
  const LineCase cases[] = {
      {"last line unterminated", "one\ntwo\nthree", "\n", {"one\n", "two\n", "three"}},
      {"lone LF inside a CR LF line", "a\nb\r\nc\r\n", "\r\n", {"a\nb\r\n", "c\r\n"}},
      {"empty file", "", "\n", {}},
      {"empty lines", "\r\n\r\n", "\r\n", {"\r\n", "\r\n"}},
      {"CR at the end", "abc\r", "\r\n", {"abc\r"}},
      {"terminator across blocks", edge + "\r\ntail", "\r\n", {edge + "\r\n", "tail"}},
      {"line of several blocks", longLine + "\nz\n", "\n", {longLine + "\n", "z\n"}},
      {"long terminator", "hi\r\n\r\n.\r\nrest", "\r\n.\r\n", {"hi\r\n\r\n.\r\n", "rest"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    SomeFile f = MakeFile(GetParam(), dir, c.contents);
    ASSERT_TRUE(f.file->Open()) << c.label;
    EXPECT_EQ(ReadAllLines(*f.file, c.terminator), c.lines) << c.label;
    std::string line = "stale";
    EXPECT_EQ(f.file->ReadLine(line, c.terminator), 0) << c.label;
    EXPECT_EQ(line, "") << c.label;
    char buffer[8];
    EXPECT_EQ(f.file->Read(buffer, sizeof buffer), 0) << c.label;
    EXPECT_TRUE(f.file->AtEnd()) << c.label;
    EXPECT_EQ(f.file->Tell(), static_cast<int32_t>(c.contents.size())) << c.label;
  }
}

TEST_P(AnyFile, ReadLineIntoABufferComesInPiecesAndIsZeroTerminated) {
  TempDir dir;
  SomeFile f = MakeFile(GetParam(), dir, "abcdefgh\nij");
  ASSERT_TRUE(f.file->Open());
  char buffer[4];
  std::vector<std::string> pieces;
  int32_t n;
  while ((n = f.file->ReadLine(buffer, sizeof buffer, "\n")) > 0) {
    EXPECT_EQ(strlen(buffer), static_cast<size_t>(n));
    pieces.emplace_back(buffer);
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(pieces, (std::vector<std::string>{"abc", "def", "gh\n", "ij"}));
}

TEST_P(AnyFile, ReadsWholeAndInParts) {
  TempDir dir;
  SomeFile f = MakeFile(GetParam(), dir, "0123456789");
  ASSERT_TRUE(f.file->Open());
  std::string part;
  EXPECT_EQ(f.file->Read(part, 4), 4);
  EXPECT_EQ(part, "0123");
  std::string rest;
  EXPECT_EQ(f.file->Read(rest), 6);
  EXPECT_EQ(rest, "456789");
  EXPECT_EQ(f.file->Read(rest), 0);
  EXPECT_EQ(rest, "");
  EXPECT_TRUE(f.file->Seek(-3, TernSeek::End));
  EXPECT_TRUE(f.file->Seek(1, TernSeek::Current));
  EXPECT_EQ(f.file->Read(part, 100), 2);
  EXPECT_EQ(part, "89");
  EXPECT_EQ(f.file->Size(), 10);
}

TEST_P(AnyFile, BadArgumentsAreRefusedWithTheirMessages) {
  TempDir dir;
  SomeFile f = MakeFile(GetParam(), dir, "text\n", mode::NoLock);
  SomeFile ro = MakeFile(GetParam(), dir, "text\n", mode::NoLock | mode::ReadOnly);
  if (GetParam() == "memory") ro.file = std::make_unique<CTernMemoryFile>(mode::ReadOnly);
  ASSERT_TRUE(f.file->Open());
  ASSERT_TRUE(ro.file->Open());
  char buffer[16];
  std::string line;
  struct Case {
    const char* label;
    std::function<bool()> failed;
    int code;
  } cases[] = {
      {"read null buffer", [&] { return f.file->Read(nullptr, 4) == -1; }, 95},
      {"read negative", [&] { return f.file->Read(buffer, -1) == -1; }, 95},
      {"write null buffer", [&] { return f.file->Write(nullptr, 4) == -1; }, 96},
      {"write negative", [&] { return f.file->Write(buffer, -1) == -1; }, 96},
      {"null terminator", [&] { return f.file->ReadLine(line, nullptr) == -1; }, 97},
      {"empty terminator", [&] { return f.file->ReadLine(line, "") == -1; }, 97},
      {"line null buffer", [&] { return f.file->ReadLine(nullptr, 8, "\n") == -1; }, 97},
      {"line negative size", [&] { return f.file->ReadLine(buffer, -1, "\n") == -1; }, 97},
      {"line size one", [&] { return f.file->ReadLine(buffer, 1, "\n") == -1; }, 97},
      {"truncate negative", [&] { return !f.file->Truncate(-1); }, 98},
      {"write read-only", [&] { return ro.file->Write("x") == -1; }, 99},
      {"truncate read-only", [&] { return !ro.file->Truncate(0); }, 99},
      {"seek bad origin", [&] { return !f.file->Seek(0, 7); }, 90},
      {"seek before start", [&] { return !f.file->Seek(-1, TernSeek::Start); }, 90},
      {"open twice", [&] { return !f.file->Open(); }, 85},
  };
  for (const auto& c : cases) {
    EventCapture events;
    EXPECT_TRUE(c.failed()) << c.label;
    EXPECT_EQ(events.Codes(), std::vector<int>{c.code}) << c.label;
    EXPECT_NE(events.Find(c.code).text.find(f.name), std::string::npos) << c.label;
  }
  // Nothing of that touched the contents or the position.
  EXPECT_EQ(f.file->Tell(), 0);
  EXPECT_EQ(f.file->Read(line), 5);
  EXPECT_EQ(line, "text\n");
}

TEST_P(AnyFile, EveryOperationOnAClosedFileReportsItsName) {
  TempDir dir;
  SomeFile f = MakeFile(GetParam(), dir, "text");
  char buffer[8];
  std::string text;
  struct Case {
    const char* name;
    std::function<bool()> failed;
  } cases[] = {
      {"Close", [&] { return !f.file->Close(); }},
      {"Read", [&] { return f.file->Read(buffer, 4) == -1; }},
      {"Read", [&] { return f.file->Read(text) == -1; }},
      {"Write", [&] { return f.file->Write("x") == -1; }},
      {"ReadLine", [&] { return f.file->ReadLine(text, "\n") == -1; }},
      {"ReadLine", [&] { return f.file->ReadLine(buffer, 8, "\n") == -1; }},
      {"Flush", [&] { return !f.file->Flush(); }},
      {"Truncate", [&] { return !f.file->Truncate(0); }},
      {"Seek", [&] { return !f.file->Seek(0, TernSeek::Start); }},
      {"Tell", [&] { return f.file->Tell() == -1; }},
      // A reading loop on a closed file must end.
      {"AtEnd", [&] { return f.file->AtEnd(); }},
  };
  for (const auto& c : cases) {
    EventCapture events;
    EXPECT_TRUE(c.failed()) << c.name;
    EXPECT_EQ(events.Codes(), std::vector<int>{87}) << c.name;
    EXPECT_EQ(events.Find(87).text, "Error: In " + std::string(c.name) + "(), file " + f.name +
                                        " has not been opened.");
  }
  // Size and time need no open file; the contents were not touched.
  EXPECT_EQ(f.file->Size(), 4);
  time_t when = 0;
  EXPECT_TRUE(f.file->ModificationTime(when));
  EXPECT_GT(when, 0);
}

TEST(DiskFile, LargeWriteLeavesLessThanABlockPendingAndTellsAtOnce) {
  TempDir dir;
  std::string path = dir.File("big");
  CTernDiskFile file(path, mode::Create | mode::Truncate);
  ASSERT_TRUE(file.Open());
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(file.Write(data), 10000);
  EXPECT_EQ(file.Tell(), 10000);
  int64_t onDisk = DiskSize(path);
  EXPECT_GE(onDisk, 10000 - (kTernFileBlock - 1));
  EXPECT_LE(onDisk, 10000);
  // Size counts what is still pending.
  EXPECT_EQ(file.Size(), 10000);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(TempDir::Read(path), data);
}

TEST(DiskFile, ReadingAfterWritingReadsFromTheLogicalPosition) {
  TempDir dir;
  std::string path = dir.Write("mixed", "0123456789ABCDEF");
  CTernDiskFile file(path, 0);
  ASSERT_TRUE(file.Open());
  std::string part;
  ASSERT_EQ(file.Read(part, 4), 4);  // the read-ahead took the whole file
  EXPECT_EQ(file.Write("xy"), 2);    // lands at 4, not where the system stands
  EXPECT_EQ(file.Tell(), 6);
  EXPECT_EQ(file.Read(part, 4), 4);  // the pending "xy" goes first; reading goes on at 6
  EXPECT_EQ(part, "6789");
  EXPECT_EQ(file.Write("!"), 1);
  std::string line;
  EXPECT_EQ(file.ReadLine(line, "\n"), 5);
  EXPECT_EQ(line, "BCDEF");
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(TempDir::Read(path), "0123xy6789!BCDEF");

  // Truncate drops the read-ahead; reading goes on where the caller stands.
  CTernDiskFile cut(dir.Write("cut", "abcdefghij"), 0);
  ASSERT_TRUE(cut.Open());
  ASSERT_EQ(cut.Read(part, 2), 2);
  EXPECT_TRUE(cut.Truncate(8));
  EXPECT_EQ(cut.Read(part, 10), 6);
  EXPECT_EQ(part, "cdefgh");

  CTernDiskFile fresh(dir.File("fresh"), mode::Create | mode::Truncate);
  ASSERT_TRUE(fresh.Open());
  EXPECT_EQ(fresh.Write("abc"), 3);
  EXPECT_EQ(fresh.Read(part), 0);  // at the end of what was written
  EXPECT_TRUE(fresh.Seek(0, TernSeek::Start));
  EXPECT_EQ(fresh.Read(part), 3);
  EXPECT_EQ(part, "abc");
}

TEST(DiskFile, TruncateSeekAndGapsKeepPositionAndContentsTrue) {
  TempDir dir;
  std::string path = dir.Write("t", "0123456789");
  CTernDiskFile file(path, 0);
  ASSERT_TRUE(file.Open());
  ASSERT_TRUE(file.Seek(0, TernSeek::End));
  EXPECT_EQ(file.Write("pending"), 7);
  EXPECT_TRUE(file.Truncate(4));  // pending bytes are written first, then cut off
  EXPECT_EQ(file.Tell(), 4);      // the position followed the end
  EXPECT_EQ(file.Write("ab"), 2);
  EXPECT_TRUE(file.Seek(3, TernSeek::Current));
  EXPECT_EQ(file.Write("Z"), 1);
  EXPECT_TRUE(file.Flush());
  EXPECT_EQ(TempDir::Read(path), std::string("0123ab\0\0\0Z", 10));
  EXPECT_TRUE(file.Close());
}

TEST(DiskFile, AppendWritesAtTheEndAndTellsWhere) {
  TempDir dir;
  std::string path = dir.Write("log", "abc");
  CTernDiskFile file(path, mode::Append | mode::Create);
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.Write("def"), 3);
  EXPECT_EQ(file.Tell(), 6);
  ASSERT_TRUE(file.Seek(0, TernSeek::Start));
  std::string all;
  EXPECT_EQ(file.Read(all), 6);
  EXPECT_EQ(all, "abcdef");
  ASSERT_TRUE(file.Seek(1, TernSeek::Start));
  EXPECT_EQ(file.Write("g"), 1);
  EXPECT_EQ(file.Tell(), 7);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(TempDir::Read(path), "abcdefg");
}

TEST(DiskFile, OpenFailuresAndStatByName) {
  TempDir dir;
  EventCapture events;
  CTernDiskFile missing(dir.File("missing"), mode::ReadOnly);
  EXPECT_FALSE(missing.Open());
  PlatformEventLine e = events.Find(86);
  EXPECT_EQ(e.text, "Error: File " + dir.File("missing") + " open failed, error 2.");
  EXPECT_EQ(e.data, ENOENT);
  EXPECT_EQ(missing.Size(), -1);
  time_t when = 0;
  EXPECT_FALSE(missing.ModificationTime(when));
  EXPECT_EQ(events.Count(93), 2);

  std::string path = dir.Write("dated", "12345");
  struct utimbuf times {1000000000, 1000000000};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
  CTernDiskFile dated(path, mode::ReadOnly);
  EXPECT_EQ(dated.Size(), 5);
  EXPECT_TRUE(dated.ModificationTime(when));
  EXPECT_EQ(when, 1000000000);
}

TEST(DiskFile, DeleteOnCloseRemovesOnlyWhatItOpened) {
  TempDir dir;
  std::string scratch = dir.File("scratch");
  {
    CTernDiskFile file(scratch, mode::Create | mode::DeleteOnClose);
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(file.Write("temporary"), 9);
  }
  EXPECT_EQ(DiskSize(scratch), -1);

  // A failed exclusive create must not remove the file that was there.
  std::string other = dir.Write("other", "keep me");
  EventCapture events;
  {
    CTernDiskFile file(other, mode::Create | mode::Exclusive | mode::DeleteOnClose);
    EXPECT_FALSE(file.Open());
  }
  EXPECT_EQ(events.Find(86).data, EEXIST);
  EXPECT_EQ(TempDir::Read(other), "keep me");
}

TEST(DiskFile, SyncPutsPendingBytesOnDisk) {
  TempDir dir;
  std::string path = dir.File("durable");
  CTernDiskFile file(path, mode::Create | mode::Truncate);
  EventCapture events;
  EXPECT_FALSE(file.Sync());
  EXPECT_EQ(events.Count(87), 1);
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.Write("body\r\n"), 6);
  EXPECT_TRUE(file.Sync());
  EXPECT_EQ(TempDir::Read(path), "body\r\n");
  EXPECT_EQ(file.Tell(), 6);
  EXPECT_TRUE(file.Close());
}

TEST(DiskFile, SecondOpenOfAPathWaitsUntilTheFirstCloses) {
  TempDir dir;
  std::string path = dir.Write("held", "x");
  CTernDiskFile first(path, 0);
  ASSERT_TRUE(first.Open());

  Flag locked = NewFlag(), unlocked = NewFlag(), lockedDone = NewFlag(),
       unlockedDone = NewFlag();
  // A reader with NoLock is not held up.
  std::thread reader([path, unlocked, unlockedDone] {
    CTernDiskFile f(path, mode::ReadOnly | mode::NoLock);
    *unlocked = f.Open();
    *unlockedDone = true;
  });
  EXPECT_TRUE(JoinWithin(reader, unlockedDone, 5s));
  EXPECT_TRUE(*unlocked);

  std::thread writer([path, locked, lockedDone] {
    CTernDiskFile f(path, 0);
    *locked = f.Open();
    *lockedDone = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(*locked);
  ASSERT_TRUE(first.Close());
  EXPECT_TRUE(JoinWithin(writer, lockedDone, 5s));
  EXPECT_TRUE(*locked);
}

TEST(DiskFile, OneObjectSharedByThreadsKeepsEveryWriteWhole) {
  TempDir dir;
  std::string path = dir.File("shared");
  auto file = std::make_shared<CTernDiskFile>(path, mode::Create | mode::Truncate);
  ASSERT_TRUE(file->Open());
  constexpr int kThreads = 4, kLines = 400;
  auto finished = std::make_shared<std::atomic<int>>(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([file, finished, t] {
      for (int i = 0; i < kLines; ++i) {
        std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                           std::string(static_cast<size_t>(i % 97), '.') + "\r\n";
        file->Write(line);
      }
      ++*finished;
    });
  }
  bool done = WaitFor([&] { return finished->load() == kThreads; }, 30s);
  for (auto& t : threads) done ? t.join() : t.detach();
  ASSERT_TRUE(done);
  ASSERT_TRUE(file->Close());

  CTernDiskFile reader(path, mode::ReadOnly | mode::NoLock);
  ASSERT_TRUE(reader.Open());
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : ReadAllLines(reader, "\r\n")) {
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[static_cast<size_t>(t)]++);
    EXPECT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                        std::string(static_cast<size_t>(i % 97), '.') + "\r\n");
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

TEST(DiskFile, OpenWaitsForAFreeDescriptor) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime opens files of its own while checking; with every
  // descriptor taken it reports false errors. The plain build runs this test.
  GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
  TempDir dir;
  std::string path = dir.Write("later", "data");
  EventCapture events;
  // The thread starts before the descriptors run out: starting one may need some.
  Flag go = NewFlag(), opened = NewFlag(), done = NewFlag();
  std::thread opener([path, go, opened, done] {
    if (WaitFor([&] { return go->load(); }, 10s)) {
      CTernDiskFile f(path, mode::ReadOnly | mode::NoLock);
      *opened = f.Open();
    }
    *done = true;
  });
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  *go = true;
  std::this_thread::sleep_for(1500ms);
  bool waited = !done->load();
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(waited);
  EXPECT_TRUE(JoinWithin(opener, done, 5s));
  EXPECT_TRUE(*opened);
  EXPECT_EQ(events.Count(86), 0);
}

TEST(DiskFile, PositionsPastTwoGigabytesAreRefused) {
  TempDir dir;
  std::string path = dir.File("sparse");
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 3LL << 30), 0);  // sparse: takes no space
  close(fd);
  EventCapture events;
  CTernDiskFile file(path, mode::NoLock);
  ASSERT_TRUE(file.Open());
  EXPECT_FALSE(file.Seek(0, TernSeek::End));
  EXPECT_EQ(events.Find(90).data, EOVERFLOW);
  EXPECT_EQ(file.Size(), -1);
  EXPECT_EQ(events.Find(94).data, EOVERFLOW);
  EXPECT_TRUE(file.Seek(INT32_MAX - 2, TernSeek::Start));
  EXPECT_EQ(file.Write("0123456789"), -1);
  EXPECT_EQ(events.Find(92).data, EFBIG);
  EXPECT_EQ(file.Tell(), INT32_MAX - 2);
  char buffer[10];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 2);  // up to the largest position
  EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);  // not a false end of file
  std::string line;
  EXPECT_EQ(file.ReadLine(line, "\n"), -1);
  EXPECT_EQ(events.Count(89), 2);
  EXPECT_TRUE(file.Close());
}

// Freezes the clock for a test and gives the real one back at the end.
struct FrozenClock {
  explicit FrozenClock(time_t at) { PlatformSetTime(at); }
  ~FrozenClock() { PlatformClearTime(); }
};

TEST(MemoryFile, ContentsOutliveCloseUnlessOpenedWithTruncate) {
  FrozenClock clock(1000000);
  CTernMemoryFile keep;
  time_t when = 0;
  ASSERT_TRUE(keep.ModificationTime(when));
  EXPECT_EQ(when, 1000000);
  ASSERT_TRUE(keep.Open());
  PlatformAdvance(10);
  EXPECT_EQ(keep.Write("line one\r\n"), 10);
  EXPECT_TRUE(keep.Close());
  ASSERT_TRUE(keep.Open());
  std::string all;
  EXPECT_EQ(keep.Read(all), 10);
  EXPECT_EQ(all, "line one\r\n");
  ASSERT_TRUE(keep.ModificationTime(when));
  EXPECT_EQ(when, 1000010);

  CTernMemoryFile fresh(mode::Truncate);
  ASSERT_TRUE(fresh.Open());
  EXPECT_EQ(fresh.Write("old"), 3);
  EXPECT_TRUE(fresh.Close());
  PlatformAdvance(5);
  ASSERT_TRUE(fresh.Open());
  EXPECT_EQ(fresh.Size(), 0);
  ASSERT_TRUE(fresh.ModificationTime(when));
  EXPECT_EQ(when, 1000015);
}

TEST(MemoryFile, AppendTruncateAndGaps) {
  CTernMemoryFile log(mode::Append);
  ASSERT_TRUE(log.Open());
  EXPECT_EQ(log.Write("abc"), 3);
  ASSERT_TRUE(log.Seek(0, TernSeek::Start));
  EXPECT_EQ(log.Write("def"), 3);  // still at the end
  EXPECT_EQ(log.Tell(), 6);
  EXPECT_TRUE(log.Truncate(2));
  EXPECT_EQ(log.Tell(), 2);
  EXPECT_EQ(log.Contents(), "ab");

  CTernMemoryFile page;
  page.Reserve(1 << 16);
  EXPECT_EQ(page.Size(), 0);
  ASSERT_TRUE(page.Open());
  ASSERT_TRUE(page.Seek(3, TernSeek::Start));
  EXPECT_EQ(page.Write("x"), 1);
  EXPECT_EQ(page.Contents(), std::string("\0\0\0x", 4));
  EXPECT_TRUE(page.Truncate(6));  // lengthening keeps the position
  EXPECT_EQ(page.Tell(), 4);
  EXPECT_EQ(page.Size(), 6);
  EXPECT_FALSE(page.AtEnd());
}

}  // namespace
