// Scheduled events of configuration objects. An event is a table of settings that
// override an object's base attributes while its time pattern holds. The table
// always carries the five schedule fields:
//
//   When    "D" the Default Event (always holds); weekday digits ('0' Sunday ...
//           '6' Saturday) a daily event; "E" a specific event on a date
//   Date    YYYYMMDD of a specific event, else 0
//   Start   HHMMSS start of the time of day
//   End     HHMMSS end of the time of day, inclusive, not before Start
//   Repeat  for a specific event, the number of consecutive days from Date
//
// An event is named within its object by its key: When, Date, Start and End run
// together as "%s%d%06d%06d", so the Default Event's key is "D0000000000000".
//
// Dates and times of day are local time (PlatformLocalTime). Not guarded: the
// object that holds an event guards it.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "config/attribute_table.h"

inline constexpr char kEventWhen[] = "When";
inline constexpr char kEventDate[] = "Date";
inline constexpr char kEventStart[] = "Start";
inline constexpr char kEventEnd[] = "End";
inline constexpr char kEventRepeat[] = "Repeat";
inline constexpr char kDefaultEventKey[] = "D0000000000000";

// How strongly an event that holds now overrides others: the heaviest holding event
// is the event in force.
enum EventWeight { kWeightNone = 0, kWeightDefault = 10, kWeightDaily = 20, kWeightSpecific = 40 };

// The schedule fields of an event as numbers.
struct EventSchedule {
  std::string when;
  long date = 0;
  long start = 0;
  long end = 0;
  long repeat = 1;

  bool IsDefault() const { return !when.empty() && when[0] == 'D'; }
  bool IsSpecific() const { return !when.empty() && when[0] == 'E'; }
  // "%s%d%06d%06d" of When, Date, Start and End.
  std::string Key() const;
  // When not empty, Date, Start and End not negative, Repeat at least 1, Start not
  // after End.
  bool Valid() const;
  // A specific event that can never hold again: Date below 10000, a year before
  // 1970, or its last moment (Date at End plus Repeat - 1 days) before now.
  bool Expired(time_t now) const;
  // The weight with which the event holds at now (kWeightNone when it does not).
  // local is now as local time.
  EventWeight WeightAt(time_t now, const struct tm& local) const;
  // Whether an event with this schedule may not be added beside an existing one
  // (a second Default Event always conflicts; otherwise the existing event whose key
  // is exceptKey is passed over): the times of day overlap and either both are
  // specific events whose days overlap, or this is a daily event that shares a
  // character of When with the existing one.
  bool ConflictsWith(const EventSchedule& existing, const std::string& exceptKey) const;
};

// Reads the five schedule fields of a table. False when one is missing, When is
// empty, or a number is not a whole decimal number (surrounding blanks allowed).
bool ReadEventSchedule(const AttributeTable& table, EventSchedule& schedule);

// The moment of a date YYYYMMDD at a time of day HHMMSS, local time; -1 when the
// date cannot be represented.
time_t EventLocalMoment(long date, long hhmmss);

class ScheduleEvent {
 public:
  // REQUIRES: ReadEventSchedule(settings) succeeded with schedule.
  ScheduleEvent(AttributeTable settings, EventSchedule schedule, bool fromVendorFile);

  const AttributeTable& Settings() const { return m_Settings; }
  const EventSchedule& Schedule() const { return m_Schedule; }
  std::string Key() const { return m_Schedule.Key(); }
  // Events read from the vendor configuration file live there: they are never
  // written into the installation's files.
  bool FromVendorFile() const { return m_FromVendorFile; }

 private:
  AttributeTable m_Settings;
  EventSchedule m_Schedule;
  bool m_FromVendorFile;
};
