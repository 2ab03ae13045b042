// CTernDelivery: the delivery threads' loop, the turn of one message, and the
// recovery of messages that no queue lists.
#include "transport/delivery.h"

#include <set>

#include "base/directory.h"
#include "base/file_ops.h"
#include "config/effective_settings.h"
#include "message/clock.h"
#include "message/envelope.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "message/random.h"
#include "platform/sync.h"
#include "transport/delivery_records.h"
#include "transport/local_delivery.h"
#include "transport/notifications.h"

namespace {

constexpr int kReasonTooOld = 1;
constexpr char kEnvelopeSuffix[] = ".env";
constexpr char kBodySuffix[] = ".mes";

}  // namespace

// A turn on the slow queue: taken when fewer than kDeliverySlowThreads threads
// have one, and given back however the turn ends.
class CTernDelivery::SlowTurn {
 public:
  explicit SlowTurn(CTernDelivery& engine) : m_Engine(engine) {}
  ~SlowTurn() {
    if (!m_Held) return;
    CTernLockGuard guard(m_Engine.m_Lock);
    --m_Engine.m_SlowThreads;
  }
  SlowTurn(const SlowTurn&) = delete;
  SlowTurn& operator=(const SlowTurn&) = delete;

  bool Take() {
    CTernLockGuard guard(m_Engine.m_Lock);
    if (m_Engine.m_SlowThreads >= kDeliverySlowThreads) return false;
    ++m_Engine.m_SlowThreads;
    m_Held = true;
    return true;
  }

 private:
  CTernDelivery& m_Engine;
  bool m_Held = false;
};

CTernDelivery::CTernDelivery(Setup setup) : m_Setup(std::move(setup)) {
  m_Notices.directory = m_Setup.directory;
  m_Notices.fastQueue = m_Setup.fastQueue;
  m_Notices.lists = m_Setup.lists;
  m_Notices.wake = m_Setup.wake;
}

int CTernDelivery::SlowThreads() const {
  CTernLockGuard guard(m_Lock);
  return m_SlowThreads;
}

void CTernDelivery::Thread(PlatformEvent& event, const std::function<bool()>& stopRequested,
                           const std::function<bool()>& surplus) {
  while (!stopRequested()) {
    // After a message, look again at once: only an empty turn waits. The stop flag is
    // looked at every second of the wait, since a stop may signal the event before
    // it raises the flag.
    if (!TakeAndHandle(stopRequested))
      for (int waited = 0; waited < kDeliveryIdleWaitMs && !stopRequested(); waited += 1000)
        if (event.Wait(1000) == kPlatformWaitObject0) break;
    if (stopRequested()) break;
    if (surplus()) {
      // Threads let go together do not all come back at once.
      for (int ms = TernRandom() % 5 * 1000; ms > 0 && !stopRequested(); ms -= 100) PlatformSleepMs(100);
      break;
    }
  }
  event.Set();
}

bool CTernDelivery::TakeAndHandle(const std::function<bool()>& stopRequested) {
  CTernQueue* from = m_Setup.fastQueue;
  std::unique_ptr<CTernQueuedMessage> message = from ? from->Take() : nullptr;
  SlowTurn turn(*this);
  if (!message && m_Setup.slowQueue && turn.Take()) {
    from = m_Setup.slowQueue;
    message = from->Take();
  }
  if (!message) return false;
  Handle(std::move(message), *from, stopRequested);
  return true;
}

void CTernDelivery::Handle(std::unique_ptr<CTernQueuedMessage> message, CTernQueue& from,
                           const std::function<bool()>& stopRequested) {
  bool again = true;
  try {
    again = ProcessMessage(*message, stopRequested);
  } catch (...) {
    // A CTernException has reported itself. The message is not left taken until
    // the process ends: it is given back to be tried again.
    from.GiveBack(std::move(message));
    return;
  }
  if (again && stopRequested()) return;  // released as it is; its queue entry stays
  if (!again) {
    CTernActivityRecord record;
    record.AddStandard(kRealmSmtp, kActionMessageProcessingCompleted, 0, "", message->Peer());
    record.Add(kActSmtpId, message->Identifier());
    CTernActivityLog::Write(record);
    from.Finish(std::move(message), true);
    return;
  }
  if (&from == m_Setup.slowQueue) {
    from.GiveBack(std::move(message));
    return;
  }
  time_t now = CTernClock::Now();
  // The slow queue holds it (on disk) before the fast queue lets it go; a message
  // that cannot move is given back rather than left taken.
  if (m_Setup.slowQueue && m_Setup.slowQueue->Enqueue(message->Identifier(), now, now, true))
    from.Finish(std::move(message), false);
  else
    from.GiveBack(std::move(message));
}

bool CTernDelivery::ProcessMessage(CTernQueuedMessage& message, const std::function<bool()>& stopRequested) {
  if (CTernClock::Now() - message.Created() >= kDeliveryGiveUpAge) {
    // Only recipients still waiting are given up: one delivered or decided keeps
    // its outcome.
    for (TernRecipient& r : message.Recipients()) {
      if (r.status != TernRecipientStatus::Waiting) continue;
      r.status = TernRecipientStatus::GivenUp;
      r.reason = kReasonTooOld;
      r.notice = 1;
    }
    message.Touch();
    return TernNotificationStep(message, m_Notices) != 0;
  }
  CTernLocalDelivery local(message, m_Setup.mailboxes, stopRequested);
  if (!local.Run()) {
    message.SaveEnvelope();
    return true;
  }
  TernRemoteConfig remote = m_Setup.remote;
  std::string relay;
  if (GetEffectiveValue("", "", kAttrRelayHost, relay) == 0) remote.relayHost = relay;
  if (!CTernRemoteDelivery(message, remote, stopRequested).Run() && stopRequested()) return true;
  return TernNotificationStep(message, m_Notices) != 0;
}

int CTernDelivery::Recover() {
  std::set<std::string> listed;
  for (CTernQueue* queue : {m_Setup.fastQueue, m_Setup.slowQueue})
    if (queue)
      for (const TernQueueEntry& e : queue->Entries()) listed.insert(e.identifier);
  CTernDirectory directory;
  if (!m_Setup.fastQueue || !directory.Read(m_Setup.directory)) return 0;
  int queued = 0;
  time_t now = CTernClock::Now();
  std::vector<std::string> names = directory.Entries();
  std::set<std::string> present(names.begin(), names.end());
  for (const std::string& name : names) {
    // A body without its envelope is what a crash leaves of a removal, which takes
    // the envelope first: nothing names it any more.
    if (name.ends_with(kBodySuffix)) {
      std::string id = name.substr(0, name.size() - (sizeof kBodySuffix - 1));
      if (!present.count(id + kEnvelopeSuffix) && !present.count(id + kEnvelopeSuffix + ".bad"))
        FileRemove(PathJoin(m_Setup.directory, name), false);
      continue;
    }
    if (!name.ends_with(kEnvelopeSuffix)) continue;
    std::string id = name.substr(0, name.size() - (sizeof kEnvelopeSuffix - 1));
    if (!CTernQueuedMessage::IsValidIdentifier(id) || listed.count(id)) continue;
    bool busy = false;
    std::unique_ptr<CTernQueuedMessage> message = CTernQueuedMessage::OpenHeld(id, m_Setup.directory, busy);
    if (busy) continue;
    if (!message) {
      CTernQueuedMessage::SetAside(id, m_Setup.directory);
      continue;
    }
    // An envelope that is not complete belongs to a message still being received,
    // or one whose sender never heard it accepted.
    if (message->Complete() && m_Setup.fastQueue->Enqueue(id, now, 0, true)) ++queued;
  }
  if (queued > 0 && m_Setup.wake) m_Setup.wake();
  return queued;
}
