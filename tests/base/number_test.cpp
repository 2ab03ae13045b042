// The checked number reader: whole texts, prefixes, ranges and overflow.
#include "base/number.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(Number, WholeTextsWithinRange) {
  struct Case {
    const char* text;
    bool ok;
    long value;
  } cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"+42", true, 42},
      {"-42", true, -42},
      {"", false, 7},
      {"+", false, 7},
      {"-", false, 7},
      {"+-4", false, 7},
      {" 4", false, 7},
      {"4 ", false, 7},
      {"4x", false, 7},
      {"0x10", false, 7},
      {"9223372036854775807", true, INT64_MAX},
      {"9223372036854775808", false, 7},  // one past the largest: no wrap-around
      {"99999999999999999999", false, 7},
  };
  for (const Case& c : cases) {
    long value = 7;
    EXPECT_EQ(TernParseNumber(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  int port = 0;
  EXPECT_TRUE(TernParseNumber("65535", port, 1, 65535));
  EXPECT_FALSE(TernParseNumber("65536", port, 1, 65535));
  EXPECT_FALSE(TernParseNumber("0", port, 1, 65535));
  EXPECT_EQ(port, 65535);
  uint32_t unsignedValue = 0;
  EXPECT_FALSE(TernParseNumber("-1", unsignedValue));
}

TEST(Number, PrefixesSayHowMuchTheyUsed) {
  long value = 0;
  size_t used = 0;
  ASSERT_TRUE(TernParseNumberPrefix("12-3", value, used));
  EXPECT_EQ(value, 12);
  EXPECT_EQ(used, 2u);
  ASSERT_TRUE(TernParseNumberPrefix("+7 rest", value, used));
  EXPECT_EQ(value, 7);
  EXPECT_EQ(used, 2u);
  EXPECT_FALSE(TernParseNumberPrefix("x1", value, used));
  EXPECT_FALSE(TernParseNumberPrefix("300", value, used, 0L, 255L));
  EXPECT_EQ(value, 7);
}
