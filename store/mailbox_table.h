// The process-wide table of mailbox managers: the mailbox root (BoxDir), the
// managers of the users whose mail is in use with how many holders each has, and
// the cache-cleaning thread that unloads idle mailboxes while too many messages are
// held in memory. The delivery engine, POP3 and web mail open mailboxes here:
//
//   CTernOpenMailbox box = table.OpenMailbox(user, kTernInbox, waitSeconds);
//   if (box) box->Add(message, TernMailFlag::Unread, sender, CheckReceive);
//   // Busy: try later; NoMailbox: the user cannot take mail; Failed: try later.
//
// Thread safety: every function may be called from any thread. Lock order: the
// table's lock, then a manager's lock; a mailbox's named lock is waited for with
// neither held. A manager is never discarded while it is held or one of its
// mailboxes is open. A thread that holds one mailbox while it opens another (a
// move between mailboxes) gives a bounded wait, so that two threads doing so
// crosswise answer Busy instead of waiting on each other for good.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/lock.h"
#include "store/mailbox_manager.h"
#include "store/mailbox_names.h"

// The attribute of a user object that gives the user mail service ("1").
inline constexpr char kAttrOstrelUser[] = "OstrelUser";
// The folder under the mailbox root that keeps the mail of deleted users.
inline constexpr char kTernSetAsideFolder[] = "_deleted";

// The cleaning thread wakes this often and unloads idle mailboxes, least recently
// used users first, while more messages than this are loaded.
inline constexpr int kTernMailboxCleanSeconds = 120;
inline constexpr int64_t kTernMailboxCacheLimit = 20000;

class CTernMailboxTable {
 public:
  // No directory is touched until a manager is made. senderCheck goes to every
  // mailbox (CTernMailbox::Load); start-up passes the content filter's
  // CheckReceiveWith.
  explicit CTernMailboxTable(std::string root, TernSenderCheck senderCheck = {});
  // Stops the cleaning thread and discards every manager.
  ~CTernMailboxTable();
  CTernMailboxTable(const CTernMailboxTable&) = delete;
  CTernMailboxTable& operator=(const CTernMailboxTable&) = delete;

  // The process-wide table, made by the start-up sequence and deleted by the stop
  // sequence; null before and after.
  static CTernMailboxTable* Process();
  static void SetProcess(CTernMailboxTable* table);

  const std::string& Root() const { return m_Root; }
  // "Inbox", every user's default mailbox.
  static const char* DefaultMailbox() { return kTernInbox; }
  // Whether the configuration gives user mail service (the user object's
  // OstrelUser is "1"). False without a configuration.
  static bool HasMailService(std::string_view user);

  // The manager of user (letter case does not matter), counted as held: made when
  // the table has none (or has one in error that nobody holds). Null for a user
  // name that is not a valid object name. REQUIRES: ReleaseManager for each.
  CTernMailboxManager* GetManager(std::string_view user);
  // Gives a manager back. Throws CTernException 64 for a user the table does not
  // hold and 62 when the count would fall below 0.
  void ReleaseManager(std::string_view user);
  // Discards a manager nobody holds, with its loaded mailboxes: 0. 1 when it is
  // held or one of its mailboxes is open. Throws 65 for a user the table does not
  // hold.
  int DropManager(std::string_view user);
  // Drops every manager that can be dropped (at stop, after the servers).
  void DropAll();

  // Opens a mailbox of a user who has mail service, holding the user's manager
  // until the mailbox is closed. waitSeconds: how long another holder may keep it
  // (0: answer Busy at once). NoMailbox for a user without mail service and for
  // names that may not be used.
  CTernOpenMailbox OpenMailbox(std::string_view user, std::string_view name, int waitSeconds);

  // Removes the user's list with its "_new" and "_old" files, every mailbox's files
  // and the user's directory (when nothing else is left in it). 1 when the user's
  // manager is held, the name is invalid, or a file cannot be removed.
  int DeleteUserMailboxes(std::string_view user);

  // Moves the user's directory (mailboxes, list, address book) out of the way,
  // into kTernSetAsideFolder under the root as the user's key, "-", the date and
  // time number and, when that is taken, "-" and a count. No user can ever own that
  // folder (its name is no user name), so a new user of the same name starts
  // empty and nothing is destroyed. where receives the new path ("" when the user
  // had no directory: 0). 1 when the user's manager is held, the name is invalid,
  // or the move fails.
  int SetAsideUserMailboxes(std::string_view user, std::string& where);
  // The messages held in memory by the loaded mailboxes of every manager.
  int64_t CachedMessages();

  // Starts the cleaning thread. When it cannot start, reports message 66 and
  // returns false; everything else works without it.
  bool StartCleaner();
  // One pass of the cleaning thread: when more than limit messages are loaded,
  // unloads the idle mailboxes of the least recently used users until the messages
  // of the users visited reach the excess. Returns the messages counted as freed.
  int64_t CleanOnce(int64_t limit = kTernMailboxCacheLimit);

 private:
  struct Entry {
    int32_t inUse = 0;
    std::unique_ptr<CTernMailboxManager> manager;
    uint64_t lastUse = 0;  // from m_UseClock: larger is more recent
  };

  Entry* FindLocked(const std::string& key);
  // Drops the user's manager so that its directory may go or move; false while
  // the manager is held. Called with m_Lock held.
  bool ReleaseUserLocked(const std::string& key);
  void StopCleaner();
  void CleanerLoop();

  const std::string m_Root;
  const TernSenderCheck m_SenderCheck;

  CTernLock m_Lock;  // guards the managers and the use clock
  std::vector<std::pair<std::string, Entry>> m_Managers;
  uint64_t m_UseClock = 0;

  std::atomic<bool> m_Stopping{false};
  std::atomic<bool> m_CleanerRunning{false};
  CTernEvent m_Wake;
  CTernEvent m_CleanerDone;
};
