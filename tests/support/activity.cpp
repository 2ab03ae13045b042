// Reading today's activity records back for tests.
#include "tests/support/activity.h"

#include "platform/clock.h"

std::vector<CTernActivityRecord> TodaysRecords(const std::string& logDir) {
  std::vector<CTernActivityRecord> out;
  long date = TernDateNumber(PlatformNow());
  CTernActivityReader reader(logDir, date, 0, date, 235959, {}, {}, {}, {});
  long d = 0, t = 0;
  CTernActivityRecord record;
  for (bool more = reader.First(d, t, record); more; more = reader.Next(d, t, record))
    out.push_back(record);
  return out;
}

std::vector<std::string> TodaysRecordsOf(const std::string& logDir, int action) {
  std::vector<std::string> out;
  for (const CTernActivityRecord& r : TodaysRecords(logDir)) {
    std::string value;
    if (!r.Get(kActAction, value) || value != std::to_string(action)) continue;
    std::string text;
    for (const auto& [key, field] : r.Fields()) text += std::to_string(key) + "=" + field + ";";
    out.push_back(text);
  }
  return out;
}
