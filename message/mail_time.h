// The system's time value (seconds since 1 January 1970, 00:00 UTC) with the
// calendar conversion and the forms in which dates are written: the mail header
// date, the short date of the pages, and the date and time numbers of the activity
// log. Zones are signed hhmm numbers (-500 is five hours behind UTC, 100 one hour
// ahead, -330 three and a half hours behind).
//
// CTernTime is a plain value: copy it freely; one object is used by one thread at a
// time. Negative times are held as 0, times after the year 9999 as its last second.
// Times are 64-bit, so dates after 2038 work.
#pragma once

#include <compare>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Calendar fields of a moment.
struct TernCalendar {
  int year = 1970;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..59
  int weekday = 4;  // 0 = Sunday
};

// The calendar fields of seconds since 1970 (UTC, no zone applied).
TernCalendar TernCalendarOf(time_t seconds);
// Seconds since 1970 of calendar fields taken as UTC (the weekday is not used).
// May be negative for dates before 1970.
time_t TernSecondsOf(const TernCalendar& fields);
// Days from 1 January 1970 to the date (negative before it). REQUIRES: year >= 1.
int64_t TernDaysFromCivil(int year, int month, int day);
// Days in a month of a year, by the Gregorian leap rule.
int TernDaysInMonth(int year, int month);
// The offset in seconds of a zone written hhmm (-330 gives -12600).
long TernZoneSeconds(int zone);

// English names from the message table: "Sun".."Sat" (weekday 0..6),
// "Sunday".."Saturday", "Jan".."Dec" (month 1..12). Empty outside the range.
const char* TernDayAbbreviation(int weekday);
const char* TernDayName(int weekday);
const char* TernMonthAbbreviation(int month);

// The hour of a time of day given with a suffix: "A.M." or "AM" keeps hours 1 to 11
// and turns 12 into 0; "P.M." or "PM" adds 12 to hours below 12. Letter case does
// not matter; any other suffix leaves the hour as it is.
int TernHourWithSuffix(int hour, std::string_view suffix);

class CTernTime {
 public:
  // Now, from the system clock (CTernClock::Now()).
  CTernTime();
  explicit CTernTime(time_t seconds);
  static CTernTime Now() { return CTernTime(); }

  void SetNow();
  void SetSeconds(time_t seconds);
  void AddSeconds(long seconds);
  void AddDays(long days);
  time_t Seconds() const { return m_Seconds; }

  auto operator<=>(const CTernTime&) const = default;
  // -1, 0 or 1 as this time is before, equal to or after other.
  int Compare(const CTernTime& other) const;

  // Calendar fields in a zone (the time plus the zone's offset).
  TernCalendar Fields(int zone) const;
  // "Mon, 15 Jun 1998 14:30:05 -0500": in the zone given, or the local zone. The
  // zone is written "GMT" when 0, "-0500" when behind, "+0100" when ahead.
  std::string MailDate(int zone) const;
  std::string MailDate() const;
  // "15-Jun-1998 14:30:05" in the zone given, or the local zone.
  std::string ShortDate(int zone) const;
  std::string ShortDate() const;
  // Date number (year - 1900) * 10000 + month * 100 + day and time number
  // hour * 10000 + minute * 100 + second, in the zone given.
  void Split(int zone, long& dateNumber, long& timeNumber) const;

  // Parses a mail date (TernParseDate); a date without a zone is taken in
  // defaultZone, or in the local zone. False (and the time unchanged) on failure.
  [[nodiscard]] bool Parse(std::string_view text, int defaultZone);
  [[nodiscard]] bool Parse(std::string_view text);

 private:
  time_t m_Seconds = 0;
};
