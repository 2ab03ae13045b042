// Web mail: the buttons of a message's page (MessageDispatch) and the download of
// one of its parts (GetAttachment).
#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/message_codes.h"
#include "message/message.h"
#include "store/mailbox_names.h"
#include "web/http_form.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// The only types a page may show in place: images that run nothing.
constexpr const char* kInlineTypes[] = {"image/gif", "image/jpeg", "image/png"};

WebMailNext Visit(WebMailCall& call) {
  std::string name = WebMailBoxName(call.User(), call.Var("NewBox"));
  if (name.empty()) return {kPageMailboxes, WebMailCall::Text(kMsgMailboxOpenFailed)};
  call.Set("Mailbox", name);
  call.Set("FirstMessage", "1");
  call.Drop("LastMessageSeen");
  call.Drop("Message");
  return {kPageViewMailbox, ""};
}

// The number of the message Previous, Next or NextUnread leads to; 0 past the ends.
int32_t Neighbour(WebMailCall& call, const CTernMailbox& box, int32_t n) {
  TernMailboxCounts counts;
  box.Counts(counts);
  if (call.Pressed("Previous")) return n - 1;
  if (call.Pressed("Next")) return n < counts.messages ? n + 1 : 0;
  for (int32_t m = n + 1; m <= counts.messages; ++m)
    if (box.IsUnread(m)) return m;
  return 0;
}

std::string IdOf(const CTernMailbox& box, int32_t n) {
  TernTocEntry entry;
  return n >= 1 && box.Info(n, entry) == 0 ? entry.id : "";
}

// Delete or MoveTo: true when the message left the mailbox.
bool Remove(WebMailCall& call, WebMailCurrent& current, std::string& error) {
  if (call.Pressed("Delete")) {
    if (WebMailDelete(call, *current.box, current.n)) return true;
    error = kWebMailTextMoveFailed;
    return false;
  }
  std::string target = WebMailBoxName(call.User(), call.Var("NewBox"));
  if (target.empty() || target == current.box->Name()) {
    error = WebMailCall::Text(kMsgMailboxOpenFailed);
    return false;
  }
  bool moved = false;
  {
    CTernOpenMailbox to = WebMailOpen(call.User(), target);
    moved = to && WebMailMove(call, *current.box, current.n, *to);
  }
  if (moved && current.box->Compact() == 0) return true;
  error = kWebMailTextMoveFailed;
  return false;
}

// Previous, Next, NextUnread, Delete and MoveTo: the message they lead to, or the
// mailbox view past either end.
WebMailNext Navigate(WebMailCall& call) {
  std::string next, error;
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    if (call.Pressed("Delete") || call.Pressed("MoveTo")) {
      next = IdOf(*current.box, current.n + 1);
      if (!Remove(call, current, error)) return {kPageViewMessage, error};
    } else {
      next = IdOf(*current.box, Neighbour(call, *current.box, current.n));
    }
  }
  if (next.empty()) {
    call.Drop("Message");
    return {kPageViewMailbox, ""};
  }
  call.Set("Message", next);
  return {kPageViewMessage, ""};
}

WebMailNext Redirect(WebMailCall& call) {
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
  }
  call.Set("Redirect", "1");
  return {kPageComposeAddresses, ""};
}

WebMailNext Dispatch(WebMailCall& call) {
  if (call.Pressed("Visit")) return Visit(call);
  if (call.Pressed("Approve") || call.Pressed("Bounce")) return WebMailAnswerApproval(call, call.Pressed("Approve"));
  if (call.Pressed("Reply") || call.Pressed("ReplyAll")) return WebMailPrepareReply(call, call.Pressed("ReplyAll"));
  if (call.Pressed("Forward")) return WebMailPrepareForward(call);
  if (call.Pressed("AddToBook")) return WebMailPrepareBookEntry(call);
  if (call.Pressed("Edit")) return WebMailPrepareEdit(call);
  if (call.Pressed("Redirect")) return Redirect(call);
  for (const char* button : {"Previous", "Next", "NextUnread", "Delete", "MoveTo"})
    if (call.Pressed(button)) return Navigate(call);
  WebMailCurrent current = WebMailOpenCurrent(call);
  return current ? WebMailNext{kPageViewMessage, ""} : current.failure;
}

void MessageDispatch(WebMailCall& call) {
  WebMailNext next = Dispatch(call);
  call.Show(next.page, next.error);
}

// Sends the file at path as the download of a part.
void SendPart(HttpRequest& request, const std::string& path, const WebMailAttachment& part, bool inlineAsked) {
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  int32_t size = file.Open() ? file.Size() : -1;
  std::string type = WebMailContentType(part.type);
  bool inlined = false;
  for (const char* shown : kInlineTypes) inlined = inlined || (inlineAsked && type == shown);
  std::string name = WebMailFileName(part.name);
  request.SetNoStore();
  request.WriteHeader("Content-Type", type);
  request.WriteHeader("Content-Disposition", std::string(inlined ? "inline" : "attachment") + "; filename=\"" +
                                                 WebMailAsciiFileName(name) + "\"; filename*=UTF-8''" +
                                                 HttpUrlEncode(name));
  request.WriteHeader("X-Content-Type-Options", "nosniff");
  request.WriteHeader("Content-Security-Policy", "sandbox");
  request.WriteHeader("Content-Length", std::to_string(std::max<int32_t>(size, 0)));
  request.Write("\r\n");
  if (request.Method() != HttpMethod::Head) {
    char block[kHttpBlock];
    for (int32_t got; size > 0 && (got = file.Read(block, kHttpBlock)) > 0;)
      if (request.Write(block, got) < 0) break;
  }
  file.Close();
  request.Finish();
}

// The attachment PartNumber of the current message, decoded into path.
bool ExtractAttachment(WebMailCall& call, const std::string& path, WebMailAttachment& part, WebMailNext& failure) {
  WebMailCurrent current = WebMailOpenCurrent(call);
  if (!current) {
    failure = current.failure;
    return false;
  }
  std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
  std::string number = call.Var("PartNumber");
  int32_t wanted = WebMailNumber(number);
  if (!message || number.empty() || (wanted == 0 && number != "0")) return false;
  WebMailParts parts = WebMailPartsOf(*message, false);
  bool found = false;
  for (const WebMailAttachment& a : parts.attachments)
    if (a.part == wanted) part = a, found = true;
  if (!found && parts.body == wanted) part = {wanted, "message.txt", "text/plain"}, found = true;
  return found && WebMailExtractPart(*message, wanted, path);
}

void GetAttachment(WebMailCall& call) {
  WebMailScratch scratch(call.Request());
  WebMailAttachment part;
  WebMailNext failure{kPageViewMessage, WebMailCall::Text(kMsgAttachmentFailed)};
  if (!ExtractAttachment(call, scratch.Path(), part, failure)) return call.Show(failure.page, failure.error);
  SendPart(call.Request(), scratch.Path(), part, call.Has("Inline"));
}

}  // namespace

WebMailCurrent WebMailOpenCurrent(WebMailCall& call) {
  WebMailCurrent current;
  std::string name = call.Has("Mailbox") ? call.Var("Mailbox") : kTernInbox;
  current.box = WebMailOpen(call.User(), name);
  if (!current.box) {
    current.failure = {kPageMailboxes, WebMailCall::Text(kMsgMailboxOpenFailed)};
    return current;
  }
  call.Set("Mailbox", current.box->Name());
  std::string id = call.Var("Message");
  current.n = WebMailFind(*current.box, id);
  if (current.n == 0 || current.box->Info(current.n, current.entry) != 0)
    current.failure = {kPageViewMailbox, WebMailNotFound(id)};
  return current;
}

void WebMailAddReadHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup) {
  WebMailSetHandler(web, setup, "MessageDispatch", WebHandlerKind::Action, MessageDispatch);
  WebMailSetHandler(web, setup, "GetAttachment", WebHandlerKind::Page, GetAttachment);
}
