// The lists: the members of every filter, mailing and owner list, held in one file
// (the lists file) that is organised by address. Each line names an address and
// every list that holds it:
//
//   header   "# 2 <time of writing>" CR LF
//   line     address, 0x1C, list names each followed by 0x1C, CR LF
//
// Lines come in ascending byte order of the address. An address is a local user or
// list name (bob), a full address (carol@remote.example), or a pattern: user@ (that
// user at any host), @domain (every address at the domain and below it), @ alone
// (every address).
//
// In memory the lines form one array sorted by address, with a prefix index from
// the first three bytes of an address to the first entry that begins with them,
// so the filter's question - which lists hold this address - costs one hash probe
// and the scan of one run of entries. Listing the members of one list scans all.
//
// Changes are applied at once and kept as pending changes until saved: a reload
// puts them on top of what it read, and Save puts them on top of the file as it is
// on disk then, so two stores (or processes) saving the same file keep each
// other's changes. A load that fails leaves the array of the last good load
// answering; only a store that never loaded is in its error state.
//
// One readers/writer lock guards the array, the index and the pending changes:
// filter threads look up together, loads and changes write. The named lock
// TNLISTFILELOCK keeps reading and writing the file exclusive across threads and
// processes; it is taken before the readers/writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "base/hash.h"
#include "base/list.h"
#include "base/lock.h"
#include "base/string.h"
#include "config/list_dict_file.h"

class AttributeTable;

// The keys of the lists file that may cover an address, most specific first, for
// its routing form keeping local domains (lower case: domains, '!', user) and
// whether the address is local: for each domain suffix S (the nearest hop first,
// each domain down to its last label, written '@' + suffix, then '@' alone) the
// user followed by S, then S alone; a local user's own name comes right after
// the first, most specific, key. keys receives them (its strings are reused).
void ListCoveringKeys(std::string_view route, bool local, std::vector<std::string>& keys);

// The answers of CheckList.
inline constexpr int kListNothing = 0;    // no list applies
inline constexpr int kListCovered = 1;    // a list object or a covering line, no setting
inline constexpr int kListAllow = 2;      // an 'A' setting: allowed, content not scored
inline constexpr int kListAllowScored = 3;  // an 'a' setting: allowed, content scored
inline constexpr int kListDeny = 4;       // a 'D' setting

class ListStore {
 public:
  // exchangedLines: the file stores every line after the header with each byte's
  // two 4-bit halves exchanged (lines then end with 0xA0). The system's own store
  // is plain text. The store is in its error state until a load succeeds.
  explicit ListStore(const std::string& path, bool exchangedLines = false);
  ~ListStore();
  ListStore(const ListStore&) = delete;
  ListStore& operator=(const ListStore&) = delete;

  // Reads the file, with the pending changes on top. With force 0, a load no more
  // than a second after the previous one does nothing. A missing or unreadable file
  // fails silently; a malformed header (24 at line 0), another version (25), a line
  // without 0x1C (24 with its line number) or a failed allocation (22) fails the
  // load: the array of the last good load stays (the error state when there was
  // none). A line that sorts before the one above it is reported (warning 33) and
  // still loaded; the array is put in order after the load. 0 success, 1 failure.
  int Load(int force);
  // At most every 10 seconds: reloads (force 0) when the file was modified in or
  // after the second of the last load tried.
  void CheckReload();

  // The index of the entry of a plain address, or -1.
  int32_t FindEntry(std::string_view address);

  // The filter's question for an address under the settings in force (direction
  // 'S' send or 'R' receive): kListDeny when a list holding the address, or the
  // list the address names, has a setting direction + "L" + name beginning with
  // 'D'; else kListAllowScored for 'a', kListAllow for 'A'; else kListCovered when
  // the address names a list object or a line covers it; else kListNothing (also
  // in the error state, and for an empty or unparsable address). The line that
  // covers an address is the most specific: user@domain, then (local addresses) the
  // user name, then @domain, for the domain and each shorter domain suffix, then
  // user@ and @.
  int CheckList(std::string_view address, const AttributeTable& settings, char direction);

  // Adds to members, in order, every address whose line names the list (without
  // regard to case). members must have a comparison function (else CTernException
  // 56). An empty name adds nothing.
  void GetMembers(std::string_view list, CTernList<CTernString>& members);
  // The list names of an address's line ("" when it has none).
  std::string ListsOf(std::string_view address);

  // Adds the list to the address's line, making the line in its sorted place when
  // there is none. The address is lower-cased, trailing '/' removed and only the
  // part after "://" kept. 1 when the address or name is empty or holds 0x1C, CR or
  // LF; 0 otherwise (also when the line names the list already).
  int AddToList(std::string_view address, std::string_view list);
  // Removes the list (without regard to case) from the address's line; the line
  // stays, perhaps with no list, until the next save. 0 removed, 1 not there.
  int RemoveFromList(std::string_view address, std::string_view list);
  // Removes the list from every line (a list object was deleted).
  void RemoveList(std::string_view list);
  // Empties the line of a user or list name (the object was deleted) and saves.
  // 0 on success or when there was no line; else the save's result.
  int RemoveName(std::string_view name);
  // Writes every line that names a list by the replacement rule, dropping the
  // others, under TNLISTFILELOCK: when another writer replaced the file since this
  // store read or wrote it, it is read again (lines that do not parse are kept as
  // they are) and the pending changes go on top. Refused with message 28 in the
  // error state. 0 success, 1 failure.
  int Save();

  bool ErrorState();
  size_t EntryCount();

 private:
  struct Entry {
    std::string m_Address;
    std::string m_Lists;  // names, each followed by 0x1C
    bool m_Raw = false;   // a line without 0x1C met by a save, written back as it is
  };
  // A change not saved yet.
  struct ListChange {
    enum Kind { Add, Remove, RemoveList, RemoveName } kind;
    std::string address;
    std::string list;
  };

  int32_t FindEntryLocked(std::string_view address);
  // Makes room for one more entry, growing the array by a block of 10000.
  void ReserveLocked(std::vector<Entry>& entries);
  void RebuildIndexLocked();
  // Reads the file's lines into entries, sorted. A line without 0x1C is reported; it
  // fails the reading unless keepBad keeps it as a raw entry. REQUIRES: the named
  // lock.
  bool ParseFile(std::vector<Entry>& entries, bool keepBad, ConfigFileSeen& seen);
  static void SortAndMerge(std::vector<Entry>& entries);
  // Applies a change to the array (the index is not rebuilt); true when it changed
  // something. REQUIRES: write lock.
  bool ApplyLocked(const ListChange& change);
  // Applies a change and keeps it as pending.
  bool Change(ListChange change);

  std::string m_Path;
  const bool m_Exchanged;
  CTernListDictWatch m_Watch;
  // Guards everything below.
  CTernRWLock m_Lock;
  int32_t m_Error = 1;
  std::vector<ListChange> m_Pending;  // changes since the last save, in order
  ConfigFileSeen m_Seen;              // the file as last read or written
  std::vector<Entry> m_Entries;  // sorted by address in byte order
  CTernHash m_Prefixes;          // first three bytes -> index of the first entry
};
