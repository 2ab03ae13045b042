// One mailbox over real files: what is written reads back, hand-written and damaged
// tables of contents, rescanning, appending with its outcomes, compaction and the
// sort orders.
#include "store/mailbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/store/store_fixture.h"

namespace fs = std::filesystem;

class Mailbox : public StoreFixture {
 protected:
  // A new object over jo's mailbox, as another holder or a restarted server sees it.
  std::unique_ptr<CTernMailbox> Fresh(const std::string& name = "Inbox") {
    auto box = std::make_unique<CTernMailbox>(UserDir(), "jo", name);
    EXPECT_EQ(box->Load(), 0) << EventTexts();
    return box;
  }
  std::string Toc(const std::string& name = "Inbox") { return TempDir::Read(PathJoin(UserDir(), name) + ".toc"); }
  std::string Data(const std::string& name = "Inbox") { return TempDir::Read(PathJoin(UserDir(), name)); }
};

TEST_F(Mailbox, WhatIsWrittenReadsBackWithEveryField) {
  auto box = Fresh();
  EXPECT_EQ(Toc(), "# 1 0\n");
  std::string first = Mail("one", "first body\r\n", "To: a@x.org, b@y.org, c@z.org\r\n");
  std::string second = Mail("two", "no line end at the end", "", 900000100);
  std::string third = Mail("three", "--b\r\nContent-Type: application/zip\r\n"
                           "Content-Disposition: attachment; filename=a.zip\r\n\r\nzz\r\n--b--\r\n",
                           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n",
                           900000200);
  EXPECT_EQ(Add(*box, first, 1 | 4), TernAddResult::Added);
  EXPECT_EQ(Add(*box, second, 0, "bounce"), TernAddResult::Added);
  EXPECT_EQ(Add(*box, third, 1 | 32), TernAddResult::Added);

  auto again = Fresh();
  EXPECT_EQ(ScanEvents(), "");
  TernMailboxCounts counts;
  ASSERT_EQ(again->Counts(counts), 0);
  EXPECT_EQ(counts.messages, 3);
  EXPECT_EQ(counts.unread, 2);
  TernTocEntry e;
  ASSERT_EQ(again->Info(1, e), 0);
  EXPECT_EQ(e.flags, 5u);
  EXPECT_EQ(e.sender, "Ann <ann@example.org>");
  EXPECT_EQ(e.envelopeSender, "ann@example.org");
  EXPECT_EQ(e.recipient, "a@x.org ...");
  EXPECT_EQ(e.subject, "one");
  EXPECT_EQ(e.date, 900000000);
  EXPECT_EQ(e.dateText, CTernTime(900000000).MailDate(0));
  EXPECT_EQ(e.offset, 0);
  EXPECT_EQ(e.id, TernMailboxId({"<one@example.org>"}, static_cast<int64_t>(first.size())));
  EXPECT_EQ(Read(*again, 1), first);
  ASSERT_EQ(again->Info(2, e), 0);
  EXPECT_EQ(e.flags, 0u);
  EXPECT_EQ(e.envelopeSender, "bounce");
  EXPECT_EQ(Read(*again, 2), second + "\r\n");  // ended so the next separator starts a line
  ASSERT_EQ(again->Info(3, e), 0);
  EXPECT_EQ(e.flags, 1u | 32u);  // attachments found in the message itself
  EXPECT_EQ(Read(*again, 3), third);
  // Sizes count the separator lines; the data file is exactly the messages.
  EXPECT_EQ(counts.bytes, static_cast<int64_t>(Data().size()));
  EXPECT_EQ(Data().substr(0, 23), ">From< ann@example.org ");
  EXPECT_NE(Data().find(">From< ??@?? "), std::string::npos);
  // The same message again gets the same ID; find answers the first.
  ASSERT_EQ(Add(*again, third, 0), TernAddResult::Added);
  std::string id4;
  int32_t size4;
  ASSERT_EQ(again->SizeAndId(4, size4, id4), 0);
  EXPECT_EQ(id4, e.id);
  EXPECT_EQ(again->Find(e.id), 3);
  EXPECT_EQ(again->Find("nothing"), 0);
  EXPECT_EQ(again->ClearFlags(1, 1), 0);
  EXPECT_EQ(again->SetFlags(2, 8), 0);
  EXPECT_FALSE(Fresh()->IsUnread(1));
  EXPECT_EQ(Fresh()->Info(2, e), 0);
  EXPECT_EQ(e.flags, 8u);
  EXPECT_EQ(again->SetFlags(0, 1), 1);
  EXPECT_EQ(again->OpenMessage(5), nullptr);
  // Files are for the server alone.
  for (const char* file : {"Inbox", "Inbox.toc"})
    EXPECT_EQ(fs::status(PathJoin(UserDir(), file)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Mailbox, HandWrittenTocLoadsAsItIsAndADisagreeingOneIsRescanned) {
  std::string one = ">From< ann@x.org Mon, 15 Jun 1998 14:30:05 -0500\r\nSubject: one\r\n\r\nbody\r\n";
  std::string two = ">From< bob@y.org Mon, 15 Jun 1998 14:31:05 -0500\r\nSubject: two\r\n\r\nbody\r\n";
  m_Dir.Write("boxes/jo/Inbox", one + two);
  auto toc = [&](int32_t lastSize) {
    return "# 1 7\r\n"
           "5\x1C" "Ann\x1C" "ann@x.org\x1C" "jo\x1C" "date\x1C" "one\x1C" "100\x1C" "ID1\x1C" "0\x1C" +
           std::to_string(one.size()) + "\x1C" "0\r\n"
           "4\x1C" "Bob\x1C" "bob@y.org\x1C" "jo\x1C" "date\x1C" "two\x1C" "200\x1C" "ID2\x1C" +
           std::to_string(one.size()) + "\x1C" + std::to_string(lastSize) + "\x1C" "0\r\n";
  };
  m_Dir.Write("boxes/jo/Inbox.toc", toc(static_cast<int32_t>(two.size())));
  auto box = Fresh();
  EXPECT_EQ(ScanEvents(), "");
  EXPECT_EQ(box->SortOrder(), 7);
  TernTocEntry e;
  ASSERT_EQ(box->Info(1, e), 0);
  EXPECT_EQ(e.flags, 5u);  // kept: no rescan
  EXPECT_EQ(e.id, "ID1");
  EXPECT_EQ(Read(*box, 2), "Subject: two\r\n\r\nbody\r\n");

  // The sizes no longer add up to the data file: rescanned, every message unread.
  m_Dir.Write("boxes/jo/Inbox.toc", toc(static_cast<int32_t>(two.size()) + 1));
  ASSERT_EQ(box->Load(), 0);
  EXPECT_EQ(ScanEvents(), "408");
  EXPECT_EQ(Subjects(*box), "one two");
  ASSERT_EQ(box->Info(1, e), 0);
  EXPECT_EQ(e.flags, 1u);
  EXPECT_EQ(e.envelopeSender, "ann@x.org");
  EXPECT_EQ(e.offset, 0);
  ASSERT_EQ(box->Info(2, e), 0);
  EXPECT_EQ(e.offset, static_cast<int32_t>(one.size()));
  EXPECT_EQ(e.size, static_cast<int32_t>(two.size()));
  EXPECT_EQ(Fresh()->SortOrder(), 7);  // the rewritten TOC keeps its order
}

TEST_F(Mailbox, CorruptOrStaleTocIsRescannedWithItsWarning) {
  auto box = Fresh();
  ASSERT_EQ(Add(*box, Mail("one")), TernAddResult::Added);
  ASSERT_EQ(Add(*box, Mail("two", "text\r\n", "", 900000100)), TernAddResult::Added);
  std::string good = Toc();
  size_t first = good.find('\n') + 1;              // the empty TOC's header ends in LF alone
  size_t second = good.find('\n', first) + 1;      // start of the second entry
  std::string line2 = good.substr(second);
  struct Case {
    const char* what;
    std::string toc;
    const char* events;
  } cases[] = {
      {"no header", good.substr(first), "406 67"},
      {"wrong version", "# 2 0\r\n" + good.substr(first), "406 67"},
      {"ten fields", good.substr(0, good.rfind('\x1C')) + "\r\n", "406 67"},
      {"text in a number", good.substr(0, second) + "x" + line2, "406 67"},
      {"an empty line", good + "\r\n", "406 67"},
      {"overlapping entries", good + line2, "406 67"},
  };
  for (const Case& c : cases) {
    m_Events.Clear();
    m_Dir.Write("boxes/jo/Inbox.toc", c.toc);
    auto loaded = Fresh();
    EXPECT_EQ(ScanEvents(), c.events) << c.what;
    EXPECT_EQ(Subjects(*loaded), "one two") << c.what;
  }
  // A data file touched more than a minute after its TOC.
  m_Events.Clear();
  fs::last_write_time(PathJoin(UserDir(), "Inbox"), fs::file_time_type::clock::now() + std::chrono::seconds(120));
  EXPECT_EQ(Subjects(*Fresh()), "one two");
  EXPECT_EQ(ScanEvents(), "407");
}

TEST_F(Mailbox, RescanSplitsOnlyAtSeparatorLinesFollowedByAHeader) {
  m_Dir.Write("boxes/jo/Inbox",
              ">From< a@b.org Mon, 15 Jun 1998 14:30:05 -0500\r\nSubject: one\r\n\r\nbody\r\n"
              "From x@y.org\r\nX-Head: v\r\n\r\nsplit off\r\n"
              ">From< c@d.org Mon, 15 Jun 1998 14:31:05 -0500\r\nSubject: three\r\n\r\n"
              "From q@r.org\r\nnot a header line\r\nFrom Mon, 15 Jun 1998 14:31:05 -0500\r\n"
              "also: body\r\n");
  auto box = Fresh();
  EXPECT_EQ(ScanEvents(), "408");
  EXPECT_EQ(Subjects(*box), "one  three ");
  TernTocEntry e;
  ASSERT_EQ(box->Info(2, e), 0);
  EXPECT_EQ(e.envelopeSender, "x@y.org");
  EXPECT_EQ(Read(*box, 2), "X-Head: v\r\n\r\nsplit off\r\n");
  ASSERT_EQ(box->Info(3, e), 0);
  EXPECT_EQ(e.envelopeSender, "c@d.org");
  // "From q@r.org" has no header line after it; the dated "From " line does, and
  // splits once more.
  TernMailboxCounts counts;
  box->Counts(counts);
  EXPECT_EQ(counts.messages, 4);
}

TEST_F(Mailbox, AddOutcomesTellRefusalFromFailureAndAFailedAppendLeavesNothing) {
  auto box = Fresh();
  ASSERT_EQ(Add(*box, Mail("kept")), TernAddResult::Added);
  std::string before = Data(), tocBefore = Toc();

  // Refused by the receive check, which hears the envelope sender and the owner.
  std::string heard, reason;
  TernReceiveCheck refuse = [&](std::string_view sender, std::string_view recipient,
                                std::string_view, CTernMessage* body, bool defaultOnly,
                                std::string* why) {
    heard = std::string(sender) + " " + std::string(recipient) + (body && defaultOnly ? " body" : "");
    if (why) *why = "no thanks";
    return 1;
  };
  EXPECT_EQ(Add(*box, Mail("refused"), 1, "spam@x.org", refuse, &reason), TernAddResult::Refused);
  EXPECT_EQ(heard, "spam@x.org jo body");
  EXPECT_EQ(reason, "no thanks");
  EXPECT_EQ(Add(*box, Mail("refused"), 1, "", refuse), TernAddResult::Refused);
  EXPECT_EQ(heard, "Ann <ann@example.org> jo body");  // no envelope sender: the From text
  EXPECT_EQ(Data(), before);

  // A data file that cannot grow (as on a full disk): cut back to its old size.
  std::unique_ptr<CTernMessage> big = Source(Mail("too big", std::string(20000, 'x') + "\r\n"));
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = before.size() + 4000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  TernAddResult full = box->Add(*big, 1, "ann@example.org");
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(full, TernAddResult::NotWritten);
  EXPECT_EQ(Data(), before);
  EXPECT_EQ(Toc(), tocBefore);
  EXPECT_EQ(Subjects(*box), "kept");
  m_Events.Clear();
  EXPECT_EQ(Subjects(*Fresh()), "kept");
  EXPECT_EQ(ScanEvents(), "");
  ASSERT_EQ(Add(*box, Mail("later", "text\r\n", "", 900000100)), TernAddResult::Added);
  EXPECT_EQ(Subjects(*Fresh()), "kept later");
}

TEST_F(Mailbox, AMessageOnDiskWithoutItsTocEntryIsFoundByTheNextLoad) {
  auto box = Fresh();
  ASSERT_EQ(Add(*box, Mail("b", "text\r\n", "", 900000200)), TernAddResult::Added);
  // An earlier date sorts first, so the TOC is replaced, which this directory in
  // the way of its ".new" file prevents.
  ASSERT_TRUE(DirMake(PathJoin(UserDir(), "Inbox.toc.new")));
  EXPECT_EQ(Add(*box, Mail("a", "text\r\n", "", 900000100)), TernAddResult::Added);
  EXPECT_EQ(Subjects(*box), "a b");
  EXPECT_EQ(Fresh()->Load(), 0);
  std::filesystem::remove(PathJoin(UserDir(), "Inbox.toc.new"));
  m_Events.Clear();
  auto restarted = Fresh();
  EXPECT_EQ(ScanEvents(), "408");
  EXPECT_EQ(Subjects(*restarted), "b a");  // found again, in data file order
  TernTocEntry before, after;
  ASSERT_EQ(box->Info(1, before), 0);
  ASSERT_EQ(restarted->Info(2, after), 0);
  EXPECT_EQ(after.id, before.id);  // a scan makes the same ID again
  // The holder that failed writes the whole TOC with its next change.
  ASSERT_EQ(box->SetFlags(1, 4), 0);
  m_Events.Clear();
  EXPECT_EQ(Subjects(*Fresh()), "a b");
  EXPECT_EQ(ScanEvents(), "");
}

TEST_F(Mailbox, CompactionRemovesMarkedMessagesAndShiftsOffsets) {
  auto box = Fresh();
  std::vector<std::string> texts;
  for (int i = 0; i < 4; ++i) {
    texts.push_back(Mail("m" + std::to_string(i), std::string(10 * (i + 1), 'x') + "\r\n", "",
                         900000000 + i));
    ASSERT_EQ(Add(*box, texts.back()), TernAddResult::Added);
  }
  std::vector<TernTocEntry> before(4);
  for (int n = 1; n <= 4; ++n) box->Info(n, before[n - 1]);
  EXPECT_EQ(box->Compact(), 0);  // nothing marked: nothing to do
  ASSERT_EQ(box->MarkForRemoval(1), 0);
  ASSERT_EQ(box->MarkForRemoval(4), 0);
  EXPECT_EQ(box->MarkForRemoval(5), 1);
  ASSERT_EQ(box->Compact(), 0);
  EXPECT_EQ(Subjects(*box), "m1 m2");
  TernTocEntry e;
  for (int n = 1; n <= 2; ++n) {
    ASSERT_EQ(box->Info(n, e), 0);
    EXPECT_EQ(e.offset, before[n].offset - before[0].size);
    EXPECT_EQ(e.id, before[n].id);
    EXPECT_EQ(Read(*box, n), texts[n]);
  }
  EXPECT_EQ(static_cast<int32_t>(Data().size()), before[1].size + before[2].size);
  m_Events.Clear();
  auto again = Fresh();
  EXPECT_EQ(ScanEvents(), "");
  EXPECT_EQ(Read(*again, 2), texts[2]);
  for (const char* leftover : {"Inbox.new", "Inbox.old", "Inbox.toc.new"})
    EXPECT_FALSE(fs::exists(PathJoin(UserDir(), leftover))) << leftover;

  // A compaction that cannot write its new data file changes nothing.
  ASSERT_EQ(box->MarkForRemoval(1), 0);
  ASSERT_TRUE(DirMake(PathJoin(UserDir(), "Inbox.new")));
  std::string data = Data();
  EXPECT_EQ(box->Compact(), 1);
  EXPECT_EQ(Data(), data);
  EXPECT_EQ(Subjects(*box), "m1 m2");
  std::filesystem::remove(PathJoin(UserDir(), "Inbox.new"));
  ASSERT_EQ(box->Compact(), 0);
  EXPECT_EQ(Subjects(*Fresh()), "m2");
}

TEST_F(Mailbox, SortOrderIsKeptWrittenAndFollowedByNewMessages) {
  auto box = Fresh();
  ASSERT_EQ(Add(*box, Mail("b", "x\r\n", "", 900000300)), TernAddResult::Added);
  ASSERT_EQ(Add(*box, Mail("c", "x\r\n", "", 900000100)), TernAddResult::Added);
  ASSERT_EQ(Add(*box, Mail("a", "x\r\n", "", 900000200)), TernAddResult::Added);
  EXPECT_EQ(Subjects(*box), "c a b");  // date ascending
  ASSERT_EQ(box->SetSortOrder(1), 0);
  EXPECT_EQ(Subjects(*box), "a b c");
  ASSERT_EQ(box->SetSortOrder(2), 0);
  EXPECT_EQ(Subjects(*box), "c b a");
  auto again = Fresh();
  EXPECT_EQ(again->SortOrder(), 2);
  EXPECT_EQ(Subjects(*again), "c b a");
  ASSERT_EQ(Add(*again, Mail("bb")), TernAddResult::Added);
  ASSERT_EQ(Add(*again, Mail("d")), TernAddResult::Added);
  ASSERT_EQ(Add(*again, Mail("A")), TernAddResult::Added);
  EXPECT_EQ(Subjects(*again), "d c bb b a A");
  EXPECT_EQ(Subjects(*Fresh()), "d c bb b a A");
}

TEST_F(Mailbox, AHostileHeaderCannotSpoilTheToc) {
  auto box = Fresh();
  std::string evil = Mail(std::string("a\x1C" "5\x1C" "b\rc\0d", 9), "x\r\n",
                          "To: x@y.org\x1C" "1\x1C" "2\r\n");
  ASSERT_EQ(Add(*box, evil, 1, "e\x1Cvil@x.org"), TernAddResult::Added);
  ASSERT_EQ(Add(*box, Mail("after")), TernAddResult::Added);
  std::string toc = Toc();
  for (size_t start = toc.find('\n') + 1; start < toc.size(); start = toc.find('\n', start) + 1) {
    std::string line = toc.substr(start, toc.find('\n', start) - start);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\x1C'), 10) << line;
  }
  m_Events.Clear();
  auto again = Fresh();
  EXPECT_EQ(ScanEvents(), "");
  TernTocEntry e;
  ASSERT_EQ(again->Info(1, e), 0);
  EXPECT_EQ(e.subject, "a 5 b c d");
  EXPECT_EQ(e.envelopeSender, "e vil@x.org");
  EXPECT_EQ(Subjects(*again), "a 5 b c d after");
}
