// Time values, the calendar conversion, the date forms written and the date parser.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "message/clock.h"
#include "message/date_parser.h"
#include "message/mail_time.h"
#include "message/random.h"
#include "platform/clock.h"

namespace {

// 15 June 1998 19:30:05 UTC.
constexpr time_t kJune15 = 897939005;

time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  TernCalendar c;
  c.year = year;
  c.month = month;
  c.day = day;
  c.hour = hour;
  c.minute = minute;
  c.second = second;
  return TernSecondsOf(c);
}

TEST(Calendar, AgreesWithTheSystemOverLeapYearsAndCenturies) {
  // Every day from 1970 to beyond 2100 (leap years, 2000, and 2100 which is none).
  for (time_t t = 0; t < 4200000000LL; t += 86400 + 3671) {
    struct tm expected {};
    gmtime_r(&t, &expected);
    TernCalendar c = TernCalendarOf(t);
    ASSERT_EQ(c.year, expected.tm_year + 1900) << t;
    ASSERT_EQ(c.month, expected.tm_mon + 1) << t;
    ASSERT_EQ(c.day, expected.tm_mday) << t;
    ASSERT_EQ(c.hour, expected.tm_hour) << t;
    ASSERT_EQ(c.minute, expected.tm_min) << t;
    ASSERT_EQ(c.second, expected.tm_sec) << t;
    ASSERT_EQ(c.weekday, expected.tm_wday) << t;
    ASSERT_EQ(TernSecondsOf(c), t);
  }
  EXPECT_EQ(TernDaysInMonth(2000, 2), 29);
  EXPECT_EQ(TernDaysInMonth(2100, 2), 28);
  EXPECT_EQ(TernDaysInMonth(1996, 2), 29);
}

TEST(TimeValue, NegativeIsZeroAndArithmetic) {
  EXPECT_EQ(CTernTime(-5).Seconds(), 0);
  CTernTime t(1000);
  t.AddSeconds(-2000);
  EXPECT_EQ(t.Seconds(), 0);
  t.AddDays(2);
  EXPECT_EQ(t.Seconds(), 172800);
  EXPECT_LT(CTernTime(5).Compare(CTernTime(6)), 0);
  EXPECT_EQ(CTernTime(6).Compare(CTernTime(6)), 0);
  EXPECT_TRUE(CTernTime(7) > CTernTime(6));
  // Past 2038 the value does not wrap.
  CTernTime late(Utc(2040, 1, 1));
  EXPECT_EQ(late.MailDate(0), "Sun, 01 Jan 2040 00:00:00 GMT");
}

TEST(TimeValue, NowFollowsTheTimeSource) {
  PlatformSetTime(kJune15);
  EXPECT_EQ(CTernClock::Now(), kJune15);
  EXPECT_EQ(CTernTime().Seconds(), kJune15);
  PlatformAdvance(901);
  EXPECT_EQ(CTernTime::Now().Seconds(), kJune15 + 901);
  PlatformClearTime();
}

TEST(TimeValue, LocalZoneMatchesTheSystem) {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  long minutes = local.tm_gmtoff / 60;
  EXPECT_EQ(CTernClock::ZoneAt(now), static_cast<int>(minutes / 60 * 100 + minutes % 60));
  EXPECT_EQ(CTernClock::LocalZone(), CTernClock::ZoneAt(CTernClock::Now()));
}

TEST(DateForms, MailHeaderDateZones) {
  CTernTime t(kJune15);
  struct {
    int zone;
    const char* text;
  } cases[] = {
      {0, "Mon, 15 Jun 1998 19:30:05 GMT"},
      {-500, "Mon, 15 Jun 1998 14:30:05 -0500"},
      {-330, "Mon, 15 Jun 1998 16:00:05 -0330"},
      {100, "Mon, 15 Jun 1998 20:30:05 +0100"},
      {530, "Tue, 16 Jun 1998 01:00:05 +0530"},  // the zone moves the day on
  };
  for (const auto& c : cases) EXPECT_EQ(t.MailDate(c.zone), c.text) << c.zone;
}

TEST(DateForms, ShortDateAndNumbers) {
  CTernTime t(Utc(2005, 3, 7, 8, 9, 10));
  EXPECT_EQ(t.ShortDate(0), "07-Mar-2005 08:09:10");
  long date, time;
  t.Split(0, date, time);
  EXPECT_EQ(date, 1050307);
  EXPECT_EQ(time, 80910);
  t.Split(-1000, date, time);  // ten hours behind: the day before
  EXPECT_EQ(date, 1050306);
  EXPECT_EQ(time, 220910);
}

TEST(DateForms, HourWithSuffix) {
  struct {
    int hour;
    const char* suffix;
    int expected;
  } cases[] = {
      {12, "AM", 0}, {12, "A.M.", 0}, {1, "am", 1}, {11, "AM", 11},
      {12, "PM", 12}, {1, "P.M.", 13}, {11, "pm", 23}, {13, "PM", 13}, {7, "", 7},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TernHourWithSuffix(c.hour, c.suffix), c.expected) << c.hour << c.suffix;
}

TEST(DateParser, AcceptedForms) {
  struct {
    const char* text;
    time_t expected;
  } cases[] = {
      {"Mon, 15 Jun 98 14:30:05 EST", kJune15},
      {"Mon, 15-Jun-98 14:30:05 EST", kJune15},
      {"Mon, 15 Jun 1998 14:30:05 -0500", kJune15},
      {"Mon, 15 Jun 1998 20:30:05 +0100", kJune15},
      {"Mon, 15 Jun 1998 19:30:05 GMT (Greenwich Mean Time)", kJune15},
      {"Mon, 15 Jun 1998 11:30:05 (PST comment) PST", kJune15},
      {"monday 15 JUN 1998 19:30:05 gmt", kJune15},
      {"Mon Jun 15 19:30:05 1998", kJune15},               // as "From " lines write it
      {"Tue Jun 16 1998", Utc(1998, 6, 16)},               // no time: midnight
      {"Tue, 16 Jun 1998 24:00:00 GMT", Utc(1998, 6, 16)},  // 24:00:00 is passed over
      {"Tue, 16 Jun 1998 14:30 GMT", Utc(1998, 6, 16, 14, 30)},
      {"Wed, 1 Jan 05 00:00:00 GMT", Utc(2005, 1, 1)},
      {"Wed, 1 Jan 39 00:00:00 GMT", Utc(2039, 1, 1)},
      {"Wed, 1 Jan 40 00:00:00 GMT", Utc(1940, 1, 1) < 0 ? 0 : Utc(1940, 1, 1)},
      {"Sat, 29 Feb 2000 12:00:00 GMT", Utc(2000, 2, 29, 12)},
  };
  for (const auto& c : cases) {
    time_t t = -1;
    EXPECT_TRUE(TernParseDate(c.text, 0, t)) << c.text;
    EXPECT_EQ(t, c.expected) << c.text;
  }
}

TEST(DateParser, DefaultZoneAppliesWithoutOne) {
  time_t t;
  ASSERT_TRUE(TernParseDate("Tue Jun 16 1998", -500, t));
  EXPECT_EQ(t, Utc(1998, 6, 16, 5));
  CTernTime parsed(0);
  ASSERT_TRUE(parsed.Parse("Tue, 16 Jun 1998 10:00:00", 100));
  EXPECT_EQ(parsed.Seconds(), Utc(1998, 6, 16, 9));
}

TEST(DateParser, RefusedForms) {
  const char* refused[] = {
      "15-Jun-98 14:30:05",           // two words
      "15 Jun 1998",                  // three words
      "",                             "Mon, 15 1998 14:30:05 GMT",  // no month
      "Mon, Jun 1998 14:30:05 GMT",   // no day
      "Mon, 31 Feb 1998 10:00:00 GMT",  // no such day
      "Mon, 15 Jun 99999 10:00:00 GMT",  // year beyond 9999
      "a b c d e f g",
  };
  for (const char* text : refused) {
    time_t t = 12345;
    EXPECT_FALSE(TernParseDate(text, 0, t)) << text;
    EXPECT_EQ(t, 12345) << text;
  }
  CTernTime unchanged(77);
  EXPECT_FALSE(unchanged.Parse("15 Jun 1998", 0));
  EXPECT_EQ(unchanged.Seconds(), 77);
}

TEST(DateParser, WrittenDatesReadBack) {
  for (int zone : {0, -500, -330, 100, 1200, -1100}) {
    for (time_t t : {time_t{0}, kJune15, Utc(2024, 2, 29, 23, 59, 59), Utc(2099, 12, 31, 12)}) {
      time_t back;
      std::string text = CTernTime(t).MailDate(zone);
      ASSERT_TRUE(TernParseDate(text, 0, back)) << text;
      EXPECT_EQ(back, t) << text;
    }
  }
}

TEST(DateParser, ZoneWords) {
  int zone;
  EXPECT_TRUE(TernParseZone("cdt", zone));
  EXPECT_EQ(zone, -500);
  EXPECT_TRUE(TernParseZone("+0530", zone));
  EXPECT_EQ(zone, 530);
  EXPECT_FALSE(TernParseZone("+0575", zone));
  EXPECT_FALSE(TernParseZone("-12345", zone));
  EXPECT_FALSE(TernParseZone("XYZ", zone));
}

TEST(Random, StaysInRangeAndVaries) {
  int low = 32767, high = 0;
  for (int i = 0; i < 2000; ++i) {
    int r = TernRandom();
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 32767);
    low = std::min(low, r);
    high = std::max(high, r);
  }
  EXPECT_LT(low, 1000);
  EXPECT_GT(high, 31000);
}

}  // namespace
