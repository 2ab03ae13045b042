// Web mail: the answer to an approval notice (Approve and Bounce on the message
// page). A notice is acted upon only when it lies in the user's own mailbox marked
// as waiting for approval, its approval fields verify (they are the server's own:
// nobody else can sign them), both addresses parse, and it has not been answered
// yet. The held message it carries is queued anew: to its recipient without the
// content filter (approved), or back to its sender as a bounce.
#include "base/message_codes.h"
#include "log/activity_log.h"
#include "message/message.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "transport/approval.h"
#include "web/webmail_internal.h"

namespace {

// The canonical form of an address of the approval fields; false when it does not
// parse.
bool Canonical(const std::string& text, std::string& address) {
  CTernMailAddress parsed(false);
  if (parsed.Parse(text) != 0) return false;
  address = parsed.Form(kMailFormCanonical);
  return true;
}

// Copies the held message out of the notice: what follows the line that says the
// original follows, without the empty line the notice ends with.
bool CopyHeld(CTernMessage& notice, CTernQueuedMessage& queued) {
  const std::string marker = "--- " + WebMailCall::Text(kMsgOriginalFollows) + " ---";
  notice.Rewind(true);
  std::string line, pending;
  bool inside = false, lineStart = true, any = false;
  for (int32_t n; (n = notice.ReadLine(line)) > 0;) {
    bool whole = line.back() == '\n';
    if (!inside) {
      std::string_view text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
      inside = lineStart && text == marker;
    } else {
      if (!pending.empty() && !queued.WriteBody(pending)) return false;
      pending = line;
      any = true;
    }
    lineStart = whole;
  }
  if (!inside || !any) return false;
  return pending == "\r\n" || pending == "\n" || queued.WriteBody(pending);
}

}  // namespace

WebMailNext WebMailAnswerApproval(WebMailCall& call, bool approve) {
  const WebMailNext notForm{kPageViewMessage, WebMailCall::Text(kMsgNotNotificationForm)};
  WebMailSent sent;
  std::string from, to;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    // The mailbox stays open (under its lock) until the answer is recorded, so a
    // second answer waits and then finds the notice answered.
    if (current.entry.flags & (TernMailFlag::Approved | TernMailFlag::Bounced))
      return {kPageViewMessage, kWebMailTextAnswered};
    std::unique_ptr<CTernMessage> notice = current.box->OpenMessage(current.n);
    std::string fromField, toField;
    if (!notice || !(current.entry.flags & TernMailFlag::AwaitingApproval) ||
        !notice->FindHeader(kApprovalFromField, fromField) || !notice->FindHeader(kApprovalToField, toField) ||
        !TernApprovalVerifies(*notice) || !Canonical(fromField, from) || !Canonical(toField, to) ||
        (!approve && from.empty()) || to.empty())
      return notForm;
    uint32_t answered = approve ? TernMailFlag::Approved : TernMailFlag::Bounced;
    // Marked first: should the notice not take the mark, nothing is sent.
    if (current.box->SetFlags(current.n, answered) != 0) {
      current.box->ClearFlags(current.n, answered);
      return {kPageViewMessage, WebMailCall::Text(kMsgSendMessageFailed)};
    }
    current.box->ClearFlags(current.n, TernMailFlag::AwaitingApproval);
    WebMailOutgoing out;
    out.sender = approve ? from : "";
    out.recipients.emplace_back().address = approve ? to : from;
    out.kind = approve ? TernMessageKind::Resubmitted : TernMessageKind::Bounce;
    out.filter = false;
    out.writeBody = [&notice](CTernQueuedMessage& queued) { return CopyHeld(*notice, queued); };
    if (!WebMailQueue(call, out, sent)) {
      current.box->ClearFlags(current.n, answered);
      current.box->SetFlags(current.n, TernMailFlag::AwaitingApproval);
      return {kPageViewMessage, WebMailCall::Text(kMsgSendMessageFailed)};
    }
  }
  call.Record(kActionMessageApproval, approve ? kResultApproved : kResultBounced,
              {{kActSmtpId, sent.identifier},
               {kActFrom, from},
               {kActTo, to},
               {kActInfo, WebMailCall::Text(kMsgSubmittedViaWeb)},
               {kActInfo2, WebMailCall::Text(approve ? kMsgUnfilteredApproval : kMsgUnfilteredBounce)}});
  return {kPageViewMessage, WebMailCall::Text(kMsgMessageSent)};
}
