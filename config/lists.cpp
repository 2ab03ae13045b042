// ListStore: the lists file in memory, its look-ups and its changes.
#include "config/lists.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "base/format.h"
#include "base/message_codes.h"
#include "config/attribute_table.h"
#include "config/configuration.h"
#include "config/list_dict_file.h"
#include "log/eventlog.h"
#include "net/mail_address.h"
#include "platform/clock.h"

namespace {

const char kListFileLock[] = "TNLISTFILELOCK";
constexpr char kSeparator = '\x1C';
constexpr size_t kBlock = 10000;
constexpr size_t kPrefixLength = 3;
constexpr size_t kMaxListNames = 4095;

std::string_view PrefixOf(std::string_view address) { return address.substr(0, kPrefixLength); }

// Calls fn(name) for each name of a list-names text, stopping when it returns false.
template <class F>
void ForEachName(std::string_view lists, F fn) {
  size_t from = 0;
  while (from < lists.size()) {
    size_t end = lists.find(kSeparator, from);
    if (end == std::string_view::npos) end = lists.size();
    if (end > from && !fn(lists.substr(from, end - from))) return;
    from = end + 1;
  }
}

bool NamesList(std::string_view lists, std::string_view name) {
  bool found = false;
  ForEachName(lists, [&](std::string_view each) {
    found = TernEqualsNoCase(each, name);
    return !found;
  });
  return found;
}

// Removes every mention of name; true when there was one.
bool RemoveName(std::string& lists, std::string_view name) {
  std::string kept;
  bool removed = false;
  ForEachName(lists, [&](std::string_view each) {
    if (TernEqualsNoCase(each, name)) {
      removed = true;
    } else {
      kept.append(each).append(1, kSeparator);
    }
    return true;
  });
  if (removed) lists.swap(kept);
  return removed;
}

// A text that would break a line of the file.
bool Unwritable(std::string_view text) {
  return text.empty() || text.find_first_of("\x1C\r\n") != std::string_view::npos;
}

// The form in which AddToList keeps an address.
std::string Normalised(std::string_view address) {
  std::string out = TernLoweredAscii(address);
  while (!out.empty() && out.back() == '/') out.pop_back();
  size_t scheme = out.find("://");
  if (scheme != std::string::npos) out.erase(0, scheme + 3);
  return out;
}

// The first character of the setting direction + "L" + name, 0 when absent.
char SettingOf(const AttributeTable& settings, char direction, std::string_view name) {
  std::string attribute(1, direction);
  attribute.append(1, 'L').append(name);
  std::string value;
  if (!settings.Get(attribute, value) || value.empty()) return 0;
  return value[0];
}

struct EntryOrder {
  template <class E>
  bool operator()(const E& e, std::string_view address) const {
    return e.m_Address < address;
  }
};

}  // namespace

void ListCoveringKeys(std::string_view route, bool local, std::vector<std::string>& keys) {
  // The user part is what follows the last '!'; the domains before it are tried
  // from the nearest hop outwards, each from the whole domain down to its last
  // label, and '@' alone (any host) last of all. The strings of keys are assigned
  // again rather than made anew, so a caller that keeps the vector allocates little.
  size_t bang = route.rfind('!');
  std::string_view user = bang == std::string_view::npos ? route : route.substr(bang + 1);
  size_t count = 0;
  auto put = [&](std::string_view a, std::string_view b, std::string_view c) {
    if (count == keys.size()) keys.emplace_back();
    keys[count++].assign(a).append(b).append(c);
  };
  auto suffix = [&](std::string_view domain) {
    put(user, "@", domain);
    // A local user's own name comes right after the first, most specific, form.
    if (local && count == 1) put(user, "", "");
    put("@", domain, "");
  };
  for (size_t end = bang; end != std::string_view::npos && end > 0;) {
    size_t start = route.rfind('!', end - 1);
    start = start == std::string_view::npos ? 0 : start + 1;
    std::string_view hop = route.substr(start, end - start);
    // For a.b.c: @a.b.c, @b.c, @c.
    for (size_t from = 0; from != std::string_view::npos;) {
      if (from < hop.size()) suffix(hop.substr(from));
      from = hop.find('.', from);
      if (from != std::string_view::npos) from++;
    }
    end = start == 0 ? std::string_view::npos : start - 1;
  }
  suffix("");
  keys.resize(count);
}

ListStore::ListStore(const std::string& path, bool exchangedLines)
    : m_Path(path), m_Exchanged(exchangedLines), m_Watch({path}) {}

ListStore::~ListStore() { m_Prefixes.Clear(); }

bool ListStore::ErrorState() {
  CTernReadGuard guard(m_Lock);
  return m_Error != 0;
}

size_t ListStore::EntryCount() {
  CTernReadGuard guard(m_Lock);
  return m_Entries.size();
}

void ListStore::ReserveLocked(std::vector<Entry>& entries) {
  if (entries.size() == entries.capacity())
    entries.reserve((entries.size() / kBlock + 1) * kBlock);
}

void ListStore::RebuildIndexLocked() {
  m_Prefixes.Clear();
  std::string_view previous;
  for (size_t i = 0; i < m_Entries.size(); ++i) {
    std::string_view prefix = PrefixOf(m_Entries[i].m_Address);
    if (i > 0 && prefix == previous) continue;
    // A prefix may come back only in an array out of order; its first run counts.
    if (!m_Prefixes.Find(prefix))
      m_Prefixes.Insert(prefix, reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    previous = prefix;
  }
}

int ListStore::Load(int force) {
  time_t now = PlatformNow();
  if (m_Watch.SkipLoad(force, now)) return 0;
  // The file is read under the named lock only, and the array changes under the
  // write lock only once the file has been read whole: a load that fails leaves the
  // array of the last good load answering.
  std::vector<Entry> entries;
  std::vector<TernFileStamp> stamps;
  ConfigFileSeen seen;
  bool ok = TernUnderDataSetLock(kListFileLock, [&] {
    stamps = m_Watch.Stamps();
    entries.reserve(kBlock);
    return ParseFile(entries, false, seen);
  });
  m_Watch.Tried(now, ok, stamps);
  if (!ok) return 1;
  CTernWriteGuard guard(m_Lock);
  m_Entries.swap(entries);
  for (const ListChange& change : m_Pending) ApplyLocked(change);
  RebuildIndexLocked();
  m_Seen = seen;
  m_Error = 0;
  return 0;
}

bool ListStore::ParseFile(std::vector<Entry>& entries, bool keepBad, ConfigFileSeen& seen) {
  seen = ConfigFileSeen{};
  if (!FileExists(m_Path, false)) return false;
  seen.exists = true;
  CTernDiskFile file(m_Path, TernFileMode::ReadOnly);
  if (!file.Open()) return false;
  CTernListDictReader reader(file, m_Path, m_Exchanged);
  if (!reader.ReadHeader()) return false;
  std::string line, previousPrefix, longestPrefix;
  int32_t run = 0, longest = 0;
  bool inOrder = true;
  for (;;) {
    int got = reader.Next(line);
    if (got == 0) break;
    if (got < 0) return false;
    size_t separator = line.find(kSeparator);
    std::string prefix(PrefixOf(std::string_view(line).substr(0, separator)));
    if (entries.empty() || prefix > previousPrefix) {
      if (run > longest) {
        longest = run;
        longestPrefix = previousPrefix;
      }
      previousPrefix = prefix;
      run = 1;
    } else if (prefix == previousPrefix) {
      run++;
    } else {
      TernReportEventF(TernEventType::Warning, kMsgListNotSorted, m_Path, prefix);
    }
    ReserveLocked(entries);
    Entry entry;
    if (separator == std::string::npos) {
      TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, m_Path, reader.LineNumber());
      if (!keepBad) return false;
      // Kept as it stands, so that a save loses nothing it cannot read.
      entry = Entry{line, "", true};
    } else {
      entry = Entry{line.substr(0, separator), line.substr(separator + 1)};
    }
    if (!entries.empty() && !(entries.back().m_Address < entry.m_Address)) inOrder = false;
    entries.push_back(std::move(entry));
  }
  if (run > longest) {
    longest = run;
    longestPrefix = previousPrefix;
  }
  if (!inOrder) SortAndMerge(entries);
  seen.digest = reader.Digest();
  TernDebugTrace(7, TernFormat("Read %d lines from configuration file %s.  Maxbetween is %d %s",
                               {reader.LineNumber() - 1, m_Path, longest, longestPrefix})
                        .c_str());
  return true;
}

void ListStore::SortAndMerge(std::vector<Entry>& entries) {
  // Look-ups need the array in order: lines out of place (reported when their
  // prefix was) are sorted in, and two lines of one address become one.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.m_Address < b.m_Address; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (kept > 0 && entries[kept - 1].m_Address == entries[i].m_Address) {
      std::string& lists = entries[kept - 1].m_Lists;
      if (!lists.empty() && lists.back() != kSeparator) lists += kSeparator;
      ForEachName(entries[i].m_Lists, [&](std::string_view name) {
        if (!NamesList(lists, name)) lists.append(name).append(1, kSeparator);
        return true;
      });
    } else {
      if (kept != i) entries[kept] = std::move(entries[i]);
      kept++;
    }
  }
  entries.resize(kept);
}

void ListStore::CheckReload() {
  if (m_Watch.ReloadDue()) Load(0);
}

int32_t ListStore::FindEntryLocked(std::string_view address) {
  void* start = nullptr;
  if (!m_Prefixes.Find(PrefixOf(address), &start)) return -1;
  // The array is in order from the run's start on, so the address is found by
  // halving rather than by walking the run, which may be long: every address of a
  // common user name or every domain pattern shares its first three bytes.
  auto from = m_Entries.begin() + reinterpret_cast<intptr_t>(start);
  auto at = std::lower_bound(from, m_Entries.end(), address,
                             [](const Entry& e, std::string_view a) { return e.m_Address < a; });
  if (at == m_Entries.end() || at->m_Address != address) return -1;
  return static_cast<int32_t>(at - m_Entries.begin());
}

int32_t ListStore::FindEntry(std::string_view address) {
  CTernReadGuard guard(m_Lock);
  return FindEntryLocked(address);
}

int ListStore::CheckList(std::string_view address, const AttributeTable& settings, char direction) {
  if (address.empty()) return kListNothing;
  // Parsing may wait for the resolver and asks the configuration: done before the
  // store is locked, as is everything but the look-ups.
  CTernMailAddress plain, keeping;
  if (plain.Parse(address) != 0 || keeping.ParseKeepingLocalDomains(address) != 0)
    return kListNothing;
  std::string routing = TernLoweredAscii(plain.Form(kMailFormRouting));
  std::string route = TernLoweredAscii(keeping.Form(kMailFormRouting));
  bool local = routing.find('!') == std::string::npos;

  bool allow = false, allowScored = false, deny = false, covered = false;
  auto note = [&](char setting) {
    if (setting == 'D') deny = true;
    if (setting == 'a') allowScored = true;
    if (setting == 'A') allow = true;
  };
  Configuration* configuration = Configuration::Process();
  if (!routing.empty() && configuration && configuration->ObjectExists('L', routing) == 1) {
    covered = true;
    note(SettingOf(settings, direction, routing));
  }

  CheckReload();
  thread_local std::vector<std::string> keys;
  keys.clear();
  if (!deny) ListCoveringKeys(route, local, keys);
  std::string lists;
  bool found = false;
  {
    CTernReadGuard guard(m_Lock);
    if (m_Error) return kListNothing;
    for (const std::string& key : keys) {
      int32_t index = FindEntryLocked(key);
      if (index < 0) continue;
      found = true;
      lists =
          std::string_view(m_Entries[static_cast<size_t>(index)].m_Lists).substr(0, kMaxListNames);
      break;
    }
  }
  if (found) {
    covered = true;
    ForEachName(lists, [&](std::string_view name) {
      note(SettingOf(settings, direction, name));
      return !deny;
    });
  }
  if (deny) return kListDeny;
  if (allowScored) return kListAllowScored;
  if (allow) return kListAllow;
  return covered ? kListCovered : kListNothing;
}

void ListStore::GetMembers(std::string_view list, CTernList<CTernString>& members) {
  if (!members.HasCompare()) TernListNoCompare();
  if (list.empty()) return;
  CheckReload();
  CTernReadGuard guard(m_Lock);
  for (const Entry& entry : m_Entries)
    if (NamesList(entry.m_Lists, list)) members.AddInOrder(CTernString(entry.m_Address));
}

std::string ListStore::ListsOf(std::string_view address) {
  CTernReadGuard guard(m_Lock);
  int32_t index = FindEntryLocked(address);
  return index >= 0 ? m_Entries[static_cast<size_t>(index)].m_Lists : "";
}

bool ListStore::ApplyLocked(const ListChange& change) {
  auto find = [this](std::string_view address) -> Entry* {
    auto at = std::lower_bound(m_Entries.begin(), m_Entries.end(), address, EntryOrder());
    return at != m_Entries.end() && at->m_Address == address ? &*at : nullptr;
  };
  switch (change.kind) {
    case ListChange::Add: {
      if (Entry* entry = find(change.address)) {
        std::string& lists = entry->m_Lists;
        if (!NamesList(lists, change.list)) {
          if (!lists.empty() && lists.back() != kSeparator) lists += kSeparator;
          lists.append(change.list).append(1, kSeparator);
        }
        entry->m_Raw = false;
        return true;
      }
      auto at = std::lower_bound(m_Entries.begin(), m_Entries.end(), change.address, EntryOrder());
      size_t position = static_cast<size_t>(at - m_Entries.begin());
      ReserveLocked(m_Entries);
      m_Entries.insert(m_Entries.begin() + static_cast<ptrdiff_t>(position),
                       Entry{change.address, change.list + kSeparator});
      return true;
    }
    case ListChange::Remove: {
      Entry* entry = find(change.address);
      if (!entry) entry = find(Normalised(change.address));
      return entry && ::RemoveName(entry->m_Lists, change.list);
    }
    case ListChange::RemoveList:
      for (Entry& entry : m_Entries) ::RemoveName(entry.m_Lists, change.list);
      return true;
    case ListChange::RemoveName: {
      Entry* entry = find(change.address);
      if (!entry) entry = find(TernLoweredAscii(change.address));
      if (!entry) return false;
      entry->m_Lists.clear();
      entry->m_Raw = false;
      return true;
    }
  }
  return false;
}

bool ListStore::Change(ListChange change) {
  CTernWriteGuard guard(m_Lock);
  size_t before = m_Entries.size();
  bool applied = ApplyLocked(change);
  // Kept until saved, also when it changed nothing here: the file may be another
  // writer's by then.
  m_Pending.push_back(std::move(change));
  if (m_Entries.size() != before) RebuildIndexLocked();
  return applied;
}

int ListStore::AddToList(std::string_view address, std::string_view list) {
  std::string key = Normalised(address);
  if (Unwritable(key) || Unwritable(list)) return 1;
  Change({ListChange::Add, key, std::string(list)});
  return 0;
}

int ListStore::RemoveFromList(std::string_view address, std::string_view list) {
  return Change({ListChange::Remove, std::string(address), std::string(list)}) ? 0 : 1;
}

void ListStore::RemoveList(std::string_view list) {
  Change({ListChange::RemoveList, "", std::string(list)});
}

int ListStore::RemoveName(std::string_view name) {
  return Change({ListChange::RemoveName, std::string(name), ""}) ? Save() : 0;
}

int ListStore::Save() {
  if (ErrorState()) {
    TernReportEvent(TernEventType::Error, kMsgWriteCorruptConfig);
    return 1;
  }
  bool ok = TernUnderDataSetLock(kListFileLock, [this] {
    // Another writer may have replaced the file since this store read or wrote it:
    // it is read again (lines that do not parse are kept as they stand) and this
    // store's changes go on top.
    std::vector<Entry> current;
    ConfigFileSeen now = ConfigSeenNow(m_Path), seen;
    bool reread = now != m_Seen;
    if (reread && now.exists && !ParseFile(current, true, seen)) return false;
    CTernWriteGuard guard(m_Lock);
    if (reread) {
      m_Entries.swap(current);
      for (const ListChange& change : m_Pending) ApplyLocked(change);
      RebuildIndexLocked();
    }
    auto lines = [this](const TernLineEmitter& emit) {
      std::string line;
      for (const Entry& entry : m_Entries) {
        if (entry.m_Raw) {
          line.assign(entry.m_Address).append("\r\n");
        } else if (entry.m_Lists.empty()) {
          continue;
        } else {
          line.assign(entry.m_Address).append(1, kSeparator).append(entry.m_Lists).append("\r\n");
        }
        if (m_Exchanged) TernSwapHalves(line);
        if (!emit(line)) return false;
      }
      return true;
    };
    uint64_t digest = 0;
    if (!TernWriteListDictFile(m_Path, lines, &digest)) return false;
    // The lines that name no list are gone from the file; they go from memory too.
    std::erase_if(m_Entries, [](const Entry& e) { return e.m_Lists.empty() && !e.m_Raw; });
    RebuildIndexLocked();
    m_Pending.clear();
    m_Seen = {true, digest};
    return true;
  });
  return ok ? 0 : 1;
}
