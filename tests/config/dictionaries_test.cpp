// DictionaryStore: the two file formats, loading and its failures, scoring of text
// (runs of listed words, phrases, masking, the found text, modes and the bonus), and
// the local words' changes through AddWord, RemoveWord, Save and the reload.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "config/dictionaries.h"
#include "config/list_dict_file.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

// A vendor file: the plain header, then every line with its byte halves exchanged,
// CR LF included (so each ends with 0xA0).
std::string VendorFile(const std::vector<std::string>& lines) {
  std::string out = "# 2 1000";
  out += TernSwappedCopy("\r\n");
  for (const auto& line : lines) out += TernSwappedCopy(line + "\r\n");
  return out;
}

std::string LocalFile(const std::vector<std::string>& lines) {
  std::string out = "# 2 1000\r\n";
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

class Dictionaries : public ::testing::Test {
 protected:
  void SetUp() override { PlatformSetTime(1700000000); }
  void TearDown() override { PlatformClearTime(); }

  // Writes both files and loads them; the load must succeed.
  void Make(const std::vector<std::string>& local, const std::vector<std::string>& vendor = {}) {
    dir.Write("vendor", VendorFile(vendor));
    dir.Write("local", LocalFile(local));
    ASSERT_EQ(store.Load(1), 0);
  }

  struct Scored {
    int result;
    int32_t score;
    std::string found;
    std::string text;  // after masking
  };
  Scored Run(const std::string& text, const std::string& dicts, int mode = 3,
             size_t foundSize = 4096) {
    Scored out{0, -1, "", text};
    out.result = store.Score(out.text.data(), out.text.size(), mode, dicts, out.score, &out.found,
                             foundSize);
    return out;
  }

  TempDir dir;
  DictionaryStore store{dir.File("vendor"), dir.File("local")};
};

TEST_F(Dictionaries, ListedWordScoresOnlyWhenItsDictionaryIsInUse) {
  Make({"free:N:Sales:english:10:0"});
  Scored s = Run("free", "Sales");
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.score, 10);
  EXPECT_EQ(s.found, "Found: free\r\n");

  s = Run("free", "Support");
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.score, 0);
  EXPECT_EQ(s.found, "");

  // DictsToUse is searched as text: Sales holds Sale, and names are 0x1C-separated.
  store.AddWord("gratis", "Sale", 4, 0);
  ASSERT_EQ(store.Save(), 0);
  ASSERT_EQ(store.Load(1), 0);
  EXPECT_EQ(Run("gratis", "Support\x1CSales").score, 4);
}

TEST_F(Dictionaries, WordsAreLoweredAndUnderscoreIsAWordByte) {
  Make({"free:N:Sales:english:10:0"});
  EXPECT_EQ(Run("Get it FREE!", "Sales").score, 10);
  EXPECT_EQ(Run("free_offer", "Sales").score, 0);
  EXPECT_EQ(Run("free-offer", "Sales").score, 10);
  // Latin-1 letters are word bytes, so they join the word around them.
  EXPECT_EQ(Run("free\xE9", "Sales").score, 0);
  EXPECT_EQ(Run("free\xD7", "Sales").score, 10);
}

TEST_F(Dictionaries, PhraseAddsItsScoreWhenItsWordsOccurTogether) {
  Make({"free:N:Sales:english:10:0", "free money:N:Sales:english:20:0"});
  EXPECT_EQ(Run("free money", "Sales").score, 30);
  EXPECT_EQ(Run("Free money, now.", "Sales").score, 30);
  // money is only a phrase part: alone it is listed but worth nothing.
  EXPECT_EQ(Run("money", "Sales").score, 0);
  // A phrase counts once per occurrence.
  EXPECT_EQ(Run("free money free money", "Sales").score, 60);
  // Apart, the words make no phrase.
  EXPECT_EQ(Run("free a b money", "Sales").score, 10);
}

TEST_F(Dictionaries, PhraseMatchesWholeWordsOnly) {
  Make({"care:N:Sales:english:1:0", "free money:N:Sales:english:20:0"});
  // carefree is unlisted and sits between two listed words, so the run holds
  // "care carefree money"; free money must not be found inside carefree.
  Scored s = Run("care carefree money", "Sales");
  EXPECT_EQ(s.score, 1 - 5);
  EXPECT_EQ(Run("care free money", "Sales").score, 21);
}

TEST_F(Dictionaries, TwoUnlistedWordsEndARunButOneDoesNot) {
  Make({"free:N:Sales:english:10:0", "cash:N:Sales:english:4:0"});
  // One unlisted word inside: one run of three words, found as a whole.
  Scored s = Run("free xx cash", "Sales");
  EXPECT_EQ(s.found, "Found: free xx cash\r\n");
  // Two unlisted words: the first run is cut after its last space, the second
  // stands alone.
  s = Run("free xx yy cash", "Sales");
  EXPECT_EQ(s.found, "Found: free \r\nFound: cash\r\n");
  EXPECT_EQ(s.score, 14);
}

TEST_F(Dictionaries, UnlistedWordsInsideARunCostFive) {
  Make({"free:N:Sales:english:10:0", "cash:N:Sales:english:4:0"});
  EXPECT_EQ(Run("free cash", "Sales").score, 14);
  EXPECT_EQ(Run("free xx cash", "Sales").score, 9);
  // The same run closed by two unlisted words scores the same.
  EXPECT_EQ(Run("free xx cash yy zz", "Sales").score, 9);
  // A single listed word followed by one unlisted word costs nothing.
  EXPECT_EQ(Run("free xx", "Sales").score, 10);
  EXPECT_EQ(Run("free xx yy", "Sales").score, 10);
}

TEST_F(Dictionaries, ReplaceFlaggedWordsAndPhrasesAreMasked) {
  Make({"darn:R:Rude:english:1:0", "free money:R:Sales:english:20:0",
        "free:N:Sales:english:1:0"});
  // Masked although the score stays far below any threshold, and whatever the
  // dictionaries in use.
  Scored s = Run("Oh DARN it", "Other");
  EXPECT_EQ(s.text, "Oh ---- it");
  EXPECT_EQ(s.score, 0);
  // A phrase closed by two unlisted words is masked from its first to its last
  // listed word.
  s = Run("get free  money now please", "Sales");
  EXPECT_EQ(s.text, "get ----------- now please");
  EXPECT_EQ(s.score, 21);
  // Not when its dictionary is out of use, and not when the text's end closes it.
  EXPECT_EQ(Run("get free money now please", "Rude").text, "get free money now please");
  EXPECT_EQ(Run("get free money", "Sales").text, "get free money");
}

TEST_F(Dictionaries, ModeThreeAddsAThirdOfTheSecondaryCappedAtTheTotal) {
  Make({"cash:N:Sales:english:6:30", "loan:N:Loans:english:6:-9"});
  EXPECT_EQ(Run("cash", "Sales").score, 12);
  EXPECT_EQ(Run("loan", "Loans").score, 3);
  // Below mode 3 there is no bonus; the modes weigh positive and negative scores.
  EXPECT_EQ(Run("cash", "Sales", 2).score, 4);
  EXPECT_EQ(Run("cash", "Sales", 1).score, 3);
  EXPECT_EQ(Run("cash", "Sales", 5).score, 24);
  EXPECT_EQ(Run("cash", "Sales", 9).score, 12);
  // A run with a word of a dictionary in use counts all its listed words, and with
  // two known words their secondary scores join the score.
  EXPECT_EQ(Run("cash loan", "Loans").score, 6 + 6 + 30 - 9);
  // A run whose dictionary is out of use still gives its secondary score to the
  // bonus: 6 + min(6, (30 - 9) / 3).
  EXPECT_EQ(Run("cash xx yy loan", "Loans").score, 12);
  // No bonus unless the total is above 0.
  EXPECT_EQ(Run("cash", "Loans").score, 0);
}

TEST_F(Dictionaries, NegativeScoresWeighByMode) {
  Make({"minutes:N:Work:english:-10:0"});
  EXPECT_EQ(Run("minutes", "Work", 1).score, -20);
  EXPECT_EQ(Run("minutes", "Work", 4).score, -6);
  EXPECT_EQ(Run("minutes", "Work", 3).score, -10);
}

TEST_F(Dictionaries, FoundTextStaysWithinItsSize) {
  Make({"free:N:Sales:english:10:0"});
  // A line goes in when its length plus 15 and what is used so far stay below the
  // size; it then uses its length plus 16.
  EXPECT_EQ(Run("free a b free a b", "Sales", 3, 20).found, "");
  EXPECT_EQ(Run("free a b free a b", "Sales", 3, 21).found, "Found: free \r\n");
  EXPECT_EQ(Run("free a b free a b", "Sales", 3, 41).found, "Found: free \r\n");
  EXPECT_EQ(Run("free a b free a b", "Sales", 3, 42).found, "Found: free \r\nFound: free \r\n");
  // Without a found text the score is the same.
  std::string text = "free a b";
  int32_t score = 0;
  EXPECT_EQ(store.Score(text.data(), text.size(), 3, "Sales", score), 0);
  EXPECT_EQ(score, 10);
}

TEST_F(Dictionaries, AnyBytesAndOverlongWordsAreScanned) {
  Make({"free:N:Sales:english:10:0"});
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  bytes += " free ";
  bytes += std::string(10000, 'a');
  bytes += std::string(1, '\0') + "free";
  Scored s = Run(bytes, "Sales");
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.score, 20);
  // A word of exactly 4095 bytes is looked up; a longer run is not.
  Make({std::string(4095, 'z') + ":N:Sales:english:3:0"});
  EXPECT_EQ(Run(std::string(4095, 'z'), "Sales").score, 3);
  EXPECT_EQ(Run(std::string(4096, 'z'), "Sales").score, 0);
}

TEST_F(Dictionaries, VendorFileIsExchangedAndTheLocalFileWins) {
  Make({"free:N:Sales:english:10:0"},
       {"free:N:Sales:english:50:0", "viagra:R:Spam:english:40:0", "act now:N:Spam:english:25:0"});
  EXPECT_EQ(Run("free", "Sales").score, 10);
  Scored s = Run("Buy VIAGRA", "Spam");
  EXPECT_EQ(s.score, 40);
  EXPECT_EQ(s.text, "Buy ------");
  EXPECT_EQ(Run("act now", "Spam").score, 25);
  // Vendor words are never listed or looked up as local words.
  CTernList<CTernString> words(CTernString::Order);
  store.ListWords("Spam", words);
  EXPECT_EQ(words.Count(), 0u);
  int32_t score = 0, replace = 0;
  EXPECT_FALSE(store.LookupWord("viagra", score, replace));
}

TEST_F(Dictionaries, VendorHeaderEndingWithLineFeedIsReadToo) {
  std::string vendor = "# 2 1000\r\n" + TernSwappedCopy("cash:N:Spam:english:7:0\r\n");
  dir.Write("vendor", vendor);
  ASSERT_EQ(store.Load(1), 0);
  EXPECT_EQ(Run("cash", "Spam").score, 7);
  // A vendor file of its header alone is valid.
  dir.Write("vendor", "# 2 1000\r\n");
  EXPECT_EQ(store.Load(1), 0);
}

TEST_F(Dictionaries, MissingFiles) {
  EventCapture events;
  // No vendor file: the load fails without a message.
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_TRUE(events.Codes().empty());
  EXPECT_TRUE(store.ErrorState());
  std::string text = "free";
  int32_t score = 7;
  EXPECT_EQ(store.Score(text.data(), text.size(), 3, "Sales", score), 1);
  EXPECT_EQ(score, 0);
  // No local file: no failure.
  dir.Write("vendor", VendorFile({"free:N:Sales:english:10:0"}));
  EXPECT_EQ(store.Load(1), 0);
  EXPECT_FALSE(store.ErrorState());
  EXPECT_EQ(Run("free", "Sales").score, 10);
}

TEST_F(Dictionaries, CorruptLinesFailTheLoadWithTheirLineNumber) {
  const std::vector<std::string> bad = {
      "free:N:Sales:english:1234567:0",  // primary score of seven characters
      "free",                            // no ':' at all
      "free:NN:Sales:english:1:0",       // flag of two characters
      "free::Sales:english:1:0",         // empty flag
      "free:N:Sales:english:1",          // a field missing
      "free:N:Sales:english:1:0:",       // ':' after the secondary score
      "free:N:Sales:english:1x:0",       // letter in a score
      "free:N:Sales:english:1:0.5",      // letter in the secondary score
      "",                                // empty line
  };
  for (const auto& line : bad) {
    SCOPED_TRACE(line);
    EventCapture events;
    dir.Write("vendor", VendorFile({}));
    dir.Write("local", LocalFile({"good:N:Sales:english:1:0", "fine:N:Sales:english:123456:-99999999", line}));
    EXPECT_EQ(store.Load(1), 1);
    EXPECT_TRUE(store.ErrorState());
    ASSERT_EQ(events.Count(24), 1);
    EXPECT_NE(events.Find(24).text.find(dir.File("local") + " corrupt at line 3."), std::string::npos)
        << events.Find(24).text;
  }
  // The same in the vendor file.
  EventCapture events;
  dir.Write("vendor", VendorFile({"ok:N:A:english:1:0", "bad:N:A:english:+-+-+-+:0"}));
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_NE(events.Find(24).text.find(" corrupt at line 2."), std::string::npos);
}

TEST_F(Dictionaries, BadHeaders) {
  EventCapture events;
  dir.Write("vendor", VendorFile({}));
  dir.Write("local", "#2 1000\r\nfree:N:Sales:english:10:0\r\n");
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_NE(events.Find(24).text.find("corrupt at line 0."), std::string::npos);
  dir.Write("local", "# 3 1000\r\n");
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_NE(events.Find(25).text.find("unsupported version 3."), std::string::npos);
  dir.Write("local", "");
  EXPECT_EQ(store.Load(1), 1);
  EXPECT_EQ(events.Count(24), 2);
}

TEST_F(Dictionaries, FailedLoadNeverLetsASaveOverwriteTheFile) {
  EventCapture events;
  std::string corrupt = LocalFile({"free:N:Sales:english:1234567:0"});
  dir.Write("vendor", VendorFile({}));
  dir.Write("local", corrupt);
  ASSERT_EQ(store.Load(1), 1);
  EXPECT_EQ(store.AddWord("new", "Sales", 1, 0), 0);
  EXPECT_EQ(store.Save(), 1);
  EXPECT_TRUE(events.Has(28));
  EXPECT_EQ(TempDir::Read(dir.File("local")), corrupt);
}

TEST_F(Dictionaries, AddedWordScoresOnlyAfterSaveAndTheNextReload) {
  Make({"free:N:Sales:english:10:0"});
  ASSERT_EQ(store.AddWord("Cheap Pills", "Sales", 15, 1), 0);
  ASSERT_EQ(store.AddWord("bargain", "Sales", 5, 0), 0);
  // The local table sees it at once, lower-cased.
  int32_t score = 0, replace = 0;
  ASSERT_TRUE(store.LookupWord("cheap pills", score, replace));
  EXPECT_EQ(score, 15);
  EXPECT_EQ(replace, 1);
  EXPECT_EQ(Run("bargain", "Sales").score, 0);

  ASSERT_EQ(store.Save(), 0);
  // Saved, but the previous check is less than 10 seconds old.
  PlatformAdvance(9);
  EXPECT_EQ(Run("bargain", "Sales").score, 0);
  PlatformAdvance(2);
  EXPECT_EQ(Run("bargain", "Sales").score, 5);
  Scored s = Run("cheap pills now please", "Sales");
  EXPECT_EQ(s.score, 15);
  EXPECT_EQ(s.text, "----------- now please");
}

TEST_F(Dictionaries, SaveWritesTheLocalTableAndKeepsThePreviousFile) {
  Make({"free:N:Sales:english:10:0"});
  store.AddWord("darn", "Rude", -3, 1);
  ASSERT_EQ(store.Save(), 0);
  std::string text = TempDir::Read(dir.File("local"));
  EXPECT_EQ(text.substr(0, 15), "# 2 1700000000\r");
  EXPECT_NE(text.find("\r\nfree:N:Sales:english:10:0\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\ndarn:R:Rude:english:-3:0\r\n"), std::string::npos);
  EXPECT_EQ(TempDir::Read(dir.File("local_old")), LocalFile({"free:N:Sales:english:10:0"}));
  // The first save of a store without a local file creates it.
  TempDir other;
  other.Write("vendor", VendorFile({}));
  DictionaryStore fresh(other.File("vendor"), other.File("local"));
  ASSERT_EQ(fresh.Load(1), 0);
  fresh.AddWord("w", "D", 1, 0);
  ASSERT_EQ(fresh.Save(), 0);
  EXPECT_EQ(TempDir::Read(other.File("local")), "# 2 1700000000\r\nw:N:D:english:1:0\r\n");
}

TEST_F(Dictionaries, AddWordRefusesWhatCouldNotBeWrittenBack) {
  Make({});
  EXPECT_EQ(store.AddWord("", "Sales", 1, 0), 1);
  EXPECT_EQ(store.AddWord("a:b", "Sales", 1, 0), 1);
  EXPECT_EQ(store.AddWord("ab\r\n", "Sales", 1, 0), 1);
  EXPECT_EQ(store.AddWord("ab", "Sa:les", 1, 0), 1);
  ASSERT_EQ(store.Save(), 0);
  EXPECT_EQ(store.Load(1), 0);
}

TEST_F(Dictionaries, RemoveWordAndRemoveDictionary) {
  Make({"free:N:Sales:english:10:0", "cash:N:sales:english:4:0", "darn:R:Rude:english:1:0"},
       {"gratis:N:Sales:english:9:0"});
  // RemoveWord takes the word exactly as given.
  EXPECT_EQ(store.RemoveWord("DARN"), 1);
  EXPECT_EQ(store.RemoveWord("darn"), 0);
  EXPECT_EQ(store.RemoveWord("darn"), 1);

  store.RemoveDictionary("SALES");
  CTernList<CTernString> words(CTernString::Order);
  store.ListWords("Sales", words);
  EXPECT_EQ(words.Count(), 0u);
  EXPECT_EQ(TempDir::Read(dir.File("local")), "# 2 1700000000\r\n");
  // The vendor word stays.
  ASSERT_EQ(store.Load(1), 0);
  EXPECT_EQ(Run("gratis free", "Sales").score, 9);
}

TEST_F(Dictionaries, ListWordsInOrderAndNeedsAComparison) {
  Make({"zeta:N:Sales:english:1:0", "alpha:N:SALES:english:1:0", "other:N:Rude:english:1:0",
        "big deal:N:Sales:english:1:0"});
  CTernList<CTernString> words(CTernString::Order);
  store.ListWords("sales", words);
  ASSERT_EQ(words.Count(), 3u);
  EXPECT_EQ(words.ItemAt(0).Str(), "alpha");
  EXPECT_EQ(words.ItemAt(1).Str(), "big deal");
  EXPECT_EQ(words.ItemAt(2).Str(), "zeta");
  CTernList<CTernString> unsorted;
  EventCapture events;
  try {
    store.ListWords("Sales", unsorted);
    ADD_FAILURE() << "no exception";
  } catch (const CTernException& e) {
    EXPECT_EQ(e.Code(), 56);
  }
}

TEST_F(Dictionaries, ScorePhraseDirectly) {
  Make({"free:N:Sales:english:10:2", "money:N:Sales:english:2:0",
        "free money:R:Sales:english:20:0"});
  int32_t score = 0, secondary = 0, replace = 0;
  store.ScorePhrase("free money", 3, "Sales", score, secondary, replace);
  EXPECT_EQ(score, 10 + 2 + 20 + 2);  // two known words: the secondary joins the score
  EXPECT_EQ(secondary, 0);
  EXPECT_EQ(replace, 1);
  store.ScorePhrase("free", 3, "Sales", score, secondary, replace);
  EXPECT_EQ(score, 10);
  EXPECT_EQ(secondary, 2);
  EXPECT_EQ(replace, 0);
  store.ScorePhrase("free money", 3, "Other", score, secondary, replace);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(secondary, 2);
  EXPECT_EQ(replace, 0);
}

TEST_F(Dictionaries, ScoringGoesOnWhileAnotherThreadReloads) {
  Make({"free:N:Sales:english:10:0", "free money:N:Sales:english:20:0"});
  std::atomic<bool> stop{false};
  std::thread loader([&] {
    for (int i = 0; i < 50 && !stop; ++i) store.Load(1);
  });
  int wrong = 0;
  for (int i = 0; i < 2000; ++i) {
    Scored s = Run("get free money now please", "Sales");
    wrong += s.score != 30;
  }
  stop = true;
  loader.join();
  EXPECT_EQ(wrong, 0);
}

// The vendor dictionary file the build makes: build/data/vendor/dictionaries, beside
// build/tests where this test runs from.
std::string ShippedDictionaries() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string self = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
  std::string tests = self.substr(0, self.rfind('/'));
  return tests.substr(0, tests.rfind('/')) + "/data/vendor/dictionaries";
}

TEST(ShippedDictionaries, LoadAndTellSpamFromOrdinaryMail) {
  TempDir dir;
  EventCapture events;
  DictionaryStore store(ShippedDictionaries(), dir.File("local"));
  ASSERT_EQ(store.Load(1), 0) << ShippedDictionaries();
  EXPECT_TRUE(events.Codes().empty());
  const std::string dicts = "Spam\x1CProfanity";
  auto score = [&](std::string text) {
    int32_t value = 0;
    EXPECT_EQ(store.Score(text.data(), text.size(), 3, dicts, value), 0);
    return value;
  };
  EXPECT_GE(score("Dear friend, act now! This limited time offer lets you double your income "
                  "working from home. Click here for free money, risk free."),
            50);
  EXPECT_LT(score("Hi Anna, the meeting moved to Thursday at ten. I attached the minutes and "
                  "the budget for next year. Let me know if anything is missing. Thanks, Tom"),
            10);
  // Profanity is masked.
  std::string text = "What the fuck is this shit";
  int32_t value = 0;
  store.Score(text.data(), text.size(), 3, dicts, value);
  EXPECT_EQ(text, "What the ---- is this ----");
  EXPECT_GE(value, 30);
}

}  // namespace
