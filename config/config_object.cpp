// Configuration objects: base attributes, events and the value in force; the
// definition bodies of the plain types and of lists and dictionaries.
#include "config/config_object.h"

#include <new>
#include <utility>

#include "config/attribute_list.h"

namespace {

int WriteAll(CTernFile& file, const std::string& text) {
  return file.Write(text) == static_cast<int32_t>(text.size()) ? 0 : 1;
}

}  // namespace

ConfigObject::ConfigObject(char type, std::string name) : m_Type(type), m_Name(std::move(name)) {}

ConfigObject::~ConfigObject() = default;

const char* ConfigObject::Label(char type) {
  switch (type) {
    case kTypeSystem: return "System";
    case kTypeUser: return "User";
    case kTypeClient: return "Client";
    case kTypeCast: return "Cast";
    case kTypeList: return "List";
    case kTypeDictionary: return "Dictionary";
    default: return "";
  }
}

int ConfigObject::ParseDefinition(std::string_view text) {
  CTernLockGuard guard(m_AttrLock);
  return ParseAttributeList(text, m_Base) ? 0 : 1;
}

int ConfigObject::WriteDefinition(CTernFile& file) { return WriteAttributeLine(file); }

int ConfigObject::WriteAttributeLine(CTernFile& file) {
  AttributeTable own;
  {
    CTernLockGuard guard(m_AttrLock);
    own = m_Base;
    for (const std::string& name : m_VendorDefaults) own.Remove(name);
  }
  return WriteAll(file, FormatAttributeList(own) + "\r\n");
}

bool ConfigObject::GetAttribute(std::string_view name, std::string& value) const {
  CTernLockGuard guard(m_AttrLock);
  return m_Base.Get(name, value);
}

void ConfigObject::SetAttribute(std::string_view name, std::string_view value) {
  CTernLockGuard guard(m_AttrLock);
  m_Base.Set(name, value);
  m_VendorDefaults.erase(std::string(name));
}

bool ConfigObject::RemoveAttribute(std::string_view name) {
  CTernLockGuard guard(m_AttrLock);
  m_VendorDefaults.erase(std::string(name));
  return m_Base.Remove(name);
}

void ConfigObject::AddVendorDefault(std::string_view name, std::string_view value) {
  CTernLockGuard guard(m_AttrLock);
  if (m_Base.Has(name)) return;
  m_Base.Set(name, value);
  m_VendorDefaults.emplace(name);
}

AttributeTable ConfigObject::BaseAttributes() const {
  CTernLockGuard guard(m_AttrLock);
  return m_Base;
}

size_t ConfigObject::EventCount() const {
  CTernLockGuard guard(m_EventLock);
  return m_Events.size();
}

std::vector<std::string> ConfigObject::EventKeys() const {
  CTernLockGuard guard(m_EventLock);
  std::vector<std::string> keys;
  for (const ScheduleEvent& e : m_Events) keys.push_back(e.Key());
  return keys;
}

bool ConfigObject::GetEvent(const std::string& key, AttributeTable& settings) const {
  CTernLockGuard events(m_EventLock);
  for (const ScheduleEvent& e : m_Events) {
    if (e.Key() != key) continue;
    CTernLockGuard attributes(m_AttrLock);
    settings = e.Settings();
    return true;
  }
  return false;
}

void ConfigObject::ForEachEvent(const std::function<void(const ScheduleEvent&)>& fn) const {
  CTernLockGuard events(m_EventLock);
  CTernLockGuard attributes(m_AttrLock);
  for (const ScheduleEvent& e : m_Events) fn(e);
}

bool ConfigObject::ConflictsLocked(const EventSchedule& schedule, const std::string& exceptKey) const {
  for (const ScheduleEvent& e : m_Events)
    if (schedule.ConflictsWith(e.Schedule(), exceptKey)) return true;
  return false;
}

bool ConfigObject::ConflictsWithEvents(const EventSchedule& schedule, const std::string& exceptKey) const {
  CTernLockGuard guard(m_EventLock);
  return ConflictsLocked(schedule, exceptKey);
}

EventAddResult ConfigObject::AddEvent(const AttributeTable& settings, bool fromVendorFile, time_t now) {
  EventSchedule schedule;
  if (!ReadEventSchedule(settings, schedule) || !schedule.Valid()) return EventAddResult::kInvalid;
  CTernLockGuard events(m_EventLock);
  if (ConflictsLocked(schedule, std::string())) return EventAddResult::kConflict;
  if (schedule.Expired(now)) return EventAddResult::kExpired;
  CTernLockGuard attributes(m_AttrLock);
  m_Events.emplace_front(settings, std::move(schedule), fromVendorFile);
  return EventAddResult::kStored;
}

bool ConfigObject::DeleteEvent(const std::string& key) {
  CTernLockGuard events(m_EventLock);
  for (auto it = m_Events.begin(); it != m_Events.end(); ++it) {
    if (it->Key() != key) continue;
    CTernLockGuard attributes(m_AttrLock);
    m_Events.erase(it);
    return true;
  }
  return false;
}

EventAddResult ConfigObject::ReplaceEvent(const std::string& oldKey, const AttributeTable& settings,
                                          time_t now) {
  EventSchedule schedule;
  if (!ReadEventSchedule(settings, schedule) || !schedule.Valid()) return EventAddResult::kInvalid;
  CTernLockGuard events(m_EventLock);
  // The old event leaves the list for the conflict check and comes back to its
  // place when the new one is refused.
  std::list<ScheduleEvent> removed;
  std::list<ScheduleEvent>::iterator place = m_Events.end();
  if (!oldKey.empty()) {
    for (auto it = m_Events.begin(); it != m_Events.end(); ++it) {
      if (it->Key() != oldKey) continue;
      place = std::next(it);
      removed.splice(removed.begin(), m_Events, it);
      break;
    }
  }
  EventAddResult result = EventAddResult::kStored;
  if (ConflictsLocked(schedule, std::string())) {
    result = EventAddResult::kConflict;
  } else if (schedule.Expired(now)) {
    result = EventAddResult::kExpired;
  }
  CTernLockGuard attributes(m_AttrLock);
  if (result == EventAddResult::kConflict) {
    m_Events.splice(place, removed);
  } else if (result == EventAddResult::kStored) {
    m_Events.emplace_front(settings, std::move(schedule), false);
  }
  return result;
}

const ScheduleEvent* ConfigObject::EventInForceLocked(bool merged, bool defaultOnly, time_t now,
                                                      const struct tm& local) const {
  const ScheduleEvent* best = nullptr;
  int bestWeight = kWeightNone;
  for (const ScheduleEvent& e : m_Events) {
    int weight = defaultOnly ? (e.Schedule().IsDefault() ? kWeightDefault : kWeightNone)
                             : e.Schedule().WeightAt(now, local);
    if (weight == kWeightNone) continue;
    // Among events of one kind the first counts, except for specific events (and in
    // the merged look-up), where the last does.
    bool later = merged || weight == kWeightSpecific;
    if (weight > bestWeight || (weight == bestWeight && later)) {
      best = &e;
      bestWeight = weight;
    }
  }
  return best;
}

bool ConfigObject::GetValue(std::string_view name, std::string& value, time_t now,
                            const struct tm& local) const {
  CTernLockGuard events(m_EventLock);
  const ScheduleEvent* inForce = EventInForceLocked(false, false, now, local);
  CTernLockGuard attributes(m_AttrLock);
  if (inForce && inForce->Settings().Get(name, value)) return true;
  return m_Base.Get(name, value);
}

void ConfigObject::MergeInForce(bool defaultOnly, time_t now, const struct tm& local,
                                AttributeTable& table) const {
  CTernLockGuard events(m_EventLock);
  const ScheduleEvent* inForce = EventInForceLocked(true, defaultOnly, now, local);
  CTernLockGuard attributes(m_AttrLock);
  table.Merge(m_Base);
  if (inForce) table.Merge(inForce->Settings());
}

int FlaggedObject::ParseDefinition(std::string_view text) {
  // The scope flag, ',', the second flag; then either the end or ',' and the
  // attribute list.
  if (text.size() < 3 || text[1] != ',') return 1;
  {
    CTernWriteGuard flags(m_FlagLock);
    m_Scope = text[0];
    m_Second = text[2];
  }
  if (text.size() < 4 || text[3] != ',') return 0;
  CTernLockGuard guard(AttributeLock());
  return ParseAttributeList(text.substr(4), BaseLocked()) ? 0 : 1;
}

int FlaggedObject::WriteDefinition(CTernFile& file) {
  std::string flags;
  {
    CTernReadGuard guard(m_FlagLock);
    flags = {m_Scope, ',', m_Second, ','};
  }
  if (WriteAll(file, flags) != 0) return 1;
  return WriteAttributeLine(file);
}

bool FlaggedObject::IsNeverWritten() const { return ScopeFlag() == 'U'; }

char FlaggedObject::ScopeFlag() const {
  CTernReadGuard guard(m_FlagLock);
  return m_Scope;
}

char FlaggedObject::SecondFlag() const {
  CTernReadGuard guard(m_FlagLock);
  return m_Second;
}

ConfigObject* MakeConfigObject(char type, std::string name) {
  switch (type) {
    case kTypeSystem: return new SystemObject(std::move(name));
    case kTypeUser: return new UserObject(std::move(name));
    case kTypeClient: return new ClientObject(std::move(name));
    case kTypeCast: return new CastObject(std::move(name));
    case kTypeList: return new ListObject(std::move(name));
    case kTypeDictionary: return new DictionaryObject(std::move(name));
    default: return nullptr;
  }
}
