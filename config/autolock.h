// The automatic lock: a user who has sent a number of messages blocked for their
// content within a short period is shut out of SMTP, POP3 and the web client.
//
// The tracker keeps, per user, the identifiers and times of the last 50 distinct
// blocked messages. When the user's settings in force have AutoLock on and at least
// AutoLockX of those messages fall within the last AutoLockY minutes, the user's
// Default Event is replaced by one that carries the default settings in force at
// every level with AllowSMTP, AllowPOP and AllowOstrelUI set to "0". The lock stays
// until an administrator edits or deletes that event.
//
// One tracker per process (made at start-up, deleted at stop); safe from any thread.
// Its lock is held from the record look-up to the end of a lock, and the
// configuration's locks are taken inside it, never the other way round.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "base/lock.h"

class Configuration;

class AutoLockTracker {
 public:
  // Called, under the tracker's lock, with the user's name after a lock has been
  // put in place (the caller writes the activity record).
  using LockReporter = std::function<void(const std::string& user)>;

  static constexpr size_t kSlots = 50;

  explicit AutoLockTracker(LockReporter reporter = {});
  AutoLockTracker(const AutoLockTracker&) = delete;
  AutoLockTracker& operator=(const AutoLockTracker&) = delete;

  // The process-wide tracker; null before start-up and after stop.
  static AutoLockTracker* Process();
  static void SetProcess(AutoLockTracker* tracker);

  // Counts a message blocked for its content, by its sender address and queued-
  // message identifier, and locks the sender when the limit is reached (see above).
  // A sender that does not parse, is not local or names no user is passed over; a
  // message already counted for the user is not counted again. Uses the process-
  // wide configuration. True when this call put a lock in place.
  bool RecordBlockedMessage(std::string_view sender, std::string_view messageId);

 private:
  struct Slot {
    bool used = false;
    std::string id;
    time_t time = 0;
  };
  struct Record {
    std::array<Slot, kSlots> slots;
    size_t next = 0;  // the slot to fill next, wrapping after the last
  };

  // Replaces the user's Default Event with the lock. 0 on success.
  // REQUIRES: m_Lock held.
  int LockUserLocked(Configuration& config, const std::string& user);

  const LockReporter m_Reporter;
  CTernLock m_Lock;  // guards m_Records
  std::map<std::string, Record> m_Records;  // by user name as the user was created
};

// RecordBlockedMessage on the process-wide tracker; false when there is none.
bool RecordBlockedMessage(std::string_view sender, std::string_view messageId);
