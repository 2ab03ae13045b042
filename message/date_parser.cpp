// The date parser: one pass over the words of the text, each word tested against
// the rules in a fixed order.
#include "base/ascii.h"
#include "message/date_parser.h"

#include <optional>
#include <string>
#include <vector>

#include "message/mail_time.h"

namespace {

struct ZoneName {
  const char* name;
  int zone;
};
constexpr ZoneName kZones[] = {
    {"GMT", 0}, {"UT", 0}, {"EDT", -400}, {"EST", -500}, {"CDT", -500},
    {"CST", -600}, {"MDT", -600}, {"MST", -700}, {"PDT", -700}, {"PST", -800},
};

// Longest digit run read as a number; more would not fit the fields anyway.
constexpr size_t kMaxDigits = 9;



bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A word made of 1 to kMaxDigits digits and nothing else.
std::optional<long> Number(std::string_view word) {
  if (word.empty() || word.size() > kMaxDigits) return std::nullopt;
  long value = 0;
  for (char c : word) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The digits at the start of a word (at least one, at most kMaxDigits).
std::optional<long> LeadingNumber(std::string_view word) {
  size_t n = 0;
  while (n < word.size() && IsDigit(word[n])) ++n;
  if (n == 0 || n > kMaxDigits) return std::nullopt;
  return Number(word.substr(0, n));
}

bool IsDayName(std::string_view word) {
  for (int d = 0; d < 7; ++d)
    if (TernEqualsNoCase(word, TernDayAbbreviation(d)) || TernEqualsNoCase(word, TernDayName(d)))
      return true;
  return false;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < text.size()) {
    while (i < text.size() && blank(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !blank(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

long Window(long year) {
  if (year < 40) year += 2000;
  if (year < 1900) year += 1900;
  return year;
}

class DateFields {
 public:
  void Word(std::string_view word);
  bool Result(int defaultZone, time_t& seconds) const;

 private:
  void TimeOfDay(std::string_view word);
  void DayMonthYear(std::string_view word);

  bool m_InComment = false;
  std::optional<long> m_Day, m_Month, m_Year;
  std::optional<int> m_Zone;
  long m_Hour = 0, m_Minute = 0, m_Second = 0;
};

// A word with one or two colons.
void DateFields::TimeOfDay(std::string_view word) {
  std::vector<std::string_view> parts = Split(word, ':');
  std::optional<long> h = Number(parts[0]), m = Number(parts[1]);
  std::optional<long> s = parts.size() == 3 ? Number(parts[2]) : std::optional<long>(0);
  // A time out of range (24:00:00) is passed over; the word is used up either way.
  if (h && m && s && *h <= 23 && *m <= 59 && *s <= 59) {
    m_Hour = *h;
    m_Minute = *m;
    m_Second = *s;
  }
}

void DateFields::DayMonthYear(std::string_view word) {
  std::vector<std::string_view> parts = Split(word, '-');
  std::optional<long> day = Number(parts[0]);
  int month = TernMonthOf(parts[1]);
  std::optional<long> year = LeadingNumber(parts[2]);
  if (!day || *day < 1 || *day > 31 || month == 0 || !year) return;
  m_Day = day;
  m_Month = month;
  m_Year = year;
}

void DateFields::Word(std::string_view raw) {
  std::string word;
  for (char c : raw)
    if (c != ',') word += c;
  if (m_InComment || (!word.empty() && word[0] == '(')) {
    // A comment runs to the word that closes it.
    m_InComment = word.empty() || word.back() != ')';
    return;
  }
  if (word.empty() || IsDayName(word)) return;
  size_t colons = 0, hyphens = 0;
  for (char c : word) {
    colons += c == ':';
    hyphens += c == '-';
  }
  if (colons == 1 || colons == 2) {
    TimeOfDay(word);
    return;
  }
  if (hyphens == 2) {
    DayMonthYear(word);
    return;
  }
  if (int month = TernMonthOf(word)) {
    if (!m_Month) m_Month = month;
    return;
  }
  std::optional<long> number = Number(word);
  if (number && *number >= 1 && *number <= 31 && !m_Day) {
    m_Day = number;
    return;
  }
  if ((!m_Year || *m_Year < 100) && IsDigit(word[0])) {
    if (std::optional<long> year = LeadingNumber(word)) m_Year = year;
    return;
  }
  int zone;
  if (!m_Zone && TernParseZone(word, zone)) m_Zone = zone;
}

bool DateFields::Result(int defaultZone, time_t& seconds) const {
  if (!m_Day || !m_Month || !m_Year) return false;
  long year = Window(*m_Year);
  if (year > 9999 || *m_Day > TernDaysInMonth(static_cast<int>(year), static_cast<int>(*m_Month)))
    return false;
  TernCalendar fields;
  fields.year = static_cast<int>(year);
  fields.month = static_cast<int>(*m_Month);
  fields.day = static_cast<int>(*m_Day);
  fields.hour = static_cast<int>(m_Hour);
  fields.minute = static_cast<int>(m_Minute);
  fields.second = static_cast<int>(m_Second);
  time_t utc = TernSecondsOf(fields) - TernZoneSeconds(m_Zone ? *m_Zone : defaultZone);
  seconds = utc < 0 ? 0 : utc;
  return true;
}

}  // namespace

int TernMonthOf(std::string_view word) {
  for (int m = 1; m <= 12; ++m)
    if (TernEqualsNoCase(word, TernMonthAbbreviation(m))) return m;
  return 0;
}

bool TernParseZone(std::string_view word, int& zone) {
  for (const ZoneName& z : kZones) {
    if (TernEqualsNoCase(word, z.name)) {
      zone = z.zone;
      return true;
    }
  }
  if (word.empty()) return false;
  int sign = 1;
  if (word[0] == '+' || word[0] == '-') {
    sign = word[0] == '-' ? -1 : 1;
    word.remove_prefix(1);
  }
  if (word.size() > 4) return false;
  std::optional<long> value = Number(word);
  if (!value || *value % 100 > 59 || *value / 100 > 23) return false;
  zone = sign * static_cast<int>(*value);
  return true;
}

bool TernParseDate(std::string_view text, int defaultZone, time_t& seconds) {
  std::vector<std::string_view> words = Words(text);
  if (words.size() < 4) return false;
  DateFields fields;
  for (std::string_view word : words) fields.Word(word);
  return fields.Result(defaultZone, seconds);
}
