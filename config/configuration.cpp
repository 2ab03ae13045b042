// The configuration store: objects, attributes, values in force and events. The
// files (load, change check, save) are in configuration_file.cpp.
#include "config/configuration.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "base/exception.h"
#include "base/message_codes.h"
#include "base/named_lock.h"
#include "config/attribute_list.h"
#include "config/config_internal.h"
#include "log/eventlog.h"
#include "platform/clock.h"

std::atomic<Configuration*> Configuration::s_Process{nullptr};

// Reads the table under its read lock, after picking up a change of the files.
class Configuration::ReadScope {
 public:
  explicit ReadScope(Configuration& config) : m_Guard(Refreshed(config).m_TableLock) {}
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

 private:
  // The refresh may load, which takes the write lock: it runs before the read lock.
  static Configuration& Refreshed(Configuration& config) {
    config.RefreshIfChanged();
    return config;
  }
  CTernReadGuard m_Guard;
};

namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Every attribute of a table fits the file format.
bool WritableTable(const AttributeTable& table) {
  bool ok = true;
  table.ForEach([&](const std::string& name, const std::string& value) {
    ok = ok && WritableAttribute(name, value);
  });
  return ok;
}

}  // namespace

Configuration::Configuration(std::string sharedPath, std::string localPath, std::string vendorPath)
    : m_Paths{std::move(sharedPath), std::move(localPath), std::move(vendorPath)} {}

Configuration::~Configuration() { DestroyObjectsLocked(); }

Configuration* Configuration::Process() { return s_Process.load(); }

void Configuration::SetProcess(Configuration* configuration) { s_Process.store(configuration); }

std::string Configuration::KeyOf(char type, std::string_view name) {
  std::string key(1, type);
  key.append(name);
  return key;
}

ConfigObject* Configuration::FindLocked(char type, std::string_view name) {
  ConfigObject* object = nullptr;
  return m_Objects.Find(KeyOf(type, name), &object) ? object : nullptr;
}

void Configuration::DestroyObjectsLocked() {
  m_Objects.Clear([](void* value) { delete static_cast<ConfigObject*>(value); });
}

bool Configuration::ValidName(std::string_view name) {
  if (name.empty() || name.size() >= 128) return false;
  if (!isalnum(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ' ' && c != '.' && c != '-')
      return false;
  }
  return true;
}

int Configuration::Commit(Change change, bool save) {
  if (!save) {
    CTernWriteGuard table(m_TableLock);
    return ApplyLocked(change) == kChangeFailed ? 1 : 0;
  }
  // The files' named lock comes before the table's own lock.
  CTernNamedLockScope files(kConfigFileLock);
  if (!files.Held()) return 1;
  CTernWriteGuard table(m_TableLock);
  SyncWithFilesLocked();
  int applied = ApplyLocked(change);
  if (applied == kChangeFailed) return 1;
  if (applied == kChangeNone) return 0;
  return WriteOrRefuseLocked();
}

int Configuration::ApplyLocked(const Change& change) {
  int result = change(*this);
  if (result == kChangeApplied) {
    m_Unsaved.push_back(change);
    m_Generation++;
  }
  return result;
}

void Configuration::ReplayLocked() {
  for (const Change& change : m_Unsaved) change(*this);
}

// ---- Objects ----

int Configuration::ObjectExists(char type, std::string_view name) {
  ReadScope scope(*this);
  return FindLocked(type, name) ? 1 : 0;
}

int Configuration::CanonicalName(char type, std::string_view name, std::string& out) {
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  if (!object) return 1;
  out = object->Name();
  return 0;
}

void Configuration::ListNames(char type, CTernList<CTernString>& list, bool sorted) {
  CTernList<CTernString> keys;
  {
    ReadScope scope(*this);
    m_Objects.Keys(keys);
  }
  char wanted = static_cast<char>(toupper(static_cast<unsigned char>(type)));
  keys.ForEach([&](const CTernString& key) {
    std::string text = key.Str();
    if (text.empty() || toupper(static_cast<unsigned char>(text[0])) != wanted) return;
    CTernString name(text.substr(1));
    if (sorted) {
      list.AddInOrder(std::move(name));
    } else {
      list.Append(std::move(name));
    }
  });
}

int Configuration::CreateObject(char type, std::string_view name) {
  if (!ValidName(name)) return 1;
  if (std::strchr("CDGLU", type) == nullptr || type == '\0') return 1;
  std::string n(name);
  return Commit([type, n](Configuration& c) { return c.CreateLocked(type, n); }, true);
}

int Configuration::CreateLocked(char type, const std::string& name) {
  if (FindLocked(type, name)) return kChangeFailed;
  ConfigObject* object = nullptr;
  try {
    object = MakeConfigObject(type, name);
    m_Objects.Insert(KeyOf(type, name), object);
  } catch (const std::bad_alloc&) {
    delete object;
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
    return kChangeFailed;
  }
  return kChangeApplied;
}

int Configuration::DeleteObject(char type, std::string_view name) {
  if (!ValidName(name)) return 1;
  std::string n(name);
  return Commit([type, n](Configuration& c) { return c.DeleteLocked(type, n); }, true);
}

int Configuration::DeleteLocked(char type, const std::string& name) {
  ConfigObject* object = FindLocked(type, name);
  if (!object) return kChangeNone;
  if (toupper(static_cast<unsigned char>(type)) == kTypeSystem) return kChangeFailed;
  if (toupper(static_cast<unsigned char>(type)) == kTypeCast) {
    // Members name their cast; the cast holds no list of them.
    std::string key;
    void* value = nullptr;
    for (bool more = m_Objects.First(&key, &value); more; more = m_Objects.Next(&key, &value)) {
      ConfigObject* member = static_cast<ConfigObject*>(value);
      std::string cast;
      if (member->GetAttribute(kAttrCast, cast) && SameIgnoringCase(cast, object->Name()))
        member->RemoveAttribute(kAttrCast);
    }
  }
  m_Objects.Find(KeyOf(type, name), &object, true);
  delete object;
  return kChangeApplied;
}

bool Configuration::IsNeverWritten(char type, std::string_view name) {
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  return object && object->IsNeverWritten();
}

// ---- Base attributes ----

int Configuration::SetAttribute(char type, std::string_view name, std::string_view attribute,
                                std::string_view value, bool save) {
  if (!WritableAttribute(attribute, value)) return 1;
  std::string n(name), a(attribute), v(value);
  return Commit([type, n, a, v](Configuration& c) { return c.SetAttributeLocked(type, n, a, v); },
                save);
}

int Configuration::SetAttributeLocked(char type, const std::string& name, const std::string& attribute,
                                      const std::string& value) {
  ConfigObject* object = FindLocked(type, name);
  if (!object) return kChangeFailed;
  object->SetAttribute(attribute, value);
  return kChangeApplied;
}

int Configuration::RemoveAttribute(char type, std::string_view name, std::string_view attribute,
                                   bool save) {
  std::string n(name), a(attribute);
  return Commit([type, n, a](Configuration& c) { return c.RemoveAttributeLocked(type, n, a); }, save);
}

int Configuration::RemoveAttributeLocked(char type, const std::string& name,
                                         const std::string& attribute) {
  ConfigObject* object = FindLocked(type, name);
  if (!object) return kChangeFailed;
  return object->RemoveAttribute(attribute) ? kChangeApplied : kChangeNone;
}

int Configuration::GetBaseAttribute(char type, std::string_view name, std::string_view attribute,
                                    std::string& out) {
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  return object && object->GetAttribute(attribute, out) ? 0 : 1;
}

int Configuration::GetBaseAttributes(char type, std::string_view name, AttributeTable& table) {
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  if (!object) return 1;
  table = object->BaseAttributes();
  return 0;
}

// ---- Values in force ----

int Configuration::GetValue(char type, std::string_view name, std::string_view attribute,
                            std::string& out) {
  time_t now = PlatformNow();
  struct tm local = PlatformLocalTime(now);
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  return object && object->GetValue(attribute, out, now, local) ? 0 : 1;
}

int Configuration::GetValue(char type, std::string_view name, std::string_view attribute,
                            char* buffer, size_t size) {
  if (!buffer) return 1;
  std::string value;
  if (GetValue(type, name, attribute, value) != 0 || value.size() >= size) return 1;
  memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  return 0;
}

int Configuration::MergeSettingsInForce(char type, std::string_view name, bool defaultOnly,
                                        AttributeTable& table) {
  time_t now = PlatformNow();
  struct tm local = PlatformLocalTime(now);
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  if (!object) return 1;
  object->MergeInForce(defaultOnly, now, local, table);
  return 0;
}

// ---- Events ----

int Configuration::EventKeys(char type, std::string_view name, CTernList<CTernString>& list) {
  std::vector<std::string> keys;
  {
    ReadScope scope(*this);
    ConfigObject* object = FindLocked(type, name);
    if (!object) return 1;
    keys = object->EventKeys();
  }
  for (std::string& key : keys) list.Append(CTernString(key));
  return 0;
}

int Configuration::GetEventSettings(char type, std::string_view name, const std::string& key,
                                    AttributeTable& table) {
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  return object && object->GetEvent(key, table) ? 0 : 1;
}

int Configuration::GetEventValue(char type, std::string_view name, const std::string& key,
                                 std::string_view attribute, std::string& out) {
  AttributeTable settings;
  if (GetEventSettings(type, name, key, settings) != 0) return 1;
  return settings.Get(attribute, out) ? 0 : 1;
}

int Configuration::DeleteEvent(char type, std::string_view name, const std::string& key) {
  std::string n(name);
  return Commit([type, n, key](Configuration& c) { return c.DeleteEventLocked(type, n, key); }, true);
}

int Configuration::DeleteEventLocked(char type, const std::string& name, const std::string& key) {
  ConfigObject* object = FindLocked(type, name);
  return object && object->DeleteEvent(key) ? kChangeApplied : kChangeFailed;
}

int Configuration::ReplaceEvent(char type, std::string_view name, const std::string& oldKey,
                                std::string_view eventText, EventAddResult* outcome) {
  AttributeTable table;
  if (!ParseAttributeList(eventText, table)) {
    if (outcome) *outcome = EventAddResult::kInvalid;
    return 1;
  }
  return ReplaceEventTable(type, name, oldKey, table, outcome);
}

int Configuration::ReplaceEventTable(char type, std::string_view name, const std::string& oldKey,
                                     const AttributeTable& table, EventAddResult* outcome) {
  if (!WritableTable(table)) {
    if (outcome) *outcome = EventAddResult::kInvalid;
    return 1;
  }
  // The change may be made again after a load; the outcome of its latest run is
  // kept beside it.
  auto result = std::make_shared<EventAddResult>(EventAddResult::kInvalid);
  std::string n(name);
  int rc = Commit(
      [type, n, oldKey, table, result](Configuration& c) {
        *result = c.ReplaceEventLocked(type, n, oldKey, table);
        return EventAccepted(*result) ? kChangeApplied : kChangeFailed;
      },
      true);
  if (outcome) *outcome = *result;
  return rc;
}

EventAddResult Configuration::ReplaceEventLocked(char type, const std::string& name,
                                                 const std::string& oldKey, const AttributeTable& table) {
  ConfigObject* object = FindLocked(type, name);
  if (!object) return EventAddResult::kInvalid;
  return object->ReplaceEvent(oldKey, table, PlatformNow());
}

int Configuration::CheckEventConflict(char type, std::string_view name, const std::string& exceptKey,
                                      long date, long repeat, long start, long end,
                                      std::string_view when) {
  EventSchedule schedule;
  schedule.when = std::string(when);
  schedule.date = date;
  schedule.repeat = repeat;
  schedule.start = start;
  schedule.end = end;
  ReadScope scope(*this);
  ConfigObject* object = FindLocked(type, name);
  return object && object->ConflictsWithEvents(schedule, exceptKey) ? 1 : 0;
}
