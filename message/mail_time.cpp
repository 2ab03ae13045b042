// CTernTime and the calendar conversion: days since 1970 to and from the
// Gregorian calendar, and the date forms written into mail and pages.
#include "message/mail_time.h"

#include <cstdio>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "message/clock.h"
#include "message/date_parser.h"

namespace {

// Message table codes of the English day and month names.

constexpr long kSecondsPerDay = 86400;
// The end of year 9999: later times are held as this, so that every time has a
// four-digit year.
constexpr time_t kLastSecond = 253402300799;

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

const char* TextOrEmpty(int code) {
  if (code < 0 || code >= ternmsg::kMessageCount) return "";
  const char* text = ternmsg::g_EnglishTexts[code];
  return text ? text : "";
}


}  // namespace

int TernDaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

int64_t TernDaysFromCivil(int year, int month, int day) {
  // Whole years from 1970 with the leap days between (the 4/100/400 rule), then the
  // months of the year, then the day.
  auto leapsBefore = [](int64_t y) { return (y - 1) / 4 - (y - 1) / 100 + (y - 1) / 400; };
  int64_t days = (int64_t{year} - 1970) * 365 + (leapsBefore(year) - leapsBefore(1970));
  for (int m = 1; m < month && m <= 12; ++m) days += TernDaysInMonth(year, m);
  return days + day - 1;
}

TernCalendar TernCalendarOf(time_t seconds) {
  TernCalendar c;
  int64_t days = seconds / kSecondsPerDay;
  long rest = static_cast<long>(seconds % kSecondsPerDay);
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  c.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  int year = 1970;
  while (days < 0) days += IsLeap(--year) ? 366 : 365;  // local times just before 1970
  for (;;) {
    int length = IsLeap(year) ? 366 : 365;
    if (days < length) break;
    // Jump whole 400-year cycles first so that distant dates cost nothing.
    if (days >= 146097 && year % 400 == 1970 % 400) {
      int64_t cycles = days / 146097;
      days -= cycles * 146097;
      year += static_cast<int>(cycles * 400);
      continue;
    }
    days -= length;
    ++year;
  }
  int month = 1;
  while (days >= TernDaysInMonth(year, month)) {
    days -= TernDaysInMonth(year, month);
    ++month;
  }
  c.year = year;
  c.month = month;
  c.day = static_cast<int>(days) + 1;
  c.hour = static_cast<int>(rest / 3600);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.second = static_cast<int>(rest % 60);
  return c;
}

time_t TernSecondsOf(const TernCalendar& f) {
  return static_cast<time_t>(TernDaysFromCivil(f.year, f.month, f.day) * kSecondsPerDay +
                             f.hour * 3600L + f.minute * 60L + f.second);
}

long TernZoneSeconds(int zone) { return (zone / 100 * 60L + zone % 100) * 60L; }

const char* TernDayAbbreviation(int weekday) {
  if (weekday < 0 || weekday > 6) return "";
  // The table runs Monday to Sunday; weekday 0 is Sunday.
  return TextOrEmpty(kMsgMon + 2 * ((weekday + 6) % 7));
}

const char* TernDayName(int weekday) {
  if (weekday < 0 || weekday > 6) return "";
  return TextOrEmpty(kMsgMon + 2 * ((weekday + 6) % 7) + 1);
}

const char* TernMonthAbbreviation(int month) {
  if (month < 1 || month > 12) return "";
  return TextOrEmpty(kMsgJan + month - 1);
}

int TernHourWithSuffix(int hour, std::string_view suffix) {
  if (TernEqualsNoCase(suffix, "A.M.") || TernEqualsNoCase(suffix, "AM"))
    return hour == 12 ? 0 : hour;
  if (TernEqualsNoCase(suffix, "P.M.") || TernEqualsNoCase(suffix, "PM"))
    return hour < 12 ? hour + 12 : hour;
  return hour;
}

CTernTime::CTernTime() : m_Seconds(0) { SetNow(); }

CTernTime::CTernTime(time_t seconds) { SetSeconds(seconds); }

void CTernTime::SetNow() { SetSeconds(CTernClock::Now()); }

void CTernTime::SetSeconds(time_t seconds) {
  m_Seconds = seconds < 0 ? 0 : seconds > kLastSecond ? kLastSecond : seconds;
}

void CTernTime::AddSeconds(long seconds) { SetSeconds(m_Seconds + seconds); }

void CTernTime::AddDays(long days) { SetSeconds(m_Seconds + days * kSecondsPerDay); }

int CTernTime::Compare(const CTernTime& other) const {
  return m_Seconds < other.m_Seconds ? -1 : m_Seconds > other.m_Seconds ? 1 : 0;
}

TernCalendar CTernTime::Fields(int zone) const {
  return TernCalendarOf(m_Seconds + TernZoneSeconds(zone));
}

std::string CTernTime::MailDate(int zone) const {
  TernCalendar c = Fields(zone);
  char zoneText[16];
  if (zone == 0)
    std::snprintf(zoneText, sizeof zoneText, "GMT");
  else if (zone < 0)
    std::snprintf(zoneText, sizeof zoneText, "%05d", zone);
  else
    std::snprintf(zoneText, sizeof zoneText, "+%04d", zone);
  char text[96];
  std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %s", TernDayAbbreviation(c.weekday),
                c.day, TernMonthAbbreviation(c.month), c.year, c.hour, c.minute, c.second, zoneText);
  return text;
}

std::string CTernTime::MailDate() const { return MailDate(CTernClock::LocalZone()); }

std::string CTernTime::ShortDate(int zone) const {
  TernCalendar c = Fields(zone);
  char text[64];
  std::snprintf(text, sizeof text, "%02d-%s-%d %02d:%02d:%02d", c.day, TernMonthAbbreviation(c.month),
                c.year, c.hour, c.minute, c.second);
  return text;
}

std::string CTernTime::ShortDate() const { return ShortDate(CTernClock::LocalZone()); }

void CTernTime::Split(int zone, long& dateNumber, long& timeNumber) const {
  TernCalendar c = Fields(zone);
  dateNumber = (c.year - 1900) * 10000L + c.month * 100L + c.day;
  timeNumber = c.hour * 10000L + c.minute * 100L + c.second;
}

bool CTernTime::Parse(std::string_view text, int defaultZone) {
  time_t parsed;
  if (!TernParseDate(text, defaultZone, parsed)) return false;
  SetSeconds(parsed);
  return true;
}

bool CTernTime::Parse(std::string_view text) { return Parse(text, CTernClock::LocalZone()); }
