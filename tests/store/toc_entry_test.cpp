// Table-of-contents lines, the mailbox ID and the sort orders.
#include "store/toc_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TernTocEntry Entry(const std::string& subject, uint32_t flags, const std::string& sender,
                   int64_t date, int32_t size, const std::string& recipient) {
  TernTocEntry e;
  e.subject = subject;
  e.flags = flags;
  e.sender = sender;
  e.date = date;
  e.size = size;
  e.recipient = recipient;
  return e;
}

}  // namespace

TEST(TocEntry, LineCarriesEveryField) {
  TernTocEntry e;
  e.flags = 37;
  e.sender = "Ann <ann@example.org>";
  e.envelopeSender = "ann@example.org";
  e.recipient = "jo@example.org ...";
  e.dateText = "Mon, 15 Jun 1998 14:30:05 -0500";
  e.subject = "Hello";
  e.date = 897939005;
  e.id = "abc123";
  e.offset = 4096;
  e.size = 812;
  e.internal = 2;
  std::string line = TernTocLine(e);
  EXPECT_EQ(line, "37\x1C" "Ann <ann@example.org>\x1C" "ann@example.org\x1C" "jo@example.org ...\x1C"
                  "Mon, 15 Jun 1998 14:30:05 -0500\x1C" "Hello\x1C" "897939005\x1C" "abc123\x1C"
                  "4096\x1C" "812\x1C" "2\r\n");
  TernTocEntry back;
  ASSERT_TRUE(TernParseTocLine(line, back));
  EXPECT_EQ(TernTocLine(back), line);

  // Text fields lose trailing line ends and are cut at their limit.
  e.subject = "Hi\r\n";
  e.sender = std::string(5000, 'x');
  ASSERT_TRUE(TernParseTocLine(TernTocLine(e), back));
  EXPECT_EQ(back.subject, "Hi");
  EXPECT_EQ(back.sender.size(), kTernTocTextLimit);
}

TEST(TocEntry, MalformedLinesAndHeadersAreRefused) {
  const std::string good = "1\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "0\x1C" "10\x1C" "0";
  TernTocEntry e;
  EXPECT_TRUE(TernParseTocLine(good, e));
  EXPECT_TRUE(TernParseTocLine(good + "\r\n", e));
  for (const std::string& bad : {
           std::string("1\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "0\x1C" "10"),  // ten fields
           good + "\x1C" "0",                                                              // twelve
           std::string("x\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "0\x1C" "10\x1C" "0"),
           std::string("1\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "-5\x1C" "10\x1C" "0"),
           std::string("1\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "0\x1C" "0\x1C" "0"),
           std::string("1\x1Cs\x1C" "e\x1Cr\x1C" "d\x1Cj\x1C" "0\x1Cid\x1C" "0\x1C" "1x\x1C" "0"),
           std::string(""),
       })
    EXPECT_FALSE(TernParseTocLine(bad, e)) << bad;
  int order = -1;
  EXPECT_TRUE(TernParseTocHeader("# 1 7\r\n", order));
  EXPECT_EQ(order, 7);
  EXPECT_TRUE(TernParseTocHeader(TernTocHeader(0, true), order));
  EXPECT_EQ(TernTocHeader(3), "# 1 3\r\n");
  EXPECT_EQ(TernTocHeader(0, true), "# 1 0\n");
  for (const char* bad : {"# 2 0", "#1 0", "# 1 ", "# 1 x", ""}) EXPECT_FALSE(TernParseTocHeader(bad, order)) << bad;
}

TEST(TocEntry, MailboxIdFollowsItsRules) {
  // Letters and digits move on by their place modulo 8 unless that leaves them;
  // other characters are skipped; the size's digits follow unchanged.
  EXPECT_EQ(TernMailboxId({"<ab.c@Z9>"}, 12), "aceZ912");
  // Same texts and size, same ID; another size, another ID.
  EXPECT_EQ(TernMailboxId({"<x1@host>"}, 500), TernMailboxId({"<x1@host>"}, 500));
  EXPECT_NE(TernMailboxId({"<x1@host>"}, 500), TernMailboxId({"<x1@host>"}, 501));
  // Past 70 places the buffer wraps and later characters overwrite the first.
  std::string id = TernMailboxId({std::string(72, 'a')}, 5);
  ASSERT_EQ(id.size(), kTernMailboxIdLength);
  EXPECT_EQ(id.substr(0, 4), "ab5d");
  EXPECT_EQ(id.substr(64), "abcdef");
  // Several texts run on into one another.
  EXPECT_EQ(TernMailboxId({"ab", "c"}, 1), "ace1");
}

TEST(TocEntry, RecipientShowsTheFirstOfSeveralAddresses) {
  EXPECT_EQ(TernRecipientText("jo@example.org"), "jo@example.org");
  EXPECT_EQ(TernRecipientText("a@x.org, \"Bloggs, Jo\" <jo@y.org>, c@z.org"), "a@x.org ...");
  EXPECT_EQ(TernRecipientText("\"Bloggs, Jo\" <jo@y.org>"), "\"Bloggs, Jo\" <jo@y.org>");
  EXPECT_EQ(TernRecipientText("a@x.org,"), "a@x.org,");
}

TEST(TocEntry, SortOrdersAndInsertion) {
  std::vector<TernTocEntry> list = {Entry("beta", 4, "Carl", 300, 10, "x"),
                                    Entry("Alpha", 1, "ann", 100, 30, "Z"),
                                    Entry("gamma", 32, "Bob", 200, 20, "y")};
  struct Case {
    int order;
    const char* subjects;
  } cases[] = {
      {1, "Alpha beta gamma"}, {2, "gamma beta Alpha"}, {3, "Alpha beta gamma"},
      {4, "gamma beta Alpha"}, {5, "Alpha gamma beta"}, {6, "beta gamma Alpha"},
      {7, "Alpha gamma beta"}, {8, "beta gamma Alpha"}, {9, "beta gamma Alpha"},
      {10, "Alpha gamma beta"}, {11, "beta gamma Alpha"}, {12, "Alpha gamma beta"},
      {0, "Alpha gamma beta"}, {99, "Alpha gamma beta"},
  };
  for (const Case& c : cases) {
    std::vector<TernTocEntry> sorted = list;
    std::stable_sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) {
      return TernCompareTocEntries(a, b, c.order) < 0;
    });
    std::string subjects;
    for (const TernTocEntry& e : sorted) subjects += (subjects.empty() ? "" : " ") + e.subject;
    EXPECT_EQ(subjects, c.subjects) << "order " << c.order;
  }
  EXPECT_TRUE(TernOppositeOrders(7, 8));
  EXPECT_TRUE(TernOppositeOrders(2, 1));
  EXPECT_FALSE(TernOppositeOrders(8, 9));
  EXPECT_FALSE(TernOppositeOrders(0, 8));

  // By date: a tie with the last goes last, a tie with the first goes first, any
  // other tie in front of its equals.
  std::vector<TernTocEntry> dates;
  for (int64_t d : {1, 2, 2, 3}) dates.push_back(Entry("", 0, "", d, 1, ""));
  EXPECT_EQ(TernTocInsertPosition({}, Entry("", 0, "", 5, 1, ""), 0), 0u);
  EXPECT_EQ(TernTocInsertPosition(dates, Entry("", 0, "", 3, 1, ""), 0), 4u);
  EXPECT_EQ(TernTocInsertPosition(dates, Entry("", 0, "", 9, 1, ""), 0), 4u);
  EXPECT_EQ(TernTocInsertPosition(dates, Entry("", 0, "", 1, 1, ""), 0), 0u);
  EXPECT_EQ(TernTocInsertPosition(dates, Entry("", 0, "", 2, 1, ""), 0), 1u);
  std::reverse(dates.begin(), dates.end());
  EXPECT_EQ(TernTocInsertPosition(dates, Entry("", 0, "", 2, 1, ""), 8), 1u);
}
