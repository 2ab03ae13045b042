// The request of a web mail handler, the user's mailboxes as the forms may name
// them, and the registration of the client's handlers and operations.
#include <algorithm>

#include "base/ascii.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/number.h"
#include "log/activity_log.h"
#include "net/mail_address.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"
#include "web/template_tag.h"
#include "web/webmail_internal.h"

WebMailManager::WebMailManager(const std::string& user)
    : m_Table(CTernMailboxTable::Process()), m_User(user), m_Manager(m_Table ? m_Table->GetManager(user) : nullptr) {}

WebMailManager::~WebMailManager() {
  if (m_Manager) m_Table->ReleaseManager(m_User);
}

bool WebMailSpecialBox(std::string_view name) {
  for (const char* special : kWebMailSpecialBoxes)
    if (TernEqualsNoCase(name, special)) return true;
  return false;
}

std::string WebMailAddress(const std::string& user) {
  // A bare name completed with the local domain; no name-server look-up.
  CTernMailAddress address(false);
  if (user.empty() || address.Parse(user) != 0) return "";
  return address.Form(kMailFormCanonical);
}

std::string WebMailBoxName(const std::string& user, std::string_view name) {
  if (!TernValidMailboxName(name) || !CTernMailboxTable::HasMailService(user)) return "";
  for (const char* special : kWebMailSpecialBoxes)
    if (TernEqualsNoCase(name, special)) return special;
  WebMailManager manager(user);
  if (!manager.Get()) return "";
  for (const std::string& box : manager.Get()->List())
    if (TernEqualsNoCase(box, name)) return box;
  return "";
}

std::vector<std::string> WebMailBoxes(const std::string& user) {
  std::vector<std::string> names(std::begin(kWebMailSpecialBoxes), std::end(kWebMailSpecialBoxes));
  WebMailManager manager(user);
  if (!manager.Get()) return names;
  for (const std::string& box : manager.Get()->List())
    if (!WebMailSpecialBox(box)) names.push_back(box);
  return names;
}

CTernOpenMailbox WebMailOpen(const std::string& user, std::string_view name) {
  CTernMailboxTable* table = CTernMailboxTable::Process();
  std::string box = WebMailBoxName(user, name);
  if (!table || box.empty()) return CTernOpenMailbox(TernOpenStatus::NoMailbox);
  return table->OpenMailbox(user, box, kWebMailBoxWait);
}

int32_t WebMailFind(const CTernMailbox& box, std::string_view id) {
  if (id.empty()) return 0;
  int32_t n = box.Find(id);
  TernTocEntry entry;
  if (n == 0 || (box.Info(n, entry) == 0 && !entry.Marked())) return n;
  // The first of that ID is going; a later one of the same ID may stay.
  for (int32_t m = n + 1; box.Info(m, entry) == 0; ++m)
    if (entry.id == id && !entry.Marked()) return m;
  return 0;
}

int32_t WebMailNumber(std::string_view text) {
  int32_t value = 0;
  return TernParseNumber(text, value, 0) ? value : 0;
}

std::vector<std::string> WebMailValues(const std::string& joined) {
  return TemplateSplit(joined, kHttpValueSeparator);
}

std::unique_ptr<CTernAddressBook> WebMailBook(const std::string& user) {
  CTernMailboxTable* table = CTernMailboxTable::Process();
  return table ? std::make_unique<CTernAddressBook>(table->Root(), user) : nullptr;
}

std::string WebMailNotFound(std::string_view id) {
  return WebMailCall::Text(kMsgNotInMailbox) + " (" + std::string(id) + "). ";
}

WebMailScratch::~WebMailScratch() {
  if (FileExists(m_Path, false)) FileRemove(m_Path, false);
}

WebMailCall::WebMailCall(WebContext& web, HttpRequest& request, const WebMailSetup& setup, WebUser user)
    : m_Web(web), m_Request(request), m_Setup(setup), m_User(std::move(user)),
      m_Address(WebMailAddress(m_User.name)) {}

std::string WebMailCall::Var(const std::string& name) const {
  std::string value;
  m_Request.GetVariable(name, value);
  return value;
}

bool WebMailCall::Has(const std::string& name) const {
  std::string value;
  return m_Request.GetVariable(name, value);
}

bool WebMailCall::Pressed(const std::string& button) const { return Has(button) || Has(button + ".x"); }

void WebMailCall::Set(const std::string& name, const std::string& value) { m_Request.ReplaceVariable(name, value); }

void WebMailCall::Drop(const std::string& name) {
  m_Request.RemoveVariable(name);
  m_Request.RemoveVariable("HV-" + name);
}

void WebMailCall::DropAll(std::string_view prefix) {
  for (const auto& [name, value] : m_Request.Variables())
    if (TernBeginsNoCase(name, prefix)) Drop(name);
}

std::string WebMailCall::Text(int code) {
  CTernMessages texts;
  return texts.Text(code);
}

void WebMailCall::Show(const std::string& page, const std::string& error) {
  Set("what", page);
  if (error.empty())
    Drop("error");
  else
    Set("error", error);
  m_Web.DisplayPage(m_Request);
}

void WebMailCall::Record(long action, long result,
                         std::initializer_list<std::pair<int, std::string>> fields) const {
  CTernActivityRecord record;
  record.AddStandard(kRealmWebClient, action, result, m_User.name, Client());
  for (const auto& [key, value] : fields)
    if (!value.empty()) record.Add(key, value);
  CTernActivityLog::Write(record);
}

void WebMailSetHandler(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup, const std::string& name,
                       WebHandlerKind kind, WebMailHandler handler) {
  web.SetHandler(name, kind, [setup, name, handler](WebContext& context, HttpRequest& request) {
    WebUser user;
    if (!context.RequireLogin(request, WebAudience::User, name, user)) return;
    if (!context.WebClientGate(request, user)) return;
    WebMailCall call(context, request, *setup, user);
    if (!CTernMailboxTable::Process()) return call.Show(kPageMailboxes, WebMailCall::Text(kMsgMailboxOpenFailed));
    handler(call);
  });
}

void WebAddMail(WebContext& web, WebMailSetup setup) {
  auto shared = std::make_shared<const WebMailSetup>(std::move(setup));
  WebMailAddBoxHandlers(web, shared);
  WebMailAddReadHandlers(web, shared);
  WebMailAddWriteHandlers(web, shared);
  WebMailAddBookHandlers(web, shared);
  WebMailAddOperations(web);
  WebMailAddMessageOperations(web);
  web.AddUserLink("Write", kPageCompose);
  web.AddUserLink("Address book", kPageBook);
}
