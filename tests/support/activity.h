// Test helper: today's activity records in a log directory, and those of one action
// with their fields joined as "key=value;" for easy matching.
#pragma once

#include <string>
#include <vector>

#include "log/activity_log.h"

std::vector<CTernActivityRecord> TodaysRecords(const std::string& logDir);
std::vector<std::string> TodaysRecordsOf(const std::string& logDir, int action);
