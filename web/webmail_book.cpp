// Web mail: the address book pages (AddressBookDispatch, EditBook) and the choice
// of recipients from it (AddressCompose), for a message being written or for a
// redirect.
#include "base/ascii.h"
#include "base/message_codes.h"
#include "net/mail_address.h"
#include "web/template_engine.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

constexpr const char* kFields[] = {"To", "CC", "BCC"};

// Whether every address of an entry parses.
bool Parses(const std::string& addresses) {
  std::vector<std::string> list = WebMailSplitAddresses(addresses);
  for (const std::string& one : list) {
    CTernMailAddress address(false);
    if (address.Parse(one) != 0 || address.Form(kMailFormCanonical).empty()) return false;
  }
  return !list.empty();
}

WebMailNext Dispatch(WebMailCall& call) {
  if (call.Pressed("Add")) {
    for (const char* name : {"OldNickname", "Nickname", "EmailAddress", "ReturnTo"}) call.Drop(name);
    return {kPageBookEntry, ""};
  }
  std::vector<std::string> chosen = WebMailValues(call.Var("Address"));
  std::unique_ptr<CTernAddressBook> book = WebMailBook(call.User());
  if (!book || !book->Loaded()) return {kPageBook, WebMailCall::Text(kMsgMailboxOpenFailed)};
  if (call.Pressed("Edit") && !chosen.empty()) {
    std::string address;
    if (!book->Find(chosen.front(), address)) return {kPageBook, WebMailCall::Text(kMsgNothingSelected)};
    call.Set("OldNickname", chosen.front());
    call.Set("Nickname", chosen.front());
    call.Set("EmailAddress", address);
    call.Drop("ReturnTo");
    return {kPageBookEntry, ""};
  }
  if (call.Pressed("Delete") && !chosen.empty()) {
    for (const std::string& nickname : chosen) book->Remove(nickname);
    if (book->Save() != 0) return {kPageBook, WebMailCall::Text(kMsgEditMessageFailed)};
  }
  if ((call.Pressed("Edit") || call.Pressed("Delete")) && chosen.empty())
    return {kPageBook, WebMailCall::Text(kMsgNothingSelected)};
  return {kPageBook, ""};
}

void AddressBookDispatch(WebMailCall& call) {
  WebMailNext next = Dispatch(call);
  call.Show(next.page, next.error);
}

WebMailNext Store(WebMailCall& call) {
  std::string nickname = WebMailTrimmed(call.Var("Nickname")), address = WebMailTrimmed(call.Var("EmailAddress"));
  if (nickname.empty() || address.empty()) return {kPageBookEntry, WebMailCall::Text(kMsgNicknameAndAddress)};
  if (!TernValidBookText(nickname, kTernNicknameLimit) || !TernValidBookText(address, kTernBookAddressLimit) ||
      !Parses(address))
    return {kPageBookEntry, kWebMailTextBadBookEntry};
  std::unique_ptr<CTernAddressBook> book = WebMailBook(call.User());
  if (!book || !book->Loaded()) return {kPageBookEntry, WebMailCall::Text(kMsgMailboxOpenFailed)};
  std::string old = call.Var("OldNickname");
  if (!old.empty()) book->Remove(old);
  if (book->Set(nickname, address) != 0 || book->Save() != 0)
    return {kPageBookEntry, WebMailCall::Text(kMsgEditMessageFailed)};
  // Only a web mail page of this installation may come next.
  std::string next = call.Var("ReturnTo");
  if (!TemplateValidName(next) || WebPageAudience(next) != WebAudience::User) next = kPageBook;
  for (const char* name : {"OldNickname", "Nickname", "EmailAddress", "ReturnTo"}) call.Drop(name);
  return {next, ""};
}

void EditBook(WebMailCall& call) {
  WebMailNext next = Store(call);
  call.Show(next.page, next.error);
}

// The addresses chosen for field: those typed in "ADL-" field "-Other", then those
// of the entries selected in "ADL-" field, joined with ", ".
std::string Chosen(WebMailCall& call, const CTernAddressBook& book, const std::string& field) {
  std::string out;
  for (const std::string& typed : WebMailSplitAddresses(call.Var(kSelectionPrefix + field + "-Other")))
    out += (out.empty() ? "" : ", ") + typed;
  for (const std::string& nickname : WebMailValues(call.Var(kSelectionPrefix + field))) {
    std::string address;
    if (book.Find(nickname, address)) out += (out.empty() ? "" : ", ") + address;
  }
  return out;
}

void AddressCompose(WebMailCall& call) {
  bool redirect = !call.Var("Redirect").empty();
  if (!call.Pressed("Submit")) return call.Show(redirect ? kPageViewMessage : kPageCompose);
  std::string chosen[3];
  {
    std::unique_ptr<CTernAddressBook> book = WebMailBook(call.User());
    if (!book || !book->Loaded()) return call.Show(kPageComposeAddresses, WebMailCall::Text(kMsgMailboxOpenFailed));
    for (size_t i = 0; i < 3; ++i) chosen[i] = Chosen(call, *book, kFields[i]);
  }
  call.DropAll(kSelectionPrefix);
  if (redirect) {
    WebMailNext next = WebMailRedirect(call, chosen[0], chosen[1], chosen[2]);
    if (next.page != kPageComposeAddresses) call.Drop("Redirect");
    return call.Show(next.page, next.error);
  }
  for (size_t i = 0; i < 3; ++i) {
    if (chosen[i].empty())
      call.Drop(kHeaderPrefix + std::string(kFields[i]));
    else
      call.Set(kHeaderPrefix + std::string(kFields[i]), chosen[i]);
  }
  call.Show(kPageCompose);
}

}  // namespace

void WebMailFillSelections(WebMailCall& call) {
  std::unique_ptr<CTernAddressBook> book = WebMailBook(call.User());
  std::vector<TernAddressBookEntry> entries;
  if (book && book->Loaded()) entries = book->List();
  for (const char* field : kFields) {
    std::string selected, others;
    for (const std::string& address : WebMailSplitAddresses(call.Var(kHeaderPrefix + std::string(field)))) {
      auto entry = std::find_if(entries.begin(), entries.end(),
                                [&address](const auto& e) { return TernEqualsNoCase(WebMailTrimmed(e.address), address); });
      if (entry != entries.end())
        selected += (selected.empty() ? "" : std::string(1, kHttpValueSeparator)) + entry->nickname;
      else
        others += (others.empty() ? "" : ", ") + address;
    }
    call.Set(kSelectionPrefix + std::string(field), selected);
    call.Set(kSelectionPrefix + std::string(field) + "-Other", others);
  }
}

void WebMailAddBookHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup) {
  WebMailSetHandler(web, setup, "AddressBookDispatch", WebHandlerKind::Action, AddressBookDispatch);
  WebMailSetHandler(web, setup, "EditBook", WebHandlerKind::Action, EditBook);
  // It can send a redirect at once, so it takes a form sent with POST only.
  WebMailSetHandler(web, setup, "AddressCompose", WebHandlerKind::Action, AddressCompose);
}
