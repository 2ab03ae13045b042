// Web mail: the buttons of a message's page that lead to another page with the
// message's content: reply, reply to all, forward, add the sender to the address
// book, edit; and the loading of a stored message into the variables of a message
// being written.
#include "base/ascii.h"
#include "base/message_codes.h"
#include "message/message.h"
#include "net/mail_address.h"
#include "store/mailbox_names.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// The whole of a body a draft takes over: no mail is longer than this.
constexpr size_t kWholeText = 64 * 1024 * 1024;

std::string Header(CTernMessage& message, std::string_view name) {
  std::string value;
  message.FindHeader(name, value);
  return value;
}

// Forgets the message being written, for a new one.
void StartDraft(WebMailCall& call) {
  call.DropAll(kHeaderPrefix);
  call.DropAll(kAttachPrefix);
  call.DropAll(kSelectionPrefix);
  for (const char* name : {"MessageBody", "DeleteAttached", "AttachFile", "Message", "Redirect"}) call.Drop(name);
}

// The text of the message's body (an HTML body as its text).
std::string BodyText(WebMailCall& call, CTernMessage& message, bool htmlBody, size_t limit) {
  WebMailParts parts = WebMailPartsOf(message, htmlBody);
  if (parts.body < 0) return "";
  WebMailScratch scratch(call.Request());
  bool cut = false;
  return WebMailPartText(message, parts.body, parts.bodyType, parts.bodyCharset, limit, cut, scratch.Path());
}

bool IsOwnAddress(const WebMailCall& call, const std::string& text) {
  CTernMailAddress address(false);
  return address.Parse(text) == 0 && TernEqualsNoCase(address.Form(kMailFormCanonical), call.Address());
}

// The addresses of a header other than the user's own, joined with ", ".
std::string OthersOf(const WebMailCall& call, const std::string& list) {
  std::string out;
  for (const std::string& address : WebMailSplitAddresses(list))
    if (!IsOwnAddress(call, address)) out += (out.empty() ? "" : ", ") + address;
  return out;
}

void SetHeader(WebMailCall& call, const std::string& name, const std::string& value) {
  if (!value.empty()) call.Set(kHeaderPrefix + name, value);
}

// The message's header lines for a forward: without the trace and the approval
// fields, which are the server's business.
std::string ForwardedHeader(CTernMessage& message) {
  std::string text;
  for (const auto& [name, value] : message.Headers()) {
    if (TernEqualsNoCase(name, "Received") || TernBeginsNoCase(name, "X-Notify-") ||
        TernEqualsNoCase(name, "X-OldSMTP-ID"))
      continue;
    text += name + ": " + value + "\r\n";
  }
  return text;
}

}  // namespace

WebMailNext WebMailPrepareReply(WebMailCall& call, bool all) {
  std::string to, cc, subject, messageId, references, body, id;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
    if (!message) return {kPageViewMailbox, WebMailNotFound(current.entry.id)};
    to = Header(*message, "Reply-To");
    if (to.empty()) to = Header(*message, "From");
    if (all) {
      std::string others = OthersOf(call, Header(*message, "To"));
      if (!others.empty()) to += (to.empty() ? "" : ", ") + others;
      cc = OthersOf(call, Header(*message, "CC"));
    }
    subject = WebMailReplySubject(WebMailDecodeHeader(Header(*message, "Subject")));
    messageId = Header(*message, "Message-Id");
    references = Header(*message, "References");
    if (!messageId.empty()) references += (references.empty() ? "" : " ") + messageId;
    body = WebMailQuote(BodyText(call, *message, true, kWebMailShownText));
    id = current.entry.id;
  }
  StartDraft(call);
  SetHeader(call, "To", to);
  SetHeader(call, "CC", cc);
  SetHeader(call, "Subject", subject);
  SetHeader(call, "In-Reply-To", messageId);
  SetHeader(call, "References", references);
  SetHeader(call, "X-In-Response-To", id);
  call.Set("MessageBody", body);
  return {kPageCompose, ""};
}

WebMailNext WebMailPrepareForward(WebMailCall& call) {
  std::string subject, body, id, source;
  bool attachments = false;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
    if (!message) return {kPageViewMailbox, WebMailNotFound(current.entry.id)};
    subject = WebMailDecodeHeader(Header(*message, "Subject"));
    body = WebMailCall::Text(kMsgForwardStart) + "\r\n" + ForwardedHeader(*message) + "\r\n" +
           WebMailCrLf(BodyText(call, *message, true, kWholeText)) + WebMailCall::Text(kMsgForwardEnd) + "\r\n";
    attachments = !WebMailPartsOf(*message, false).attachments.empty();
    id = current.entry.id;
    source = current.box->Name();
  }
  StartDraft(call);
  SetHeader(call, "Subject", subject);
  SetHeader(call, "X-Forwarded-To", id);
  call.Set("MessageBody", body);
  if (!attachments) return {kPageCompose, ""};
  // The attachments come along in a draft saved at once.
  std::string error;
  if (!WebMailSaveDraft(call, {kTernDrafts, "", source, id, false}, error)) return {kPageViewMessage, error};
  return {kPageCompose, ""};
}

WebMailNext WebMailPrepareBookEntry(WebMailCall& call) {
  std::string from;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
    if (message) from = WebMailDecodeHeader(Header(*message, "From"));
  }
  std::string name, address;
  WebMailSplitSender(from, name, address);
  if (name.empty()) name = address.substr(0, address.find('@'));
  call.Set("Nickname", name);
  call.Set("EmailAddress", address);
  call.Set("ReturnTo", kPageViewMessage);
  call.Drop("OldNickname");
  return {kPageBookEntry, ""};
}

WebMailNext WebMailPrepareEdit(WebMailCall& call) {
  WebMailCurrent current = WebMailOpenCurrent(call);
  if (!current) return current.failure;
  std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
  if (!message) return {kPageViewMailbox, WebMailNotFound(current.entry.id)};
  WebMailLoadMessage(call, *message);
  return {kPageEdit, ""};
}

void WebMailLoadMessage(WebMailCall& call, CTernMessage& message) {
  call.DropAll(kHeaderPrefix);
  call.DropAll(kAttachPrefix);
  call.Drop("MessageBody");
  call.Drop("DeleteAttached");
  for (const auto& [name, value] : message.Headers()) {
    if (WebMailReservedHeader(name) || !WebMailHeaderName(name)) continue;
    std::string key = kHeaderPrefix + name, decoded = WebMailDecodeHeader(value);
    std::string earlier = call.Var(key);
    call.Set(key, earlier.empty() ? decoded : earlier + ", " + decoded);
  }
  call.Set("MessageBody", BodyText(call, message, false, kWholeText));
  int index = 0;
  for (const WebMailAttachment& a : WebMailPartsOf(message, false).attachments)
    call.Set(kAttachPrefix + std::to_string(++index), WebMailFileName(a.name));
}
