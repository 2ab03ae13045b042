// CTernLocalDelivery: quota, Inbox, the receive check and its dispositions, and the
// outcome of each append.
#include "transport/local_delivery.h"

#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/effective_settings.h"
#include "message/clock.h"
#include "message/envelope.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "store/mailbox_table.h"
#include "store/toc_entry.h"
#include "transport/content_filter.h"
#include "transport/delivery_records.h"
#include "transport/smtp_client.h"

namespace {

constexpr int kReasonMailbox = 2;
constexpr int kReasonInvalid = 3;
constexpr int kReasonQuota = 4;
constexpr int kReasonLocalError = 6;
constexpr int64_t kMegabyte = int64_t{1} << 20;

}  // namespace

CTernLocalDelivery::CTernLocalDelivery(CTernQueuedMessage& message, CTernMailboxTable* mailboxes,
                                       std::function<bool()> stopRequested, int waitSeconds)
    : m_Message(message),
      m_Mailboxes(mailboxes),
      m_StopRequested(std::move(stopRequested)),
      m_WaitSeconds(waitSeconds) {}

bool CTernLocalDelivery::Run() {
  std::vector<TernRecipient>& recipients = m_Message.Recipients();
  bool ok = true;
  for (size_t i = 0; i < recipients.size(); ++i) {
    TernRecipient& r = recipients[i];
    if (r.status != TernRecipientStatus::Waiting) continue;
    if (m_StopRequested && m_StopRequested()) {
      ok = false;
      break;
    }
    CTernMailAddress address;
    int parsed = CTernSmtpClient::HasControl(r.address) ? 1 : address.Parse(r.address);
    if (parsed < 0) {
      ok = false;
      break;
    }
    std::string routing = address.Form(kMailFormRouting);
    if (parsed == 0 && routing.find('!') != std::string::npos) continue;  // remote
    if (parsed > 0)
      GiveUp(r, kReasonInvalid, "");
    else
      Serve(r, routing);
    // The outcome is kept before the next recipient is served, so that a crash
    // repeats at most the one in hand.
    bool more = false;
    for (size_t k = i + 1; k < recipients.size() && !more; ++k)
      more = recipients[k].status == TernRecipientStatus::Waiting;
    if (more) m_Message.SaveEnvelope(false);
  }
  if (m_BodyOpen) m_Message.CloseBody();
  m_BodyOpen = false;
  return ok;
}

void CTernLocalDelivery::Serve(TernRecipient& r, const std::string& user) {
  int kind = m_Message.Kind();
  // Bounces and notifications do not count against quotas.
  if ((kind == TernMessageKind::Ordinary || kind == TernMessageKind::Resubmitted) && OverQuota(user)) {
    GiveUp(r, kReasonQuota, "");
    return;
  }
  if (!OpenBody(r)) return;
  if (!m_Mailboxes) {
    Attempt(r);
    return;
  }
  CTernOpenMailbox box = m_Mailboxes->OpenMailbox(user, CTernMailboxTable::DefaultMailbox(), m_WaitSeconds);
  switch (box.Status()) {
    case TernOpenStatus::NoMailbox: {
      CTernMessages messages;
      GiveUp(r, kReasonMailbox, messages.Text(kMsgCannotAcceptMail));
      return;
    }
    case TernOpenStatus::Busy:
    case TernOpenStatus::Failed: Attempt(r); return;
    case TernOpenStatus::Opened: break;
  }
  Append(r, *box, user);
}

bool CTernLocalDelivery::OpenBody(TernRecipient& r) {
  if (m_BodyOpen) return true;
  m_BodyOpen = m_Message.OpenBodyForReading();
  if (m_BodyOpen) return true;
  // A body that is gone cannot come back; one that cannot be opened now may.
  if (!FileExists(m_Message.BodyPath(), false))
    GiveUp(r, kReasonLocalError, "");
  else
    Attempt(r);
  return false;
}

bool CTernLocalDelivery::OverQuota(const std::string& user) {
  std::string value;
  if (!m_Mailboxes || GetEffectiveValue("", user, kAttrMailQuota, value) != 0) return false;
  long megabytes = SettingNumber(value);
  if (megabytes <= 0) return false;
  CTernMailboxManager* manager = m_Mailboxes->GetManager(user);
  if (!manager) return false;
  int64_t used = manager->Counts(false).bytes;
  m_Mailboxes->ReleaseManager(user);
  return megabytes * kMegabyte < used + m_Message.Size();
}

void CTernLocalDelivery::Append(TernRecipient& r, CTernMailbox& box, const std::string& user) {
  CTernMessage& body = *m_Message.Body();
  const std::string& sender = m_Message.Sender();
  uint32_t flags = TernMailFlag::Unread;
  if (m_Message.Kind() == TernMessageKind::ApprovalRequest) flags |= TernMailFlag::AwaitingApproval;
  TernAddResult result;
  if (m_Message.Kind() == TernMessageKind::Ordinary) {
    std::string reason;
    result = box.Add(body, flags, sender, CheckReceive, &reason);
    if (result == TernAddResult::Refused) {
      r.reason = kFilterReasonNotAllowed;
      r.reasonText = reason;
      std::string disposition;
      GetEffectiveValue("", user, kAttrOnForbidden, disposition);
      if (disposition.starts_with('D')) {
        // Held back: dropped unless an approver lets it through.
        r.status = TernRecipientStatus::Done;
        r.notice = 2;
        return;
      }
      if (!disposition.starts_with('S')) {
        r.status = TernRecipientStatus::GivenUp;
        r.notice = 1;
        return;
      }
      result = box.Add(body, flags, sender);  // delivered all the same, still a violation
    }
  } else {
    result = box.Add(body, flags, sender);
  }
  // A mailbox that could not be written (a full disk, an error state) is no reason
  // to bounce: the next attempt may succeed.
  if (result == TernAddResult::Added)
    Delivered(r);
  else
    Attempt(r);
}

void CTernLocalDelivery::Attempt(TernRecipient& r) {
  ++r.attempts;
  r.lastAttempt = CTernClock::Now();
  TernDeliveryRecord(kActionMessageDeliveryAttemptFailed, 0,
                     {{kActSmtpId, m_Message.Identifier()}, {kActTo, r.address}});
}

void CTernLocalDelivery::GiveUp(TernRecipient& r, int reason, const std::string& text) {
  r.status = TernRecipientStatus::GivenUp;
  r.reason = reason;
  r.notice = 1;
  r.reasonText = text;
}

void CTernLocalDelivery::Delivered(TernRecipient& r) {
  r.status = TernRecipientStatus::Done;
  r.notice = 0;
  if (m_MailboxId.empty()) {
    TernTocEntry entry;
    if (TernTocEntryFromMessage(*m_Message.Body(), entry)) m_MailboxId = entry.id;
  }
  TernDeliveryRecord(kActionMessageDelivered, 0,
                     {{kActSmtpId, m_Message.Identifier()},
                      {kActMailboxId, m_MailboxId},
                      {kActMailbox, CTernMailboxTable::DefaultMailbox()},
                      {kActTo, r.address}});
}
