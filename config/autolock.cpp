// The automatic-lock tracker.
#include "config/autolock.h"

#include <atomic>
#include <utility>

#include "base/list.h"
#include "base/string.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "config/schedule_event.h"
#include "net/mail_address.h"
#include "platform/clock.h"

namespace {

std::atomic<AutoLockTracker*> g_Process{nullptr};

// The user's setting in force read as an integer; false when it has no value.
bool UserNumber(const std::string& user, const char* attribute, long& number) {
  std::string value;
  if (GetEffectiveValue("", user, attribute, value) != 0) return false;
  number = SettingNumber(value);
  return true;
}

// Whether a slot was filled less than minutes ago (a time in the future counts).
bool Recent(time_t now, time_t recorded, long minutes) {
  time_t age = now - recorded;
  return age < 0 || age / 60 < minutes;  // age < minutes * 60, without overflow
}

// The key of the user's Default Event; empty when it has none.
std::string DefaultEventKey(Configuration& config, const std::string& user) {
  CTernList<CTernString> keys;
  config.EventKeys(kTypeUser, user, keys);
  std::string found;
  keys.ForEach([&](const CTernString& key) {
    if (found.empty() && key.CharAt(0) == 'D') found = key.Str();
  });
  return found;
}

}  // namespace

AutoLockTracker::AutoLockTracker(LockReporter reporter) : m_Reporter(std::move(reporter)) {}

AutoLockTracker* AutoLockTracker::Process() { return g_Process.load(); }

void AutoLockTracker::SetProcess(AutoLockTracker* tracker) { g_Process.store(tracker); }

bool AutoLockTracker::RecordBlockedMessage(std::string_view sender, std::string_view messageId) {
  Configuration* config = Configuration::Process();
  if (!config) return false;
  // The sender must be a local address of an existing user.
  CTernMailAddress address;
  if (address.Parse(sender) != 0 || !address.IsLocal()) return false;
  std::string local = address.Form(kMailFormRouting);
  std::string user;
  if (local.empty() || config->CanonicalName(kTypeUser, local, user) != 0) return false;
  long on = 0, limit = 0, minutes = 0;
  if (!UserNumber(user, kAttrAutoLock, on) || on == 0) return false;
  if (!UserNumber(user, kAttrAutoLockX, limit) || !UserNumber(user, kAttrAutoLockY, minutes))
    return false;
  if (limit <= 0 || minutes <= 0) return false;

  CTernLockGuard guard(m_Lock);
  Record& record = m_Records[user];
  time_t now = PlatformNow();
  bool counted = false;
  for (const Slot& slot : record.slots)
    if (slot.used && slot.id == messageId) counted = true;
  if (!counted) {
    record.slots[record.next] = Slot{true, std::string(messageId), now};
    record.next = (record.next + 1) % kSlots;
  }
  long recent = 0;
  for (const Slot& slot : record.slots)
    if (slot.used && Recent(now, slot.time, minutes)) recent++;
  if (recent < limit) return false;
  if (LockUserLocked(*config, user) != 0) return false;
  if (m_Reporter) m_Reporter(user);
  return true;
}

int AutoLockTracker::LockUserLocked(Configuration& config, const std::string& user) {
  AttributeTable table;
  GetEffectiveSettings("", user, true, table);
  table.Set(kAttrAllowSMTP, "0");
  table.Set(kAttrAllowPOP, "0");
  table.Set(kAttrAllowOstrelUI, "0");
  table.Set(kEventWhen, "D");
  table.Set(kEventStart, "0");
  table.Set(kEventEnd, "0");
  table.Set(kEventDate, "0");
  table.Set(kEventRepeat, "1");
  // The user's Default Event is replaced whatever its times of day (its key is
  // normally D0000000000000); a user without one gets one.
  return config.ReplaceEventTable(kTypeUser, user, DefaultEventKey(config, user), table);
}

bool RecordBlockedMessage(std::string_view sender, std::string_view messageId) {
  AutoLockTracker* tracker = AutoLockTracker::Process();
  return tracker ? tracker->RecordBlockedMessage(sender, messageId) : false;
}
