// Local delivery: the waiting recipients of a queued message that are users of this
// server get the message appended to their Inbox.
//
// Per recipient, in list order: the address must parse and be free of control
// characters (else reason 3); ordinary and resubmitted mail counts against the
// user's MailQuota (reason 4); a user without mail service has no Inbox (reason 2,
// "User cannot accept mail."). Ordinary mail passes the recipient's receive check
// on its way into the mailbox; a refusal goes by the recipient's OnForbidden: "S"
// delivers it all the same, "D" holds it back for approval (done, notice 2), any
// other value bounces it (reason 5). Bounces and notifications go in unfiltered,
// unread, an approval request also waiting for approval.
//
// Temporary stays temporary: a mailbox another holder keeps for longer than the
// wait, a mailbox that cannot be read or written (a full disk), or a body that
// cannot be opened now only count a failed attempt. Appends are on disk before
// they count as delivered, and the envelope is saved after each recipient while
// others remain, so that a crash repeats at most the recipient in hand.
#pragma once

#include <functional>
#include <string>

class CTernMailbox;
class CTernMailboxTable;
class CTernQueuedMessage;
struct TernRecipient;

// How long a delivery waits for a mailbox that someone else holds.
inline constexpr int kLocalDeliveryWaitSeconds = 5;
// The settings read.
inline constexpr char kAttrMailQuota[] = "MailQuota";

class CTernLocalDelivery {
 public:
  // message is held by the caller; mailboxes may be null (no recipient can then be
  // served, and each attempt fails for now).
  CTernLocalDelivery(CTernQueuedMessage& message, CTernMailboxTable* mailboxes,
                     std::function<bool()> stopRequested, int waitSeconds = kLocalDeliveryWaitSeconds);

  // Serves every waiting local recipient. False when the processing must end here
  // and the message be tried again later (an address could not be parsed for want
  // of memory, or a stop was asked for).
  bool Run();

 private:
  // One local recipient, user by name.
  void Serve(TernRecipient& r, const std::string& user);
  bool OverQuota(const std::string& user);
  // Appends the message to box, the user's Inbox held for this delivery.
  void Append(TernRecipient& r, CTernMailbox& box, const std::string& user);
  bool OpenBody(TernRecipient& r);
  void Attempt(TernRecipient& r);
  void GiveUp(TernRecipient& r, int reason, const std::string& text);
  void Delivered(TernRecipient& r);

  CTernQueuedMessage& m_Message;
  CTernMailboxTable* m_Mailboxes;
  std::function<bool()> m_StopRequested;
  int m_WaitSeconds;
  bool m_BodyOpen = false;
  std::string m_MailboxId;  // of the message as a mailbox lists it, once known
};
