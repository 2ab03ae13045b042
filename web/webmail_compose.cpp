// Web mail: the compose page's buttons (Compose), opening a draft (GoToCompose) and
// editing a stored message in place (EditMessage).
#include "base/message_codes.h"
#include "log/activity_log.h"
#include "message/message.h"
#include "store/mailbox_names.h"
#include "web/webmail_internal.h"

namespace {

void ShowDrafts(WebMailCall& call, const std::string& error = "") {
  call.Set("Mailbox", kTernDrafts);
  call.Set("FirstMessage", "1");
  call.Drop("Message");
  call.Show(kPageViewMailbox, error);
}

// Compose's Delete: the draft leaves "Drafts" for good.
void DeleteDraft(WebMailCall& call) {
  std::string error;
  {
    CTernOpenMailbox drafts = WebMailOpen(call.User(), kTernDrafts);
    int32_t n = drafts ? WebMailFind(*drafts, call.Var("Message")) : 0;
    if (!drafts) {
      error = WebMailCall::Text(kMsgMailboxOpenFailed);
    } else if (n) {
      WebMailMarkDeleted(call, *drafts, n);
      if (drafts->Compact() != 0) error = WebMailCall::Text(kMsgEditMessageFailed);
    }
  }
  ShowDrafts(call, error);
}

void Compose(WebMailCall& call) {
  if (call.Pressed("Delete")) return DeleteDraft(call);
  // What was written is kept first, whatever the button.
  std::string error;
  if (!WebMailSaveDraft(call, {kTernDrafts, call.Var("Message"), "", "", false}, error))
    return call.Show(kPageCompose, error);
  if (call.Pressed("SaveDraft")) return ShowDrafts(call);
  if (call.Pressed("AddFromBook")) {
    WebMailFillSelections(call);
    return call.Show(kPageComposeAddresses);
  }
  if (call.Pressed("Send")) {
    WebMailNext next = WebMailSendDraft(call);
    return call.Show(next.page, next.error);
  }
  call.Show(kPageCompose);
}

void GoToCompose(WebMailCall& call) {
  {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return call.Show(current.failure.page, current.failure.error);
    std::unique_ptr<CTernMessage> message = current.box->OpenMessage(current.n);
    if (message) WebMailLoadMessage(call, *message);
  }
  call.Show(kPageCompose);
}

WebMailNext Edit(WebMailCall& call) {
  if (call.Pressed("Cancel")) return {kPageViewMessage, ""};
  if (call.Pressed("Delete")) {
    WebMailCurrent current = WebMailOpenCurrent(call);
    if (!current) return current.failure;
    if (!WebMailDelete(call, *current.box, current.n)) return {kPageViewMessage, kWebMailTextMoveFailed};
    return {kPageViewMailbox, ""};
  }
  if (!call.Pressed("SaveDraft")) return {kPageEdit, ""};
  std::string old = call.Var("Message"), mailbox = call.Var("Mailbox"), error;
  if (!WebMailSaveDraft(call, {mailbox, old, "", "", true}, error)) return {kPageEdit, error};
  call.Record(kActionMessageEdited, 0,
              {{kActMailbox, call.Var("Mailbox")},
               {kActMailboxId, old},
               {kActInfo, WebMailCall::Text(kMsgNewMailboxId) + " = " + call.Var("Message")}});
  return {kPageViewMessage, ""};
}

void EditMessage(WebMailCall& call) {
  WebMailNext next = Edit(call);
  call.Show(next.page, next.error);
}

}  // namespace

void WebMailAddWriteHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup) {
  WebMailSetHandler(web, setup, "Compose", WebHandlerKind::Action, Compose);
  WebMailSetHandler(web, setup, "GoToCompose", WebHandlerKind::Page, GoToCompose);
  WebMailSetHandler(web, setup, "EditMessage", WebHandlerKind::Action, EditMessage);
}
