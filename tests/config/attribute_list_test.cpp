// The attribute list of configuration lines: the separator scan, the escapes, and
// the writer's promise that what it writes reads back as the same table.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "config/attribute_list.h"
#include "config/attribute_table.h"

namespace {

std::map<std::string, std::string> AsMap(const AttributeTable& table) {
  std::map<std::string, std::string> out;
  table.ForEach([&](const std::string& n, const std::string& v) { out[n] = v; });
  return out;
}

}  // namespace

TEST(AttributeList, ScanSkipsEscapedQuotedAndParenthesisedCommas) {
  struct Case {
    const char* text;
    std::map<std::string, std::string> want;
  };
  const Case cases[] = {
      {"", {}},
      {"a=1,b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1,", {{"a", "1"}}},
      {"a=x\\,y,b=2", {{"a", "x,y"}, {"b", "2"}}},
      {"a=x\\y,b=2", {{"a", "x\\y"}, {"b", "2"}}},
      {"a=\"x,y\",b=2", {{"a", "\"x,y\""}, {"b", "2"}}},
      {"a=(x,y),b=2", {{"a", "(x,y)"}, {"b", "2"}}},
      // A quote inside parentheses does not toggle; a parenthesis inside quotes
      // does not open.
      {"a=(\"x,y),b=2", {{"a", "(\"x,y)"}, {"b", "2"}}},
      {"a=\"(x,y\",b=2", {{"a", "\"(x,y\""}, {"b", "2"}}},
      // An unclosed quote runs to the end.
      {"a=\"x,b=2", {{"a", "\"x,b=2"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"=x", {{"", "x"}}},
      {"a=1,a=2", {{"a", "2"}}},
  };
  for (const Case& c : cases) {
    AttributeTable table;
    EXPECT_TRUE(ParseAttributeList(c.text, table)) << c.text;
    EXPECT_EQ(AsMap(table), c.want) << c.text;
  }
}

TEST(AttributeList, AnItemWithoutEqualsIsMalformed) {
  for (const char* text : {"a", "a=1,b", "a=1,,b=2", ","}) {
    AttributeTable table;
    EXPECT_FALSE(ParseAttributeList(text, table)) << text;
  }
}

TEST(AttributeList, ValuesRoundTrip) {
  AttributeTable table;
  table.Set("Comma", "a,b");
  table.Set("Slash", "C:\\dir\\file");
  table.Set("SlashComma", "x\\,y");
  table.Set("Quoted", "\"a, b\"");
  table.Set("Paren", "(1,2)");
  table.Set("Empty", "");
  table.Set("InnerCR", "x\ry");
  std::string text = FormatAttributeList(table);
  EXPECT_NE(text.find("Comma=a\\,b"), std::string::npos) << text;
  AttributeTable back;
  ASSERT_TRUE(ParseAttributeList(text, back)) << text;
  EXPECT_EQ(AsMap(back), AsMap(table)) << text;
}

TEST(AttributeList, AnItemThatRunsOnIsWrittenLast) {
  // Each of these can only be read as the last item of a line; the writer puts it
  // there whatever the table order.
  for (const char* runOn : {"ends with \\", "say \"hi", "smile :-(", "open ("}) {
    AttributeTable table;
    table.Set("A", "1");
    table.Set("RunOn", runOn);
    table.Set("Z", "2,3");
    std::string text = FormatAttributeList(table);
    AttributeTable back;
    ASSERT_TRUE(ParseAttributeList(text, back)) << text;
    EXPECT_EQ(AsMap(back), AsMap(table)) << text;
  }
}

TEST(AttributeList, ALastValueEndingInCarriageReturnKeepsIt) {
  // A line loses its trailing CR on reading; a final ',' protects it.
  AttributeTable table;
  table.Set("A", "x\r");
  std::string text = FormatAttributeList(table);
  EXPECT_EQ(text, "A=x\r,");
  AttributeTable back;
  ASSERT_TRUE(ParseAttributeList(text, back));
  EXPECT_EQ(AsMap(back), AsMap(table));
}

TEST(AttributeList, OnlyItemsThatStandAnywhereAreWritable) {
  EXPECT_TRUE(WritableAttribute("Domain", "example.org"));
  EXPECT_TRUE(WritableAttribute("A", "a,b"));
  EXPECT_TRUE(WritableAttribute("A", "\"balanced\" (and) closed"));
  EXPECT_TRUE(WritableAttribute("A", ""));
  EXPECT_TRUE(WritableAttribute("A", std::string("x\x1c" "y")));
  for (auto [name, value] : {std::pair<const char*, const char*>{"", "x"}, {"a=b", "x"}, {"a,b", "x"},
                             {"a\nb", "x"}, {"A", "x\ny"}, {"A", "x\r"}, {"A", "x\\"},
                             {"A", "\"open"}, {"A", "(open"}, {"A\"", "x"}, {"A B", "x"},
                             {"A.B", "x"}, {"A\tB", "x"}, {"A;B", "x"}, {"SL.x", "D"}, {"A.SLx", "D"}})
    EXPECT_FALSE(WritableAttribute(name, value)) << name << "=" << value;
  // A NUL would cut the value short in the file.
  EXPECT_FALSE(WritableAttribute("A", std::string("x\0y", 3)));
  // Names: letters, digits, '_' and '-'; a list setting names its list, which may
  // hold '.' and ' '.
  EXPECT_TRUE(WritableAttribute("Max_Message-Size2", "1"));
  EXPECT_TRUE(WritableAttribute("SLstaff.all", "D"));
  EXPECT_TRUE(WritableAttribute("RLmy list", "a"));
}
