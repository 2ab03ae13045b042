// The notification step: bounces, outcome records and notifications to the
// parties the settings name.
#include "transport/notifications.h"

#include <array>
#include <vector>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/autolock.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "message/envelope.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "transport/approval.h"
#include "transport/content_filter.h"
#include "transport/delivery_records.h"

namespace {

constexpr size_t kNotifyAddrSize = 512;
constexpr size_t kNotifyLevelSize = 128;
constexpr size_t kCourtesySize = 128;

std::string Text(int code) {
  CTernMessages messages;
  return messages.Text(code);
}

// A recipient's own reason text without the line end a filter text carries.
std::string OwnReason(const TernRecipient& r) {
  std::string text = r.reasonText;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string RoutingForm(std::string_view address) {
  CTernMailAddress parsed;
  if (address.empty() || parsed.Parse(address) != 0) return "";
  return parsed.Form(kMailFormRouting);
}

std::string Canonical(std::string_view address) {
  CTernMailAddress parsed;
  if (address.empty() || parsed.Parse(address) != 0) return std::string(address);
  return parsed.Form(kMailFormCanonical);
}

bool CourtesyCopies() {
  char value[kCourtesySize];
  if (GetEffectiveValueBuffer("", "", kAttrCourtesyBounce, value, sizeof value) != 0 || !value[0])
    return true;
  return SettingNumber(value) != 0;
}

// "address    reason text", then the remote reply on a line of its own, then an
// empty line.
std::string ReportLine(const TernRecipient& r) {
  std::string line = TernHeaderValue(r.address) + "    " + TernReasonText(r.reason, true) + "\r\n";
  std::string own = OwnReason(r);
  if (!own.empty()) line += own + "\r\n";
  return line + "\r\n";
}

// One bounce of recipients to addressee (none for an empty addressee) and, with
// courtesy copies, the postmaster's copy; both queued, or neither.
bool Bounce(CTernQueuedMessage& message, const std::string& addressee,
            const std::vector<TernRecipient*>& recipients, bool courtesy,
            const TernNoticeContext& context) {
  std::vector<std::unique_ptr<CTernNotice>> notices;
  auto make = [&](const std::string& to, bool headerOnly) {
    auto notice = std::make_unique<CTernNotice>(context);
    std::string report = "--- " + Text(kMsgCannotDeliverTo) + " ---\r\n\r\n";
    for (const TernRecipient* r : recipients) report += ReportLine(*r);
    report += "\r\n--- " + Text(kMsgOriginalFollows) + " ---\r\n";
    bool ok = notice->Begin(TernMessageKind::Bounce, to, Text(kMsgReturnedMail)) &&
              notice->Write(report) && notice->AppendCopy(message, headerOnly);
    notices.push_back(std::move(notice));
    return ok;
  };
  bool ok = true;
  if (!addressee.empty()) ok = make(addressee, false);
  if (ok && courtesy) ok = make(TernPostmasterAddress(), true);
  for (auto& n : notices) ok = ok && n->Queue(message.Identifier());
  // Until every one is queued each stays held, so none leaves alone.
  for (auto& n : notices) {
    if (ok)
      n->Release();
    else
      n->Discard();
  }
  return ok;
}

// Steps 1 to 3: bounces of the given-up recipients. False when one could not be
// made; the recipients then stay given up.
bool BounceGivenUp(CTernQueuedMessage& message, const TernNoticeContext& context) {
  std::vector<TernRecipient>& recipients = message.Recipients();
  if (message.Kind() == TernMessageKind::Bounce) {
    for (TernRecipient& r : recipients)
      if (r.status == TernRecipientStatus::GivenUp) r.status = TernRecipientStatus::Closed;
    return true;
  }
  bool courtesy = CourtesyCopies();
  std::vector<TernRecipient*> toSender;
  for (TernRecipient& r : recipients)
    if (r.status == TernRecipientStatus::GivenUp &&
        (r.secondAddress.empty() || r.reason == kFilterReasonNotAllowed) &&
        toSender.size() < kBounceReportLimit)
      toSender.push_back(&r);
  if (!toSender.empty()) {
    if (!Bounce(message, message.Sender(), toSender, courtesy, context)) return false;
    for (TernRecipient* r : toSender) r->status = TernRecipientStatus::Done;
    message.SaveEnvelope();
  }
  for (TernRecipient& r : recipients) {
    if (r.status != TernRecipientStatus::GivenUp || r.secondAddress.empty() ||
        r.reason == kFilterReasonNotAllowed)
      continue;
    if (!Bounce(message, Canonical(r.secondAddress), {&r}, courtesy, context)) return false;
    r.status = TernRecipientStatus::Done;
    message.SaveEnvelope();
  }
  return true;
}

struct Party {
  std::string address;
  long level = 0;
};

// The seven parties of a recipient, in order: client, client's cast, sender's user,
// its cast, recipient's user, its cast, system.
std::array<Party, 7> Parties(const CTernQueuedMessage& message, const TernRecipient& r) {
  std::array<Party, 7> parties;
  Configuration* config = Configuration::Process();
  std::string client = message.Peer();
  std::string sender = RoutingForm(message.Sender());
  std::string recipient = RoutingForm(r.address);
  for (size_t i = 0; i < parties.size(); ++i) {
    char address[kNotifyAddrSize] = "";
    char level[kNotifyLevelSize] = "";
    auto read = [&](const char* attribute, char* buffer, size_t size) {
      buffer[0] = '\0';
      int found = 1;
      switch (i) {
        case 0: found = config ? config->GetValue(kTypeClient, client, attribute, buffer, size) : 1; break;
        case 1: found = GetCastValue(client, "", attribute, buffer, size); break;
        case 2: found = config ? config->GetValue(kTypeUser, sender, attribute, buffer, size) : 1; break;
        case 3: found = GetCastValue("", sender, attribute, buffer, size); break;
        case 4: found = config ? config->GetValue(kTypeUser, recipient, attribute, buffer, size) : 1; break;
        case 5: found = GetCastValue("", recipient, attribute, buffer, size); break;
        default: found = GetEffectiveValueBuffer("", "", attribute, buffer, size); break;
      }
      if (found != 0) buffer[0] = '\0';
    };
    read(kAttrNotifyAddr, address, sizeof address);
    read(kAttrNotify, level, sizeof level);
    parties[i] = Party{address, SettingNumber(level)};
  }
  return parties;
}

// The notification about recipient r to addressee.
bool Notify(CTernQueuedMessage& message, const TernRecipient& r, const std::string& addressee,
            const TernNoticeContext& context) {
  bool approval = r.notice == 2;
  std::vector<std::pair<std::string, std::string>> fields;
  if (approval) {
    fields = {{kApprovalIdField, message.Identifier()},
              {kApprovalFromField, message.Sender()},
              {kApprovalToField, r.address}};
    std::string signature = TernApprovalSignature(message.Identifier(), message.Sender(), r.address);
    if (!signature.empty()) fields.emplace_back(kApprovalSignatureField, signature);
  }
  std::string text = "+++ " + Text(kMsgNotificationInformation) + " +++\r\n\r\n";
  std::string own = OwnReason(r);
  if (r.reason == kFilterReasonNotAllowed)
    text += own.empty() ? Text(kMsgFlaggedViolation) + ".\r\n" : Text(kMsgFlaggedViolation) + ":\r\n" + own + "\r\n";
  std::string address = TernHeaderValue(r.address);
  if (r.notice == 1)
    text += "\r\n" + Text(kMsgBouncedToSender) + " " + Text(kMsgForRecipient) + ": " + address + "\r\n";
  else if (approval)
    text += "\r\n" + Text(kMsgApprovalRequired) + ": " + address + "\r\n";
  else
    text += "\r\n" + Text(kMsgWasDelivered) + "\r\n";
  text += "\r\n--- " + Text(kMsgOriginalFollows) + " ---\r\n";
  CTernNotice notice(context);
  int kind = approval ? TernMessageKind::ApprovalRequest : TernMessageKind::Notification;
  bool ok = notice.Begin(kind, addressee, Text(approval ? kMsgApprovalSubject : kMsgNotificationSubject), fields) &&
            notice.Write(text) && notice.AppendCopy(message, false) && notice.Write("\r\n") &&
            notice.Queue(message.Identifier());
  if (ok) notice.Release();
  return ok;
}

bool NotifyParties(CTernQueuedMessage& message, const TernRecipient& r, const TernNoticeContext& context) {
  std::array<Party, 7> parties = Parties(message, r);
  bool violation = r.reason == kFilterReasonNotAllowed;
  // Once told, the client and sender side hear again only of content violations.
  if (message.Notified() && !violation)
    for (size_t i = 0; i < 4; ++i) parties[i].level = 0;
  for (size_t i = 0; i < parties.size(); ++i) {
    const Party& p = parties[i];
    if (p.level == 0 || p.address.empty() || (p.level == 1 && !violation)) continue;
    if (!Notify(message, r, p.address, context)) return false;
    for (size_t k = i + 1; k < parties.size(); ++k)
      if (TernEqualsNoCase(parties[k].address, p.address)) parties[k].level = 0;
  }
  return true;
}

void RecordOutcome(const CTernQueuedMessage& message, const TernRecipient& r) {
  if (r.notice == 1 || r.notice == 2)
    TernDeliveryRecord(r.notice == 1 ? kActionMessageBounced : kActionMessageDropped, 0,
                       {{kActSmtpId, message.Identifier()},
                        {kActFrom, message.Sender()},
                        {kActTo, r.address},
                        {kActInfo, TernReasonText(r.reason, false)},
                        {kActInfo2, OwnReason(r)}});
  if (r.reason == kFilterReasonNotAllowed) {
    TernDeliveryRecord(kActionContentViolation, 0,
                       {{kActSmtpId, message.Identifier()},
                        {kActFrom, message.Sender()},
                        {kActTo, r.address},
                        {kActInfo, OwnReason(r)}});
    RecordBlockedMessage(message.Sender(), message.Identifier());
  }
}

}  // namespace

std::string TernReasonText(int reason, bool forBounce) {
  static constexpr int kCodes[] = {kMsgRemotePermanentError, kMsgDeliveryTimedOut,  kMsgMailboxUnknown,
                                   kMsgInvalidEmailAddress,  kMsgOverQuota,         kMsgAddressOrContentNotAllowed,
                                   kMsgLocalDeliveryError,   kMsgRemoteHostNotFound};
  if (reason >= 0 && reason < static_cast<int>(std::size(kCodes))) return Text(kCodes[reason]);
  return forBounce ? Text(kMsgPermanentFailure) : std::string();
}

int TernNotificationStep(CTernQueuedMessage& message, const TernNoticeContext& context) {
  if (!BounceGivenUp(message, context)) return 1;
  bool notifies = message.Kind() != TernMessageKind::Bounce &&
                  message.Kind() != TernMessageKind::Notification &&
                  message.Kind() != TernMessageKind::ApprovalRequest;
  int open = 0;
  bool changed = false;
  for (TernRecipient& r : message.Recipients()) {
    if (r.status == TernRecipientStatus::Closed) continue;
    if (r.status != TernRecipientStatus::Done) {
      ++open;
      continue;
    }
    if (notifies && !NotifyParties(message, r, context)) {
      // What was closed so far stays closed: its notifications are queued.
      if (changed) message.SaveEnvelope();
      return 1;
    }
    RecordOutcome(message, r);
    if (r.reason != kFilterReasonNotAllowed) message.MarkNotified();
    r.status = TernRecipientStatus::Closed;
    changed = true;
  }
  if (changed) {
    message.Touch();
    // A finished message's files go at once; its envelope matters only while
    // recipients remain.
    if (open > 0) message.SaveEnvelope();
  }
  return open;
}
