// A queue of messages waiting for delivery: the text file D/name ("fastq" for new
// mail, "slowq" for mail to be tried again; "defaultq" without a name) with one
// line "%ld %ld %s\r\n" per message (queued time, last try, identifier), and the
// list of its entries in memory (waiting, or taken by a thread of this process).
//
// Threads of this process share one queue object; other processes may use the
// same file. Every operation holds the process-local lock and then the named lock
// "TNQLCK" + name, and first brings the list in line with the file when the file has
// changed since this object last read or wrote it (new lines are added, waiting
// entries whose lines are gone are dropped, entries this process has taken stay).
// The file is rewritten through "_new" and "_old", so a crash leaves the old list or
// the new one; a durable append is on disk when Enqueue returns, one fsync serving
// the appends of all the threads that wait for it together. Rewrites are not
// synced: the file indexes the envelopes of its directory, and the start-up's
// recovery queues again any complete message that a power loss took off the list.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/file_ops.h"
#include "base/lock.h"
#include "base/named_lock.h"
#include "message/queued_message.h"

// A message given back is not taken again until more than this many seconds later.
inline constexpr long kTernQueueSpacing = 900;
// Lines of finished messages the file may keep before it is rewritten.
inline constexpr size_t kTernQueueStaleLines = 64;

struct TernQueueEntry {
  enum State { Waiting = 1, Taken = 2 };
  std::string identifier;
  State state = Waiting;
  time_t queued = 0;
  time_t lastTry = 0;
};

class CTernQueue {
 public:
  // No file is touched until the first operation.
  CTernQueue(const std::string& name, const std::string& directory);
  CTernQueue(const CTernQueue&) = delete;
  CTernQueue& operator=(const CTernQueue&) = delete;

  const std::string& Name() const { return m_Name; }
  const std::string& Path() const { return m_Path; }
  const std::string& Directory() const { return m_Directory; }

  // Adds an entry (a queued time below 1 becomes now) and appends its line to the
  // file; with durable the line is on disk when this returns. An identifier already
  // in the queue is not added twice. False when the line could not be written whole
  // (the file is then cut back to what it was) or the file could not be read.
  bool Enqueue(const std::string& identifier, time_t queuedTime, time_t lastTry,
               bool durable = false);
  // The first due entry's message, opened from the queue's directory and held, its
  // entry marked taken. Due: waiting, and never tried or last tried more than
  // kTernQueueSpacing seconds ago. A message held by someone else is passed over;
  // one that cannot be opened loses its entry (its files stay; a broken envelope is
  // set aside, see CTernQueuedMessage::SetAside). Null when nothing is due.
  std::unique_ptr<CTernQueuedMessage> Take();
  // Removes the message's entry and rewrites the file; then removes the message's
  // files (removeFiles) or only releases it. With removeFiles the rewrite may wait
  // until kTernQueueStaleLines such lines have gathered or the queue is empty (this
  // object passes over them meanwhile; another finds their files gone). REQUIRES:
  // called by the thread that took the message.
  bool Finish(std::unique_ptr<CTernQueuedMessage> message, bool removeFiles);
  // Marks the message's entry waiting with last try = now, rewrites the file and
  // releases the message. REQUIRES: called by the thread that took the message.
  bool GiveBack(std::unique_ptr<CTernQueuedMessage> message);
  // The entries, in file order, after bringing the list in line with the file.
  std::vector<TernQueueEntry> Entries();

 private:
  bool ReloadLocked();
  bool RewriteLocked();
  // Appends the entry's line; number receives the append's number.
  bool AppendLocked(const TernQueueEntry& entry, bool durable, uint64_t& number);
  // Puts every line appended up to number on disk: one fsync serves all the
  // appends that wait for it at the time (group commit).
  bool SyncThrough(uint64_t number);
  std::vector<TernQueueEntry>::iterator FindLocked(const std::string& identifier);

  const std::string m_Name;
  const std::string m_Directory;
  const std::string m_Path;
  CTernLock m_Lock;  // guards every member below, and is taken before m_NamedLock
  CTernNamedLock m_NamedLock;
  std::vector<TernQueueEntry> m_Entries;
  // Messages finished (their files removed) whose lines the file still holds; a
  // reload passes over them, a rewrite leaves them out.
  std::unordered_set<std::string> m_Stale;
  TernFileStamp m_Seen;           // the file as this object last read or wrote it; a change
                                  // made by another process shows in it
  bool m_EndsWithLineEnd = true;  // whether the file's last byte is LF
  std::atomic<uint64_t> m_Appended{0};  // lines appended by this object

  std::mutex m_SyncLock;  // guards the members below
  std::condition_variable m_SyncDone;
  uint64_t m_SyncedThrough = 0;  // appends that are on disk
  bool m_Syncing = false;
};
