// The per-user mailbox manager: its list file, names, holding and waiting, rename
// and remove, and a mailbox that failed once.
#include "store/mailbox_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "store/mailbox_list.h"
#include "tests/store/store_fixture.h"

namespace fs = std::filesystem;

class MailboxManager : public StoreFixture {
 protected:
  std::string List() { return TempDir::Read(PathJoin(UserDir(), "mailboxes.mbs")); }
  // The list file without its header line.
  std::string Records() {
    std::string text = List();
    return text.substr(text.find('\n') + 1);
  }
};

TEST_F(MailboxManager, OpeningCreatesTheMailboxAndReleasingRecordsItsCounts) {
  fs::remove_all(UserDir());
  CTernMailboxManager manager(Root(), "jo");
  ASSERT_FALSE(manager.InError());
  EXPECT_EQ(fs::status(UserDir()).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(List().substr(0, 8), "# 1 0 0 ");
  {
    CTernOpenMailbox box = manager.Open("Inbox", 0);
    ASSERT_TRUE(box);
    EXPECT_EQ(box.Status(), TernOpenStatus::Opened);
    EXPECT_TRUE(fs::exists(PathJoin(UserDir(), "Inbox")));
    EXPECT_TRUE(fs::exists(PathJoin(UserDir(), "Inbox.toc")));
    ASSERT_EQ(Add(*box, Mail("one")), TernAddResult::Added);
    ASSERT_EQ(Add(*box, Mail("two"), 0), TernAddResult::Added);
    EXPECT_TRUE(manager.InUse());
  }
  EXPECT_FALSE(manager.InUse());
  int64_t bytes = static_cast<int64_t>(TempDir::Read(PathJoin(UserDir(), "Inbox")).size());
  EXPECT_EQ(Records(), "BInbox,2,1," + std::to_string(bytes) + "\r\n");
  EXPECT_EQ(List().substr(0, 8), "# 1 1 0 ");
  EXPECT_EQ(fs::status(PathJoin(UserDir(), "mailboxes.mbs")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  TernMailboxCounts counts = manager.Counts();
  EXPECT_EQ(counts.messages, 2);
  EXPECT_EQ(counts.bytes, bytes);
  // Letter case does not make another mailbox.
  CTernOpenMailbox same = manager.Open("INBOX", 0);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->Name(), "Inbox");
  same.Close();
  EXPECT_EQ(manager.List(), std::vector<std::string>{"Inbox"});
  // Another manager reads the list back.
  CTernMailboxManager other(Root(), "jo");
  EXPECT_EQ(other.Counts(false).messages, 2);
  EXPECT_EQ(other.Counts(true).messages, 0);  // nothing loaded there yet
}

TEST_F(MailboxManager, NamesThatCouldReachOtherFilesAreRefused) {
  CTernMailboxManager manager(Root(), "jo");
  for (const char* name : {"", "../ann/Inbox", "a/b", "a\\b", "a,b", ".hidden", "Inbox.toc",
                           "Inbox.TOC", "x.new", "x.old", "x_new", "x_old", "mailboxes.mbs",
                           "MailBoxes.MBS", "addressbook.bok", "tab\tname"}) {
    EXPECT_EQ(manager.Open(name, 0).Status(), TernOpenStatus::NoMailbox) << name;
    EXPECT_EQ(manager.Add(name), 1) << name;
  }
  EXPECT_TRUE(manager.List().empty());
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(UserDir())) files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"mailboxes.mbs", "mailboxes.mbs_old"}));
  EXPECT_EQ(manager.Add("Sent-Mail", 3, 1, 300), 0);
  EXPECT_EQ(manager.Add("sent-mail"), 1);
  EXPECT_EQ(Records(), "BSent-Mail,3,1,300\r\n");
}

TEST_F(MailboxManager, AHeldMailboxIsBusyAtOnceOrAfterTheWait) {
  CTernMailboxManager manager(Root(), "jo");
  CTernOpenMailbox held = manager.Open("Inbox", 0);
  ASSERT_TRUE(held);
  TernOpenStatus now = TernOpenStatus::Opened, waited = TernOpenStatus::Opened;
  double seconds = 0;
  std::thread other([&] {
    now = manager.Open("Inbox", 0).Status();
    auto start = std::chrono::steady_clock::now();
    waited = manager.Open("Inbox", 1).Status();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  other.join();
  EXPECT_EQ(now, TernOpenStatus::Busy);
  EXPECT_EQ(waited, TernOpenStatus::Busy);
  EXPECT_GE(seconds, 0.9);
  // Another mailbox of the user is not held up.
  std::thread drafts([&] { EXPECT_TRUE(manager.Open("Drafts", 0)); });
  drafts.join();
  // Released while the other waits: it gets the mailbox.
  std::thread late([&] { waited = manager.Open("Inbox", 10).Status(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  held.Close();
  late.join();
  EXPECT_EQ(waited, TernOpenStatus::Opened);
  EXPECT_FALSE(manager.InUse());
}

TEST_F(MailboxManager, AnUnreadableListIsRebuiltFromTheTocFiles) {
  for (const char* name : {"Inbox", "Work"}) {
    CTernMailbox box(UserDir(), "jo", name);
    ASSERT_EQ(box.Load(), 0);
  }
  m_Dir.Write("boxes/jo/Inbox.toc.old", "# 1 0\n");
  m_Dir.Write("boxes/jo/mailboxes.mbs", "# 1 2 0 0\r\nBInbox,1,0,10\r\nXbroken\r\n");
  CTernMailboxManager manager(Root(), "jo");
  ASSERT_FALSE(manager.InError());
  std::vector<std::string> names = manager.List();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Inbox", "Work"}));
  EXPECT_EQ(manager.Counts(false).messages, 0);
  // A list written with a bad name in it keeps the good lines and drops that one.
  m_Dir.Write("boxes/jo/mailboxes.mbs", "# 1 2 0 0\r\nL\r\nBInbox,1,0,10\r\nB../x,1,0,1\r\n");
  CTernMailboxManager again(Root(), "jo");
  EXPECT_EQ(again.List(), std::vector<std::string>{"Inbox"});
  EXPECT_EQ(again.Counts(false).bytes, 10);
  // A missing directory is made.
  CTernMailboxManager fresh(Root(), "newcomer");
  EXPECT_FALSE(fresh.InError());
  EXPECT_TRUE(fs::is_directory(PathJoin(Root(), "newcomer")));
}

TEST_F(MailboxManager, RenameAndRemoveRefuseWhatWouldLoseMail) {
  CTernMailboxManager manager(Root(), "jo");
  {
    CTernOpenMailbox box = manager.Open("Old", 0);
    ASSERT_TRUE(box);
    ASSERT_EQ(Add(*box, Mail("kept")), TernAddResult::Added);
    EXPECT_EQ(manager.Rename("Old", "New"), 1);  // open
    EXPECT_EQ(manager.Remove("Old"), 1);          // open
  }
  ASSERT_TRUE(manager.Open("Taken", 0));
  EXPECT_EQ(manager.Rename("Old", "Taken"), 1);
  EXPECT_EQ(manager.Rename("Old", "taken"), 1);
  EXPECT_EQ(manager.Rename("Old", "bad/name"), 1);
  EXPECT_EQ(manager.Rename("Missing", "Other"), 1);
  ASSERT_EQ(manager.Rename("Old", "New"), 0);
  EXPECT_FALSE(fs::exists(PathJoin(UserDir(), "Old")));
  {
    CTernOpenMailbox box = manager.Open("New", 0);
    ASSERT_TRUE(box);
    EXPECT_EQ(Subjects(*box), "kept");
  }
  EXPECT_NE(Records().find("BNew,1,1,"), std::string::npos);
  ASSERT_EQ(manager.Remove("New", true), 0);
  EXPECT_FALSE(fs::exists(PathJoin(UserDir(), "New")));
  EXPECT_FALSE(fs::exists(PathJoin(UserDir(), "New.toc")));
  EXPECT_EQ(manager.List(), std::vector<std::string>{"Taken"});
  EXPECT_EQ(manager.Remove("New"), 1);
}

TEST_F(MailboxManager, AMailboxThatFailedIsLoadedAfreshByItsNextHolder) {
  CTernMailboxManager manager(Root(), "jo");
  {
    CTernOpenMailbox box = manager.Open("Inbox", 0);
    ASSERT_TRUE(box);
    ASSERT_EQ(Add(*box, Mail("one")), TernAddResult::Added);
  }
  // The TOC cannot be read for a while.
  std::string toc = PathJoin(UserDir(), "Inbox.toc");
  std::string saved = TempDir::Read(toc);
  fs::remove(toc);
  fs::create_directory(toc);
  EXPECT_EQ(manager.Open("Inbox", 0).Status(), TernOpenStatus::Failed);
  fs::remove(toc);
  m_Dir.Write("boxes/jo/Inbox.toc", saved);
  CTernOpenMailbox box = manager.Open("Inbox", 0);
  ASSERT_TRUE(box);
  EXPECT_EQ(Subjects(*box), "one");
}

TEST_F(MailboxManager, ManagersOfOneUserInTwoProcessesKeepEachOthersMailboxes) {
  // Two managers of one user stand for two processes serving jo.
  CTernMailboxManager first(Root(), "jo"), second(Root(), "jo");
  ASSERT_TRUE(first.Open("Work", 0));
  ASSERT_TRUE(second.Open("Play", 0));
  ASSERT_EQ(second.Remove("Play"), 0);  // its own removal stays removed
  ASSERT_TRUE(second.Open("Games", 0));
  ASSERT_TRUE(first.Open("Work", 0));
  std::vector<std::string> names = second.List();
  EXPECT_EQ(names, (std::vector<std::string>{"Work", "Games"}));
  names = CTernMailboxManager(Root(), "jo").List();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Games", "Work"}));
}
