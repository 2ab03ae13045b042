// WebContext: login (/Authenticate), logoff (/Deauthenticate) and the continuation
// of the request that a login interrupted.
#include <charconv>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/password_test.h"
#include "web/http_server.h"
#include "log/activity_log.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "web/http_form.h"
#include "web/template_engine.h"
#include "web/web_context.h"

namespace {

// A user name goes into a failed login's record at most this long.
constexpr size_t kMaxRecordedName = 128;
// A page continued after a login is asked for again by a redirect whose query
// holds the variables the login carried, when they fit into this many bytes.
constexpr size_t kMaxContinuationQuery = 4000;
// Variables of the login itself, which the continued page does not get back.
constexpr const char* kLoginVariables[] = {"what",      "action",   "issued",     "username", "password",
                                           "loginform", "infohost", "loginerror", "referer"};

// Takes a variable out of the request.
std::string Take(HttpRequest& request, const std::string& name) {
  std::string value;
  request.GetVariable(name, value);
  request.RemoveVariable(name);
  return value;
}

// The `issued` time of a login form; -1 when it is no number.
time_t IssuedTime(const std::string& text) {
  long value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

bool IsLoginVariable(std::string_view name) {
  for (const char* login : kLoginVariables)
    if (TernEqualsNoCase(name, login)) return true;
  return false;
}

}  // namespace

bool WebContext::PasswordMatches(const std::string& user, const std::string& password) {
  Configuration* config = Configuration::Process();
  if (config && !user.empty()) return TernPasswordTest(*config, user, password);
  // A name without a user object takes as long as a wrong password would.
  PlatformPasswordMatches(password, m_UnknownUserHash);
  return false;
}

void WebContext::Authenticate(HttpRequest& request) {
  std::string name = Take(request, "username");
  std::string password = Take(request, "password");
  std::string issued = Take(request, "issued");
  std::string loginPage = Take(request, "loginform");
  request.RemoveVariable("infohost");
  // The form to show again must be a login page of this installation.
  if (!TemplateValidName(loginPage) || WebPageAudience(loginPage) != WebAudience::Public)
    loginPage = kWebAdminLoginPage;
  const std::string& client = request.ClientAddress();
  std::string id;
  request.GetCookie(kWebCookieName, id);
  if (m_Throttle.Throttled(client, PlatformNow())) PlatformSleepMs(m_ThrottleDelayMs);

  CTernMessages texts;
  std::string recorded = name.substr(0, kMaxRecordedName);
  auto fail = [&](int text, const std::string& info) {
    m_Throttle.Failed(client, PlatformNow());
    WebWriteRecord(kRealmWebClient, kActionLogin, kResultFailed, recorded, client, info);
    request.ReplaceVariable("loginerror", texts.Text(text));
    ShowLoginPage(request, loginPage);
  };
  if (name.empty() || issued.empty()) return fail(kMsgInvalidLogin, "");
  // A password that may not cross this connection in clear is not tried.
  if (!request.Server().PasswordAllowed(request.Encrypted(), client))
    return fail(kMsgEncryptionRequired, texts.Text(kMsgEncryptionRequired));
  if (id.empty()) return fail(kMsgCookiesRequired, texts.Text(kMsgCookiesRequired));

  time_t now = PlatformNow();
  for (const WebSession& gone : m_Sessions.Purge(now))
    WebWriteRecord(kRealmWebClient, kActionLogoff, kResultSucceeded, gone.user, gone.client,
                   texts.Text(kMsgTimeoutLogoff));
  // An unknown name is answered exactly as a wrong password is, after as long.
  Configuration* config = Configuration::Process();
  std::string user;
  if (config) config->CanonicalName(kTypeUser, name, user);
  time_t issuedTime = IssuedTime(issued);
  bool mayLogIn = m_Sessions.MayLogIn(id, issuedTime, now);
  // The password is checked outside the session table's lock: a slow check holds
  // up no other request.
  if (!mayLogIn || !PasswordMatches(user, password) || user.empty()) return fail(kMsgInvalidLogin, "");
  std::string fresh = m_Sessions.LogIn(id, issuedTime, user, client, PlatformNow());
  if (fresh.empty()) return fail(kMsgInvalidLogin, "");

  SetSessionCookie(request, fresh);
  WebWriteRecord(kRealmWebClient, kActionLogin, kResultSucceeded, user, client);
  if (!client.empty() && !config->ObjectExists(kTypeClient, client)) config->CreateObject(kTypeClient, client);
  ContinueAfterLogin(request, loginPage);
}

void WebContext::ContinueAfterLogin(HttpRequest& request, const std::string& loginPage) {
  std::string action;
  request.GetVariable("action", action);
  if (!action.empty() && action != "Display") {
    // Only a page is continued: a change is never made by a form that had to be
    // sent again through a login.
    WebHandler handler;
    WebHandlerKind kind;
    if (!FindHandler(action, handler, kind) || kind != WebHandlerKind::Page)
      return ShowErrorPage(request, kMsgNoHandlerForRequest);
    return handler(*this, request);
  }
  std::string what;
  request.GetVariable("what", what);
  if (!TemplateValidName(what) || WebPageAudience(what) == WebAudience::Public)
    what = loginPage == kWebUserLoginPage ? kWebUserStartPage : kWebAdminStartPage;
  // The page is asked for again with GET, so that the login's POST never stands
  // in the browser's history: Back then shows the page as it is now.
  std::string query = "what=" + HttpUrlEncode(what);
  for (const auto& [hidden, value] : request.Variables()) {
    if (!TernBeginsNoCase(hidden, "HV-") || IsLoginVariable(hidden.substr(3))) continue;
    query += "&" + HttpUrlEncode(hidden.substr(3)) + "=" + HttpUrlEncode(value);
  }
  if (query.size() <= kMaxContinuationQuery) return request.Redirect("/Display?" + query);
  request.ReplaceVariable("what", what);
  DisplayPage(request);
}

void WebContext::Deauthenticate(HttpRequest& request) {
  std::string id;
  request.GetCookie(kWebCookieName, id);
  WebUser user = SessionCheck(request);
  if (user.loggedIn)
    WebWriteRecord(kRealmWebClient, kActionLogoff, kResultSucceeded, user.name, request.ClientAddress());
  m_Sessions.Remove(id);
  SetSessionCookie(request, "");
  request.Redirect(kWebDefaultPath);
}
