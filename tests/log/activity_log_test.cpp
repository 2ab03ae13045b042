// The activity log: line format, day files and retention, and the reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <fstream>

#include "platform/clock.h"
#include "log/activity_log.h"
#include "tests/support/tempdir.h"

namespace {

// 15 June 2026, 12:00 local time.
time_t Noon(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTernActivityLog::Configure(m_Dir.Path(), "OstrelLogging");
    CTernActivityLog::Reopen();
    CTernActivityLog::SetSettingReader(nullptr);
  }
  void TearDown() override {
    CTernActivityLog::Close();
    CTernActivityLog::Configure("", "");
    CTernActivityLog::Reopen();
    PlatformClearTime();
  }
  std::string DayFile(long date) { return m_Dir.File("kslog" + std::to_string(date)); }

  void WriteAt(time_t when, long realm, const std::string& user, const std::string& info = "") {
    PlatformSetTime(when);
    CTernActivityRecord r;
    r.AddStandard(realm, kActionLogin, kResultSucceeded, user, "");
    if (!info.empty()) r.Add(kActInfo, info);
    CTernActivityLog::Write(r);
  }

  TempDir m_Dir;
};

}  // namespace

TEST(ActivityRecord, LineQuotesCommasDropsLineBreaksAndEmptyValues) {
  CTernActivityRecord r;
  r.AddStandard(kRealmSmtp, kActionMessageAccepted, 0, "", "client1");
  r.Add(kActInfo, "a,b");
  r.Add(kActSubject, "two\r\nlines");
  r.Add(kActFrom, "");
  r.Add(kActWarning, "\"already, quoted\"");
  r.Add(kActSize, 1234L);
  EXPECT_EQ(r.Line(1261207, 93000),
            "1261207,93000,1=1,2=5,11=client1,22=twolines,23=1234,100=\"a,b\",105=\"already, quoted\"\r\n");

  long date = 0, time = 0;
  CTernActivityRecord back;
  ASSERT_TRUE(CTernActivityRecord::ParseLine(r.Line(1261207, 93000), date, time, back));
  EXPECT_EQ(date, 1261207);
  EXPECT_EQ(time, 93000);
  std::string value;
  ASSERT_TRUE(back.Get(kActInfo, value));
  EXPECT_EQ(value, "a,b");
  ASSERT_TRUE(back.Get(kActSubject, value));
  EXPECT_EQ(value, "twolines");
  EXPECT_FALSE(back.Has(kActFrom));
  EXPECT_FALSE(back.Has(kActResult));
  EXPECT_FALSE(CTernActivityRecord::ParseLine("1261207,93000", date, time, back));
}

TEST(ActivityRecord, DateAndTimeNumbers) {
  struct tm tm {};
  tm.tm_year = 98;
  tm.tm_mon = 5;
  tm.tm_mday = 15;
  tm.tm_hour = 9;
  tm.tm_min = 5;
  tm.tm_sec = 7;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  EXPECT_EQ(TernDateNumber(t), 980615);
  EXPECT_EQ(TernTimeNumber(t), 90507);
  EXPECT_EQ(TernDateNumber(Noon(2000, 1, 1)), 1000101);
  EXPECT_EQ(TernNextDateNumber(991231), 1000101);
  EXPECT_EQ(TernNextDateNumber(1240228), 1240229);  // 2024 is a leap year
  EXPECT_EQ(TernNextDateNumber(1250228), 1250301);
}

TEST(ActivityRecord, DecodeGivesLabelsAndWords) {
  CTernActivityRecord r;
  r.AddStandard(kRealmAdministration, kActionAutoLocked, kResultBounced, "joe", "");
  r.Add(kActType, "G");
  r.Add(77, "x");
  std::string label, value;
  ASSERT_TRUE(CTernActivityReader::Decode(kActRealm, r, label, value));
  EXPECT_EQ(label + "=" + value, "Realm=Administration");
  ASSERT_TRUE(CTernActivityReader::Decode(kActAction, r, label, value));
  EXPECT_EQ(label + "=" + value, "Action=AutoLocked");
  ASSERT_TRUE(CTernActivityReader::Decode(kActResult, r, label, value));
  EXPECT_EQ(label + "=" + value, "Result=Bounced");
  ASSERT_TRUE(CTernActivityReader::Decode(kActType, r, label, value));
  EXPECT_EQ(label + "=" + value, "Type=Cast");
  ASSERT_TRUE(CTernActivityReader::Decode(77, r, label, value));
  EXPECT_EQ(label + "=" + value, "77=x");
  EXPECT_FALSE(CTernActivityReader::Decode(kActServer, r, label, value));
}

TEST_F(ActivityLogTest, RetentionBelowOneTurnsLoggingOff) {
  CTernActivityLog::SetSettingReader([](const std::string& name, long& value) {
    value = 0;
    return name == "OstrelLogging";
  });
  WriteAt(Noon(2026, 6, 15), kRealmPop, "joe");
  EXPECT_FALSE(std::ifstream(DayFile(1260615)).good());
}

TEST_F(ActivityLogTest, FirstRecordAfterMidnightOpensANewDayAndRemovesOldFiles) {
  // Retention 1 unit is 31 days. Day files 40 and 20 days old before the new day.
  CTernActivityLog::SetSettingReader([](const std::string&, long& value) {
    value = 1;
    return true;
  });
  time_t day2 = Noon(2026, 6, 16);
  std::string ancient = m_Dir.Write("kslog1260505", "x\r\n");
  std::string recent = m_Dir.Write("kslog1260525", "x\r\n");
  std::string other = m_Dir.Write("notalog", "x");
  struct utimbuf old {day2 - 40 * 86400, day2 - 40 * 86400};
  utime(ancient.c_str(), &old);
  utime(other.c_str(), &old);
  struct utimbuf newer {day2 - 20 * 86400, day2 - 20 * 86400};
  utime(recent.c_str(), &newer);

  WriteAt(Noon(2026, 6, 15) + 11 * 3600 + 59 * 60, kRealmSmtp, "before");  // 23:59
  WriteAt(Noon(2026, 6, 15) + 12 * 3600 + 60, kRealmSmtp, "after");        // 00:01 next day
  std::string first = TempDir::Read(DayFile(1260615));
  std::string second = TempDir::Read(DayFile(1260616));
  EXPECT_NE(first.find("10=before"), std::string::npos);
  EXPECT_EQ(first.find("10=after"), std::string::npos);
  EXPECT_EQ(second.rfind("1260616,", 0), 0u);
  EXPECT_NE(second.find("10=after"), std::string::npos);
  EXPECT_FALSE(std::ifstream(ancient).good());
  EXPECT_TRUE(std::ifstream(recent).good());
  EXPECT_TRUE(std::ifstream(other).good());
}

TEST_F(ActivityLogTest, ClosedLogIgnoresWrites) {
  CTernActivityLog::Close();
  WriteAt(Noon(2026, 6, 15), kRealmSmtp, "joe");
  EXPECT_FALSE(std::ifstream(DayFile(1260615)).good());
}

TEST_F(ActivityLogTest, ReaderSpansDaysSkipsMissingOnesAndFilters) {
  WriteAt(Noon(2026, 6, 14) - 3600, kRealmSmtp, "early");  // before the start time
  WriteAt(Noon(2026, 6, 14), kRealmSmtp, "Joe", "a,b");
  WriteAt(Noon(2026, 6, 14) + 60, kRealmPop, "ann");
  // No file at all for the 15th.
  WriteAt(Noon(2026, 6, 16), kRealmSmtp, "joey");
  WriteAt(Noon(2026, 6, 16) + 7200, kRealmSmtp, "late");  // after the end time
  CTernActivityLog::Close();

  auto collect = [&](CTernActivityReader& reader) {
    std::vector<std::string> users;
    long date, time;
    CTernActivityRecord r;
    for (bool ok = reader.First(date, time, r); ok; ok = reader.Next(date, time, r)) {
      std::string user;
      r.Get(kActUser, user);
      users.push_back(std::to_string(date) + ":" + user);
    }
    return users;
  };
  CTernActivityReader all(m_Dir.Path(), 1260614, 113000, 1260616, 130000, {}, {}, {}, {});
  EXPECT_EQ(collect(all), (std::vector<std::string>{"1260614:Joe", "1260614:ann", "1260616:joey"}));

  using F = CTernActivityReader::Filter;
  CTernActivityReader smtpOnly(m_Dir.Path(), 1260614, 0, 1260616, 235959, {}, {},
                               {F{kActRealm, CTernActivityReader::kEquals, "1"}}, {});
  EXPECT_EQ(collect(smtpOnly).size(), 4u);
  CTernActivityReader joes(m_Dir.Path(), 1260614, 0, 1260616, 235959,
                           {F{kActUser, CTernActivityReader::kBeginsWith, "JOE"}}, {}, {}, {});
  EXPECT_EQ(collect(joes), (std::vector<std::string>{"1260614:Joe", "1260616:joey"}));
  CTernActivityReader anyField(m_Dir.Path(), 1260614, 0, 1260616, 235959,
                               {F{0, CTernActivityReader::kContains, "A,B"}}, {}, {}, {});
  EXPECT_EQ(collect(anyField), (std::vector<std::string>{"1260614:Joe"}));
  CTernActivityReader backwards(m_Dir.Path(), 1260616, 0, 1260614, 235959, {}, {}, {}, {});
  EXPECT_TRUE(collect(backwards).empty());
}
