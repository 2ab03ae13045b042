// The page frame's application operations: head, navigation bars, footers, and the
// small pieces the start pages show.
#include "web/web_operations.h"

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "config/accounts_file.h"
#include "config/effective_settings.h"
#include "net/mail_address.h"
#include "platform/accounts.h"
#include "web/template_tag.h"
#include "web/web_context.h"

namespace {

// A file ShowFile shows is at most this long.
constexpr int32_t kMaxShownFile = 256 * 1024;

// The standard footer, which closes the page.
std::string StandardFooter() {
  return std::string("<!--Begin standard footer-->\r\n<footer class=\"standard\">\r\n"
                     "<img src=\"/images/badge.gif\" width=\"20\" height=\"20\" alt=\"\">\r\n<p>Ostrel ") +
         kWebVersion +
         " &middot; Copyright &copy; the Ostrel developers &middot; "
         "<a href=\"/docs/legal.html\">Legal notice</a></p>\r\n</footer>\r\n</body>\r\n</html>\r\n";
}

constexpr char kLogoffForm[] =
    "<form method=\"post\" action=\"/Deauthenticate\" class=\"logoff\">"
    "<button type=\"submit\">Log off</button></form>\r\n";

int Write(const TemplateCall& c, std::string_view text) {
  c.page.request.Write(text);
  return kTemplateDone;
}

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  c.page.request.GetVariable(name, value);
  return value;
}

// A navigation bar of links to pages, the page being shown marked as current, and
// the log-off button for a logged-in user.
std::string NavigationBar(const TemplateCall& c, const char* label, const std::vector<WebLink>& links) {
  std::string what = Variable(c, "what");
  std::string out = std::string("<nav class=\"bar\" aria-label=\"") + label + "\">\r\n<ul>\r\n";
  for (const WebLink& link : links) {
    out += "<li><a href=\"/Display?what=" + TemplateEscape(link.page) + "\"";
    if (link.page == what) out += " aria-current=\"page\"";
    out += ">" + TemplateEscape(link.label) + "</a></li>\r\n";
  }
  out += "</ul>\r\n";
  if (!c.page.user.empty()) out += kLogoffForm;
  return out + "</nav>\r\n";
}

int AdminHeader(const TemplateCall& c) {
  std::string out =
      "<!DOCTYPE html>\r\n<html lang=\"en\">\r\n<head>\r\n<meta charset=\"utf-8\">\r\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\r\n<title>" +
      TemplateEscape(TemplateParam(c.params, "title")) +
      " &middot; Ostrel</title>\r\n<link rel=\"stylesheet\" href=\"/docs/ostrel.css\">\r\n"
      // Named, so that browsers do not ask for /favicon.ico: that path would get a
      // login page, whose fresh session cookie replaces the one of the login form
      // being filled in.
      "<link rel=\"icon\" href=\"/images/badge.gif\">\r\n</head>\r\n"
      "<body>\r\n<header class=\"masthead\">\r\n"
      "<img src=\"/images/logo.gif\" width=\"184\" height=\"40\" alt=\"Ostrel\">\r\n";
  if (!c.page.user.empty())
    out += "<p class=\"who\">Logged in as <strong>" + TemplateEscape(c.page.user) + "</strong></p>\r\n";
  return Write(c, out + "</header>\r\n");
}

int MyAddress(const TemplateCall& c) {
  // A bare name completed with the local domain; no name-server look-up.
  CTernMailAddress address(false);
  if (c.page.user.empty() || address.Parse(c.page.user) != 0) return kTemplateDone;
  return Write(c, TemplateEscape(address.Form(kMailFormCanonical)));
}

int RequiredVar(const TemplateCall& c) {
  if (!Variable(c, TemplateParam(c.params, "var")).empty()) return kTemplateDone;
  c.page.error(c.page.request, TemplateParam(c.params, "message"));
  return kTemplateStop;
}

// A file name of the local directory: letters, digits, "_", "-" and ".", not
// beginning with "." (so never "..").
bool ShowableName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '-' || c == '.'))
      return false;
  return true;
}

int ShowFile(const WebContext& web, const TemplateCall& c) {
  std::string name = TemplateParam(c.params, "file");
  if (!ShowableName(name)) return kTemplateDone;
  std::string path = PathJoin(web.LocalDir(), name);
  if (!FileExists(path, false)) return kTemplateDone;
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string text;
  int32_t size = -1;
  bool read = file.Open() && (size = file.Size()) >= 0 && size <= kMaxShownFile && file.Read(text) >= 0;
  file.Close();
  return read ? Write(c, TemplateEscape(text)) : kTemplateDone;
}

int SystemUserBox(const TemplateCall& c) {
  std::string out = TemplateSelectOpen(c.params);
  for (const std::string& account : WebSystemAccounts(CTernAccountsFile::ProcessPath()))
    TemplateOption(out, account, false);
  return Write(c, out + "</select>\r\n");
}

int CanUseWebClient(WebContext& web, const TemplateCall& c) {
  auto* request = dynamic_cast<HttpRequest*>(&c.page.request);
  if (!request) return kTemplateNotMine;
  WebUser user{!c.page.user.empty(), c.page.user, c.page.userPerms};
  return web.WebClientGate(*request, user, TemplateParam(c.params, "message")) ? kTemplateDone : kTemplateStop;
}

}  // namespace

std::vector<std::string> WebSystemAccounts(const std::string& accountsFile) {
  std::vector<std::string> accounts;
  auto add = [&accounts](const std::string& account) {
    for (const std::string& known : accounts)
      if (TernEqualsNoCase(known, account)) return;
    accounts.push_back(account);
  };
  for (const std::string& entry : CTernAccountsFile(accountsFile).Accounts())
    add(entry.find('\\') == std::string::npos ? ".\\" + entry : entry);
  for (const std::string& login : PlatformLoginAccounts()) add(".\\" + login);
  return accounts;
}

void WebAddFrameOperations(WebContext& web) {
  web.AddOperation("AdminHeader", AdminHeader);
  web.AddOperation("AdminFooter", [&web](const TemplateCall& c) {
    return Write(c, NavigationBar(c, "Administration", web.AdminLinks()) + StandardFooter());
  });
  web.AddOperation("UserFooter", [](const TemplateCall& c) { return Write(c, StandardFooter()); });
  web.AddOperation("ShowUserBar", [&web](const TemplateCall& c) {
    return Write(c, NavigationBar(c, "Web mail", web.UserLinks()));
  });
  web.AddOperation("CanUseWebClient", [&web](const TemplateCall& c) { return CanUseWebClient(web, c); });
  web.AddOperation("RequiredVar", RequiredVar);
  web.AddOperation("ShowVersionNumber", [](const TemplateCall& c) { return Write(c, kWebVersion); });
  web.AddOperation("MyAddress", MyAddress);
  web.AddOperation("ShowFile", [&web](const TemplateCall& c) { return ShowFile(web, c); });
  web.AddOperation("SystemUserBox", SystemUserBox);
}
