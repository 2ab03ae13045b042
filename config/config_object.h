// The configuration objects: the system, users, clients, casts, lists and
// dictionaries. Each carries its base attributes and its scheduled events; lists
// and dictionaries add a scope flag and a second flag.
//
// An object is reached only through the configuration's table and only while the
// table lock is held (a load rebuilds the table). Within an object, one CTernLock
// guards the event list and another the attribute tables; when both are needed the
// event lock is taken first. Lists and dictionaries guard their flags with a
// CTernRWLock of their own.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"
#include "base/lock.h"
#include "config/attribute_table.h"
#include "config/schedule_event.h"

// Type letters: the first character of an object's key.
inline constexpr char kTypeSystem = 'S';
inline constexpr char kTypeUser = 'U';
inline constexpr char kTypeClient = 'C';
inline constexpr char kTypeCast = 'G';
inline constexpr char kTypeList = 'L';
inline constexpr char kTypeDictionary = 'D';

// The attribute that names a user's or client's cast.
inline constexpr char kAttrCast[] = "Cast";

// What became of an event that was to be added.
enum class EventAddResult {
  kStored,    // stored at the front of the object's events
  kExpired,   // a specific event that can no longer hold: accepted, not stored
  kInvalid,   // schedule fields missing, not numbers or out of range
  kConflict,  // it would hold at the same time as an existing event
};
inline bool EventAccepted(EventAddResult r) {
  return r == EventAddResult::kStored || r == EventAddResult::kExpired;
}

class ConfigObject {
 public:
  ConfigObject(char type, std::string name);
  virtual ~ConfigObject();
  ConfigObject(const ConfigObject&) = delete;
  ConfigObject& operator=(const ConfigObject&) = delete;

  // Fills the object from the text after the comma of its definition line: an
  // attribute list. 0 on success, 1 when the text is malformed.
  virtual int ParseDefinition(std::string_view text);
  // Writes the definition body and the line end (CR LF): the base attributes that
  // are the installation's own (not vendor defaults). 0, or 1 when a write came
  // short.
  virtual int WriteDefinition(CTernFile& file);
  // Whether the object is left out of every save. False for the plain types.
  virtual bool IsNeverWritten() const { return false; }

  char Type() const { return m_Type; }
  const std::string& Name() const { return m_Name; }
  // The type letter followed by the name.
  std::string Key() const { return std::string(1, m_Type) + m_Name; }
  // "System", "User", "Client", "Cast", "List", "Dictionary"; empty for another letter.
  static const char* Label(char type);

  // Base attributes.
  bool GetAttribute(std::string_view name, std::string& value) const;
  // Inserts or replaces; the value becomes the installation's own.
  void SetAttribute(std::string_view name, std::string_view value);
  bool RemoveAttribute(std::string_view name);
  // A product default from the vendor file: set only when the object has no value
  // of that name yet, and never written back.
  void AddVendorDefault(std::string_view name, std::string_view value);
  // A copy of the base attributes.
  AttributeTable BaseAttributes() const;

  // Events, in list order (newest first).
  size_t EventCount() const;
  std::vector<std::string> EventKeys() const;
  // A copy of the settings of the first event with this key; false when none.
  bool GetEvent(const std::string& key, AttributeTable& settings) const;
  // Calls fn for every event in list order, under the object's locks.
  void ForEachEvent(const std::function<void(const ScheduleEvent&)>& fn) const;
  // Adds an event (the rules are those of EventSchedule: validity, expiry at now,
  // conflicts with the events already held).
  EventAddResult AddEvent(const AttributeTable& settings, bool fromVendorFile, time_t now);
  // Removes the first event with this key; false when none has it.
  bool DeleteEvent(const std::string& key);
  // Removes the event oldKey (when not empty and held) and adds the new one in one
  // step: when the new one is refused the old one keeps its place.
  EventAddResult ReplaceEvent(const std::string& oldKey, const AttributeTable& settings, time_t now);
  // Whether an event with this schedule would conflict with a held event other than
  // the one whose key is exceptKey.
  bool ConflictsWithEvents(const EventSchedule& schedule, const std::string& exceptKey) const;

  // The value in force at now: from the heaviest event that holds (the first of
  // each kind in list order, except the last for specific events), else from the
  // base table. local is now as local time.
  bool GetValue(std::string_view name, std::string& value, time_t now, const struct tm& local) const;
  // Copies the base table and then the table of the event in force into table,
  // replacing same-named entries. Here the last holding event of each kind counts;
  // with defaultOnly only Default Events are considered.
  void MergeInForce(bool defaultOnly, time_t now, const struct tm& local, AttributeTable& table) const;

 protected:
  // Writes the installation's own base attributes as an attribute list, then CR LF.
  int WriteAttributeLine(CTernFile& file);
  // The object's lock over its attribute tables (for the subclasses' parsing).
  CTernLock& AttributeLock() const { return m_AttrLock; }
  // REQUIRES: AttributeLock() held.
  AttributeTable& BaseLocked() { return m_Base; }

 private:
  // REQUIRES: m_EventLock held. The event in force: see GetValue and MergeInForce.
  const ScheduleEvent* EventInForceLocked(bool merged, bool defaultOnly, time_t now,
                                          const struct tm& local) const;
  // REQUIRES: m_EventLock held.
  bool ConflictsLocked(const EventSchedule& schedule, const std::string& exceptKey) const;

  const char m_Type;
  const std::string m_Name;

  mutable CTernLock m_EventLock;  // guards m_Events
  std::list<ScheduleEvent> m_Events;

  mutable CTernLock m_AttrLock;  // guards m_Base, m_VendorDefaults and every event's table
  AttributeTable m_Base;
  std::set<std::string> m_VendorDefaults;  // base names whose value is a vendor default
};

class SystemObject : public ConfigObject {
 public:
  SystemObject() : ConfigObject(kTypeSystem, "") {}
  explicit SystemObject(std::string name) : ConfigObject(kTypeSystem, std::move(name)) {}
};

class UserObject : public ConfigObject {
 public:
  explicit UserObject(std::string name) : ConfigObject(kTypeUser, std::move(name)) {}
};

class ClientObject : public ConfigObject {
 public:
  explicit ClientObject(std::string name) : ConfigObject(kTypeClient, std::move(name)) {}
};

class CastObject : public ConfigObject {
 public:
  explicit CastObject(std::string name) : ConfigObject(kTypeCast, std::move(name)) {}
};

// Lists and dictionaries: the definition body is the scope flag, ',', the second
// flag, and optionally ',' and an attribute list. Scope 'U' marks an object that
// lives only in a file the system never rewrites (the vendor file).
class FlaggedObject : public ConfigObject {
 public:
  FlaggedObject(char type, std::string name) : ConfigObject(type, std::move(name)) {}

  int ParseDefinition(std::string_view text) override;
  int WriteDefinition(CTernFile& file) override;
  bool IsNeverWritten() const override;

  char ScopeFlag() const;
  char SecondFlag() const;

 private:
  mutable CTernRWLock m_FlagLock;  // guards the two flags
  char m_Scope = 'L';
  char m_Second = 'N';
};

class ListObject : public FlaggedObject {
 public:
  explicit ListObject(std::string name) : FlaggedObject(kTypeList, std::move(name)) {}
};

class DictionaryObject : public FlaggedObject {
 public:
  explicit DictionaryObject(std::string name) : FlaggedObject(kTypeDictionary, std::move(name)) {}
};

// A new empty object of the class of a type letter (S, U, C, G, L, D); null for any
// other letter. Throws std::bad_alloc when memory runs out.
ConfigObject* MakeConfigObject(char type, std::string name);
