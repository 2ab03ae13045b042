// Web mail: the answer to an approval notice (Approve and Bounce on the message
// page). A notice is acted upon only when it is one the server made for this user
// and that has not been answered yet.
#include "base/message_codes.h"
#include "message/message.h"
#include "web/webmail_internal.h"

WebMailNext WebMailAnswerApproval(WebMailCall& call, bool approve) {
  (void)approve;
  WebMailCurrent current = WebMailOpenCurrent(call);
  if (!current) return current.failure;
  if (!(current.entry.flags & TernMailFlag::AwaitingApproval))
    return {kPageViewMessage, WebMailCall::Text(kMsgNotNotificationForm)};
  if (current.entry.flags & (TernMailFlag::Approved | TernMailFlag::Bounced))
    return {kPageViewMessage, kWebMailTextAnswered};
  // Releasing held mail needs the check that the notice is the server's own; until
  // this build has it, no notice is acted upon.
  return {kPageViewMessage, kWebTextNotAvailable};
}
