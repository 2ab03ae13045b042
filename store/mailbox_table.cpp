// CTernMailboxTable: the managers in use, opening mailboxes for users with mail
// service, deleting a user's mail, and the cache-cleaning thread.
#include "store/mailbox_table.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <tuple>
#include <vector>

#include "base/directory.h"
#include "base/exception.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "log/activity_log.h"
#include "net/threads.h"
#include "platform/clock.h"
#include "store/mailbox_names.h"

namespace {

std::atomic<CTernMailboxTable*> g_Process{nullptr};

}  // namespace

CTernMailboxTable::CTernMailboxTable(std::string root, TernSenderCheck senderCheck)
    : m_Root(std::move(root)), m_SenderCheck(std::move(senderCheck)) {}

CTernMailboxTable::~CTernMailboxTable() { StopCleaner(); }

CTernMailboxTable* CTernMailboxTable::Process() { return g_Process.load(); }

void CTernMailboxTable::SetProcess(CTernMailboxTable* table) { g_Process.store(table); }

bool CTernMailboxTable::HasMailService(std::string_view user) {
  Configuration* configuration = Configuration::Process();
  std::string value;
  return configuration &&
         configuration->GetValue(kTypeUser, user, kAttrOstrelUser, value) == 0 && value == "1";
}

CTernMailboxTable::Entry* CTernMailboxTable::FindLocked(const std::string& key) {
  for (auto& [user, entry] : m_Managers)
    if (user == key) return &entry;
  return nullptr;
}

CTernMailboxManager* CTernMailboxTable::GetManager(std::string_view user) {
  std::string key = TernMailboxUserKey(user);
  if (key.empty()) return nullptr;
  CTernLockGuard guard(m_Lock);
  Entry* entry = FindLocked(key);
  // A manager whose list could not be read is made afresh once nobody holds it.
  if (entry && entry->inUse == 0 && entry->manager->InError())
    entry->manager = std::make_unique<CTernMailboxManager>(m_Root, key, m_SenderCheck);
  if (!entry) {
    m_Managers.emplace_back(key, Entry());
    entry = &m_Managers.back().second;
    entry->manager = std::make_unique<CTernMailboxManager>(m_Root, key, m_SenderCheck);
  }
  ++entry->inUse;
  entry->lastUse = ++m_UseClock;
  return entry->manager.get();
}

void CTernMailboxTable::ReleaseManager(std::string_view user) {
  std::string key = TernMailboxUserKey(user);
  CTernLockGuard guard(m_Lock);
  Entry* entry = FindLocked(key);
  if (!entry) throw CTernException(kMsgMailboxManagerNotInMemory, std::string(user));
  if (entry->inUse <= 0) throw CTernException(kMsgMailboxManagerCountNegative, std::string(user));
  --entry->inUse;
  entry->lastUse = ++m_UseClock;
}

int CTernMailboxTable::DropManager(std::string_view user) {
  std::string key = TernMailboxUserKey(user);
  CTernLockGuard guard(m_Lock);
  auto it = std::find_if(m_Managers.begin(), m_Managers.end(),
                         [&key](const auto& pair) { return pair.first == key; });
  if (it == m_Managers.end())
    throw CTernException(kMsgMailboxManagerDeleteNotInMemory, std::string(user));
  if (it->second.inUse > 0 || it->second.manager->InUse()) return 1;
  m_Managers.erase(it);
  return 0;
}

void CTernMailboxTable::DropAll() {
  std::vector<std::string> users;
  {
    CTernLockGuard guard(m_Lock);
    for (const auto& pair : m_Managers) users.push_back(pair.first);
  }
  for (const std::string& user : users) {
    try {
      DropManager(user);
    } catch (const CTernException&) {
      // Dropped meanwhile by another thread; reported by the exception.
    }
  }
}

CTernOpenMailbox CTernMailboxTable::OpenMailbox(std::string_view user, std::string_view name,
                                                int waitSeconds) {
  if (!TernValidMailboxName(name) || !HasMailService(user))
    return CTernOpenMailbox(TernOpenStatus::NoMailbox);
  CTernMailboxManager* manager = GetManager(user);
  if (!manager) return CTernOpenMailbox(TernOpenStatus::NoMailbox);
  CTernOpenMailbox box = manager->Open(name, waitSeconds);
  if (!box) {
    ReleaseManager(user);
    return box;
  }
  // The manager stays held until the mailbox is closed.
  box.m_Table = this;
  box.m_User = manager->User();
  return box;
}

bool CTernMailboxTable::ReleaseUserLocked(const std::string& key) {
  auto it = std::find_if(m_Managers.begin(), m_Managers.end(),
                         [&key](const auto& pair) { return pair.first == key; });
  if (it == m_Managers.end()) return true;
  if (it->second.inUse > 0 || it->second.manager->InUse()) return false;
  m_Managers.erase(it);
  return true;
}

int CTernMailboxTable::DeleteUserMailboxes(std::string_view user) {
  std::string key = TernMailboxUserKey(user);
  if (key.empty()) return 1;
  // The table stays locked throughout, so that nobody makes the user's manager
  // (and directory) again while its files go.
  CTernLockGuard guard(m_Lock);
  if (!ReleaseUserLocked(key)) return 1;
  std::string directory = PathJoin(m_Root, key);
  if (!FileStampOf(directory).exists) return 0;
  CTernDirectory listing;
  if (!listing.Read(directory)) return 1;
  std::set<std::string> mailboxes;
  for (const std::string& file : listing.Entries()) {
    std::string name = TernMailboxOfFile(file, false);
    if (!name.empty()) mailboxes.insert(name);
  }
  int result = 0;
  for (const std::string& name : mailboxes)
    if (CTernMailbox::DeleteFiles(m_Root, key, name) != 0) result = 1;
  std::string list = PathJoin(directory, kTernMailboxListFile);
  for (const std::string& path : {list, list + "_new", list + "_old"})
    if (FileStampOf(path).exists && !FileRemove(path, false)) result = 1;
  // Files of others (the address book) keep the directory.
  if (listing.Read(directory) && listing.Count() == 0 && !DirRemove(directory)) result = 1;
  return result;
}

int CTernMailboxTable::SetAsideUserMailboxes(std::string_view user, std::string& where) {
  where.clear();
  std::string key = TernMailboxUserKey(user);
  if (key.empty()) return 1;
  // Locked throughout, so that nobody makes the user's manager (and directory)
  // again while it moves.
  CTernLockGuard guard(m_Lock);
  if (!ReleaseUserLocked(key)) return 1;
  std::string directory = PathJoin(m_Root, key);
  if (!FileStampOf(directory).exists) return 0;
  std::string aside = PathJoin(m_Root, kTernSetAsideFolder);
  if (!FileStampOf(aside).exists && !DirMake(aside, 0700)) return 1;
  time_t now = PlatformNow();
  std::string base = PathJoin(aside, key + "-" + std::to_string(TernDateNumber(now) + 19000000) + "-" +
                                         std::to_string(1000000 + TernTimeNumber(now)).substr(1));
  std::string target = base;
  for (int n = 2; FileStampOf(target).exists; ++n) {
    if (n > 1000) return 1;
    target = base + "-" + std::to_string(n);
  }
  if (!FileRename(directory, target, false)) return 1;
  where = target;
  return 0;
}

int64_t CTernMailboxTable::CachedMessages() {
  CTernLockGuard guard(m_Lock);
  int64_t total = 0;
  for (const auto& [user, entry] : m_Managers) total += entry.manager->Counts(true).messages;
  return total;
}

int64_t CTernMailboxTable::CleanOnce(int64_t limit) {
  CTernLockGuard guard(m_Lock);
  // (last use, loaded messages, user), least recently used first.
  std::vector<std::tuple<uint64_t, int64_t, std::string>> users;
  int64_t total = 0;
  for (const auto& [user, entry] : m_Managers) {
    int64_t loaded = entry.manager->Counts(true).messages;
    total += loaded;
    users.emplace_back(entry.lastUse, loaded, user);
  }
  if (total <= limit) return 0;
  std::sort(users.begin(), users.end());
  int64_t freed = 0;
  for (const auto& [lastUse, loaded, user] : users) {
    if (freed >= total - limit) break;
    FindLocked(user)->manager->UnloadIdle();
    freed += loaded;
  }
  return freed;
}

bool CTernMailboxTable::StartCleaner() {
  if (m_CleanerRunning.load()) return true;
  m_Stopping.store(false);
  m_CleanerRunning.store(true);
  if (TernCreateThread([this] { CleanerLoop(); }, 0) == kTernThreadNotCreated) {
    m_CleanerRunning.store(false);
    TernReportEvent(TernEventType::Error, kMsgMailboxCleanerThreadFailed);
    return false;
  }
  return true;
}

void CTernMailboxTable::CleanerLoop() {
  for (;;) {
    m_Wake.Wait(kTernMailboxCleanSeconds);
    if (m_Stopping.load()) break;
    try {
      CleanOnce();
    } catch (const CTernException&) {
      // Reported by the exception; the next pass tries again.
    }
  }
  m_CleanerDone.Set();
}

void CTernMailboxTable::StopCleaner() {
  if (!m_CleanerRunning.exchange(false)) return;
  m_Stopping.store(true);
  m_Wake.Set();
  m_CleanerDone.Wait();
}
