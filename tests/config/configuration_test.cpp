// The configuration store's objects, attributes, events and values in force.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_ops.h"
#include "config/configuration.h"
#include "platform/clock.h"
#include "tests/config/config_fixture.h"

namespace {

std::vector<std::string> Items(CTernList<CTernString>& list) {
  std::vector<std::string> out;
  list.ForEach([&](const CTernString& s) { out.push_back(s.Str()); });
  return out;
}

std::string Event(const std::string& when, long date, long start, long end, long repeat,
                  const std::string& extra = "") {
  return "When=" + when + ",Date=" + std::to_string(date) + ",Start=" + std::to_string(start) +
         ",End=" + std::to_string(end) + ",Repeat=" + std::to_string(repeat) + extra;
}

}  // namespace

class ConfigurationTest : public ConfigFixture {
 protected:
  Configuration& Store() {
    WriteFiles("DS,\r\n");
    return Loaded();
  }
};

TEST_F(ConfigurationTest, ObjectNames) {
  struct Case {
    std::string name;
    bool valid;
  };
  const Case cases[] = {
      {"", false},           {std::string(128, 'a'), false}, {std::string(127, 'a'), true},
      {"_x", false},         {"a/b", false},                 {".x", false},
      {"John Smith-2.x", true}, {"9lives", true},            {"a_b.c-d e", true},
      {"tab\there", false},
  };
  Configuration& c = Store();
  for (const Case& k : cases) {
    EXPECT_EQ(Configuration::ValidName(k.name), k.valid) << k.name;
    EXPECT_EQ(c.CreateObject('U', k.name), k.valid ? 0 : 1) << k.name;
    EXPECT_EQ(c.ObjectExists('U', k.name), k.valid ? 1 : 0) << k.name;
  }
}

TEST_F(ConfigurationTest, TheSystemObjectCanNeitherBeCreatedNorDeleted) {
  Configuration& c = Store();
  EXPECT_EQ(c.CreateObject('S', "x"), 1);
  EXPECT_EQ(c.CreateObject('X', "x"), 1);
  EXPECT_EQ(c.CreateObject('u', "x"), 1);
  EXPECT_EQ(c.ObjectExists('S', ""), 1);
  c.SetAttribute('S', "", "Domain", "example.org", false);
  EXPECT_EQ(c.DeleteObject('S', "x"), 0);  // no such object: nothing to do
  std::string before = Shared();
  // The system object's own name is empty, which no deletion accepts.
  EXPECT_EQ(c.DeleteObject('S', ""), 1);
  EXPECT_EQ(c.ObjectExists('S', ""), 1);
  EXPECT_EQ(Shared(), before);
}

TEST_F(ConfigurationTest, KeysIgnoreCaseAndNamesKeepIt) {
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "Joe"), 0);
  EXPECT_EQ(c.CreateObject('U', "joe"), 1);
  EXPECT_EQ(c.ObjectExists('U', "jOE"), 1);
  std::string name = "unchanged";
  EXPECT_EQ(c.CanonicalName('U', "JOE", name), 0);
  EXPECT_EQ(name, "Joe");
  name = "unchanged";
  EXPECT_EQ(c.CanonicalName('U', "nobody", name), 1);
  EXPECT_EQ(name, "unchanged");
  // Types are told apart: a client named joe is another object.
  EXPECT_EQ(c.CreateObject('C', "joe"), 0);
  EXPECT_NE(Shared().find("DUJoe,"), std::string::npos);
  EXPECT_NE(Shared().find("DCjoe,"), std::string::npos);
}

TEST_F(ConfigurationTest, DeletingACastRemovesItsMembershipsOnly) {
  WriteFiles("DS,\r\nDGSales,\r\nDGSales2,\r\nDUann,Cast=sales\r\nDCgate,Cast=SALES\r\n"
             "DUbob,Cast=Sales2\r\nDLsales,L,N,Cast=Sales\r\n");
  Configuration& c = Loaded();
  ASSERT_EQ(c.DeleteObject('G', "Sales"), 0);
  std::string cast;
  EXPECT_EQ(c.GetBaseAttribute('U', "ann", "Cast", cast), 1);
  EXPECT_EQ(c.GetBaseAttribute('C', "gate", "Cast", cast), 1);
  // Every object that names the cast, a list included.
  EXPECT_EQ(c.GetBaseAttribute('L', "sales", "Cast", cast), 1);
  EXPECT_EQ(c.GetBaseAttribute('U', "bob", "Cast", cast), 0);
  EXPECT_EQ(cast, "Sales2");
  EXPECT_EQ(c.ObjectExists('G', "Sales"), 0);
  std::string shared = Shared();
  EXPECT_EQ(shared.find("GSales,"), std::string::npos);
  EXPECT_NE(shared.find("DUann,\r\n"), std::string::npos);
  EXPECT_NE(shared.find("DUbob,Cast=Sales2\r\n"), std::string::npos);
}

TEST_F(ConfigurationTest, DeletingAMissingObjectWritesNothing) {
  Configuration& c = Store();
  std::string shared = Shared(), local = Local();
  EXPECT_EQ(c.DeleteObject('U', "ghost"), 0);
  EXPECT_EQ(Shared(), shared);
  EXPECT_EQ(Local(), local);
  EXPECT_FALSE(FileExists(SharedPath() + "_old", false));
}

TEST_F(ConfigurationTest, AttributesAndTheirFormat) {
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "ann"), 0);
  EXPECT_EQ(c.SetAttribute('U', "ann", "RealAcct", "DOMAIN\\ann", true), 0);
  EXPECT_EQ(c.SetAttribute('U', "nobody", "RealAcct", "x", true), 1);
  // A value with a line break, or one that would run into the next item, is refused.
  EXPECT_EQ(c.SetAttribute('U', "ann", "Note", "two\r\nlines", true), 1);
  EXPECT_EQ(c.SetAttribute('U', "ann", "Note", "ends with \\", true), 1);
  EXPECT_EQ(c.SetAttribute('U', "ann", "a=b", "x", true), 1);
  std::string value;
  EXPECT_EQ(c.GetBaseAttribute('U', "ann", "Note", value), 1);
  // Without save only memory changes; Save writes it.
  EXPECT_EQ(c.SetAttribute('U', "ann", "Cast", "Sales", false), 0);
  EXPECT_EQ(Shared().find("Cast=Sales"), std::string::npos);
  EXPECT_EQ(c.Save(), 0);
  EXPECT_NE(Shared().find("Cast=Sales"), std::string::npos);
  EXPECT_EQ(c.RemoveAttribute('U', "ann", "Cast", true), 0);
  EXPECT_EQ(Shared().find("Cast=Sales"), std::string::npos);
  EXPECT_EQ(c.RemoveAttribute('U', "nobody", "Cast", true), 1);
}

TEST_F(ConfigurationTest, ListNamesInTableOrderOrSorted) {
  Configuration& c = Store();
  for (const char* n : {"carol", "Alice", "bob"}) ASSERT_EQ(c.CreateObject('U', n), 0);
  ASSERT_EQ(c.CreateObject('C', "host"), 0);
  CTernList<CTernString> sorted([](const CTernString& a, const CTernString& b) { return a.Compare(b, true); });
  c.ListNames('U', sorted, true);
  EXPECT_EQ(Items(sorted), (std::vector<std::string>{"Alice", "bob", "carol"}));
  CTernList<CTernString> plain;
  c.ListNames('U', plain, false);
  EXPECT_EQ(plain.Count(), 3u);
  CTernList<CTernString> systems;
  c.ListNames('S', systems, false);
  EXPECT_EQ(Items(systems), std::vector<std::string>{""});
}

TEST_F(ConfigurationTest, ListsAndDictionariesOfScopeUAreNeverWritten) {
  WriteFiles("DS,\r\n", "DLlocal,L,N,\r\n", "DLvendor,U,N,Note=x\r\nDDwords,U,X\r\n");
  Configuration& c = Loaded();
  EXPECT_TRUE(c.IsNeverWritten('L', "vendor"));
  EXPECT_TRUE(c.IsNeverWritten('D', "words"));
  EXPECT_FALSE(c.IsNeverWritten('L', "local"));
  EXPECT_FALSE(c.IsNeverWritten('L', "absent"));
  ASSERT_EQ(c.CreateObject('L', "fresh"), 0);
  EXPECT_EQ(c.CreateObject('D', "dict"), 0);
  std::string local = Local();
  EXPECT_NE(local.find("DLfresh,L,N,\r\n"), std::string::npos) << local;
  EXPECT_NE(local.find("DDdict,L,N,\r\n"), std::string::npos) << local;
  EXPECT_NE(local.find("DLlocal,L,N,\r\n"), std::string::npos) << local;
  EXPECT_EQ(local.find("vendor"), std::string::npos) << local;
  EXPECT_EQ(local.find("words"), std::string::npos) << local;
  // Still there after the save, from the vendor file.
  EXPECT_EQ(c.ObjectExists('L', "vendor"), 1);
}

TEST_F(ConfigurationTest, EventKeys) {
  EventSchedule def{"D", 0, 0, 0, 1};
  EXPECT_EQ(def.Key(), kDefaultEventKey);
  EventSchedule weekdays{"12345", 0, 90000, 170000, 1};
  EXPECT_EQ(weekdays.Key(), "12345" "0" "090000" "170000");
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "ann"), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("D", 0, 0, 0, 1, ",AllowPOP=0")), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("12345", 0, 90000, 170000, 1)), 0);
  CTernList<CTernString> keys;
  ASSERT_EQ(c.EventKeys('U', "ann", keys), 0);
  // Newest first.
  EXPECT_EQ(Items(keys), (std::vector<std::string>{"123450090000170000", "D0000000000000"}));
  std::string value;
  EXPECT_EQ(c.GetEventValue('U', "ann", kDefaultEventKey, "AllowPOP", value), 0);
  EXPECT_EQ(value, "0");
  EXPECT_NE(Local().find("SUann,"), std::string::npos);
}

TEST_F(ConfigurationTest, EventRefusals) {
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "ann"), 0);
  struct Case {
    std::string text;
    EventAddResult want;
  };
  const Case cases[] = {
      {Event("12345", 0, 90000, 80000, 1), EventAddResult::kInvalid},  // Start after End
      {Event("D", 0, 0, 0, 0), EventAddResult::kInvalid},              // Repeat 0
      {Event("", 0, 0, 0, 1), EventAddResult::kInvalid},               // no When
      {Event("D", -1, 0, 0, 1), EventAddResult::kInvalid},
      {"When=D,Date=0,Start=0,End=0", EventAddResult::kInvalid},         // no Repeat
      {"When=D,Date=0,Start=x,End=0,Repeat=1", EventAddResult::kInvalid},
      {"When=D,Date", EventAddResult::kInvalid},                         // malformed list
      {Event("E", 20230612, 0, 235959, 1), EventAddResult::kExpired},    // last year
      {Event("E", 9999, 0, 0, 1), EventAddResult::kExpired},
      {Event("E", 19691231, 0, 0, 100000), EventAddResult::kExpired},    // before 1970
      {Event("E", 20240611, 0, 235959, 2), EventAddResult::kStored},     // ends today
  };
  for (const Case& k : cases) {
    EventAddResult got = EventAddResult::kStored;
    int rc = c.ReplaceEvent('U', "ann", "", k.text, &got);
    EXPECT_EQ(got, k.want) << k.text;
    EXPECT_EQ(rc, EventAccepted(k.want) ? 0 : 1) << k.text;
  }
  CTernList<CTernString> keys;
  c.EventKeys('U', "ann", keys);
  EXPECT_EQ(Items(keys), std::vector<std::string>{"E20240611000000235959"});
  EventAddResult got;
  EXPECT_EQ(c.ReplaceEvent('U', "nobody", "", Event("D", 0, 0, 0, 1), &got), 1);
  EXPECT_EQ(got, EventAddResult::kInvalid);
}

TEST_F(ConfigurationTest, EventConflicts) {
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "ann"), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("D", 0, 0, 0, 1)), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("12345", 0, 90000, 170000, 1)), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("E", 20240620, 80000, 120000, 3)), 0);
  struct Case {
    const char* when;
    long date, start, end, repeat;
    int conflict;
  };
  const Case cases[] = {
      {"D", 0, 0, 0, 1, 1},                  // a second Default Event
      {"5", 0, 160000, 180000, 1, 1},        // Friday overlaps the weekdays
      {"6", 0, 90000, 170000, 1, 0},         // Saturday is free
      {"12345", 0, 170001, 180000, 1, 0},    // after the end
      {"135", 0, 100000, 110000, 1, 1},      // inside the range
      {"3", 0, 80000, 180000, 1, 1},         // covering the range
      {"E", 20240622, 110000, 130000, 1, 1}, // within the three days, times overlap
      {"E", 20240623, 110000, 130000, 1, 0}, // the day after
      {"E", 20240622, 130000, 140000, 1, 0}, // other hours
      {"E", 20240610, 0, 235959, 5, 0},      // a specific event never conflicts with a daily one
  };
  for (const Case& k : cases)
    EXPECT_EQ(c.CheckEventConflict('U', "ann", "", k.date, k.repeat, k.start, k.end, k.when), k.conflict)
        << k.when << " " << k.date << " " << k.start;
  // The excepted key is passed over, but never for a Default Event.
  EXPECT_EQ(c.CheckEventConflict('U', "ann", "123450090000170000", 0, 1, 100000, 110000, "135"), 0);
  EXPECT_EQ(c.CheckEventConflict('U', "ann", kDefaultEventKey, 0, 1, 0, 0, "D"), 1);
  EventAddResult got;
  EXPECT_EQ(c.ReplaceEvent('U', "ann", "", Event("5", 0, 160000, 180000, 1), &got), 1);
  EXPECT_EQ(got, EventAddResult::kConflict);
}

TEST_F(ConfigurationTest, ARefusedReplacementKeepsTheOldEvent) {
  Configuration& c = Store();
  ASSERT_EQ(c.CreateObject('U', "ann"), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("D", 0, 0, 0, 1, ",AllowPOP=0")), 0);
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("6", 0, 0, 235959, 1)), 0);
  std::string local = Local();
  // Invalid, then conflicting with the Saturday event.
  EXPECT_EQ(c.ReplaceEvent('U', "ann", kDefaultEventKey, Event("D", 0, 0, 0, 0)), 1);
  EXPECT_EQ(c.ReplaceEvent('U', "ann", kDefaultEventKey, Event("6", 0, 0, 10, 1)), 1);
  AttributeTable settings;
  EXPECT_EQ(c.GetEventSettings('U', "ann", kDefaultEventKey, settings), 0);
  EXPECT_EQ(Local(), local);
  // The Default Event replaces itself; a key no event has adds the new one.
  EXPECT_EQ(c.ReplaceEvent('U', "ann", kDefaultEventKey, Event("D", 0, 0, 0, 1, ",AllowPOP=1")), 0);
  std::string value;
  EXPECT_EQ(c.GetEventValue('U', "ann", kDefaultEventKey, "AllowPOP", value), 0);
  EXPECT_EQ(value, "1");
  AttributeTable table;
  table.Set(kEventWhen, "1");
  table.Set(kEventDate, "0");
  table.Set(kEventStart, "0");
  table.Set(kEventEnd, "100");
  table.Set(kEventRepeat, "1");
  EXPECT_EQ(c.ReplaceEventTable('U', "ann", "no-such-key", table), 0);
  EXPECT_EQ(c.DeleteEvent('U', "ann", "10000000000100"), 0);
  EXPECT_EQ(c.DeleteEvent('U', "ann", "10000000000100"), 1);
}

TEST_F(ConfigurationTest, TheHeaviestHoldingEventGivesTheValue) {
  // Now is Wednesday 12 June 2024 at noon.
  WriteFiles("DS,\r\nDUann,AllowSMTP=base,Only=base\r\n",
             "SUann,When=D,Date=0,Start=0,End=0,Repeat=1,AllowSMTP=default\r\n");
  Configuration& c = Loaded();
  std::string v;
  ASSERT_EQ(c.GetValue('U', "ann", "AllowSMTP", v), 0);
  EXPECT_EQ(v, "default");
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("12345", 0, 90000, 170000, 1, ",AllowSMTP=daily")), 0);
  ASSERT_EQ(c.GetValue('U', "ann", "AllowSMTP", v), 0);
  EXPECT_EQ(v, "daily");
  // The attribute missing from the event in force comes from the same object's base.
  ASSERT_EQ(c.GetValue('U', "ann", "Only", v), 0);
  EXPECT_EQ(v, "base");
  // End is inclusive.
  PlatformSetTime(EventLocalMoment(20240612, 170000));
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "daily");
  PlatformSetTime(EventLocalMoment(20240612, 170001));
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "default");
  PlatformSetTime(EventLocalMoment(20240615, 120000));  // Saturday
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "default");
  // A specific event over three days outweighs the daily one.
  PlatformSetTime(Noon());
  ASSERT_EQ(c.ReplaceEvent('U', "ann", "", Event("E", 20240611, 0, 235959, 3, ",AllowSMTP=specific")), 0);
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "specific");
  PlatformSetTime(EventLocalMoment(20240613, 235959));
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "specific");
  PlatformSetTime(EventLocalMoment(20240614, 0));
  c.GetValue('U', "ann", "AllowSMTP", v);
  EXPECT_EQ(v, "default");
  EXPECT_EQ(c.GetValue('U', "ann", "Missing", v), 1);
  EXPECT_EQ(c.GetValue('U', "nobody", "AllowSMTP", v), 1);
}

TEST_F(ConfigurationTest, ValueIntoABuffer) {
  WriteFiles("DS,Domain=example.org\r\n");
  Configuration& c = Loaded();
  char buffer[12] = "unchanged";
  EXPECT_EQ(c.GetValue('S', "", "Domain", buffer, 11), 1);  // 11 bytes need 12
  EXPECT_STREQ(buffer, "unchanged");
  EXPECT_EQ(c.GetValue('S', "", "Domain", buffer, 12), 0);
  EXPECT_STREQ(buffer, "example.org");
  EXPECT_EQ(c.GetValue('S', "", "Domain", nullptr, 12), 1);
}

TEST_F(ConfigurationTest, SettingsInForceMerged) {
  WriteFiles("DS,\r\nDUann,A=base,B=base\r\n",
             "SUann,When=D,Date=0,Start=0,End=0,Repeat=1,A=default\r\n"
             "SUann,When=3,Date=0,Start=0,End=235959,Repeat=1,B=daily\r\n");
  Configuration& c = Loaded();
  AttributeTable table;
  table.Set("C", "kept");
  ASSERT_EQ(c.MergeSettingsInForce('U', "ann", false, table), 0);
  std::string v;
  EXPECT_TRUE(table.Get("B", v) && v == "daily");
  EXPECT_TRUE(table.Get("A", v) && v == "base");  // the daily event is in force, not the default
  EXPECT_TRUE(table.Get("C", v) && v == "kept");
  EXPECT_TRUE(table.Get("When", v) && v == "3");
  AttributeTable defaults;
  ASSERT_EQ(c.MergeSettingsInForce('U', "ann", true, defaults), 0);
  EXPECT_TRUE(defaults.Get("A", v) && v == "default");
  EXPECT_TRUE(defaults.Get("B", v) && v == "base");
  EXPECT_EQ(c.MergeSettingsInForce('U', "nobody", true, defaults), 1);
}
