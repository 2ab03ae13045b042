// The settings in force: the five levels and their precedence, the event in force by
// time of day and date, the look-ups into buffers and tables, and the access rules.
#include <gtest/gtest.h>

#include <string>

#include "config/attribute_table.h"
#include "config/effective_settings.h"
#include "tests/config/settings_fixture.h"

namespace {

// System, two casts, a user in Staff, a client in Outside.
const char kLevels[] =
    "DS,AllowPOP=1,Level=system\r\n"
    "DGStaff,AllowPOP=0,Level=staff\r\n"
    "DGOutside,Level=outside\r\n"
    "DUjo,Cast=Staff\r\n"
    "DUann,Cast=Staff,AllowPOP=1,Level=ann\r\n"
    "DUbob,Cast=Nowhere\r\n"
    "DCgate,Cast=Outside,Level=gate\r\n"
    "DCopen,\r\n";

std::string Value(const char* client, const char* user, const char* attribute) {
  std::string value = "left over";
  if (GetEffectiveValue(client, user, attribute, value) != 0) return "(none)";
  return value;
}

}  // namespace

class EffectiveSettings : public SettingsFixture {};

TEST_F(EffectiveSettings, StrongerLevelsReplaceWeakerOnes) {
  LoadConfig(kLevels);
  EXPECT_EQ(Value("", "", "Level"), "system");
  EXPECT_EQ(Value("", "jo", "Level"), "staff");         // the user's cast
  EXPECT_EQ(Value("", "ann", "Level"), "ann");          // the user over the cast
  EXPECT_EQ(Value("gate", "ann", "Level"), "gate");     // the client over the user
  EXPECT_EQ(Value("open", "jo", "Level"), "staff");     // a client without a value
  EXPECT_EQ(Value("", "bob", "Level"), "system");       // a Cast naming no cast
  EXPECT_EQ(Value("", "nobody", "Level"), "system");    // a user with no object
  EXPECT_EQ(Value("", "", "Missing"), "(none)");
  std::string out = "left over";
  EXPECT_EQ(GetEffectiveValue("", "", "Missing", out), 1);
  EXPECT_EQ(out, "");
}

TEST_F(EffectiveSettings, PopAccessFollowsThePrecedence) {
  LoadConfig(std::string(kLevels) +
             "DUcarl,Cast=Staff,AllowPOP=1\r\n"
             "DGShut,AllowPOP=0\r\n"
             "DCshut,Cast=Shut\r\n"
             "DCdeny,AllowPOP=0\r\n");
  EXPECT_FALSE(AllowPOP("", "jo"));       // system 1, the user's cast 0
  EXPECT_TRUE(AllowPOP("", "carl"));      // ... and the user's own 1
  EXPECT_FALSE(AllowPOP("shut", "carl"));  // the client's cast says 0
  EXPECT_FALSE(AllowPOP("deny", "carl"));  // the client says 0
  EXPECT_TRUE(AllowPOP("open", "carl"));
}

TEST_F(EffectiveSettings, MissingValuesAllowMailButNotTheWebClient) {
  LoadConfig("DS,\r\nDUjo,\r\n");
  EXPECT_TRUE(AllowPOP("", "jo"));
  EXPECT_TRUE(AllowSMTP("", "jo"));
  EXPECT_FALSE(AllowOstrelUI("", "jo"));
  struct Case {
    const char* value;
    bool smtp, ui;
  } cases[] = {{"1", true, true}, {"0", false, false}, {"0abc", false, false}, {"2", true, true},
               {"", true, false}, {"x", true, false},  {" 3", true, true},     {"-1", true, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(Config().SetAttribute('U', "jo", "AllowSMTP", c.value, false), 0);
    ASSERT_EQ(Config().SetAttribute('U', "jo", "AllowOstrelUI", c.value, false), 0);
    EXPECT_EQ(AllowSMTP("", "jo"), c.smtp) << c.value;
    EXPECT_EQ(AllowOstrelUI("", "jo"), c.ui) << c.value;
  }
}

TEST_F(EffectiveSettings, DailyEventHoldsFromStartToEndInclusive) {
  // 23 December 1998 was a Wednesday, the 26th a Saturday.
  PlatformSetTime(Local(1998, 12, 23, 8, 0, 0));
  LoadConfig("DS,\r\nDUjo,\r\n",
             "SUjo,When=12345,Start=90000,End=170000,Date=0,Repeat=1,AllowSMTP=0\r\n");
  struct Case {
    int day, hour, minute, second;
    bool allowed;
  } cases[] = {{23, 8, 59, 59, true},  {23, 9, 0, 0, false}, {23, 12, 0, 0, false},
               {23, 17, 0, 0, false},  {23, 17, 0, 1, true}, {26, 12, 0, 0, true},
               {27, 12, 0, 0, true},   {28, 12, 0, 0, false}};
  for (const Case& c : cases) {
    PlatformSetTime(Local(1998, 12, c.day, c.hour, c.minute, c.second));
    EXPECT_EQ(AllowSMTP("", "jo"), c.allowed) << c.day << " " << c.hour << ":" << c.minute << ":" << c.second;
  }
}

TEST_F(EffectiveSettings, SpecificEventOverridesADailyOneOverItsDays) {
  PlatformSetTime(Local(1998, 12, 20, 12, 0, 0));
  LoadConfig("DS,\r\nDUjo,FilterMode=base\r\n",
             "SUjo,When=0123456,Start=0,End=235959,Date=0,Repeat=1,FilterMode=daily\r\n"
             "SUjo,When=E,Start=0,End=235959,Date=19981224,Repeat=3,FilterMode=special\r\n");
  struct Case {
    int day, hour, minute, second;
    const char* mode;
  } cases[] = {{23, 23, 59, 59, "daily"}, {24, 0, 0, 0, "special"}, {25, 12, 0, 0, "special"},
               {26, 23, 59, 59, "special"}, {27, 0, 0, 0, "daily"}};
  for (const Case& c : cases) {
    PlatformSetTime(Local(1998, 12, c.day, c.hour, c.minute, c.second));
    EXPECT_EQ(Value("", "jo", "FilterMode"), c.mode) << c.day << " " << c.hour;
  }
}

TEST_F(EffectiveSettings, AValueMissingFromTheEventComesFromTheSameObjectsBase) {
  LoadConfig("DS,AllowPOP=0,Notify=system\r\nDGStaff,AllowPOP=0\r\nDUjo,Cast=Staff,AllowPOP=1\r\n",
             "SUjo,When=D,Start=0,End=0,Date=0,Repeat=1,Notify=event\r\n");
  EXPECT_EQ(Value("", "jo", "AllowPOP"), "1");
  EXPECT_TRUE(AllowPOP("", "jo"));
  EXPECT_EQ(Value("", "jo", "Notify"), "event");
}

TEST_F(EffectiveSettings, CastIsReadFromTheBaseTableOnly) {
  LoadConfig("DS,\r\nDGStaff,Level=staff\r\nDGOther,Level=other\r\nDUjo,Cast=Staff\r\n",
             "SUjo,When=D,Start=0,End=0,Date=0,Repeat=1,Cast=Other\r\n");
  EXPECT_EQ(Value("", "jo", "Level"), "staff");
}

TEST_F(EffectiveSettings, BufferLookUpSkipsValuesThatDoNotFit) {
  LoadConfig("DS,Note=short\r\nDUjo,Note=a much longer value\r\n");
  char buffer[8];
  EXPECT_EQ(GetEffectiveValueBuffer("", "jo", "Note", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "short");  // the user's value is 18 bytes: the system's stays
  char exact[6];
  EXPECT_EQ(GetEffectiveValueBuffer("", "", "Note", exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "short");
  char tight[5] = "xxxx";
  GetEffectiveValueBuffer("", "", "Note", tight, sizeof tight);
  EXPECT_STREQ(tight, "");  // a value as long as the buffer is not copied
  char none[4] = "abc";
  EXPECT_EQ(GetEffectiveValueBuffer("", "jo", "Missing", none, sizeof none), 1);
  EXPECT_STREQ(none, "");
  EXPECT_EQ(GetEffectiveValueBuffer("", "jo", "Note", nullptr, 10), -1);
  EXPECT_EQ(GetEffectiveValueBuffer("", "jo", "Note", buffer, 0), -1);
}

TEST_F(EffectiveSettings, CastValueAsksOnlyTheCasts) {
  LoadConfig(kLevels);
  char buffer[64];
  EXPECT_EQ(GetCastValue("", "jo", "Level", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "staff");
  EXPECT_EQ(GetCastValue("gate", "jo", "Level", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "outside");
  EXPECT_EQ(GetCastValue("open", "bob", "Level", buffer, sizeof buffer), 1);  // system not asked
  EXPECT_STREQ(buffer, "");
}

TEST_F(EffectiveSettings, MergedSettingsTakeEveryLevelAndTheEventsInForce) {
  PlatformSetTime(Local(1998, 12, 23, 12, 0, 0));
  LoadConfig("DS,FilterMode=1,DictsToUse=a,BlockedMIMETypes=x\r\n"
             "DGStaff,DictsToUse=b\r\n"
             "DUjo,Cast=Staff\r\n"
             "DCgate,OnForbidden=2\r\n",
             "SUjo,When=D,Start=0,End=0,Date=0,Repeat=1,DDRThreshold=50\r\n"
             "SUjo,When=3,Start=90000,End=170000,Date=0,Repeat=1,DDRThreshold=10,FilterMode=2\r\n");
  AttributeTable table;
  table.Set("Stale", "x");
  ASSERT_EQ(GetEffectiveSettings("gate", "jo", false, table), 0);
  std::string v;
  EXPECT_FALSE(table.Has("Stale"));
  EXPECT_TRUE(table.Get("DictsToUse", v) && v == "b");
  EXPECT_TRUE(table.Get("BlockedMIMETypes", v) && v == "x");
  EXPECT_TRUE(table.Get("DDRThreshold", v) && v == "10");  // the daily event is in force
  EXPECT_TRUE(table.Get("FilterMode", v) && v == "2");
  EXPECT_TRUE(table.Get("OnForbidden", v) && v == "2");
  EXPECT_TRUE(table.Get("When", v) && v == "3");  // the event's schedule fields come along

  ASSERT_EQ(GetEffectiveSettings("gate", "jo", true, table), 0);
  EXPECT_TRUE(table.Get("DDRThreshold", v) && v == "50");  // only the Default Event
  EXPECT_TRUE(table.Get("FilterMode", v) && v == "1");

  Configuration::SetProcess(nullptr);
  EXPECT_EQ(GetEffectiveSettings("gate", "jo", false, table), 1);
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(Value("", "", "FilterMode"), "(none)");
}
