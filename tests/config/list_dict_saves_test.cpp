// Changes to the lists and dictionary files: a score the file cannot carry is
// refused, a bad line on disk never stops the filter, and saves and reloads keep
// every change, also between two stores and two processes sharing the files. And
// the keys that may cover an address, as a table.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "base/message_codes.h"
#include "config/dictionaries.h"
#include "config/dictionary_score.h"
#include "config/list_dict_file.h"
#include "config/lists.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

const std::string kHeader = "# 2 1000\r\n";

// The lines of a file after its header, in a set (the dictionary writes in table
// order).
std::set<std::string> Lines(const std::string& path) {
  std::string text = TempDir::Read(path);
  std::set<std::string> out;
  size_t from = text.find("\r\n");
  while (from != std::string::npos && from + 2 < text.size()) {
    size_t end = text.find("\r\n", from + 2);
    out.insert(text.substr(from + 2, end - from - 2));
    from = end;
  }
  return out;
}

class ListDictSaves : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("vendor", "# 2 1000" + TernSwappedCopy("\r\n"));
    dir.Write("local", kHeader + "free:N:Sales:english:10:0\r\n");
    dir.Write("lists", kHeader + "a@x.example\x1Cstaff\x1C\r\n");
  }
  void TearDown() override { PlatformClearTime(); }

  int32_t ScoreOf(DictionaryStore& store, std::string text) {
    int32_t score = -1;
    EXPECT_EQ(store.Score(text.data(), text.size(), 3, "Sales", score), 0);
    return score;
  }

  TempDir dir;
};

}  // namespace

TEST_F(ListDictSaves, AScoreTheFileCannotCarryIsRefusedAndTheLimitsRoundTrip) {
  struct Case {
    int32_t score;
    int result;
  } cases[] = {{1000000, 1},
               {-100000, 1},
               {INT32_MAX, 1},
               {INT32_MIN, 1},
               {kDictionaryScoreMax, 0},
               {kDictionaryScoreMin, 0},
               {0, 0}};
  DictionaryStore store(dir.File("vendor"), dir.File("local"));
  ASSERT_EQ(store.Load(1), 0);
  for (const Case& c : cases) {
    std::string word =
        "w" + std::to_string(c.score < 0 ? -int64_t{c.score} : c.score) + (c.score < 0 ? "n" : "p");
    EXPECT_EQ(store.AddWord(word, "Sales", c.score, 0), c.result) << c.score;
    int32_t score = 0, replace = 0;
    EXPECT_EQ(store.LookupWord(word, score, replace), c.result == 0) << c.score;
  }
  ASSERT_EQ(store.Save(), 0);
  DictionaryStore again(dir.File("vendor"), dir.File("local"));
  ASSERT_EQ(again.Load(1), 0);
  int32_t score = 0, replace = 0;
  ASSERT_TRUE(again.LookupWord("w999999p", score, replace));
  EXPECT_EQ(score, 999999);
  ASSERT_TRUE(again.LookupWord("w99999n", score, replace));
  EXPECT_EQ(score, -99999);
  EXPECT_FALSE(again.LookupWord("w1000000p", score, replace));
}

TEST_F(ListDictSaves, ABadLocalLineNeitherStopsScoringNorBlocksItsRemoval) {
  PlatformSetTime(1700000000);
  DictionaryStore store(dir.File("vendor"), dir.File("local"));
  ASSERT_EQ(store.Load(1), 0);
  EXPECT_EQ(ScoreOf(store, "free"), 10);
  // Another program leaves a line the loader refuses.
  dir.Write("local", kHeader + "free:N:Sales:english:10:0\r\njackpot:N:Spam:english:1000000:0\r\n");
  EventCapture events;
  PlatformAdvance(11);
  EXPECT_EQ(ScoreOf(store, "free"), 10);  // the last good tables still score
  EXPECT_FALSE(store.ErrorState());
  PlatformEventLine bad = events.Find(kMsgConfigCorrupt);
  EXPECT_NE(bad.text.find(dir.File("local")), std::string::npos) << bad.text;
  EXPECT_NE(bad.text.find("line 2"), std::string::npos) << bad.text;
  // A failed file is not read again every check, only once it changes.
  PlatformAdvance(11);
  EXPECT_EQ(ScoreOf(store, "free"), 10);
  EXPECT_EQ(events.Count(kMsgConfigCorrupt), 1);

  // The administrator removes the entry through the store.
  EXPECT_EQ(store.RemoveWord("jackpot"), 0);
  EXPECT_EQ(store.AddWord("prize", "Sales", 7, 0), 0);
  ASSERT_EQ(store.Save(), 0);
  EXPECT_EQ(Lines(dir.File("local")),
            (std::set<std::string>{"free:N:Sales:english:10:0", "prize:N:Sales:english:7:0"}));
  PlatformAdvance(11);
  EXPECT_EQ(ScoreOf(store, "free prize"), 17);
}

TEST_F(ListDictSaves, AnUnparsableLineMetBySaveIsKeptAsItStands) {
  DictionaryStore store(dir.File("vendor"), dir.File("local"));
  ASSERT_EQ(store.Load(1), 0);
  dir.Write("local", kHeader + "free:N:Sales:english:10:0\r\nodd line\r\n");
  ASSERT_EQ(store.AddWord("cheap", "Sales", 3, 0), 0);
  ASSERT_EQ(store.Save(), 0);
  EXPECT_EQ(Lines(dir.File("local")),
            (std::set<std::string>{"free:N:Sales:english:10:0", "cheap:N:Sales:english:3:0",
                                   "odd line"}));
  // A lists line without its separator is kept the same way.
  ListStore lists(dir.File("lists"));
  ASSERT_EQ(lists.Load(1), 0);
  dir.Write("lists", kHeader + "a@x.example\x1Cstaff\x1C\r\nb@x.example\r\n");
  ASSERT_EQ(lists.AddToList("c@x.example", "staff"), 0);
  ASSERT_EQ(lists.Save(), 0);
  EXPECT_EQ(Lines(dir.File("lists")),
            (std::set<std::string>{"a@x.example\x1Cstaff\x1C", "b@x.example",
                                   "c@x.example\x1Cstaff\x1C"}));
}

TEST_F(ListDictSaves, TwoStoresSavingInTurnKeepEachOthersChanges) {
  DictionaryStore one(dir.File("vendor"), dir.File("local")),
      two(dir.File("vendor"), dir.File("local"));
  ListStore first(dir.File("lists")), second(dir.File("lists"));
  ASSERT_EQ(one.Load(1) + two.Load(1) + first.Load(1) + second.Load(1), 0);
  ASSERT_EQ(one.AddWord("alpha", "Sales", 1, 0), 0);
  ASSERT_EQ(two.AddWord("beta", "Sales", 2, 0), 0);
  ASSERT_EQ(two.RemoveWord("free"), 0);
  ASSERT_EQ(first.AddToList("b@x.example", "staff"), 0);
  ASSERT_EQ(second.AddToList("c@x.example", "staff"), 0);
  ASSERT_EQ(second.RemoveFromList("a@x.example", "staff"), 0);
  ASSERT_EQ(one.Save() + two.Save() + first.Save() + second.Save(), 0);
  EXPECT_EQ(Lines(dir.File("local")),
            (std::set<std::string>{"alpha:N:Sales:english:1:0", "beta:N:Sales:english:2:0"}));
  EXPECT_EQ(Lines(dir.File("lists")),
            (std::set<std::string>{"b@x.example\x1Cstaff\x1C", "c@x.example\x1Cstaff\x1C"}));
}

TEST_F(ListDictSaves, AReloadKeepsChangesNotSavedYet) {
  PlatformSetTime(1700000000);
  DictionaryStore store(dir.File("vendor"), dir.File("local"));
  ListStore lists(dir.File("lists"));
  ASSERT_EQ(store.Load(1) + lists.Load(1), 0);
  ASSERT_EQ(store.AddWord("pending", "Sales", 4, 0), 0);
  ASSERT_EQ(lists.AddToList("p@x.example", "staff"), 0);
  ASSERT_EQ(lists.RemoveFromList("a@x.example", "staff"), 0);
  // Another writer replaces both files; the next check reloads them.
  dir.Write("local", kHeader + "free:N:Sales:english:10:0\r\nother:N:Sales:english:5:0\r\n");
  dir.Write("lists", kHeader + "a@x.example\x1Cstaff\x1C\r\no@x.example\x1Cstaff\x1C\r\n");
  PlatformAdvance(11);
  EXPECT_EQ(ScoreOf(store, "other"), 5);
  lists.CheckReload();
  int32_t score = 0, replace = 0;
  EXPECT_TRUE(store.LookupWord("pending", score, replace));
  EXPECT_EQ(lists.ListsOf("p@x.example"), "staff\x1C");
  EXPECT_EQ(lists.ListsOf("a@x.example"), "");
  EXPECT_EQ(lists.ListsOf("o@x.example"), "staff\x1C");
  ASSERT_EQ(store.Save() + lists.Save(), 0);
  EXPECT_EQ(Lines(dir.File("local")).size(), 3u);
  EXPECT_EQ(Lines(dir.File("lists")),
            (std::set<std::string>{"o@x.example\x1Cstaff\x1C", "p@x.example\x1Cstaff\x1C"}));
}

TEST_F(ListDictSaves, TwoProcessesSavingAfterEachChangeLoseNothing) {
  constexpr int kEach = 50;
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      DictionaryStore words(dir.File("vendor"), dir.File("local"));
      ListStore lists(dir.File("lists"));
      int failures = words.Load(1) + lists.Load(1);
      for (int i = 0; i < kEach; ++i) {
        std::string name = "p" + std::to_string(child) + "n" + std::to_string(i);
        failures += words.AddWord(name, "Sales", i, 0) + words.Save();
        failures += lists.AddToList(name + "@x.example", "staff") + lists.Save();
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Lines(dir.File("local")).size(), 2u * kEach + 1);
  EXPECT_EQ(Lines(dir.File("lists")).size(), 2u * kEach + 1);
  DictionaryStore words(dir.File("vendor"), dir.File("local"));
  ListStore lists(dir.File("lists"));
  EXPECT_EQ(words.Load(1) + lists.Load(1), 0);
}

TEST(ListCoveringKeys, MostSpecificFirst) {
  struct Case {
    const char* route;
    bool local;
    std::vector<std::string> keys;
  } cases[] = {
      {"bob", true, {"bob@", "bob", "@"}},
      {"remote.example!carol",
       false,
       {"carol@remote.example", "@remote.example", "carol@example", "@example", "carol@", "@"}},
      {"example.org!jo",
       true,
       {"jo@example.org", "jo", "@example.org", "jo@org", "@org", "jo@", "@"}},
      // Two hops: the nearest (last) hop's domains first.
      {"a.example!b.example!u",
       false,
       {"u@b.example", "@b.example", "u@example", "@example", "u@a.example", "@a.example",
        "u@example", "@example", "u@", "@"}},
  };
  std::vector<std::string> keys{"left over", "from before", "a", "b", "c", "d",
                                "e",         "f",           "g", "h", "i", "j"};
  for (const Case& c : cases) {
    ListCoveringKeys(c.route, c.local, keys);
    EXPECT_EQ(keys, c.keys) << c.route;
  }
}
