// Web mail: the user's mailboxes (create, delete, rename, empty Trash) and the
// mailbox view (paging, sorting, moving and deleting the selected messages).
#include "base/ascii.h"
#include "base/message_codes.h"
#include "config/configuration.h"
#include "log/activity_log.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// The sort buttons of the mailbox view and the ascending order of each.
constexpr std::pair<const char*, int> kSortButtons[] = {
    {"SortBySubject", 1}, {"SortByStatus", 3}, {"SortByFrom", 5},
    {"SortByDate", 7},    {"SortBySize", 9},   {"SortByTo", 11},
};

// The check of a new mailbox name: empty when it may be made, else the error.
std::string NewNameError(const std::string& user, const std::string& name) {
  if (!Configuration::ValidName(name)) return WebMailCall::Text(kMsgObjectNameInvalid);
  if (!TernValidMailboxName(name) || WebMailSpecialBox(name)) return WebMailCall::Text(kMsgNameReserved);
  if (!WebMailBoxName(user, name).empty()) return kWebMailTextExists;
  return "";
}

void RecordBox(WebMailCall& call, long action, const std::string& name, const std::string& info = "") {
  call.Record(action, kResultSucceeded,
              {{kActType, WebMailCall::Text(kMsgMailbox)}, {kActName, name}, {kActInfo, info}});
}

void CreateBox(WebMailCall& call) {
  std::string name = WebMailTrimmed(call.Var("NewBox"));
  std::string error = CTernMailboxTable::HasMailService(call.User()) ? NewNameError(call.User(), name)
                                                                     : WebMailCall::Text(kMsgMailboxOpenFailed);
  if (error.empty()) {
    WebMailManager m(call.User());
    if (!m.Get() || m.Get()->Add(name) != 0) error = WebMailCall::Text(kMsgMailboxOpenFailed);
  }
  if (error.empty()) RecordBox(call, kActionObjectAdded, name);
  call.Show(kPageMailboxes, error);
}

void DeleteBox(WebMailCall& call) {
  std::string name = WebMailBoxName(call.User(), WebMailTrimmed(call.Var("OldBox")));
  std::string error;
  if (name.empty()) {
    error = WebMailCall::Text(kMsgMailboxOpenFailed);
  } else if (WebMailSpecialBox(name)) {
    error = kWebMailTextSpecialMailbox;
  } else {
    WebMailManager m(call.User());
    if (!m.Get() || m.Get()->Remove(name, true) != 0) error = kWebMailTextNotEmpty;
  }
  if (error.empty()) RecordBox(call, kActionObjectDeleted, name);
  call.Show(kPageMailboxes, error);
}

void RenameBox(WebMailCall& call) {
  std::string from = WebMailBoxName(call.User(), WebMailTrimmed(call.Var("OldBox")));
  std::string to = WebMailTrimmed(call.Var("NewBox"));
  std::string error;
  if (from.empty())
    error = WebMailCall::Text(kMsgMailboxOpenFailed);
  else if (WebMailSpecialBox(from))
    error = kWebMailTextSpecialMailbox;
  else if (TernEqualsNoCase(from, to))
    error = "";  // only the letter case changes, which the store keeps as first given
  else
    error = NewNameError(call.User(), to);
  if (error.empty() && !TernEqualsNoCase(from, to)) {
    WebMailManager m(call.User());
    if (!m.Get() || m.Get()->Rename(from, to) != 0)
      error = kWebMailTextNotEmpty;
    else
      RecordBox(call, kActionObjectRenamed, to, from + " --> " + to);
  }
  call.Show(kPageMailboxes, error);
}

void EmptyTrash(WebMailCall& call) {
  std::string error;
  {
    CTernOpenMailbox trash = WebMailOpen(call.User(), kTernTrash);
    if (!trash) {
      error = WebMailCall::Text(kMsgMailboxOpenFailed);
    } else {
      TernMailboxCounts counts;
      trash->Counts(counts);
      for (int32_t n = 1; n <= counts.messages; ++n) WebMailMarkDeleted(call, *trash, n);
      if (trash->Compact() != 0) error = WebMailCall::Text(kMsgMailboxOpenFailed);
    }
  }
  call.Show(kPageMailboxes, error);
}

// Moves (or, to kWebMailDeleteTarget, deletes) the selected messages of box.
std::string MoveSelected(WebMailCall& call, CTernMailbox& box) {
  std::string target = call.Var("NewBox"), error;
  bool remove = target == kWebMailDeleteTarget;
  std::string targetName = remove ? "" : WebMailBoxName(call.User(), target);
  if (!remove && (targetName.empty() || targetName == box.Name()))
    return targetName.empty() ? WebMailCall::Text(kMsgMailboxOpenFailed) : "";
  CTernOpenMailbox to;
  if (!remove) {
    to = WebMailOpen(call.User(), targetName);
    if (!to) return WebMailCall::Text(kMsgMailboxOpenFailed);
  }
  for (const std::string& id : WebMailValues(call.Var("Message"))) {
    int32_t n = WebMailFind(box, id);
    if (n == 0)
      error += WebMailNotFound(id);
    else if (remove)
      WebMailMarkDeleted(call, box, n);
    else if (!WebMailMove(call, box, n, *to))
      error += kWebMailTextMoveFailed + std::string(" (") + id + "). ";
  }
  if (box.Compact() != 0) error += WebMailCall::Text(kMsgMailboxOpenFailed);
  return error;
}

void MoveMessages(WebMailCall& call) {
  std::string error;
  bool opened = false;
  {
    std::string name = call.Has("Mailbox") ? call.Var("Mailbox") : kTernInbox;
    CTernOpenMailbox box = WebMailOpen(call.User(), name);
    if (box) {
      opened = true;
      call.Set("Mailbox", box->Name());
      for (const auto& [button, ascending] : kSortButtons)
        if (call.Pressed(button)) box->SetSortOrder(WebMailSortOrder(ascending, box->SortOrder()));
      if (call.Pressed("Move")) error = MoveSelected(call, *box);
      TernMailboxCounts counts;
      box->Counts(counts);
      int32_t first = WebMailFirstShown(WebMailNumber(call.Var("FirstMessage")), counts.messages);
      if (call.Pressed("Previous")) first = WebMailPageBack(first, counts.messages);
      if (call.Pressed("Next")) first = WebMailPageForward(first, counts.messages);
      call.Set("FirstMessage", std::to_string(first));
    }
  }
  if (!opened) return call.Show(kPageMailboxes, WebMailCall::Text(kMsgMailboxOpenFailed));
  call.Drop("Message");
  call.Show(kPageViewMailbox, error);
}

}  // namespace

void WebMailMarkDeleted(WebMailCall& call, CTernMailbox& box, int32_t n) {
  TernTocEntry entry;
  if (box.Info(n, entry) != 0 || box.MarkForRemoval(n) != 0) return;
  call.Record(kActionMessageDeleted, 0, {{kActMailbox, box.Name()}, {kActMailboxId, entry.id}});
}

bool WebMailMove(WebMailCall& call, CTernMailbox& from, int32_t n, CTernMailbox& to) {
  TernTocEntry entry;
  if (from.Info(n, entry) != 0) return false;
  {
    std::unique_ptr<CTernMessage> message = from.OpenMessage(n);
    // The copy goes in as it is: the owner's own mail is not checked again.
    if (!message || to.Add(*message, entry.flags, entry.envelopeSender) != TernAddResult::Added) return false;
  }
  if (from.MarkForRemoval(n) != 0) return false;
  call.Record(kActionMessageMoved, 0,
              {{kActMailbox, from.Name()}, {kActMailboxId, entry.id}, {kActInfo, from.Name() + " --> " + to.Name()}});
  return true;
}

bool WebMailDelete(WebMailCall& call, CTernMailbox& box, int32_t n) {
  if (TernEqualsNoCase(box.Name(), kTernTrash)) {
    WebMailMarkDeleted(call, box, n);
  } else {
    CTernOpenMailbox trash = WebMailOpen(call.User(), kTernTrash);
    if (!trash || !WebMailMove(call, box, n, *trash)) return false;
  }
  return box.Compact() == 0;
}

void WebMailAddBoxHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup) {
  WebMailSetHandler(web, setup, "CreateBox", WebHandlerKind::Action, CreateBox);
  WebMailSetHandler(web, setup, "DeleteBox", WebHandlerKind::Action, DeleteBox);
  WebMailSetHandler(web, setup, "RenameBox", WebHandlerKind::Action, RenameBox);
  WebMailSetHandler(web, setup, "EmptyTrash", WebHandlerKind::Action, EmptyTrash);
  WebMailSetHandler(web, setup, "MoveMessages", WebHandlerKind::Action, MoveMessages);
}
