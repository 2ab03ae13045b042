// The notification step: what the delivery engine runs after every turn of work
// on a queued message, to report its outcome.
//
//   1. Bounces: recipients given up (status 2) are reported to the sender, at most
//      100 to one bounce (the rest at the next processing), with the whole message
//      attached; the postmaster gets a copy with the message's header only unless
//      CourtesyBounce is a number that is 0. A recipient that came from a list and
//      was not refused by the filter is reported to its list's owner (its second
//      address) instead. Reported recipients become done (status 3). Bounces are
//      never bounced, and nothing goes to an empty sender: only the postmaster's
//      copy is made then.
//   2. Outcomes: every done recipient is recorded (Message Bounced or Message
//      Dropped; Content Violation for a filter decision, which also counts against
//      the sender's automatic lock), notified, and closed (status 4).
//   3. Notifications go to up to seven parties, each with NotifyAddr and a Notify
//      level: the client and its cast, the sender's user and cast, the recipient's
//      user and cast, and the system, in that order. Level 0 or no address: none;
//      level 1: content violations only; higher: every outcome. Once a message has
//      been notified about, the client and sender side hear only of content
//      violations; one address hears once per recipient. A recipient held back by
//      the filter makes an approval request (see transport/approval.h).
//
// Bounces and notifications are queued messages in the fast queue, made and
// queued whole (on disk) before the recipients they report on change status; a
// failure removes what was made and leaves the recipients as they were for the
// next processing.
#pragma once

#include <cstddef>

#include "transport/notice.h"

class CTernQueuedMessage;

// Settings read by the step.
inline constexpr char kAttrCourtesyBounce[] = "CourtesyBounce";
inline constexpr char kAttrNotify[] = "Notify";
inline constexpr char kAttrNotifyAddr[] = "NotifyAddr";

// Recipients reported by one bounce at most.
inline constexpr size_t kBounceReportLimit = 100;

// Runs the step on message (held by the caller, body closed) and saves its
// envelope. Returns the number of recipients that are not closed: 0 when the
// message is finished, else it must be tried again.
int TernNotificationStep(CTernQueuedMessage& message, const TernNoticeContext& context);

// The text the tables give reason (the bounce line's reason and the records'
// Info): "Permanent failure." for a reason outside the table when forBounce, else
// empty.
std::string TernReasonText(int reason, bool forBounce);
