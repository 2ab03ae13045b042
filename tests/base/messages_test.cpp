// Message table, formatting and CTernException.
#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/format.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/report.h"
#include "tests/support/events.h"

TEST(Messages, LanguageNamesAndEnds) {
  CTernMessages m;
  EXPECT_STREQ(m.Text(0), "English");
  EXPECT_STREQ(m.Text(1), "Spanish");
  EXPECT_STREQ(m.LanguageName(kTernLanguageSpanish), "Spanish");
  EXPECT_STREQ(m.Text(kMsgTestMessage), "Test message, ok!");
  EXPECT_STREQ(m.Text(2), "Error: \"new\" operator failed to create a %s.");
  // CR LF in a reply text is the two bytes, not a backslash sequence.
  EXPECT_STREQ(m.Text(kMsgReply500), "500 Syntax error, command unrecognized.\r\n");
  // Codes without a text, and codes outside the table, give an empty text.
  EXPECT_STREQ(m.Text(11), "");
  EXPECT_STREQ(m.Text(ternmsg::kMessageCount), "");
  EXPECT_STREQ(m.Text(-1), "");
  m.SetLanguage(kTernLanguageSpanish);
  EXPECT_STREQ(m.Text(0), "");
}

TEST(Messages, EveryTextIsAUsableFormat) {
  // Every text must format without a conversion the formatter cannot fill.
  CTernMessages m;
  int present = 0;
  for (int code = 0; code < ternmsg::kMessageCount; ++code) {
    std::string text = m.Text(code);
    if (text.empty()) continue;
    ++present;
    std::string filled = TernFormat(text.c_str(), {"x", 1, 2});
    EXPECT_FALSE(filled.empty()) << code;
  }
  EXPECT_EQ(present, 448);
}

TEST(Format, FillsInOrderAndToleratesMismatch) {
  EXPECT_EQ(TernFormat("Error %d sending data to remote host. (%s)", {38, "peer"}),
            "Error 38 sending data to remote host. (peer)");
  EXPECT_EQ(TernFormat("%s (0x%x)", {"text", 255}), "text (0xff)");
  EXPECT_EQ(TernFormat("version %c.", {"3"}), "version 3.");
  EXPECT_EQ(TernFormat("version %c.", {'3'}), "version 3.");
  // Missing arguments render as nothing or 0; a null text as nothing.
  EXPECT_EQ(TernFormat("a %s b %d c", {}), "a  b 0 c");
  EXPECT_EQ(TernFormat("a %s b", {static_cast<const char*>(nullptr)}), "a  b");
  EXPECT_EQ(TernFormat("100%% %ld", {7L}), "100% 7");
  EXPECT_EQ(TernFormat("%-5s|", {"ab"}), "ab   |");
}

TEST(Exception, ReportsWithEventDataOnlyWhenNumberNotZero) {
  EventCapture events;
  CTernException zero(44, "LOCKNAME");
  CTernException five(42, "LOCKNAME", 5);
  auto list = events.Events();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].code, 44);
  EXPECT_EQ(list[0].kind, PlatformEventKind::Error);
  EXPECT_EQ(list[0].text, "Error: Could create mutex for named lock LOCKNAME");
  EXPECT_FALSE(list[0].hasData);
  EXPECT_EQ(list[1].text, "Error: Unexpected return value waiting for named lock LOCKNAME: 5");
  EXPECT_TRUE(list[1].hasData);
  EXPECT_EQ(list[1].data, 5);
}

TEST(Exception, CopiesOwnTheirText) {
  EventCapture events;
  auto* first = new CTernException(3, "file.txt", 2);
  CTernException copy(*first);
  delete first;
  EXPECT_STREQ(copy.Text(), "file.txt");
  EXPECT_EQ(copy.Message(), "Error: Could not open file file.txt, error 2.");
  CTernException none(21);
  EXPECT_EQ(none.Text(), nullptr);
  // Copies do not report again.
  EXPECT_EQ(events.Count(3), 1);
}

