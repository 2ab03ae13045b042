// WebContext: the handler table, the dispatcher with the steps every handler
// shares, the session check and the web client gate.
#include "web/web_context.h"

#include <algorithm>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "log/activity_log.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "web/http_server.h"
#include "web/template_tag.h"

namespace {

// The longest time-out a setting can give a session: a year.
constexpr long kMaxTimeoutMinutes = 366L * 24 * 60;

// Every path of the interface: "/" + name. The handlers of this part are set by
// the constructor; the others answer with the error page until their parts set
// them, and their kinds here say already how they may be reached.
struct RouteName {
  const char* name;
  WebHandlerKind kind;
};
constexpr WebHandlerKind kPage = WebHandlerKind::Page;
constexpr WebHandlerKind kAction = WebHandlerKind::Action;
constexpr RouteName kRoutes[] = {
    {"", kPage},                      {"Admin", kPage},
    {"Default", kPage},               {"Display", kPage},
    {"Authenticate", kAction},        {"Deauthenticate", kAction},
    {"AddObj", kAction},              {"DeleteObj", kAction},
    {"ModifyObj", kAction},           {"ModifyCastMembership", kAction},
    {"ModifyList", kAction},          {"ModifyDict", kAction},
    {"DeleteEvent", kAction},         {"EditEvent", kAction},
    {"SchedJunc", kAction},           {"SchedJunc2", kAction},
    {"SchedJunc3", kAction},          {"SchedJunc4", kAction},
    {"AccessReport", kPage},          {"ListReport", kPage},
    {"DictionaryReport", kPage},      {"ShowSettings", kPage},
    {"Diag", kAction},                {"CreateBox", kAction},
    {"DeleteBox", kAction},           {"RenameBox", kAction},
    {"MoveMessages", kAction},        {"EmptyTrash", kAction},
    {"GetAttachment", kPage},         {"MessageDispatch", kAction},
    {"Compose", kAction},             {"GoToCompose", kPage},
    {"EditMessage", kAction},         {"AddressBookDispatch", kAction},
    {"EditBook", kAction},            {"AddressCompose", kPage},
};

// The idle time a user's session is given at a client: the AuthTimeout setting in
// force, in minutes; missing or not positive counts as the default.
long SessionTimeout(const std::string& user, const std::string& client) {
  std::string value;
  long minutes = GetEffectiveValue(client, user, kAttrAuthTimeout, value) == 0 ? SettingNumber(value) : 0;
  if (minutes <= 0) minutes = kWebDefaultAuthTimeout;
  return std::min(minutes, kMaxTimeoutMinutes) * 60;
}

// The host and port of an absolute URL ("scheme://authority/..."); empty when it
// has none or names a user.
std::string Authority(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  return rest.find('@') == std::string_view::npos ? std::string(rest) : "";
}

}  // namespace

WebAudience WebPageAudience(std::string_view page) {
  for (size_t at = page.find('_'); at != std::string_view::npos; at = page.find('_', at + 1)) {
    if (at + 2 >= page.size() || (page[at + 2] != '.' && page[at + 2] != '_')) continue;
    if (page[at + 1] == 'a') return WebAudience::Admin;
    if (page[at + 1] == 'u') return WebAudience::User;
  }
  return WebAudience::Public;
}

void WebWriteRecord(long realm, long action, long result, const std::string& user,
                    const std::string& client, const std::string& info) {
  CTernActivityRecord record;
  record.AddStandard(realm, action, result, user, client);
  if (!info.empty()) record.Add(kActInfo, info);
  CTernActivityLog::Write(record);
}

WebContext::WebContext(std::string templatesBase, std::string localDir)
    : m_TemplatesBase(std::move(templatesBase)), m_LocalDir(std::move(localDir)),
      m_Sessions(SessionTimeout), m_UnknownUserHash(PlatformHashPassword("no such user")) {
  for (const RouteName& route : kRoutes)
    SetHandler(route.name, route.kind,
               [](WebContext& web, HttpRequest& request) { web.ShowErrorPage(request, kWebTextNotAvailable); });
  auto toDefault = [](WebContext&, HttpRequest& request) { request.Redirect(kWebDefaultPath); };
  SetHandler("", kPage, toDefault);
  SetHandler("Default", kPage, toDefault);
  SetHandler("Admin", kPage, [](WebContext&, HttpRequest& request) {
    request.Redirect(std::string("/Display?what=") + kWebAdminStartPage);
  });
  SetHandler("Display", kPage, [](WebContext& web, HttpRequest& request) { web.DisplayPage(request); });
  SetHandler("Authenticate", kAction, [](WebContext& web, HttpRequest& request) { web.Authenticate(request); });
  SetHandler("Deauthenticate", kAction,
             [](WebContext& web, HttpRequest& request) { web.Deauthenticate(request); });
  AddAdminLink("Start", kWebAdminStartPage);
  AddUserLink("Mailboxes", kWebUserStartPage);
}

void WebContext::SetHandler(const std::string& name, WebHandlerKind kind, WebHandler handler) {
  CTernLockGuard guard(m_Lock);
  m_Handlers[name] = Entry{kind, std::move(handler)};
}

bool WebContext::FindHandler(const std::string& name, WebHandler& handler, WebHandlerKind& kind) const {
  CTernLockGuard guard(m_Lock);
  auto it = m_Handlers.find(name);
  if (it == m_Handlers.end()) return false;
  handler = it->second.handler;
  kind = it->second.kind;
  return true;
}

void WebContext::AddOperation(const std::string& name, TemplateOperation operation) {
  m_Operations.Register(name, std::move(operation));
}

void WebContext::AddAdminLink(const std::string& label, const std::string& page) {
  m_AdminLinks.push_back({label, page});
}

void WebContext::AddUserLink(const std::string& label, const std::string& page) {
  m_UserLinks.push_back({label, page});
}

void WebContext::RegisterRoutes(HttpServer& server) {
  std::vector<std::string> names;
  {
    CTernLockGuard guard(m_Lock);
    for (const auto& [name, entry] : m_Handlers) names.push_back(name);
  }
  for (const std::string& name : names)
    server.AddPageRoute(name, [this, name](HttpRequest& request) { Dispatch(name, request); });
}

void WebContext::Dispatch(const std::string& name, HttpRequest& request) {
  WebHandler handler;
  WebHandlerKind kind;
  if (!FindHandler(name, handler, kind)) return;
  // /Admin is a redirect itself: the test would send it to the web mail instead.
  if (name != "Admin" && BareGet(request)) return;
  if (request.Method() == HttpMethod::Post && !SameOrigin(request)) {
    WebWriteRecord(kRealmWebClient, kActionAccessViolation, 0, "", request.ClientAddress(),
                   kWebTextForeignOrigin);
    ShowErrorPage(request, kWebTextForeignOrigin);
    return;
  }
  if (kind == WebHandlerKind::Action && request.Method() != HttpMethod::Post) {
    ShowErrorPage(request, kWebTextPostOnly);
    return;
  }
  handler(*this, request);
}

bool WebContext::SameOrigin(const HttpRequest& request) {
  std::string source, host;
  if (!request.GetHeader("Origin", source) && !request.GetHeader("Referer", source)) return true;
  std::string authority = Authority(source);
  return request.GetHeader("Host", host) && !authority.empty() && TernEqualsNoCase(authority, host);
}

bool WebContext::BareGet(HttpRequest& request) {
  HttpMethod method = request.Method();
  if ((method != HttpMethod::Get && method != HttpMethod::Head) || !request.Variables().empty())
    return false;
  request.Redirect(kWebDefaultPath);
  return true;
}

WebUser WebContext::SessionCheck(HttpRequest& request) {
  WebUser user;
  std::string id;
  if (!request.GetCookie(kWebCookieName, id) || !WebValidSessionId(id)) return user;
  WebSession session;
  WebSessionTable::CheckResult result = m_Sessions.Check(id, PlatformNow(), session);
  if (result == WebSessionTable::CheckResult::TimedOut) {
    CTernMessages texts;
    WebWriteRecord(kRealmWebClient, kActionLogoff, kResultSucceeded, session.user, session.client,
                   texts.Text(kMsgTimeoutLogoff));
  }
  if (result != WebSessionTable::CheckResult::LoggedIn) return user;
  Configuration* config = Configuration::Process();
  // A user deleted from the configuration is logged in no more.
  if (!config || !config->ObjectExists(kTypeUser, session.user)) {
    m_Sessions.Remove(id);
    return user;
  }
  user.loggedIn = true;
  user.name = session.user;
  config->GetValue(kTypeUser, user.name, kAttrOstrelPerms, user.perms);
  return user;
}

bool WebContext::RequireLogin(HttpRequest& request, WebAudience audience, const std::string& handler,
                              WebUser& user) {
  user = SessionCheck(request);
  if (user.loggedIn) return true;
  request.ReplaceVariable("action", handler);
  ShowLoginPage(request, audience == WebAudience::User ? kWebUserLoginPage : kWebAdminLoginPage);
  return false;
}

bool WebContext::WebClientGate(HttpRequest& request, const WebUser& user, const std::string& refusal) {
  if (AllowOstrelUI(request.ClientAddress(), user.name)) return true;
  CTernMessages texts;
  WebWriteRecord(kRealmWebClient, kActionAccessViolation, 0, user.name, request.ClientAddress(),
                 texts.Text(kMsgAttemptedWebClient));
  request.ReplaceVariable("loginerror", refusal.empty() ? texts.Text(kMsgWebClientNotAllowed) : refusal);
  ShowLoginPage(request, kWebUserLoginPage);
  return false;
}
