// Schedule fields of events: reading, keys, validity, expiry, weights, conflicts.
#include "config/schedule_event.h"

#include <climits>
#include <cstdio>
#include <utility>

#include "base/number.h"

namespace {

constexpr long kSecondsPerDay = 86400;

// A whole decimal number that fits an int, blanks around it allowed.
bool ParseWhole(const std::string& text, long& value) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return false;
  size_t end = text.find_last_not_of(" \t");
  return TernParseNumber(std::string_view(text).substr(begin, end - begin + 1), value,
                         long{INT_MIN}, long{INT_MAX});
}

long TimeOfDay(const struct tm& local) {
  return local.tm_hour * 10000L + local.tm_min * 100L + local.tm_sec;
}

// Span of days [first, last] of a specific event, each at 00:00:00.
std::pair<time_t, time_t> DaySpan(const EventSchedule& s) {
  time_t first = EventLocalMoment(s.date, 0);
  return {first, first + (s.repeat - 1) * kSecondsPerDay};
}

}  // namespace

time_t EventLocalMoment(long date, long hhmmss) {
  struct tm t {};
  t.tm_year = static_cast<int>(date / 10000 - 1900);
  t.tm_mon = static_cast<int>(date / 100 % 100 - 1);
  t.tm_mday = static_cast<int>(date % 100);
  t.tm_hour = static_cast<int>(hhmmss / 10000);
  t.tm_min = static_cast<int>(hhmmss / 100 % 100);
  t.tm_sec = static_cast<int>(hhmmss % 100);
  t.tm_isdst = -1;
  return mktime(&t);
}

bool ReadEventSchedule(const AttributeTable& table, EventSchedule& schedule) {
  EventSchedule s;
  std::string date, start, end, repeat;
  if (!table.Get(kEventWhen, s.when) || s.when.empty()) return false;
  if (!table.Get(kEventDate, date) || !table.Get(kEventStart, start) ||
      !table.Get(kEventEnd, end) || !table.Get(kEventRepeat, repeat))
    return false;
  if (!ParseWhole(date, s.date) || !ParseWhole(start, s.start) || !ParseWhole(end, s.end) ||
      !ParseWhole(repeat, s.repeat))
    return false;
  schedule = std::move(s);
  return true;
}

std::string EventSchedule::Key() const {
  char numbers[64];
  snprintf(numbers, sizeof numbers, "%ld%06ld%06ld", date, start, end);
  return when + numbers;
}

bool EventSchedule::Valid() const {
  return !when.empty() && date >= 0 && start >= 0 && end >= 0 && repeat >= 1 && start <= end;
}

bool EventSchedule::Expired(time_t now) const {
  if (!IsSpecific()) return false;
  if (date < 10000 || date / 10000 < 1970) return true;
  time_t last = EventLocalMoment(date, end);
  if (last == -1) return true;
  return last + (repeat - 1) * kSecondsPerDay < now;
}

EventWeight EventSchedule::WeightAt(time_t now, const struct tm& local) const {
  if (IsSpecific()) {
    time_t from = EventLocalMoment(date, start);
    time_t to = EventLocalMoment(date, end);
    if (repeat > 1) to += (repeat - 1) * kSecondsPerDay;
    if (from != -1 && from <= now && now <= to) return kWeightSpecific;
  }
  char weekday = static_cast<char>('0' + local.tm_wday);
  long tod = TimeOfDay(local);
  if (when.find(weekday) != std::string::npos && start <= tod && tod <= end) return kWeightDaily;
  if (IsDefault()) return kWeightDefault;
  return kWeightNone;
}

bool EventSchedule::ConflictsWith(const EventSchedule& existing, const std::string& exceptKey) const {
  // A second Default Event always conflicts, whatever the excepted key; replacing
  // the Default Event works because the old one goes first.
  if (existing.IsDefault()) return IsDefault();
  if (existing.Key() == exceptKey) return false;
  bool overlap = (existing.start <= start && start <= existing.end) ||
                 (existing.start <= end && end <= existing.end) ||
                 (start <= existing.start && end >= existing.end);
  if (!overlap) return false;
  if (IsSpecific() && existing.IsSpecific()) {
    auto [a0, a1] = DaySpan(*this);
    auto [b0, b1] = DaySpan(existing);
    return a0 <= b1 && b0 <= a1;
  }
  if (IsSpecific()) return false;
  // A daily event: a shared weekday.
  return when.find_first_of(existing.when) != std::string::npos;
}

ScheduleEvent::ScheduleEvent(AttributeTable settings, EventSchedule schedule, bool fromVendorFile)
    : m_Settings(std::move(settings)),
      m_Schedule(std::move(schedule)),
      m_FromVendorFile(fromVendorFile) {}
