// CTernMailboxManager: the user's list of mailboxes, opening and releasing them,
// and the changes of the list; CTernOpenMailbox, the hold on one open mailbox.
#include "store/mailbox_manager.h"

#include <utility>

#include "base/ascii.h"
#include "base/directory.h"
#include "base/disk_file.h"
#include "base/exception.h"
#include "base/message_codes.h"
#include "message/clock.h"
#include "platform/replace.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"

namespace {

constexpr uint32_t kListFileMode = TernFileMode::Create | TernFileMode::Truncate |
                                   TernFileMode::NoLock | TernFileMode::Private;

}  // namespace

CTernMailboxManager::CTernMailboxManager(std::string root, std::string userKey,
                                         TernSenderCheck senderCheck)
    : m_Root(std::move(root)),
      m_User(std::move(userKey)),
      m_Directory(PathJoin(m_Root, m_User)),
      m_ListPath(PathJoin(m_Directory, kTernMailboxListFile)),
      m_SenderCheck(std::move(senderCheck)) {
  CTernWriteGuard guard(m_Lock);
  CTernNamedLockScope list(ListLockName());
  if (!list.Held()) {
    m_Error = true;
    return;
  }
  if (LoadList()) return;
  // A new directory is put on disk with its name, or the mail later written into it
  // could vanish with it in a crash.
  if (!FileStampOf(m_Directory).exists &&
      (!DirMake(m_Directory, kTernMailboxDirMode) || PlatformSyncParentDir(m_Directory) != 0)) {
    m_Error = true;
    return;
  }
  m_Error = !RebuildList();
}

CTernMailboxManager::~CTernMailboxManager() = default;

std::string CTernMailboxManager::ListLockName() const {
  return TernMailboxListLockName(m_Root, m_User);
}

bool CTernMailboxManager::ReadListFile(std::vector<TernMailboxListLine>& lines) const {
  CTernDiskFile file(m_ListPath, TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!FileStampOf(m_ListPath).exists || !file.Open()) return false;
  std::string text;
  bool read = file.Read(text) >= 0;
  file.Close();
  return read && TernParseMailboxList(text, lines);
}

bool CTernMailboxManager::LoadList() {
  std::vector<TernMailboxListLine> lines;
  if (!ReadListFile(lines)) return false;
  m_Records.clear();
  m_Known.clear();
  for (TernMailboxListLine& line : lines) {
    // A name that could reach other files, or a second line for one mailbox, is
    // left out (the list is written again without it).
    if (!TernValidMailboxName(line.name) || FindLocked(line.name)) {
      m_ListDirty = true;
      continue;
    }
    AddRecordLocked(line);
  }
  return true;
}

void CTernMailboxManager::AddRecordLocked(const TernMailboxListLine& line) {
  auto record = std::make_unique<Record>();
  record->name = line.name;
  record->messages = line.messages;
  record->unread = line.unread;
  record->bytes = line.bytes;
  m_Records.push_back(std::move(record));
  m_Known.insert(TernLoweredAscii(line.name));
}

void CTernMailboxManager::MergeListFileLocked() {
  std::vector<TernMailboxListLine> lines;
  if (!ReadListFile(lines)) return;
  for (const TernMailboxListLine& line : lines) {
    // New since this manager last read or wrote the file: another process made it.
    if (!TernValidMailboxName(line.name) || FindLocked(line.name) ||
        m_Known.count(TernLoweredAscii(line.name)) ||
        !FileStampOf(PathJoin(m_Directory, line.name) + kTernTocSuffix).exists)
      continue;
    AddRecordLocked(line);
  }
}

std::vector<std::string> CTernMailboxManager::TocNames() {
  std::vector<std::string> names;
  CTernDirectory directory;
  if (!directory.Read(m_Directory)) return names;
  for (const std::string& entry : directory.Entries()) {
    std::string name = TernMailboxOfFile(entry, true);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

bool CTernMailboxManager::RebuildList() {
  m_Records.clear();
  m_Known.clear();
  for (std::string& name : TocNames())
    if (!FindLocked(name)) AddRecordLocked({std::move(name)});
  return WriteListFileLocked();
}

bool CTernMailboxManager::WriteListLocked(bool durable) {
  // Processes that serve the same user share the file: each adds what the others
  // made before it writes.
  CTernNamedLockScope list(ListLockName());
  if (!list.Held()) return false;
  MergeListFileLocked();
  return WriteListFileLocked(durable);
}

bool CTernMailboxManager::WriteListFileLocked(bool durable) {
  std::vector<TernMailboxListLine> lines;
  for (const auto& r : m_Records) lines.push_back({r->name, r->messages, r->unread, r->bytes});
  std::string text = TernMailboxListText(lines, CTernClock::Now());
  if (!FileStampOf(m_ListPath).exists) {
    // The replacement keeps the previous list as "_old": there must be one.
    CTernDiskFile file(m_ListPath, TernFileMode::Create | TernFileMode::NoLock |
                                       TernFileMode::Private);
    if (!file.Open() || !file.Close()) return false;
  }
  bool ok = FileReplace(m_ListPath, [&text](CTernFile& file) {
    return file.Write(text) == static_cast<int32_t>(text.size());
  }, kListFileMode, "_new", "_old", durable);
  m_ListDirty = !ok;
  m_Known.clear();
  for (const auto& r : m_Records) m_Known.insert(TernLoweredAscii(r->name));
  return ok;
}

CTernMailboxManager::Record* CTernMailboxManager::FindLocked(std::string_view name) {
  for (const auto& record : m_Records)
    if (TernEqualsNoCase(record->name, name)) return record.get();
  return nullptr;
}

CTernOpenMailbox CTernMailboxManager::Open(std::string_view name, int waitSeconds) {
  if (!TernValidMailboxName(name)) return CTernOpenMailbox(TernOpenStatus::NoMailbox);
  CTernWriteGuard guard(m_Lock);
  if (m_Error) return CTernOpenMailbox(TernOpenStatus::Failed);
  Record* record = FindLocked(name);
  if (!record) {
    m_Records.push_back(std::make_unique<Record>());
    record = m_Records.back().get();
    record->name = std::string(name);
    m_ListDirty = true;
  }
  if (record->box && record->box->InError() && record->inUse == 0) record->box.reset();
  if (!record->box)
    record->box = std::make_unique<CTernMailbox>(m_Directory, m_User, record->name, m_SenderCheck);
  ++record->inUse;
  std::string lockName = TernMailboxLockName(m_Root, m_User, record->name);
  guard.Unlock();

  // Each open has a lock handle of its own: one handle waited on by two threads
  // would hold the second up behind the first for good.
  auto lock = std::make_unique<CTernNamedLock>();
  TernOpenStatus status = TernOpenStatus::Opened;
  try {
    lock->SetName(lockName);
    if (lock->TryLock(nullptr, waitSeconds > 0 ? waitSeconds * 1000L : 0) != 0)
      status = TernOpenStatus::Busy;
  } catch (const CTernException&) {
    status = TernOpenStatus::Failed;  // reported by the exception
  }
  if (status != TernOpenStatus::Opened) {
    Abandon(*record);
    return CTernOpenMailbox(status);
  }
  CTernOpenMailbox held(TernOpenStatus::Opened);
  held.m_Manager = this;
  held.m_Record = record;
  held.m_Box = record->box.get();
  held.m_Lock = std::move(lock);
  if (held.m_Box->Load() != 0) {
    held.Close();
    return CTernOpenMailbox(TernOpenStatus::Failed);
  }
  return held;
}

void CTernMailboxManager::Abandon(Record& record) {
  CTernWriteGuard guard(m_Lock);
  --record.inUse;
}

void CTernMailboxManager::Release(Record& record, CTernNamedLock& lock) {
  CTernWriteGuard guard(m_Lock);
  if (record.inUse <= 0)
    throw CTernException(kMsgMailboxCountNegative, m_User + ":" + record.name);
  // Counts alone need not reach the disk at once: they are taken again at every
  // release. A mailbox the list did not know yet must.
  bool structureChanged = m_ListDirty;
  TernMailboxCounts counts;
  if (record.box && record.box->Counts(counts, true) == 0 &&
      (counts.messages != record.messages || counts.unread != record.unread ||
       counts.bytes != record.bytes)) {
    record.messages = counts.messages;
    record.unread = counts.unread;
    record.bytes = counts.bytes;
    m_ListDirty = true;
  }
  try {
    lock.Unlock();
  } catch (const CTernException&) {
    // Reported by the exception (released on another thread than the open).
  }
  --record.inUse;
  // A mailbox that failed is loaded afresh by its next holder.
  if (record.inUse == 0 && record.box && record.box->InError()) record.box.reset();
  if (m_ListDirty) WriteListLocked(structureChanged);
}

int CTernMailboxManager::Add(std::string_view name, int32_t messages, int32_t unread,
                             int64_t bytes) {
  if (!TernValidMailboxName(name)) return 1;
  CTernWriteGuard guard(m_Lock);
  if (m_Error || FindLocked(name)) return 1;
  AddRecordLocked({std::string(name), messages, unread, bytes});
  return WriteListLocked() ? 0 : 1;
}

int CTernMailboxManager::Remove(std::string_view name, bool deleteFiles) {
  CTernWriteGuard guard(m_Lock);
  Record* record = FindLocked(name);
  if (m_Error || !record || record->inUse > 0) return 1;
  std::string removed = record->name;
  std::erase_if(m_Records, [record](const auto& r) { return r.get() == record; });
  bool ok = WriteListLocked();
  if (deleteFiles) ok = CTernMailbox::DeleteFiles(m_Root, m_User, removed) == 0 && ok;
  return ok ? 0 : 1;
}

int CTernMailboxManager::Rename(std::string_view oldName, std::string_view newName) {
  if (!TernValidMailboxName(newName)) return 1;
  CTernWriteGuard guard(m_Lock);
  Record* record = FindLocked(oldName);
  if (m_Error || !record || record->inUse > 0) return 1;
  Record* existing = FindLocked(newName);
  if (existing && existing != record) return 1;
  std::string from = PathJoin(m_Directory, record->name);
  std::string to = PathJoin(m_Directory, std::string(newName));
  // Another process may hold the mailbox: rename nothing under it.
  CTernNamedLock lock;
  try {
    if (lock.TryLock(TernMailboxLockName(m_Root, m_User, record->name).c_str()) != 0) return 1;
  } catch (const CTernException&) {
    return 1;  // reported by the exception
  }
  bool ok = true;
  bool dataThere = FileStampOf(from).exists, tocThere = FileStampOf(from + kTernTocSuffix).exists;
  // A name that differs only in letter case renames onto itself; any other file of
  // the new name belongs to somebody and stays.
  if (!TernEqualsNoCase(from, to) &&
      (FileStampOf(to).exists || FileStampOf(to + kTernTocSuffix).exists))
    ok = false;
  if (ok && dataThere) ok = FileRename(from, to, false);
  if (ok && tocThere && !FileRename(from + kTernTocSuffix, to + kTernTocSuffix, false)) {
    if (dataThere) FileRename(to, from, false);
    ok = false;
  }
  try {
    lock.Unlock();
  } catch (const CTernException&) {
    // Reported by the exception.
  }
  if (!ok) return 1;
  record->box.reset();
  record->name = std::string(newName);
  return WriteListLocked() ? 0 : 1;
}

TernMailboxCounts CTernMailboxManager::Counts(bool loadedOnly) {
  CTernReadGuard guard(m_Lock);
  TernMailboxCounts total;
  for (const auto& r : m_Records) {
    if (loadedOnly && !r->box) continue;
    total.messages += r->messages;
    total.unread += r->unread;
    total.bytes += r->bytes;
  }
  return total;
}

bool CTernMailboxManager::UnloadIdle() {
  CTernWriteGuard guard(m_Lock);
  bool held = false;
  for (const auto& r : m_Records) {
    if (r->inUse > 0)
      held = true;
    else
      r->box.reset();
  }
  return held;
}

bool CTernMailboxManager::InUse() {
  CTernReadGuard guard(m_Lock);
  for (const auto& r : m_Records)
    if (r->inUse > 0) return true;
  return false;
}

std::vector<std::string> CTernMailboxManager::List() {
  CTernReadGuard guard(m_Lock);
  std::vector<std::string> names;
  for (const auto& r : m_Records) names.push_back(r->name);
  return names;
}

// --- CTernOpenMailbox ---

CTernOpenMailbox::CTernOpenMailbox(CTernOpenMailbox&& other) noexcept { *this = std::move(other); }

CTernOpenMailbox& CTernOpenMailbox::operator=(CTernOpenMailbox&& other) noexcept {
  if (this == &other) return *this;
  try {
    Close();
  } catch (const CTernException&) {
    // Reported by the exception.
  }
  m_Status = other.m_Status;
  m_Manager = std::exchange(other.m_Manager, nullptr);
  m_Record = std::exchange(other.m_Record, nullptr);
  m_Box = std::exchange(other.m_Box, nullptr);
  m_Lock = std::move(other.m_Lock);
  m_Table = std::exchange(other.m_Table, nullptr);
  m_User = std::move(other.m_User);
  return *this;
}

CTernOpenMailbox::~CTernOpenMailbox() {
  try {
    Close();
  } catch (const CTernException&) {
    // Reported by the exception; a destructor has nobody to hand it to.
  }
}

void CTernOpenMailbox::Close() {
  if (!m_Manager) return;
  CTernMailboxManager* manager = std::exchange(m_Manager, nullptr);
  CTernMailboxTable* table = std::exchange(m_Table, nullptr);
  m_Box = nullptr;
  manager->Release(*std::exchange(m_Record, nullptr), *m_Lock);
  m_Lock.reset();
  if (table) table->ReleaseManager(m_User);
}
