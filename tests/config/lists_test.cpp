// ListStore: the lists file and its failures, the filter's question (which line
// covers an address, and the answer the settings give), members of a list, and the
// changes that the administration pages make and save.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "config/attribute_table.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "config/list_dict_file.h"
#include "config/lists.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

// A lists file: each pair is an address and its list names (separated by ',' here,
// each followed by 0x1C in the file).
std::string ListsFile(const Lines& lines) {
  std::string out = "# 2 1000\r\n";
  for (const auto& [address, names] : lines) {
    out += address + "\x1C";
    size_t from = 0;
    while (from < names.size()) {
      size_t comma = names.find(',', from);
      if (comma == std::string::npos) comma = names.size();
      out += names.substr(from, comma - from) + "\x1C";
      from = comma + 1;
    }
    out += "\r\n";
  }
  return out;
}

AttributeTable Settings(const std::vector<std::pair<std::string, std::string>>& values) {
  AttributeTable table;
  for (const auto& [name, value] : values) table.Set(name, value);
  return table;
}

std::vector<std::string> Items(const CTernList<CTernString>& list) {
  std::vector<std::string> out;
  list.ForEach([&](const CTernString& s) { out.push_back(s.Str()); });
  return out;
}

class Lists : public ::testing::Test {
 protected:
  void SetUp() override {
    PlatformSetTime(1700000000);
    // The local domain example.org, and the list objects staff and friends.
    dir.Write("shared-config", "# 2 1000\r\nDS,Domain=example.org\r\n");
    dir.Write("local-config", "# 2 1000\r\nDLstaff,L,N\r\nDLfriends,L,N\r\n");
    dir.Write("vendor-config", "# 2 1000\r\n");
    ASSERT_EQ(configuration.Load(true), 0);
    Configuration::SetProcess(&configuration);
    InstallLocalDomains(&configuration);
  }
  void TearDown() override {
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    PlatformClearTime();
  }

  void Make(const Lines& lines) {
    dir.Write("lists", ListsFile(lines));
    ASSERT_EQ(store.Load(1), 0);
  }

  TempDir dir;
  Configuration configuration{dir.File("shared-config"), dir.File("local-config"),
                              dir.File("vendor-config")};
  ListStore store{dir.File("lists")};
};

TEST_F(Lists, TheMostSpecificLineCoversAnAddress) {
  // Each line names its own list, and each list its own setting, so the answer
  // tells which line covered the address.
  Make({{"@remote.example", "domain"}, {"bob", "bobs"}, {"carol@remote.example", "carols"}});
  AttributeTable s = Settings({{"SLbobs", "Allow"}, {"SLcarols", "allow"}, {"SLdomain", "Deny"}});
  EXPECT_EQ(store.CheckList("carol@remote.example", s, 'S'), kListAllowScored);
  EXPECT_EQ(store.CheckList("Carol@Remote.Example", s, 'S'), kListAllowScored);
  EXPECT_EQ(store.CheckList("dave@remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("x@mx.remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("bob", s, 'S'), kListAllow);
  EXPECT_EQ(store.CheckList("Bob Smith <bob@example.org>", s, 'S'), kListAllow);
  EXPECT_EQ(store.CheckList("bob@remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("carol@elsewhere.example", s, 'S'), kListNothing);
  // The settings of the other direction do not apply: covered, nothing more.
  EXPECT_EQ(store.CheckList("dave@remote.example", s, 'R'), kListCovered);
  EXPECT_EQ(store.CheckList("", s, 'S'), kListNothing);
  EXPECT_EQ(store.CheckList("jo@", s, 'S'), kListNothing);
}

TEST_F(Lists, ADenySettingOnTheListAnswersFour) {
  Make({{"@remote.example", "staff"}, {"bob", "staff"}, {"carol@remote.example", "staff"}});
  AttributeTable s = Settings({{"SLstaff", "D"}});
  EXPECT_EQ(store.CheckList("anyone@remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("carol@remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("anyone@remote.example", s, 'R'), kListCovered);
}

TEST_F(Lists, SettingsOfSeveralListsCombine) {
  Make({{"ann@remote.example", "fans,vip"},
        {"jo@remote.example", "vip,fans"},
        {"kim@remote.example", "fans,blocked,vip"}});
  AttributeTable s = Settings({{"SLfans", "A"}, {"SLvip", "a"}, {"SLblocked", "D"}});
  EXPECT_EQ(store.CheckList("ann@remote.example", s, 'S'), kListAllowScored);
  EXPECT_EQ(store.CheckList("jo@remote.example", s, 'S'), kListAllowScored);
  EXPECT_EQ(store.CheckList("kim@remote.example", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("ann@remote.example", Settings({{"SLfans", "A"}}), 'S'), kListAllow);
}

TEST_F(Lists, PatternsForAUserAnywhereAndForEveryAddress) {
  Make({{"@", "everyone"}, {"@example.net", "net"}, {"jo@", "jo"}, {"jo@example.net", "jonet"}});
  AttributeTable s = Settings({{"SLeveryone", "A"}, {"SLnet", "D"}, {"SLjo", "a"}, {"SLjonet", "A"}});
  EXPECT_EQ(store.CheckList("jo@example.net", s, 'S'), kListAllow);
  EXPECT_EQ(store.CheckList("ann@example.net", s, 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("jo@other.example", s, 'S'), kListAllowScored);
  EXPECT_EQ(store.CheckList("ann@other.example", s, 'S'), kListAllow);
  // A source route: the hop nearest the user decides before the relay.
  EXPECT_EQ(store.CheckList("@relay.example.com:ann@example.net", s, 'S'), kListDeny);
}

TEST_F(Lists, AnAddressThatNamesAListObject) {
  Make({{"staff", "owner-staff"}});
  EXPECT_EQ(store.CheckList("staff", Settings({}), 'S'), kListCovered);
  EXPECT_EQ(store.CheckList("staff@example.org", Settings({{"SLstaff", "D"}}), 'S'), kListDeny);
  EXPECT_EQ(store.CheckList("friends", Settings({{"RLfriends", "a"}}), 'R'), kListAllowScored);
  // The list's own setting and its line's lists combine.
  EXPECT_EQ(store.CheckList("staff", Settings({{"SLstaff", "A"}, {"SLowner-staff", "D"}}), 'S'),
            kListDeny);
  // A remote address of the same name is no list.
  EXPECT_EQ(store.CheckList("staff@remote.example", Settings({{"SLstaff", "D"}}), 'S'), kListNothing);
}

TEST_F(Lists, ALineWithoutSeparatorFailsTheLoadWithItsNumber) {
  EventCapture events;
  std::string text = ListsFile({{"a@x.example", "l"}, {"b@x.example", "l"}}) + "c@x.example l\r\n";
  dir.Write("lists", text);
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_TRUE(store.ErrorState());
  ASSERT_TRUE(events.Has(24));
  EXPECT_NE(events.Find(24).text.find(dir.File("lists") + " corrupt at line 3."), std::string::npos)
      << events.Find(24).text;
  // In the error state no list applies and nothing is saved.
  EXPECT_EQ(store.CheckList("a@x.example", Settings({{"SLl", "D"}}), 'S'), kListNothing);
  EXPECT_EQ(store.AddToList("new@x.example", "l"), 0);
  EXPECT_EQ(store.Save(), 1);
  EXPECT_TRUE(events.Has(28));
  EXPECT_EQ(TempDir::Read(dir.File("lists")), text);
}

TEST_F(Lists, BadHeadersAndAMissingFile) {
  EventCapture events;
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_TRUE(events.Codes().empty());
  dir.Write("lists", "2 1000\r\nbob\x1Cstaff\x1C\r\n");
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_NE(events.Find(24).text.find("corrupt at line 0."), std::string::npos);
  dir.Write("lists", "# 1 1000\r\n");
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_NE(events.Find(25).text.find("unsupported version 1."), std::string::npos);
  dir.Write("lists", "# 2 1000\r\n");
  EXPECT_EQ(store.Load(1), 0);
  EXPECT_FALSE(store.ErrorState());
  EXPECT_EQ(store.EntryCount(), 0u);
}

TEST_F(Lists, AnUnsortedLineWarnsButIsFound) {
  EventCapture events;
  Make({{"carol@x.example", "l1"}, {"dave@x.example", "l1"}, {"alice@x.example", "l2"},
        {"erin@x.example", "l1"}, {"carl@x.example", "l3"}, {"dave@x.example", "l4"}});
  EXPECT_EQ(events.Count(33), 3);  // ali, then car and dav after eri
  PlatformEventLine warning = events.Find(33);
  EXPECT_EQ(warning.kind, PlatformEventKind::Warning);
  EXPECT_NE(warning.text.find(dir.File("lists") + " is not sorted correctly (ali)."),
            std::string::npos)
      << warning.text;
  // Every line can be found, and the two lines of one address are one.
  for (const char* address : {"alice@x.example", "carl@x.example", "carol@x.example",
                              "dave@x.example", "erin@x.example"})
    EXPECT_GE(store.FindEntry(address), 0) << address;
  EXPECT_EQ(store.EntryCount(), 5u);
  EXPECT_EQ(store.ListsOf("dave@x.example"), "l1\x1Cl4\x1C");
  EXPECT_EQ(store.FindEntry("bob@x.example"), -1);
}

TEST_F(Lists, MembersOfAListAndNotOfAListWithALongerName) {
  Make({{"a@x.example", "staff"}, {"b@x.example", "other,Staff"}, {"bob", "other,staffroom"},
        {"c@x.example", "staffroom"}, {"d@x.example", "STAFF,owner-staff"}});
  CTernList<CTernString> members(CTernString::Order);
  store.GetMembers("staff", members);
  EXPECT_EQ(Items(members), (std::vector<std::string>{"a@x.example", "b@x.example", "d@x.example"}));
  CTernList<CTernString> owners(CTernString::Order);
  store.GetMembers("owner-staff", owners);
  EXPECT_EQ(Items(owners), std::vector<std::string>{"d@x.example"});
  CTernList<CTernString> none(CTernString::Order);
  store.GetMembers("", none);
  EXPECT_EQ(none.Count(), 0u);
  CTernList<CTernString> unsorted;
  EventCapture events;
  try {
    store.GetMembers("staff", unsorted);
    ADD_FAILURE() << "no exception";
  } catch (const CTernException& e) {
    EXPECT_EQ(e.Code(), 56);
  }
}

TEST_F(Lists, AddToListNormalisesAndKeepsTheArrayInOrder) {
  Make({{"m@x.example", "l"}});
  EXPECT_EQ(store.AddToList("HTTP://Spam.Example.COM//", "block"), 0);
  EXPECT_EQ(store.ListsOf("spam.example.com"), "block\x1C");
  EXPECT_EQ(store.AddToList("spam.example.com", "BLOCK"), 0);
  EXPECT_EQ(store.AddToList("spam.example.com", "other"), 0);
  EXPECT_EQ(store.ListsOf("spam.example.com"), "block\x1Cother\x1C");
  EXPECT_EQ(store.AddToList("", "l"), 1);
  EXPECT_EQ(store.AddToList("a\x1C" "b", "l"), 1);
  EXPECT_EQ(store.AddToList("a@x.example", "bad\r\nname"), 1);
  EXPECT_EQ(store.AddToList("a@x.example", ""), 1);

  // Many additions in random order: every address stays findable.
  std::mt19937 random(7);
  std::vector<std::string> added;
  for (int i = 0; i < 2000; ++i) {
    std::string address = std::to_string(random() % 100000) + "@h" + std::to_string(i % 7) + ".example";
    added.push_back(address);
    ASSERT_EQ(store.AddToList(address, "many"), 0);
  }
  for (const auto& address : added) ASSERT_GE(store.FindEntry(address), 0) << address;
  EXPECT_GE(store.FindEntry("m@x.example"), 0);
  EXPECT_EQ(store.CheckList(added[5], Settings({{"SLmany", "D"}}), 'S'), kListDeny);

  // Saved in byte order, and loaded again without a warning.
  ASSERT_EQ(store.Save(), 0);
  EventCapture events;
  ASSERT_EQ(store.Load(1), 0);
  EXPECT_FALSE(events.Has(33));
  std::set<std::string> distinct(added.begin(), added.end());
  EXPECT_EQ(store.EntryCount(), distinct.size() + 2);
}

TEST_F(Lists, EmptiedLinesAreLeftOutAtTheNextSave) {
  Make({{"a@x.example", "staff"}, {"b@x.example", "staff,other"}, {"bob", "friends"},
        {"c@x.example", "other"}});
  EXPECT_EQ(store.RemoveFromList("a@x.example", "STAFF"), 0);
  EXPECT_EQ(store.RemoveFromList("a@x.example", "staff"), 1);
  EXPECT_EQ(store.RemoveFromList("nobody@x.example", "staff"), 1);
  // The line stays until the save.
  EXPECT_GE(store.FindEntry("a@x.example"), 0);
  store.RemoveList("other");
  ASSERT_EQ(store.Save(), 0);
  EXPECT_EQ(TempDir::Read(dir.File("lists")),
            "# 2 1700000000\r\nb@x.example\x1Cstaff\x1C\r\nbob\x1C" "friends\x1C\r\n");
  EXPECT_EQ(store.FindEntry("a@x.example"), -1);
  EXPECT_EQ(store.FindEntry("c@x.example"), -1);
  // The previous file stays beside it.
  EXPECT_NE(TempDir::Read(dir.File("lists_old")).find("a@x.example"), std::string::npos);
  // RemoveName empties the name's line and saves at once.
  EXPECT_EQ(store.RemoveName("Bob"), 0);
  EXPECT_EQ(TempDir::Read(dir.File("lists")), "# 2 1700000000\r\nb@x.example\x1Cstaff\x1C\r\n");
}

TEST_F(Lists, ExchangedLinesRoundTrip) {
  std::string text = "# 2 1000\r\n" + TernSwappedCopy("bob\x1Cstaff\x1C\r\n");
  dir.Write("swapped", text);
  ListStore swapped(dir.File("swapped"), true);
  ASSERT_EQ(swapped.Load(1), 0);
  EXPECT_EQ(swapped.ListsOf("bob"), "staff\x1C");
  ASSERT_EQ(swapped.AddToList("ann", "staff"), 0);
  ASSERT_EQ(swapped.Save(), 0);
  EXPECT_EQ(TempDir::Read(dir.File("swapped")),
            "# 2 1700000000\r\n" + TernSwappedCopy("ann\x1Cstaff\x1C\r\nbob\x1Cstaff\x1C\r\n"));
  ASSERT_EQ(swapped.Load(1), 0);
  EXPECT_EQ(swapped.EntryCount(), 2u);
}

TEST_F(Lists, AnotherWritersChangeIsSeenAfterTheCheckInterval) {
  Make({{"a@x.example", "l"}});
  ListStore other(dir.File("lists"));
  ASSERT_EQ(other.Load(1), 0);
  ASSERT_EQ(other.AddToList("b@x.example", "l"), 0);
  ASSERT_EQ(other.Save(), 0);
  AttributeTable s = Settings({{"SLl", "D"}});
  EXPECT_EQ(store.CheckList("b@x.example", s, 'S'), kListNothing);
  PlatformAdvance(10);
  EXPECT_EQ(store.CheckList("b@x.example", s, 'S'), kListDeny);
}

TEST_F(Lists, LookUpsGoOnWhileTheListsChange) {
  Make({{"@remote.example", "blocked"}});
  AttributeTable s = Settings({{"SLblocked", "D"}, {"SLfine", "A"}});
  std::thread writer([&] {
    for (int i = 0; i < 500; ++i) {
      store.AddToList("u" + std::to_string(i) + "@other.example", "fine");
      if (i % 100 == 0) store.Save();
    }
  });
  int wrong = 0;
  for (int i = 0; i < 3000; ++i) wrong += store.CheckList("x@remote.example", s, 'S') != kListDeny;
  writer.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(store.CheckList("u499@other.example", s, 'S'), kListAllow);
}

}  // namespace
