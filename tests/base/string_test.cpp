// CTernString: comparisons, edits, splits, numbers, zero bytes, and use by several
// threads and on itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "base/format.h"
#include "base/string.h"
#include "tests/support/events.h"

namespace {

std::vector<std::string> Pieces(const CTernString& text, char separator, bool quotes) {
  CTernList<CTernString> list;
  text.Split(separator, list, quotes);
  std::vector<std::string> out;
  list.ForEach([&](const CTernString& s) { out.push_back(s.Str()); });
  return out;
}

}  // namespace

TEST(String, Compares) {
  CTernString abc("abc");
  EXPECT_EQ(abc.Compare("abc"), 0);
  EXPECT_EQ(abc.Compare("abd"), -1);
  EXPECT_EQ(abc.Compare("abb"), 1);
  EXPECT_EQ(abc.Compare("ab"), 1);    // the shorter sorts first
  EXPECT_EQ(abc.Compare("abcd"), -1);
  EXPECT_EQ(abc.Compare("ABC"), 1);
  EXPECT_EQ(abc.Compare("ABC", true), 0);
  // Bytes above 0x7F compare as unsigned values and are not letters.
  EXPECT_EQ(CTernString("\xe9").Compare("z"), 1);
  EXPECT_FALSE(CTernString("\xc9").Equals("\xe9", true));
  EXPECT_EQ(abc.Compare(CTernString("ABC"), true), 0);
  EXPECT_EQ(abc.Compare(abc), 0);

  EXPECT_FALSE(abc.Equals("abcd"));
  EXPECT_TRUE(abc.Equals(CTernString("aBc"), true));
  CTernString helo("HELO example.org");
  EXPECT_TRUE(helo.BeginsWith("HELO"));
  EXPECT_FALSE(helo.BeginsWith("helo"));
  EXPECT_TRUE(helo.BeginsWith("helo", true));
  EXPECT_FALSE(CTernString("HE").BeginsWith("HELO", true));
  EXPECT_TRUE(helo.Contains("EXAMPLE.Org"));
  EXPECT_TRUE(helo.Contains(""));
  EXPECT_FALSE(helo.Contains("example.net"));
  EXPECT_TRUE(CTernString().Contains(""));
}

TEST(String, Edits) {
  auto edited = [](const char* text, auto edit) {
    CTernString s(text);
    edit(s);
    return s.Str();
  };
  EXPECT_EQ(edited("QUIT\r\n\r\n", [](CTernString& s) { s.TrimRight(); }), "QUIT");
  EXPECT_EQ(edited("\r\n", [](CTernString& s) { s.TrimRight(); }), "");
  EXPECT_EQ(edited(" a b \t ", [](CTernString& s) { s.TrimRight(" \t"); }), " a b");
  EXPECT_EQ(edited("a-b-c", [](CTernString& s) { s.Remove('-'); }), "abc");
  EXPECT_EQ(edited("a-b-c", [](CTernString& s) { s.Replace('-', '.'); }), "a.b.c");
  EXPECT_EQ(edited("MiXeD 1\xe9", [](CTernString& s) { s.ToUpper(); }), "MIXED 1\xe9");
  EXPECT_EQ(edited("MiXeD 1\xc9", [](CTernString& s) { s.ToLower(); }), "mixed 1\xc9");
  EXPECT_EQ(edited("20240131", [](CTernString& s) { s.KeepRight(4); }), "0131");
  EXPECT_EQ(edited("0131", [](CTernString& s) { s.KeepRight(10); }), "0131");
  auto unquoted = [&](const char* text) { return edited(text, [](CTernString& s) { s.Unquote(); }); };
  EXPECT_EQ(unquoted("\"Jo Bloggs\""), "Jo Bloggs");
  EXPECT_EQ(unquoted("\"unclosed"), "unclosed");
  EXPECT_EQ(unquoted("plain\""), "plain\"");
  EXPECT_EQ(unquoted("\""), "");
  EXPECT_EQ(CTernString("abc").CharAt(1), 'b');
  EXPECT_EQ(CTernString("abc").CharAt(3), '\0');
}

TEST(String, SplitsAtTheFirstCharacter) {
  CTernString header("Subject: a: b");
  CTernString name, value;
  EXPECT_TRUE(header.SplitAt(':', name, value));
  EXPECT_EQ(name.Str(), "Subject");
  EXPECT_EQ(value.Str(), " a: b");
  EXPECT_FALSE(CTernString("no colon").SplitAt(':', name, value));
  EXPECT_EQ(name.Str(), "no colon");
  EXPECT_TRUE(value.Empty());
  // The string itself may receive a half.
  CTernString pair("key=value");
  CTernString rest;
  EXPECT_TRUE(pair.SplitAt('=', pair, rest));
  EXPECT_EQ(pair.Str(), "key");
  EXPECT_EQ(rest.Str(), "value");
}

TEST(String, SplitsIntoPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Pieces(CTernString("a,,b,"), ',', false), (V{"a", "", "b"}));
  EXPECT_EQ(Pieces(CTernString(",a"), ',', false), (V{"", "a"}));
  EXPECT_EQ(Pieces(CTernString(""), ',', false), V{});
  EXPECT_EQ(Pieces(CTernString("image/*\x1ctext/html\x1c"), '\x1c', false),
            (V{"image/*", "text/html"}));
  // Quoted stretches do not split and keep their quotes.
  CTernString fields("1,\"Bloggs, Jo\",x");
  EXPECT_EQ(Pieces(fields, ',', false), (V{"1", "\"Bloggs", " Jo\"", "x"}));
  EXPECT_EQ(Pieces(fields, ',', true), (V{"1", "\"Bloggs, Jo\"", "x"}));
  EXPECT_EQ(Pieces(CTernString("a b=\"c d\" \"e"), ' ', true), (V{"a", "b=\"c d\"", "\"e"}));
}

TEST(String, Numbers) {
  EXPECT_EQ(CTernString("42").Number(), 42);
  EXPECT_EQ(CTernString("  \t-17 rest").Number(), -17);
  EXPECT_EQ(CTernString("+8").Number(), 8);
  EXPECT_EQ(CTernString("x1").Number(), 0);
  EXPECT_EQ(CTernString("").Number(), 0);
  EXPECT_EQ(CTernString("99999999999999999999999").Number(), LONG_MAX);
  EXPECT_EQ(CTernString("-99999999999999999999999").Number(), LONG_MIN);
  EXPECT_EQ(CTernString(std::to_string(LONG_MIN)).Number(), LONG_MIN);
}

TEST(String, KeepsZeroBytes) {
  CTernString s(std::string_view("a\0b", 3));
  s.Append('\0');
  s.Append(std::string_view("c\0", 2));
  EXPECT_EQ(s.Length(), 6u);
  EXPECT_EQ(s.Str(), std::string("a\0b\0c\0", 6));
  EXPECT_EQ(s.CharAt(1), '\0');
  EXPECT_NE(s.Compare(std::string_view("a\0b", 3)), 0);
  s.Remove('\0');
  EXPECT_EQ(s.Str(), "abc");
  // The zero-terminated view goes to the event writer.
  EXPECT_EQ(TernFormat("[%s]", {s}), "[abc]");
}

TEST(String, OperationsOnItselfAndCopies) {
  EventCapture events;
  CTernString s("ab");
  s.Append(s);
  EXPECT_EQ(s.Str(), "abab");
  s.Assign(s);
  s = s;
  EXPECT_EQ(s.Str(), "abab");
  EXPECT_TRUE(s.Equals(s));
  CTernString copy(s);
  copy.Append('!');
  EXPECT_EQ(s.Str(), "abab");
  CTernString moved(std::move(copy));
  EXPECT_EQ(moved.Str(), "abab!");
  // No lock was taken twice by one thread.
  EXPECT_TRUE(events.Codes().empty());
}

TEST(String, SharedBetweenThreads) {
  CTernString shared;
  CTernString a("a");
  CTernString b("b");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        shared.Append(static_cast<char>('0' + t));
        // Crosswise appends of two strings must not deadlock.
        if (t % 2 == 0) {
          a.Append(b);
          a.KeepRight(8);
        } else {
          b.Append(a);
          b.KeepRight(8);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared.Length(), 4000u);
  std::string text = shared.Str();
  for (char c : {'0', '1', '2', '3'}) EXPECT_EQ(std::count(text.begin(), text.end(), c), 1000);
}
