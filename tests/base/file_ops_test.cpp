// Path operations, directory listings and the replacement of data files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/directory.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

using namespace std::chrono_literals;

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TernFileWriter Writes(const std::string& text) {
  return [text](CTernFile& file) { return file.Write(text) == static_cast<int32_t>(text.size()); };
}

TEST(Path, JoinSplitExtensionAndLockName) {
  struct {
    std::string directory, name, joined;
  } joins[] = {
      {"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"", "b", "b"}, {"/", "b", "/b"},
  };
  for (const auto& c : joins) EXPECT_EQ(PathJoin(c.directory, c.name), c.joined) << c.joined;

  struct {
    std::string path, directory, name, extension;
  } splits[] = {
      {"mail/q/M1.env", "mail/q", "M1.env", "env"},
      {"plain", "", "plain", ""},
      {"/root.toc", "/", "root.toc", "toc"},
      {"dir.d/file", "dir.d", "file", ""},  // a dot in a directory is no extension
      {"a.tar.gz", "", "a.tar.gz", "gz"},
  };
  for (const auto& c : splits) {
    TernPathParts parts = PathSplit(c.path);
    EXPECT_EQ(parts.directory, c.directory) << c.path;
    EXPECT_EQ(parts.name, c.name) << c.path;
    EXPECT_EQ(PathExtension(c.path), c.extension) << c.path;
  }

  EXPECT_EQ(LockNameOf("/var/mail/box"), ",var,mail,box");
  EXPECT_EQ(LockNameOf("C:\\Temp\\x/y"), "C:,Temp,x,y");
  std::string deep = "/" + std::string(300, 'd') + "/tail";
  std::string name = LockNameOf(deep);
  EXPECT_EQ(name.size(), 255u);
  EXPECT_EQ(name.substr(250), ",tail");
}

TEST(FileOps, RenameNeverReplacesAnExistingTarget) {
  TempDir dir;
  std::string from = dir.Write("from", "new"), to = dir.Write("to", "precious");
  EventCapture events;
  EXPECT_FALSE(FileRename(from, to, true));
  PlatformEventLine e = events.Find(101);
  EXPECT_EQ(e.text, "Error: File " + from + " rename to " + to + " failed, error " +
                        std::to_string(EEXIST) + ".");
  EXPECT_EQ(TempDir::Read(to), "precious");
  EXPECT_EQ(TempDir::Read(from), "new");

  EXPECT_TRUE(FileRename(from, dir.File("free"), true));
  EXPECT_FALSE(Exists(from));
  EXPECT_EQ(TempDir::Read(dir.File("free")), "new");
  EXPECT_FALSE(FileRename(from, dir.File("other"), false));
  EXPECT_EQ(events.Count(101), 2);
}

TEST(FileOps, ExistsRemoveAndDirectories) {
  TempDir dir;
  std::string file = dir.Write("f", "x");
  std::string sub = dir.File("sub");
  EventCapture events;
  EXPECT_TRUE(FileExists(file, true));
  EXPECT_TRUE(FileRemove(file, true));
  EXPECT_FALSE(FileExists(file, false));
  EXPECT_FALSE(FileRemove(file, false));
  EXPECT_EQ(events.Find(100).data, ENOENT);

  EXPECT_TRUE(DirMake(sub));
  EXPECT_FALSE(DirMake(sub));
  EXPECT_EQ(events.Find(102).data, EEXIST);
  dir.Write("sub/inside", "x");
  EXPECT_FALSE(DirRemove(sub));
  EXPECT_EQ(events.Find(103).data, ENOTEMPTY);
  EXPECT_TRUE(FileRemove(PathJoin(sub, "inside"), false));
  EXPECT_TRUE(DirRemove(sub));
  EXPECT_FALSE(FileExists(sub, false));
}

TEST(FileOps, LockedRemoveWaitsForTheFileToBeClosed) {
  TempDir dir;
  std::string path = dir.Write("busy", "x");
  CTernDiskFile open(path, 0);
  ASSERT_TRUE(open.Open());
  auto removed = std::make_shared<std::atomic<bool>>(false);
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread remover([path, removed, done] {
    *removed = FileRemove(path, true);
    *done = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(done->load());
  EXPECT_TRUE(Exists(path));
  ASSERT_TRUE(open.Close());
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done->load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  if (done->load())
    remover.join();
  else
    remover.detach();
  EXPECT_TRUE(removed->load());
  EXPECT_FALSE(Exists(path));
}

// Removes a read-only file from a read-only directory; 0 on success, else the
// number of the check that failed.
int RemoveFromReadOnlyDirectory() {
  TempDir dir;
  std::string file = dir.Write("locked", "x");
  if (chmod(file.c_str(), 0444) != 0 || chmod(dir.Path().c_str(), 0555) != 0) return 1;
  if (unlink(file.c_str()) == 0 || errno != EACCES) return 2;  // the system refuses
  EventCapture events;
  if (!FileRemove(file, false)) return 3;
  if (Exists(file)) return 4;
  struct stat st {};
  if (stat(dir.Path().c_str(), &st) != 0 || (st.st_mode & 07777) != 0555) return 5;
  if (!events.Codes().empty()) return 6;
  return 0;
}

TEST(FileOps, RemoveSucceedsInAReadOnlySituation) {
  if (geteuid() != 0) {
    EXPECT_EQ(RemoveFromReadOnlyDirectory(), 0);
    return;
  }
  // The superuser is never refused: try it as an ordinary user.
  EXPECT_EXIT(
      {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        _exit(RemoveFromReadOnlyDirectory());
      },
      testing::ExitedWithCode(0), "");
}

TEST(Directory, ListsEntriesWithoutDotAndDotDot) {
  TempDir dir;
  dir.Write("a.env", "");
  dir.Write("b.mes", "");
  ASSERT_TRUE(DirMake(dir.File("sub")));
  CTernDirectory listing;
  ASSERT_TRUE(listing.Read(dir.Path()));
  std::vector<std::string> names = listing.Entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.env", "b.mes", "sub"}));
  EXPECT_EQ(listing.Count(), 3);
  EXPECT_EQ(listing.Entry(3), "");
  EXPECT_EQ(listing.Entry(-1), "");

  EventCapture events;
  EXPECT_FALSE(listing.Read(dir.File("missing")));
  EXPECT_EQ(listing.Count(), 0);
  EXPECT_EQ(events.Find(107).text,
            "Error: Directory " + dir.File("missing") + " findfirst failed, error 2.");
}

TEST(Replace, KeepsThePreviousContentsAsOld) {
  TempDir dir;
  std::string path = dir.Write("config", "v1");
  EXPECT_TRUE(FileReplace(path, Writes("v2")));
  EXPECT_EQ(TempDir::Read(path), "v2");
  EXPECT_EQ(TempDir::Read(path + "_old"), "v1");
  EXPECT_FALSE(Exists(path + "_new"));
  EXPECT_TRUE(FileReplace(path, Writes("v3"), TernFileMode::Create | TernFileMode::Truncate |
                                                  TernFileMode::NoLock));
  EXPECT_EQ(TempDir::Read(path), "v3");
  EXPECT_EQ(TempDir::Read(path + "_old"), "v2");

  std::string toc = dir.Write("box.toc", "old toc");
  EXPECT_TRUE(FileReplace(toc, Writes("new toc"), TernFileMode::Create | TernFileMode::Truncate,
                          ".new", ".old"));
  EXPECT_EQ(TempDir::Read(toc), "new toc");
  EXPECT_EQ(TempDir::Read(toc + ".old"), "old toc");
}

TEST(Replace, ReadersNeverFindTheFileMissingOrHalfWritten) {
  TempDir dir;
  auto version = [](int n) { return "version " + std::to_string(n) + std::string(9000, '#'); };
  std::string path = dir.Write("lists", version(0));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto bad = std::make_shared<std::atomic<int>>(0);
  auto looks = std::make_shared<std::atomic<int>>(0);
  std::thread reader([path, stop, bad, looks] {
    while (!stop->load()) {
      std::string seen = TempDir::Read(path);
      if (seen.size() != 9000 + 9 && seen.size() != 9000 + 10) ++*bad;
      ++*looks;
    }
  });
  bool replaced = true;
  for (int n = 1; n <= 60; ++n) replaced = FileReplace(path, Writes(version(n))) && replaced;
  *stop = true;
  reader.join();  // its loop ends as soon as it sees stop
  EXPECT_TRUE(replaced);
  EXPECT_EQ(bad->load(), 0);
  EXPECT_GT(looks->load(), 0);
  EXPECT_EQ(TempDir::Read(path), version(60));
  EXPECT_EQ(TempDir::Read(path + "_old"), version(59));
}

TEST(Replace, WithoutAnOldNameMakesTheFileTheFirstTimeAndKeepsNoOldCopy) {
  // The envelope's way: no _old, and the first write needs no file to replace.
  TempDir dir;
  std::string path = dir.File("M1.env");
  EXPECT_TRUE(
      FileReplace(path, Writes("v1"), TernFileMode::Create | TernFileMode::Truncate, "_new", ""));
  EXPECT_TRUE(
      FileReplace(path, Writes("v2"), TernFileMode::Create | TernFileMode::Truncate, "_new", ""));
  EXPECT_EQ(TempDir::Read(path), "v2");
  EXPECT_FALSE(Exists(path + "_new"));
  EXPECT_FALSE(Exists(path + "_old"));
}

TEST(Replace, FailuresLeaveTheFileAsItWas) {
  TempDir dir;
  EventCapture events;
  // A file that does not exist yet: the switch fails and the new file stays.
  std::string fresh = dir.File("dictionary");
  EXPECT_FALSE(FileReplace(fresh, Writes("words")));
  EXPECT_FALSE(Exists(fresh));
  EXPECT_EQ(TempDir::Read(fresh + "_new"), "words");
  EXPECT_EQ(events.Find(101).data, ENOENT);

  // A writer that gives up, and a new file that cannot be opened.
  std::string path = dir.Write("book", "v1");
  EXPECT_FALSE(FileReplace(path, [](CTernFile&) { return false; }));
  EXPECT_FALSE(FileReplace(dir.File("nodir/book"), Writes("x")));
  EXPECT_EQ(events.Find(86).data, ENOENT);
  EXPECT_EQ(TempDir::Read(path), "v1");
  EXPECT_FALSE(Exists(path + "_old"));
}

TEST(Replace, PairSwitchesBothOrNeither) {
  TempDir dir;
  std::string config = dir.Write("config", "c1"), lists = dir.Write("lists", "l1");
  EXPECT_TRUE(FileReplacePair(config, Writes("c2"), lists, Writes("l2")));
  EXPECT_EQ(TempDir::Read(config), "c2");
  EXPECT_EQ(TempDir::Read(lists), "l2");
  EXPECT_EQ(TempDir::Read(config + "_old"), "c1");
  EXPECT_EQ(TempDir::Read(lists + "_old"), "l1");

  // The second file is missing: the first must not be switched alone.
  std::string missing = dir.File("missing");
  EventCapture events;
  EXPECT_FALSE(FileReplacePair(config, Writes("c3"), missing, Writes("m1")));
  EXPECT_EQ(TempDir::Read(config), "c2");
  EXPECT_EQ(TempDir::Read(config + "_old"), "c1");
  EXPECT_EQ(TempDir::Read(missing + "_new"), "m1");
  EXPECT_EQ(events.Find(101).data, ENOENT);

  // The second writer fails: nothing is switched.
  EXPECT_FALSE(FileReplacePair(config, Writes("c4"), lists, [](CTernFile&) { return false; }));
  EXPECT_EQ(TempDir::Read(config), "c2");
  EXPECT_EQ(TempDir::Read(lists), "l2");
}

}  // namespace
