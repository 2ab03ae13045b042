// The process-wide table of managers over a real configuration: the mail service
// gate, letter case of user names, holding and dropping managers, the cache
// cleaner's pass, deleting a user's mail, and the content filter's real receive
// checks handed to the mailboxes.
#include "store/mailbox_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/exception.h"
#include "config/lists.h"
#include "platform/clock.h"
#include "tests/store/store_fixture.h"
#include "transport/content_filter.h"

namespace fs = std::filesystem;

namespace {

int CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CTernException& e) {
    return e.Code();
  }
  return 0;
}

}  // namespace

class MailboxTable : public StoreFixture {
 protected:
  void Users(const std::string& users) { LoadConfig("DS,Domain=example.org\r\n" + users); }

  // Adds count messages to user's Inbox through the table.
  void Fill(CTernMailboxTable& table, const std::string& user, int count) {
    CTernOpenMailbox box = table.OpenMailbox(user, "Inbox", 0);
    ASSERT_TRUE(box);
    for (int i = 0; i < count; ++i) ASSERT_EQ(Add(*box, Mail(user + std::to_string(i))), TernAddResult::Added);
  }

  int64_t Loaded(CTernMailboxTable& table, const std::string& user) {
    CTernMailboxManager* manager = table.GetManager(user);
    int64_t messages = manager->Counts(true).messages;
    table.ReleaseManager(user);
    return messages;
  }
};

TEST_F(MailboxTable, OnlyUsersWithMailServiceGetMailboxesWhateverTheLetterCase) {
  Users("DUJo,OstrelUser=1\r\nDUann,OstrelUser=0\r\n");
  CTernMailboxTable table(Root());
  EXPECT_EQ(table.OpenMailbox("ann", "Inbox", 0).Status(), TernOpenStatus::NoMailbox);
  EXPECT_EQ(table.OpenMailbox("nobody", "Inbox", 0).Status(), TernOpenStatus::NoMailbox);
  EXPECT_EQ(table.OpenMailbox("../jo", "Inbox", 0).Status(), TernOpenStatus::NoMailbox);
  EXPECT_EQ(table.OpenMailbox("jo", "mailboxes.mbs", 0).Status(), TernOpenStatus::NoMailbox);
  EXPECT_FALSE(fs::exists(PathJoin(Root(), "ann")));
  EXPECT_FALSE(fs::exists(PathJoin(Root(), "nobody")));
  {
    CTernOpenMailbox box = table.OpenMailbox("JO", CTernMailboxTable::DefaultMailbox(), 0);
    ASSERT_TRUE(box);
    ASSERT_EQ(Add(*box, Mail("hello")), TernAddResult::Added);
    // The manager is held while the mailbox is open.
    EXPECT_EQ(table.DropManager("jo"), 1);
  }
  CTernOpenMailbox again = table.OpenMailbox("jo", "inbox", 0);
  ASSERT_TRUE(again);
  EXPECT_EQ(Subjects(*again), "hello");
  std::vector<std::string> dirs;
  for (const auto& entry : fs::directory_iterator(Root())) dirs.push_back(entry.path().filename());
  EXPECT_EQ(dirs, std::vector<std::string>{"jo"});
}

TEST_F(MailboxTable, ManagersAreCountedAndMisuseThrows) {
  CTernMailboxTable table(Root());
  EXPECT_EQ(table.GetManager("bad/name"), nullptr);
  CTernMailboxManager* jo = table.GetManager("jo");
  ASSERT_NE(jo, nullptr);
  EXPECT_EQ(table.GetManager("JO"), jo);
  EXPECT_EQ(table.DropManager("jo"), 1);
  table.ReleaseManager("jo");
  table.ReleaseManager("Jo");
  EXPECT_EQ(CodeOf([&] { table.ReleaseManager("jo"); }), 62);
  EXPECT_EQ(table.DropManager("jo"), 0);
  EXPECT_EQ(CodeOf([&] { table.DropManager("jo"); }), 65);
  EXPECT_EQ(CodeOf([&] { table.ReleaseManager("jo"); }), 64);
  for (int code : {62, 64, 65}) EXPECT_TRUE(m_Events.Has(code)) << code;
  // Dropping everything leaves what is held.
  CTernMailboxManager* ann = table.GetManager("ann");
  table.GetManager("bob");
  table.ReleaseManager("bob");
  table.DropAll();
  EXPECT_EQ(table.GetManager("ann"), ann);
  EXPECT_EQ(CodeOf([&] { table.DropManager("bob"); }), 65);
}

TEST_F(MailboxTable, TheCleanerUnloadsTheLeastRecentlyUsedIdleMailboxes) {
  Users("DUu1,OstrelUser=1\r\nDUu2,OstrelUser=1\r\nDUu3,OstrelUser=1\r\n");
  CTernMailboxTable table(Root());
  Fill(table, "u1", 3);
  Fill(table, "u2", 4);
  Fill(table, "u3", 5);
  EXPECT_EQ(table.CleanOnce(12), 0);  // not above the limit
  EXPECT_EQ(table.CleanOnce(6), 7);   // u1 and u2 free 7 of the 6 too many
  EXPECT_EQ(Loaded(table, "u1"), 0);
  EXPECT_EQ(Loaded(table, "u2"), 0);
  EXPECT_EQ(Loaded(table, "u3"), 5);
  // A mailbox that is open stays loaded, though its user is the oldest.
  Fill(table, "u1", 1);
  Fill(table, "u2", 1);
  CTernOpenMailbox held = table.OpenMailbox("u1", "Inbox", 0);
  ASSERT_TRUE(held);
  table.GetManager("u3");  // u3 was used last
  table.ReleaseManager("u3");
  EXPECT_EQ(table.CleanOnce(1), 14);  // u2, then u1 (held), then u3
  EXPECT_EQ(Loaded(table, "u1"), 4);
  EXPECT_EQ(Loaded(table, "u2"), 0);
  EXPECT_EQ(Loaded(table, "u3"), 0);
  EXPECT_EQ(Subjects(*held), "u10 u11 u12 u10");
  EXPECT_TRUE(table.StartCleaner());  // starts, and the table's end stops it
}

TEST_F(MailboxTable, DeletingAUsersMailLeavesNothingOfIt) {
  Users("DUjo,OstrelUser=1\r\n");
  CTernMailboxTable table(Root());
  Fill(table, "jo", 2);
  {
    CTernOpenMailbox work = table.OpenMailbox("jo", "Work", 0);
    ASSERT_TRUE(work);
    EXPECT_EQ(table.DeleteUserMailboxes("jo"), 1);  // open
  }
  ASSERT_EQ(table.DeleteUserMailboxes("JO"), 0);
  EXPECT_FALSE(fs::exists(UserDir()));
  // Files that are not the store's keep the directory.
  Fill(table, "jo", 1);
  m_Dir.Write("boxes/jo/addressbook.bok", "# 1 0\r\n");
  ASSERT_EQ(table.DeleteUserMailboxes("jo"), 0);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(UserDir())) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"addressbook.bok"});
}

TEST_F(MailboxTable, TheContentFiltersChecksDecideWhatTheOwnerSees) {
  m_Dir.Write("lists", "# 2 1000\r\nbad@remote.example\x1C" "blocked\x1C\r\n");
  ListStore lists(m_Dir.File("lists"));
  ASSERT_EQ(lists.Load(1), 0);
  SetFilterObjects(&lists, nullptr);
  const std::string jo = "DUjo,OstrelUser=1,FilterMode=Filtered,BlockedMIMETypes=application/*";
  LoadConfig("DS,Domain=example.org\r\n" + jo + ",RLblocked=D\r\n", "DLblocked,L,N\r\n");
  PlatformSetTime(1000000000);
  CTernMailboxTable table(Root(), CheckReceiveWith);
  {
    CTernOpenMailbox box = table.OpenMailbox("jo", "Inbox", 0);
    ASSERT_TRUE(box);
    // The whole check on delivery: a blocked MIME type is refused with its reason.
    std::string zip = Mail("zip", "--b\r\nContent-Type: application/zip\r\n\r\nzz\r\n--b--\r\n",
                           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n");
    std::string reason;
    EXPECT_EQ(Add(*box, zip, 1, "ann@example.org", CheckReceive, &reason), TernAddResult::Refused);
    EXPECT_EQ(reason, "Recipient not allowed to recieve MIME type (application/zip)\r\n");
    EXPECT_EQ(Add(*box, Mail("fine"), 1, "ann@example.org", CheckReceive), TernAddResult::Added);
    // A message that skipped the check, from a sender jo may not receive from.
    EXPECT_EQ(Add(*box, Mail("denied"), 1, "bad@remote.example"), TernAddResult::Added);
    EXPECT_EQ(Subjects(*box), "fine denied");
  }
  // The next look at the senders, a minute later, hides it.
  PlatformSetTime(1000000061);
  {
    CTernOpenMailbox box = table.OpenMailbox("jo", "Inbox", 0);
    ASSERT_TRUE(box);
    EXPECT_EQ(Subjects(*box), "fine");
    TernMailboxCounts visible, all;
    box->Counts(visible);
    box->Counts(all, true);
    EXPECT_EQ(visible.messages, 1);
    EXPECT_EQ(all.messages, 2);
  }
  // Allowed again once the setting goes.
  LoadConfig("DS,Domain=example.org\r\n" + jo + "\r\n", "DLblocked,L,N\r\n");
  PlatformSetTime(1000000122);
  {
    CTernOpenMailbox box = table.OpenMailbox("jo", "Inbox", 0);
    ASSERT_TRUE(box);
    EXPECT_EQ(Subjects(*box), "fine denied");
  }
  SetFilterObjects(nullptr, nullptr);
}
