// The activity records of delivery and notification, all of realm SMTP: one call
// per record, with the message's identifier and whatever fields the step knows.
// Internal to transport/.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "log/activity_log.h"

// Writes a record of action with result (0: none) and fields (key, text); empty
// texts are left out.
inline void TernDeliveryRecord(int action, long result,
                               std::initializer_list<std::pair<int, std::string>> fields) {
  CTernActivityRecord record;
  record.AddStandard(kRealmSmtp, action, result, "", "");
  for (const auto& [key, text] : fields)
    if (!text.empty()) record.Add(key, text);
  CTernActivityLog::Write(record);
}
