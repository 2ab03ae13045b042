// The delivery engine: the SMTP server's delivery threads take queued messages and
// bring every recipient to an end.
//
// A thread takes a due message from the fast queue or, when none is due there and
// fewer than two threads work on it, from the slow queue; processes it; and looks
// again at once. It waits on the delivery event (up to 60 seconds) only when
// nothing was due, so a burst of mail drains without pauses.
//
// Processing a message: a message five days old (432001 seconds by its creation
// time) gives up the recipients still waiting (reason 1); otherwise local
// recipients go to their Inbox (transport/local_delivery.h) and remote ones over
// SMTP (transport/remote_delivery.h). Then the notification step
// (transport/notifications.h) bounces, records and notifies. A finished message
// leaves its queue with its files; one with recipients still waiting moves from the
// fast queue to the slow queue, or goes back to the slow queue, to be tried again
// in 15 minutes.
//
// Nothing is lost and nothing finished twice: a message leaves its queue only after
// its recipients' outcomes are on disk (appends are synced, bounces and the slow
// queue entry are on disk before the message is finished), a message that meets an
// exception is given back, and a stop leaves a message in hand untouched in its
// queue. At start-up Recover() queues again every complete message that no queue
// lists (a queue file lost to a crash) and sets aside an envelope that cannot be
// read, with an event, instead of dropping it.
//
// One engine serves all delivery threads; its own lock guards the count of threads
// on the slow queue, and every message is held under its own lock by the one
// thread that works on it.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "base/lock.h"
#include "transport/notice.h"
#include "transport/remote_delivery.h"

class CTernMailboxTable;
class CTernQueue;
class CTernQueuedMessage;
class ListStore;
class PlatformEvent;

// A message at least this old is given up for the recipients still waiting.
inline constexpr long kDeliveryGiveUpAge = 432001;
// Threads working on slow-queue messages at the same time, at most.
inline constexpr int kDeliverySlowThreads = 2;
// How long an idle delivery thread waits for the delivery event.
inline constexpr int kDeliveryIdleWaitMs = 60 * 1000;

class CTernDelivery {
 public:
  struct Setup {
    CTernQueue* fastQueue = nullptr;
    CTernQueue* slowQueue = nullptr;
    std::string directory;                    // MailDir, where bounces are made
    ListStore* lists = nullptr;               // for the list checks of bounces
    CTernMailboxTable* mailboxes = nullptr;   // the local users' mailboxes
    TernRemoteConfig remote;                  // HELO name, ports, limits (RelayHost is read per message)
    std::function<void()> wake;               // signals the delivery event
  };

  explicit CTernDelivery(Setup setup);
  CTernDelivery(const CTernDelivery&) = delete;
  CTernDelivery& operator=(const CTernDelivery&) = delete;

  // The routine of one delivery thread. event is the delivery event; stopRequested
  // ends the thread (and every wait within a delivery); surplus is asked once per
  // turn and a true answer makes the thread leave. Signals event once on leaving,
  // so that the next thread wakes too.
  void Thread(PlatformEvent& event, const std::function<bool()>& stopRequested,
              const std::function<bool()>& surplus);

  // Takes one due message (see above) and handles it to the end of its turn. False
  // when nothing was due.
  bool TakeAndHandle(const std::function<bool()>& stopRequested);

  // Processes a message that the caller holds: true when recipients remain
  // waiting and it must be tried again.
  bool ProcessMessage(CTernQueuedMessage& message, const std::function<bool()>& stopRequested);

  // Queues again the complete messages no queue lists, sets aside envelopes that
  // are not envelopes, and removes bodies left without their envelope by a removal
  // that a crash cut short. Returns how many messages were queued.
  int Recover();

  // Threads on the slow queue now (tests).
  int SlowThreads() const;

 private:
  class SlowTurn;
  void Handle(std::unique_ptr<CTernQueuedMessage> message, CTernQueue& from,
              const std::function<bool()>& stopRequested);

  Setup m_Setup;
  TernNoticeContext m_Notices;
  mutable CTernLock m_Lock;  // guards m_SlowThreads
  int m_SlowThreads = 0;
};
