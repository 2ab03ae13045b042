// The mailbox manager of one user: the user's directory under the mailbox root with
// the list of the user's mailboxes ("mailboxes.mbs"), the mailbox objects loaded
// from it, and how many holders each mailbox has. Opening a mailbox locks it for
// the caller (its named lock, held for as long as the caller keeps the mailbox) and
// brings it in line with its files; releasing it records its counts in the list.
//
// Thread safety: every function may be called from any thread. A readers/writer
// lock guards the records (written to open, release or change mailboxes, read to
// report counts); it is never held while waiting for a mailbox's named lock, so a
// held mailbox holds up only those who want that mailbox.
//
// Directories are made for the server alone (0700) and files likewise (0600). The
// list is replaced through "_new" and "_old"; a list that cannot be read is rebuilt
// from the ".toc" files in the directory.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"
#include "base/named_lock.h"
#include "store/mailbox.h"
#include "store/mailbox_list.h"
#include "store/receive_check.h"

class CTernMailboxTable;
class CTernOpenMailbox;

// What opening a mailbox came to.
enum class TernOpenStatus {
  Opened,     // the mailbox is locked and loaded for the caller
  Busy,       // another holder kept it locked for the whole wait
  NoMailbox,  // no such user or mailbox may exist (invalid name, no mail service)
  Failed      // the files cannot be read or made; try again later
};

class CTernMailboxManager {
 public:
  // The manager of the user whose directory is PathJoin(root, userKey) (see
  // TernMailboxUserKey). Reads the list; a list that cannot be read is made anew
  // from the ".toc" files (and the directory when it is missing). When even that
  // fails the manager is in error and opens nothing.
  CTernMailboxManager(std::string root, std::string userKey, TernSenderCheck senderCheck = {});
  // Discards every loaded mailbox. REQUIRES: no mailbox is open.
  ~CTernMailboxManager();
  CTernMailboxManager(const CTernMailboxManager&) = delete;
  CTernMailboxManager& operator=(const CTernMailboxManager&) = delete;

  const std::string& User() const { return m_User; }
  const std::string& Directory() const { return m_Directory; }
  bool InError() const { return m_Error; }

  // Opens mailbox name, adding it to the list first when it is not there (its files
  // are made as it loads). Waits at most waitSeconds (0: not at all) for another
  // holder to let go of it. Names compare without regard to letter case; the
  // mailbox keeps the name it was first given. A mailbox in error that nobody holds
  // is loaded afresh. The result holds the mailbox until it is closed.
  CTernOpenMailbox Open(std::string_view name, int waitSeconds);

  // Adds a mailbox with these counts to the list (no files are made). 1 when the
  // name is empty or invalid, a mailbox of that name exists, or the list cannot be
  // written.
  int Add(std::string_view name, int32_t messages = 0, int32_t unread = 0, int64_t bytes = 0);
  // Takes a mailbox off the list and discards its loaded object; with deleteFiles
  // also removes its files. 1 when there is no such mailbox, it is open, or the list
  // or files cannot be written or removed.
  int Remove(std::string_view name, bool deleteFiles = false);
  // Gives a mailbox another name, files included, keeping its counts. Refused (1)
  // while it is open, when newName is invalid, or when a mailbox or file of the new
  // name exists.
  int Rename(std::string_view oldName, std::string_view newName);

  // Messages, unread messages and bytes as the list records them, over the mailboxes
  // that are loaded (loadedOnly) or over all of them.
  TernMailboxCounts Counts(bool loadedOnly = true);
  // Discards the loaded objects of the mailboxes nobody holds. True when some
  // mailbox was held.
  bool UnloadIdle();
  // True when some mailbox is open.
  bool InUse();
  // The mailbox names in list order.
  std::vector<std::string> List();

 private:
  friend class CTernOpenMailbox;

  struct Record {
    std::string name;
    std::unique_ptr<CTernMailbox> box;
    int32_t inUse = 0;
    int32_t messages = 0;
    int32_t unread = 0;
    int64_t bytes = 0;
  };

  // Records a holder's release: the mailbox's counts go into the list, its named
  // lock is unlocked and its holder count falls (below 0 throws 63); the list is
  // written when it changed. REQUIRES: the thread that opened.
  void Release(Record& record, CTernNamedLock& lock);
  // Gives up an open that did not get as far as holding the mailbox.
  void Abandon(Record& record);

  // The list file is shared with other processes that serve the user: it is read
  // and written under its named lock (TernMailboxListLockName).
  std::string ListLockName() const;
  bool ReadListFile(std::vector<TernMailboxListLine>& lines) const;
  bool LoadList();
  bool RebuildList();
  void AddRecordLocked(const TernMailboxListLine& line);
  // Takes in the mailboxes another process has added to the file since this
  // manager last read or wrote it.
  void MergeListFileLocked();
  // Writes the list: under the list's named lock, merged with the file first.
  // Without durable it is not synced (a change of counts only, which every release
  // writes again).
  bool WriteListLocked(bool durable = true);
  // Writes the records as they are. REQUIRES: the list's named lock.
  bool WriteListFileLocked(bool durable = true);
  Record* FindLocked(std::string_view name);
  std::vector<std::string> TocNames();

  const std::string m_Root;
  const std::string m_User;
  const std::string m_Directory;
  const std::string m_ListPath;
  const TernSenderCheck m_SenderCheck;

  CTernRWLock m_Lock;  // guards every member below
  std::vector<std::unique_ptr<Record>> m_Records;
  bool m_Error = false;
  bool m_ListDirty = false;  // the list file does not hold the records as they are
  std::set<std::string> m_Known;  // names (lower case) in the file as last read or written
};

// A mailbox held open for its caller: locked with its own named-lock handle and
// loaded. Closing it (or letting it go out of scope) releases it on the thread that
// opened it; a mailbox opened through the mailbox table also gives its manager
// back. Move-only.
class CTernOpenMailbox {
 public:
  CTernOpenMailbox() = default;
  explicit CTernOpenMailbox(TernOpenStatus status) : m_Status(status) {}
  CTernOpenMailbox(CTernOpenMailbox&& other) noexcept;
  CTernOpenMailbox& operator=(CTernOpenMailbox&& other) noexcept;
  ~CTernOpenMailbox();

  TernOpenStatus Status() const { return m_Status; }
  explicit operator bool() const { return m_Box != nullptr; }
  CTernMailbox* Get() const { return m_Box; }
  CTernMailbox* operator->() const { return m_Box; }
  CTernMailbox& operator*() const { return *m_Box; }

  // Releases the mailbox (see CTernMailboxManager). Later calls do nothing.
  // REQUIRES: called on the thread that opened it.
  void Close();

 private:
  friend class CTernMailboxManager;
  friend class CTernMailboxTable;

  TernOpenStatus m_Status = TernOpenStatus::Failed;
  CTernMailboxManager* m_Manager = nullptr;
  CTernMailboxManager::Record* m_Record = nullptr;
  CTernMailbox* m_Box = nullptr;
  std::unique_ptr<CTernNamedLock> m_Lock;
  CTernMailboxTable* m_Table = nullptr;  // when the table holds the manager for it
  std::string m_User;
};
