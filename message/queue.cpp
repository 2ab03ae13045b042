// CTernQueue: the queue file, its reload, append and rewrite, and the operations
// of the delivery threads.
#include "message/queue.h"

#include <cstdio>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "base/disk_file.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/number.h"
#include "log/eventlog.h"
#include "message/clock.h"
#include "platform/replace.h"

namespace {

std::string QueueLine(const TernQueueEntry& e) {
  char line[128];
  std::snprintf(line, sizeof line, "%ld %ld ", static_cast<long>(e.queued),
                static_cast<long>(e.lastTry));
  return line + e.identifier + "\r\n";
}

// A whole number that fits: a number too large for a time is no number.
bool Whole(std::string_view text, long& value) { return TernParseNumber(text, value); }

// A queue line: two numbers and an identifier; false for any line that does not
// have all three.
bool ParseLine(std::string_view line, TernQueueEntry& entry) {
  std::string_view fields[3];
  size_t count = 0, i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (count < 3) {
    while (i < line.size() && blank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !blank(line[i])) ++i;
    if (i == start) return false;
    fields[count++] = line.substr(start, i - start);
  }
  long queued, lastTry;
  if (!Whole(fields[0], queued) || !Whole(fields[1], lastTry) ||
      !CTernQueuedMessage::IsValidIdentifier(fields[2]))
    return false;
  entry = TernQueueEntry{std::string(fields[2]), TernQueueEntry::Waiting, queued, lastTry};
  return true;
}

std::vector<TernQueueEntry> ParseQueue(std::string_view text) {
  std::vector<TernQueueEntry> entries;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    TernQueueEntry entry;
    if (ParseLine(line, entry)) entries.push_back(std::move(entry));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return entries;
}

}  // namespace

CTernQueue::CTernQueue(const std::string& name, const std::string& directory)
    : m_Name(name.empty() ? "defaultq" : name),
      m_Directory(directory),
      m_Path(PathJoin(directory, m_Name)) {
  try {
    m_NamedLock.SetName("TNQLCK" + m_Name);
  } catch (const CTernException&) {
    // Reported by the exception; every operation then fails to take the lock.
  }
}

bool CTernQueue::ReloadLocked() {
  TernFileStamp stamp = FileStampOf(m_Path);
  if (!stamp.exists || stamp == m_Seen) return true;
  CTernDiskFile file(m_Path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open()) return false;
  std::string text;
  bool read = file.Read(text) >= 0;
  file.Close();
  if (!read) return false;

  std::unordered_map<std::string_view, const TernQueueEntry*> mine;
  for (const TernQueueEntry& e : m_Entries) mine.emplace(e.identifier, &e);
  std::vector<TernQueueEntry> merged;
  std::unordered_set<std::string> inFile;
  for (TernQueueEntry& e : ParseQueue(text)) {
    if (!inFile.insert(e.identifier).second) continue;  // a line twice: the first counts
    if (m_Stale.count(e.identifier)) continue;          // finished here, line not yet gone
    auto found = mine.find(e.identifier);
    if (found != mine.end() && found->second->state == TernQueueEntry::Taken)
      merged.push_back(*found->second);
    else
      merged.push_back(std::move(e));
  }
  // What this process has taken stays until it finishes or gives it back; a waiting
  // entry whose line is gone was finished by another process.
  for (const TernQueueEntry& e : m_Entries)
    if (e.state == TernQueueEntry::Taken && !inFile.count(e.identifier)) merged.push_back(e);
  m_Entries = std::move(merged);
  m_Seen = stamp;
  m_EndsWithLineEnd = text.empty() || text.back() == '\n';
  return true;
}

bool CTernQueue::RewriteLocked() {
  std::string text;
  for (const TernQueueEntry& e : m_Entries) text += QueueLine(e);
  if (!FileExists(m_Path, false)) {
    // The replacement keeps the previous file as "_old": there must be one.
    CTernDiskFile file(m_Path, TernFileMode::Create | TernFileMode::NoLock);
    if (!file.Open() || !file.Close()) return false;
  }
  // Not synced: the file is an index of the envelopes in the directory, and a
  // rewrite a power loss undoes is made good by the start-up's recovery, which
  // queues again every complete message that no queue lists.
  bool ok = FileReplace(m_Path, [&text](CTernFile& file) {
    return file.Write(text) == static_cast<int32_t>(text.size());
  }, TernFileMode::Create | TernFileMode::Truncate, "_new", "_old", false);
  m_Seen = FileStampOf(m_Path);
  if (ok) {
    m_EndsWithLineEnd = true;
    m_Stale.clear();
  }
  return ok;
}

bool CTernQueue::AppendLocked(const TernQueueEntry& entry, bool durable, uint64_t& number) {
  bool existed = FileExists(m_Path, false);
  CTernDiskFile file(m_Path, TernFileMode::Append | TernFileMode::Create | TernFileMode::NoLock);
  if (!file.Open()) return false;
  int32_t before = file.Size();
  // A line left unfinished by a crash must not swallow this one.
  std::string line = (before > 0 && !m_EndsWithLineEnd ? "\r\n" : "") + QueueLine(entry);
  bool ok = before >= 0 && file.Write(line) == static_cast<int32_t>(line.size());
  if (!ok && before >= 0) file.Truncate(before);  // no half line stays behind
  if (ok) number = ++m_Appended;
  ok = file.Close() && ok;
  if (ok && durable && !existed) ok = PlatformSyncParentDir(m_Path) == 0;
  m_Seen = FileStampOf(m_Path);
  if (ok) m_EndsWithLineEnd = true;
  return ok;
}

std::vector<TernQueueEntry>::iterator CTernQueue::FindLocked(const std::string& identifier) {
  for (auto it = m_Entries.begin(); it != m_Entries.end(); ++it)
    if (it->identifier == identifier) return it;
  return m_Entries.end();
}

bool CTernQueue::Enqueue(const std::string& identifier, time_t queuedTime, time_t lastTry,
                         bool durable) {
  if (!CTernQueuedMessage::IsValidIdentifier(identifier)) return false;
  uint64_t number = 0;
  {
    CTernLockGuard local(m_Lock);
    CTernNamedLockScope named(m_NamedLock);
    if (!named.Held() || !ReloadLocked()) return false;
    if (FindLocked(identifier) != m_Entries.end()) return true;
    m_Stale.erase(identifier);
    TernQueueEntry entry{identifier, TernQueueEntry::Waiting,
                         queuedTime < 1 ? CTernClock::Now() : queuedTime, lastTry};
    if (!AppendLocked(entry, durable, number)) return false;
    m_Entries.push_back(std::move(entry));
  }
  // The sync comes after the locks are let go, so that the appends of other
  // threads that come meanwhile share it.
  return !durable || SyncThrough(number);
}

bool CTernQueue::SyncThrough(uint64_t number) {
  std::unique_lock<std::mutex> lock(m_SyncLock);
  while (m_SyncedThrough < number) {
    if (m_Syncing) {
      m_SyncDone.wait(lock);
      continue;
    }
    m_Syncing = true;
    uint64_t through = m_Appended.load();
    lock.unlock();
    // A rewrite since the append put the line into the file now at the path.
    bool ok = PlatformSyncPath(m_Path) == 0;
    lock.lock();
    m_Syncing = false;
    if (ok && through > m_SyncedThrough) m_SyncedThrough = through;
    m_SyncDone.notify_all();
    if (!ok) {
      TernReportEventF(TernEventType::Error, kMsgErrorWritingFile, m_Path);
      return false;
    }
  }
  return true;
}

std::unique_ptr<CTernQueuedMessage> CTernQueue::Take() {
  CTernLockGuard local(m_Lock);
  CTernNamedLockScope named(m_NamedLock);
  if (!named.Held() || !ReloadLocked()) return nullptr;
  time_t now = CTernClock::Now();
  std::unique_ptr<CTernQueuedMessage> taken;
  bool dropped = false;
  for (auto it = m_Entries.begin(); it != m_Entries.end();) {
    bool due = it->state == TernQueueEntry::Waiting &&
               (it->lastTry == 0 || now - it->lastTry > kTernQueueSpacing);
    if (!due) {
      ++it;
      continue;
    }
    bool busy;
    taken = CTernQueuedMessage::OpenHeld(it->identifier, m_Directory, busy);
    if (taken) {
      it->state = TernQueueEntry::Taken;
      break;
    }
    if (busy) {
      ++it;  // someone else works on it
    } else {
      // Missing (finished elsewhere) or broken: a broken envelope is set aside with
      // an event, and the files stay for inspection.
      CTernQueuedMessage::SetAside(it->identifier, m_Directory);
      it = m_Entries.erase(it);
      dropped = true;
    }
  }
  if (dropped) RewriteLocked();
  return taken;
}

bool CTernQueue::Finish(std::unique_ptr<CTernQueuedMessage> message, bool removeFiles) {
  if (!message) return false;
  bool ok;
  {
    CTernLockGuard local(m_Lock);
    CTernNamedLockScope named(m_NamedLock);
    ok = named.Held() && ReloadLocked();
    if (ok) {
      auto it = FindLocked(message->Identifier());
      if (it != m_Entries.end()) m_Entries.erase(it);
      // The line of a message whose files go names nothing any more: it may stay in
      // the file until a few have gathered or the queue is empty, which saves a
      // rewrite per message. A message that moves on keeps its files, so its line
      // goes at once.
      if (removeFiles) m_Stale.insert(message->Identifier());
      if (!removeFiles || m_Stale.size() >= kTernQueueStaleLines || m_Entries.empty()) ok = RewriteLocked();
    }
  }
  if (removeFiles) ok = message->Remove() && ok;
  message->Release();
  return ok;
}

bool CTernQueue::GiveBack(std::unique_ptr<CTernQueuedMessage> message) {
  if (!message) return false;
  CTernLockGuard local(m_Lock);
  CTernNamedLockScope named(m_NamedLock);
  bool ok = named.Held() && ReloadLocked();
  if (ok) {
    time_t now = CTernClock::Now();
    auto it = FindLocked(message->Identifier());
    if (it == m_Entries.end()) {
      // Its line was lost meanwhile; the message must not be.
      m_Entries.push_back(TernQueueEntry{message->Identifier(), TernQueueEntry::Waiting, now, now});
    } else {
      it->state = TernQueueEntry::Waiting;
      it->lastTry = now;
    }
    ok = RewriteLocked();
  }
  // Released only now, so that nobody takes it before its last try is recorded.
  message->Release();
  return ok;
}

std::vector<TernQueueEntry> CTernQueue::Entries() {
  CTernLockGuard local(m_Lock);
  CTernNamedLockScope named(m_NamedLock);
  if (named.Held()) ReloadLocked();
  return m_Entries;
}
