// Web mail: sending a draft and redirecting a stored message. Each becomes a queued
// message as the SMTP server makes them: a Received line naming the web client,
// the content filter's checks for the user as sender, then the fast queue.
#include "base/ascii.h"
#include "base/message_codes.h"
#include "log/activity_log.h"
#include "message/clock.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "store/mailbox_names.h"
#include "transport/content_filter.h"
#include "transport/smtp_server.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// Headers of a stored message that never leave with it: the trace, the fields
// between the pages, the approval fields, the blind copies, the old date and
// any earlier Resent- lines.
bool Sent(std::string_view name) {
  for (std::string_view internal : {"Received", "X-OldSMTP-ID", "X-Message-Revision", "X-In-Response-To",
                                    "X-Forwarded-To", "Date", "BCC"})
    if (TernEqualsNoCase(name, internal)) return false;
  return !TernBeginsNoCase(name, "X-Notify-") && !TernBeginsNoCase(name, "Resent-");
}

std::string Header(CTernMessage& message, std::string_view name) {
  std::string value;
  message.FindHeader(name, value);
  return value;
}

// The recipients of lists of addresses, in canonical form. Empty with error set
// when there is none or one does not parse.
std::vector<std::string> Recipients(std::initializer_list<std::string> lists, std::string& error) {
  std::vector<std::string> recipients;
  for (const std::string& list : lists) {
    for (const std::string& text : WebMailSplitAddresses(list)) {
      CTernMailAddress address(false);
      if (!WebMailHeaderValue(text) || address.Parse(text) != 0 || address.Form(kMailFormCanonical).empty()) {
        error = WebMailCall::Text(kMsgInvalidRecipient) + " (" + text + ")";
        return {};
      }
      recipients.push_back(address.Form(kMailFormCanonical));
    }
  }
  if (recipients.empty()) error = WebMailCall::Text(kMsgNoRecipient);
  return recipients;
}

// Copies source into the queued message's body: its header lines that are sent, a
// new Date line, then the body as it is.
bool CopyForSending(CTernMessage& source, CTernQueuedMessage& queued) {
  source.Rewind(true);
  std::string line, group;
  bool keep = false, lineStart = true;
  auto flush = [&]() {
    bool ok = !keep || queued.WriteBody(group);
    group.clear();
    return ok;
  };
  for (;;) {
    int32_t n = source.ReadLine(line);
    if (n < 0) return false;
    if (n == 0 || (lineStart && TernIsEmptyLine(line))) break;
    // A piece of a long line, or a folded line, belongs to the header before it.
    if (lineStart && !TernIsContinuationLine(line)) {
      if (!flush()) return false;
      std::string name, value;
      keep = !TernSplitHeaderLine(line, name, value) || Sent(name);
    }
    group += line;
    lineStart = line.back() == '\n';
  }
  if (!flush() || !queued.WriteBody("Date: " + CTernTime::Now().MailDate() + "\r\n\r\n")) return false;
  char block[kTernMessageBlock];
  for (int32_t got; (got = source.Read(block, sizeof block)) > 0;)
    if (!queued.WriteBody(std::string_view(block, static_cast<size_t>(got)))) return false;
  return true;
}

// The flags of the answered or forwarded message: looked for in `Mailbox` first,
// then in the user's other mailboxes.
void MarkOriginal(WebMailCall& call, const std::string& id, uint32_t flag) {
  if (id.empty()) return;
  std::vector<std::string> names = WebMailBoxes(call.User());
  names.insert(names.begin(), call.Var("Mailbox"));
  for (const std::string& name : names) {
    CTernOpenMailbox box = WebMailOpen(call.User(), name);
    int32_t n = box ? WebMailFind(*box, id) : 0;
    if (n) {
      box->SetFlags(n, flag);
      return;
    }
  }
}

void RemoveDraft(WebMailCall& call, const std::string& id) {
  CTernOpenMailbox drafts = WebMailOpen(call.User(), kTernDrafts);
  int32_t n = drafts ? WebMailFind(*drafts, id) : 0;
  if (n && drafts->MarkForRemoval(n) == 0) drafts->Compact();
}

// A copy of what was sent, read for the Sent-Mail mailbox.
void FileSentCopy(WebMailCall& call, CTernQueuedMessage& queued) {
  CTernOpenMailbox sent = WebMailOpen(call.User(), kTernSentMail);
  if (!sent || !queued.OpenBodyForReading()) return;
  sent->Add(*queued.Body(), 0, call.Address());
  queued.CloseBody();
}

void RecordAccepted(WebMailCall& call, const WebMailSent& sent, const std::string& to, const std::string& info2) {
  call.Record(kActionMessageAccepted, 0,
              {{kActSmtpId, sent.identifier},
               {kActTo, to},
               {kActFrom, call.Address()},
               {kActSize, std::to_string(sent.size)},
               {kActSubject, sent.subject},
               {kActInfo, WebMailCall::Text(kMsgSubmittedViaWeb)},
               {kActInfo2, info2}});
}

std::string Joined(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& item : list) out += (out.empty() ? "" : ", ") + item;
  return out;
}

}  // namespace

std::string WebMailReceivedLine(const WebMailCall& call, const std::string& identifier) {
  return "Received: from Ostrel_Web_Client ([" + call.Client() + "])\r\n by " +
         (call.Setup().hostName.empty() ? std::string("localhost") : call.Setup().hostName) + " (" + kSmtpProduct +
         " " + kSmtpVersion + ") with HTTP id " + identifier + "; " + CTernTime::Now().MailDate() + "\r\n";
}

bool WebMailQueue(WebMailCall& call, const WebMailOutgoing& out, WebMailSent& sent) {
  const WebMailSetup& setup = call.Setup();
  std::unique_ptr<CTernQueuedMessage> queued = CTernQueuedMessage::Create(setup.queueDirectory);
  if (!queued || !queued->Hold()) return false;
  queued->SetSender(out.sender);
  queued->SetPeer(call.Client());
  queued->SetKind(out.kind);
  for (const TernRecipient& r : out.recipients)
    queued->AddRecipient(r.address, "", r.reasonText, r.status, r.reason, 0, 0, r.notice);
  bool ok = queued->OpenBodyForWriting() && queued->WriteBody(WebMailReceivedLine(call, queued->Identifier())) &&
            out.writeBody(*queued);
  if (ok) {
    CTernMessage* body = queued->Body();
    if (body->HeadersOpen()) ok = body->EndHeaders();
    sent.subject = WebMailDecodeHeader(queued->HeaderValue("Subject"));
  }
  ok = queued->CloseBody(true) && ok;
  ok = ok && (!out.filter || FilterMessage(*queued, FilterObjectsInUse()) == 0);
  if (ok) {
    queued->MarkComplete();
    ok = queued->SaveEnvelope() && setup.fastQueue &&
         setup.fastQueue->Enqueue(queued->Identifier(), CTernClock::Now(), 0, true);
  }
  if (!ok) {
    queued->Remove();
    queued->Release();
    return false;
  }
  sent.identifier = queued->Identifier();
  sent.size = queued->Size();
  // Still held: no delivery thread takes it before this is done.
  if (out.whileHeld) out.whileHeld(*queued);
  queued->Release();
  if (setup.wake) setup.wake();
  return true;
}

WebMailNext WebMailSendDraft(WebMailCall& call) {
  std::string draft = call.Var("Message"), error, to, cc, bcc;
  std::string answered = call.Var(std::string(kHeaderPrefix) + "X-In-Response-To");
  std::string forwarded = call.Var(std::string(kHeaderPrefix) + "X-Forwarded-To");
  WebMailSent sent;
  {
    CTernOpenMailbox drafts = WebMailOpen(call.User(), kTernDrafts);
    int32_t n = drafts ? WebMailFind(*drafts, draft) : 0;
    std::unique_ptr<CTernMessage> message = n ? drafts->OpenMessage(n) : nullptr;
    if (!message) return {kPageCompose, WebMailCall::Text(kMsgSendMessageFailed)};
    to = Header(*message, "To"), cc = Header(*message, "CC"), bcc = Header(*message, "BCC");
    std::vector<std::string> recipients = Recipients({to, cc, bcc}, error);
    if (recipients.empty()) return {kPageCompose, error};
    WebMailOutgoing out;
    out.sender = call.Address();
    for (const std::string& r : recipients) out.recipients.emplace_back().address = r;
    out.writeBody = [&message](CTernQueuedMessage& queued) { return CopyForSending(*message, queued); };
    out.whileHeld = [&call](CTernQueuedMessage& queued) { FileSentCopy(call, queued); };
    // The draft is read while it is held; Sent-Mail is another mailbox.
    if (!WebMailQueue(call, out, sent)) return {kPageCompose, WebMailCall::Text(kMsgSendMessageFailed)};
  }
  std::string info2;
  if (!answered.empty()) info2 = WebMailCall::Text(kMsgReplyToMailboxId) + " -- " + answered;
  if (!forwarded.empty()) info2 = WebMailCall::Text(kMsgForwardOfMailboxId) + " -- " + forwarded;
  RecordAccepted(call, sent, Joined(WebMailSplitAddresses(to + ", " + cc + ", " + bcc)), info2);
  RemoveDraft(call, draft);
  MarkOriginal(call, answered, TernMailFlag::Replied);
  MarkOriginal(call, forwarded, TernMailFlag::Forwarded);
  call.DropAll(kHeaderPrefix);
  call.DropAll(kAttachPrefix);
  call.Drop("MessageBody");
  // Back where the answered message is, else to the mailbox view.
  std::string original = answered.empty() ? forwarded : answered;
  {
    CTernOpenMailbox box = WebMailOpen(call.User(), call.Var("Mailbox"));
    if (box && !original.empty() && WebMailFind(*box, original)) {
      call.Set("Message", original);
      return {kPageViewMessage, WebMailCall::Text(kMsgMessageSent)};
    }
  }
  call.Drop("Message");
  if (!call.Has("Mailbox")) call.Set("Mailbox", kTernInbox);
  return {kPageViewMailbox, WebMailCall::Text(kMsgMessageSent)};
}

WebMailNext WebMailRedirect(WebMailCall& call, const std::string& resentTo, const std::string& resentCc,
                            const std::string& resentBcc) {
  std::string error;
  std::vector<std::string> recipients = Recipients({resentTo, resentCc, resentBcc}, error);
  if (recipients.empty()) return {kPageComposeAddresses, error};
  WebMailSent sent;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
    if (!message) return {kPageViewMessage, WebMailCall::Text(kMsgSendMessageFailed)};
    std::string resent = "Resent-From: " + call.Address() + "\r\n";
    if (!resentTo.empty()) resent += WebMailHeaderLine("Resent-To", resentTo);
    if (!resentCc.empty()) resent += WebMailHeaderLine("Resent-CC", resentCc);
    resent += "Resent-Date: " + CTernTime::Now().MailDate() + "\r\n";
    WebMailOutgoing out;
    out.sender = call.Address();
    for (const std::string& r : recipients) out.recipients.emplace_back().address = r;
    out.writeBody = [&](CTernQueuedMessage& queued) {
      return queued.WriteBody(resent) && CopyForSending(*message, queued);
    };
    if (!WebMailQueue(call, out, sent)) return {kPageViewMessage, WebMailCall::Text(kMsgSendMessageFailed)};
  }
  RecordAccepted(call, sent, Joined(recipients), "");
  return {kPageViewMessage, WebMailCall::Text(kMsgMessageSent)};
}
