// The configuration: every named object an administrator configures (the system,
// users, clients, casts, lists, dictionaries), one store per process, kept in three
// files of one line format:
//
//   shared  definitions of the system, users, clients and casts; may be shared by
//           several installations
//   local   definitions of lists and dictionaries, and every scheduled event
//   vendor  the product's own file, read last and never written: defaults for the
//           system object's attributes, and lists and dictionaries of scope 'U'
//
// Results follow the configuration's convention: 0 for success or "found", 1 for
// failure or "not found", unless a function says otherwise. Failures of the files
// are reported to the event log by message code (3, 22 to 28).
//
// Thread safety: every function may be called from any thread. Objects live in a
// table guarded by a CTernRWLock (read operations share it, changes, loads and saves
// hold it alone); each object guards its own attributes and events. Callers keep
// names, never pointers: a load rebuilds every object. Across processes the files
// are guarded by the named lock "TNCONFIGFILELOCK", always taken after the table
// lock.
//
// Changes are never lost between processes that share the files: a change that is
// saved is made under the named lock on the latest contents of the files (read again
// first when another process has replaced them), and changes not yet saved are made
// again on the new contents after every load.
//
// Every read operation first runs RefreshIfChanged, so a change written by another
// process is seen within about 10 seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/hash.h"
#include "base/list.h"
#include "base/lock.h"
#include "base/string.h"
#include "config/attribute_table.h"
#include "config/config_object.h"

// The named lock over the configuration files.
inline constexpr char kConfigFileLock[] = "TNCONFIGFILELOCK";
// Buckets the object table is created with.
inline constexpr int kConfigTableSize = 4096;
// Seconds between two looks at the files' times.
inline constexpr long kConfigCheckInterval = 10;

class Configuration {
 public:
  // No file is read until Load.
  Configuration(std::string sharedPath, std::string localPath, std::string vendorPath);
  // Destroys every object.
  ~Configuration();
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  // The process-wide configuration, made and loaded by the start-up sequence and
  // deleted by the stop sequence; null before and after. Later subsystems reach the
  // store through it.
  static Configuration* Process();
  static void SetProcess(Configuration* configuration);

  // ---- The files (reading, change check, writing) ----

  // Reads the three files, shared, local and vendor, into a fresh table. Without
  // force, a load within a second of the previous load or save does nothing. A
  // failed load reports what failed (with the file and line), keeps what was read
  // so far and sets the corrupt mark, which refuses every save until a load
  // succeeds. Changes not saved yet are made again on the new table.
  int Load(bool force);
  // At most every 10 seconds: when a file differs (time or size) from what was
  // last read or written, Load(false). 0 when nothing changed, else Load's result.
  int RefreshIfChanged();
  // Writes the shared and local files (through "_new" files; the previous contents
  // stay as "_old"). When another process has replaced the files since they were
  // last read, they are read again first and the changes not saved yet are made on
  // them. Refused (message 28) while the corrupt mark is set.
  int Save();
  // The time of the last completed load or save (after RefreshIfChanged).
  time_t LastLoadTime();
  // A number that grows with every load, save and change of the table: a cache of
  // derived data is stale when it differs from the number the cache was filled at.
  // (LastLoadTime has a resolution of one second; this has none.)
  uint64_t Generation();
  // Whether the last load failed (saves are refused until one succeeds).
  bool Corrupt();

  const std::string& SharedPath() const { return m_Paths[0]; }
  const std::string& LocalPath() const { return m_Paths[1]; }
  const std::string& VendorPath() const { return m_Paths[2]; }

  // ---- Objects ----

  // A valid name: 1 to 127 characters, a letter or digit first, then only letters,
  // digits, '_', ' ', '.' and '-'.
  static bool ValidName(std::string_view name);

  // 1 if the object exists, 0 if not (note: not the usual convention).
  int ObjectExists(char type, std::string_view name);
  // Sets out to the name, in the letter case it was created with, of the object
  // whose key equals type + name ignoring case. 0 when found; out unchanged if not.
  int CanonicalName(char type, std::string_view name, std::string& out);
  // Appends the names of all objects of a type to list: in order of the list's
  // comparison function when sorted (the list must have one; CTernException 56
  // otherwise), else in table order.
  void ListNames(char type, CTernList<CTernString>& list, bool sorted);
  // Creates an empty object (type C, D, G, L or U; a list or dictionary gets scope
  // 'L' and second flag 'N') and saves. 1 for an invalid name, another type, an
  // existing key (ignoring case) or a failed save.
  int CreateObject(char type, std::string_view name);
  // Deletes an object and saves; deleting a cast first removes the Cast attribute
  // naming it (ignoring case) from every object. 0 when the object did not exist
  // (nothing is written); 1 for an invalid name, the system object or a failed save.
  int DeleteObject(char type, std::string_view name);
  // Whether the object is left out of every save; false when it does not exist.
  bool IsNeverWritten(char type, std::string_view name);

  // ---- Base attributes ----

  // Attribute names and values must fit the file format (WritableAttribute in
  // config/attribute_list.h); others are refused with 1.
  // Inserts or replaces; with save, saves and returns the save's result. 1 when the
  // object does not exist.
  int SetAttribute(char type, std::string_view name, std::string_view attribute,
                   std::string_view value, bool save);
  // Removes the attribute if present (0 either way when the object exists).
  int RemoveAttribute(char type, std::string_view name, std::string_view attribute, bool save);
  // The base value, never one from an event (a user's or client's Cast is read
  // this way). 0 and out set when present.
  int GetBaseAttribute(char type, std::string_view name, std::string_view attribute,
                       std::string& out);
  // A copy of the base attributes; 1 when the object does not exist.
  int GetBaseAttributes(char type, std::string_view name, AttributeTable& table);

  // ---- Values in force ----

  // The value the object gives the attribute now: from the event in force, else
  // from the base table. 0 and out set when found; 1 when the object does not exist
  // or has no value.
  int GetValue(char type, std::string_view name, std::string_view attribute, std::string& out);
  // The same into buffer (size bytes, with the terminating zero): 1 and the buffer
  // unchanged when the value is size bytes long or longer.
  int GetValue(char type, std::string_view name, std::string_view attribute, char* buffer,
               size_t size);
  // Copies into table the object's base attributes and then the settings of its
  // event in force, each replacing same-named entries (the event's schedule fields
  // included). With defaultOnly only the Default Event counts. Should two events of
  // one kind hold (files edited by hand), the last in list order counts. 1 when the
  // object does not exist (table unchanged).
  int MergeSettingsInForce(char type, std::string_view name, bool defaultOnly, AttributeTable& table);

  // ---- Events ----

  // Appends the key of every event, in list order.
  int EventKeys(char type, std::string_view name, CTernList<CTernString>& list);
  // Replaces table with a copy of the event's settings (schedule fields included).
  int GetEventSettings(char type, std::string_view name, const std::string& key, AttributeTable& table);
  int GetEventValue(char type, std::string_view name, const std::string& key,
                    std::string_view attribute, std::string& out);
  // Removes the first event with the key, then saves.
  int DeleteEvent(char type, std::string_view name, const std::string& key);
  // Replaces the event oldKey (none when empty) by an event given as an attribute
  // list ("When=D,Date=0,..."), then saves. The new event must be valid and
  // conflict with no other event; a refused one leaves the old event in place. A
  // specific event that can no longer hold is accepted without being stored (the
  // old one is still removed). An old key that no event has is passed over.
  // outcome, when given, says which of these happened (kInvalid also for an unknown
  // object, or text that cannot be read or written).
  int ReplaceEvent(char type, std::string_view name, const std::string& oldKey,
                   std::string_view eventText, EventAddResult* outcome = nullptr);
  // The same with the new event given as a table.
  int ReplaceEventTable(char type, std::string_view name, const std::string& oldKey,
                        const AttributeTable& table, EventAddResult* outcome = nullptr);
  // 1 when an event with these schedule fields would conflict with an existing
  // event of the object other than the one whose key is exceptKey; else 0 (also
  // when the object does not exist).
  int CheckEventConflict(char type, std::string_view name, const std::string& exceptKey,
                         long date, long repeat, long start, long end, std::string_view when);

 private:
  // A change of the table, kept until it is saved so that it can be made again on
  // the files' new contents. Returns 0 when it applied.
  using Change = std::function<int(Configuration&)>;

  // What the change check and the save compare a file against.
  struct FileStamp {
    bool present = false;
    time_t modified = 0;
    int64_t size = -1;
    time_t seenAt = 0;       // when modified and size were taken
    uint64_t digest = 0;     // of the contents last read or written
    bool digestKnown = false;
  };

  // Read access after the change check: the table's read lock for a scope.
  class ReadScope;
  // The object with this key, or null. REQUIRES: table lock held.
  ConfigObject* FindLocked(char type, std::string_view name);
  static std::string KeyOf(char type, std::string_view name);

  // Makes a change under the table's write lock. With save, the change is made on
  // the latest files under the named lock and written at once; the result is then
  // the save's (or 1 when the change no longer applies there).
  int Commit(Change change, bool save);
  // REQUIRES: write lock. Applies change; when it applies, keeps it as unsaved.
  int ApplyLocked(const Change& change);
  // REQUIRES: write lock. Makes the unsaved changes again, in order.
  void ReplayLocked();

  // REQUIRES: write lock and the named lock. Reads the three files into a fresh
  // table; 0 on success, else the corrupt mark is set.
  int LoadFilesLocked();
  // REQUIRES: as above. One file (index 0 shared, 1 local, 2 vendor).
  int LoadFileLocked(int index);
  int LoadLineLocked(int index, const std::string& line, int lineNumber);
  // REQUIRES: write lock and the named lock. Reads the files again when another
  // process has replaced them since they were last read or written.
  int SyncWithFilesLocked();
  // REQUIRES: write lock and the named lock. Writes both files.
  int WriteFilesLocked();
  // Writes the files, or refuses with 28 when the configuration did not load
  // whole; either way the unsaved changes are dropped. REQUIRES: table write lock
  // and the files' named lock held.
  int WriteOrRefuseLocked();
  void DestroyObjectsLocked();
  // Time and size of a file now (present false when it does not exist).
  FileStamp StampOf(const std::string& path);

  // Changes (each applied under the write lock).
  int CreateLocked(char type, const std::string& name);
  int DeleteLocked(char type, const std::string& name);
  int SetAttributeLocked(char type, const std::string& name, const std::string& attribute,
                         const std::string& value);
  int RemoveAttributeLocked(char type, const std::string& name, const std::string& attribute);
  int DeleteEventLocked(char type, const std::string& name, const std::string& key);
  EventAddResult ReplaceEventLocked(char type, const std::string& name, const std::string& oldKey,
                                    const AttributeTable& table);

  const std::string m_Paths[3];

  CTernRWLock m_TableLock;  // guards every member below
  CTernHash m_Objects{kConfigTableSize, true};  // key -> ConfigObject*
  std::vector<Change> m_Unsaved;
  FileStamp m_Stamps[3];
  time_t m_LastLoad = 0;
  time_t m_LastCheck = 0;
  bool m_Corrupt = false;
  std::atomic<uint64_t> m_Generation{0};

  static std::atomic<Configuration*> s_Process;
};
