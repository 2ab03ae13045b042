// The web interface: the page handlers by name, the sessions, the templates'
// application operations, and the routines every handler is built from (session
// check, login page, error page, page display, web client gate).
//
// Every path of the interface is registered with the HTTP server once, at
// start-up (RegisterRoutes); each goes through the context's dispatcher, which
// runs the steps every handler shares before the handler itself:
//   1. the bare-GET test: a GET or HEAD without any variable gets the default
//      redirect (except /Admin, which redirects to the administration start);
//   2. a POST whose Origin (or, lacking one, Referer) names another host than the
//      request's Host is refused with the error page;
//   3. an Action handler (one that changes something) takes POST only.
// A handler added later with SetHandler replaces the one registered under its name
// (paths of parts still to come answer with the error page until then).
//
// A page's audience comes from its name: "_a" followed by "." or "_" marks an
// administration page, "_u" followed by "." or "_" a web mail page; other pages
// are shown without a login. An administration page needs a login and at least
// one permission; a web mail page needs a login and passes the web client gate.
//
// Pages behind a login go out with "Cache-Control: no-store" and a
// Content-Security-Policy that keeps them to this server's own resources.
//
// Handlers run on the HTTP workers. Registration happens before the server starts;
// afterwards the handler table and the operations are only read. The session
// table and the login throttle carry their own locks.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/lock.h"
#include "web/http_request.h"
#include "web/template_engine.h"
#include "web/web_login_throttle.h"
#include "web/web_session.h"

class HttpServer;
class WebContext;

// What a handler does, which decides how it may be reached.
enum class WebHandlerKind {
  Page,    // shows something: GET or POST, and may be continued after a login
  Action,  // changes something: POST only, and never continued after a login
};

using WebHandler = std::function<void(WebContext& web, HttpRequest& request)>;

// Who may see a page, by its name.
enum class WebAudience { Public, Admin, User };
WebAudience WebPageAudience(std::string_view page);

// Pages the interface itself names.
inline constexpr char kWebAdminStartPage[] = "admin_a.mhtml";
inline constexpr char kWebUserStartPage[] = "mailboxes_u_l.mhtml";
inline constexpr char kWebAdminLoginPage[] = "admin_login.mhtml";
inline constexpr char kWebUserLoginPage[] = "user_login_l.mhtml";
inline constexpr char kWebErrorPage[] = "admin_error.mhtml";
inline constexpr char kWebSuccessPage[] = "admin_success.mhtml";
// Where a bare request is sent.
inline constexpr char kWebDefaultPath[] = "/Display?what=mailboxes_u_l.mhtml";

// The setting of the minutes a session may stay idle, and its default.
inline constexpr char kAttrAuthTimeout[] = "AuthTimeout";
inline constexpr long kWebDefaultAuthTimeout = 5;
// A user's permission list.
inline constexpr char kAttrOstrelPerms[] = "OstrelPerms";
// The version the pages show.
inline constexpr char kWebVersion[] = "1.0.2";

// Error page texts of the interface's own refusals.
inline constexpr char kWebTextPostOnly[] = "Error: This action takes a form sent with POST.";
inline constexpr char kWebTextForeignOrigin[] =
    "Error: The request came from a page of another site and was refused.";
inline constexpr char kWebTextNotAvailable[] =
    "Error: This part of the web interface is not available in this version.";

// The outcome of a session check.
struct WebUser {
  bool loggedIn = false;
  std::string name;   // the configuration user
  std::string perms;  // the user's permission list (OstrelPerms)
};

// A link of the administration or web mail navigation bar.
struct WebLink {
  std::string label;
  std::string page;  // a template name, shown through "/Display?what="
};

// Writes an activity record: realm, action and result (0 for none), user, client
// and, when not empty, the Info field.
void WebWriteRecord(long realm, long action, long result, const std::string& user,
                    const std::string& client, const std::string& info = "");

class WebContext {
 public:
  // templatesBase holds one folder of templates per language ("english", ...);
  // localDir is the installation's local directory (files that pages show).
  WebContext(std::string templatesBase, std::string localDir);
  WebContext(const WebContext&) = delete;
  WebContext& operator=(const WebContext&) = delete;

  // ---- Registration, before the server starts ----

  // Sets the handler of "/" + name (replacing an earlier one of that name). Every
  // path of the interface is registered from the start; a name new to the table
  // gets its route only from a RegisterRoutes after this call.
  void SetHandler(const std::string& name, WebHandlerKind kind, WebHandler handler);
  // Adds an application operation for the templates (replacing one of that name).
  void AddOperation(const std::string& name, TemplateOperation operation);
  // Adds a link to the administration or the web mail navigation bar.
  void AddAdminLink(const std::string& label, const std::string& page);
  void AddUserLink(const std::string& label, const std::string& page);
  // Registers every path of the interface with server, each through the
  // dispatcher. The context must outlive the server's use of the routes.
  void RegisterRoutes(HttpServer& server);

  // ---- Routines of the handlers ----

  // The bare-GET test: true when the request was a GET or HEAD without variables
  // and has been answered with the default redirect.
  bool BareGet(HttpRequest& request);
  // Checks the session of the request's cookie. A session past its time-out is
  // removed and its logoff recorded.
  WebUser SessionCheck(HttpRequest& request);
  // The session check of a handler of the given audience: true when logged in
  // (user set). Otherwise the login page of the audience is shown with `action`
  // set to handler, so that the request is completed after the login, and false
  // is returned.
  bool RequireLogin(HttpRequest& request, WebAudience audience, const std::string& handler,
                    WebUser& user);
  // Answers with a login page: a new waiting session (its cookie set), `issued`
  // set to now, the variables carried forward into hidden ones, and `what` set to
  // loginPage.
  void ShowLoginPage(HttpRequest& request, const std::string& loginPage);
  // Answers with the error page showing text (escaped); the variant takes a
  // message code. What the reply held before is dropped while nothing was sent.
  void ShowErrorPage(HttpRequest& request, const std::string& text);
  void ShowErrorPage(HttpRequest& request, int code);
  // The page display: carries the variables forward, checks the session, asks
  // for the login a page's audience needs, and answers with the page `what`.
  void DisplayPage(HttpRequest& request);
  // The web client gate: true when the logged-in user may use the web client
  // from this client now (AllowOstrelUI). Otherwise the attempt is recorded, the
  // web mail login page is shown with refusal as `loginerror` ("You cannot use
  // the Ostrel Web Client at this time." when empty), and false is returned.
  bool WebClientGate(HttpRequest& request, const WebUser& user, const std::string& refusal = "");

  // ---- What handlers and operations read ----

  // The templates of the current language; English when its folder is missing
  // (reported once).
  std::string TemplateDir();
  const std::string& LocalDir() const { return m_LocalDir; }
  const TemplateOperationTable& Operations() const { return m_Operations; }
  const std::vector<WebLink>& AdminLinks() const { return m_AdminLinks; }
  const std::vector<WebLink>& UserLinks() const { return m_UserLinks; }
  WebSessionTable& Sessions() { return m_Sessions; }
  // The handler registered under exactly name (letter case counts) and its kind;
  // false when there is none.
  bool FindHandler(const std::string& name, WebHandler& handler, WebHandlerKind& kind) const;

  // Tests: how long a throttled login attempt is held back (2000 ms).
  void SetThrottleDelayForTest(int milliseconds) { m_ThrottleDelayMs = milliseconds; }

 private:
  struct Entry {
    WebHandlerKind kind = WebHandlerKind::Page;
    WebHandler handler;
  };

  // The dispatcher every path goes through.
  void Dispatch(const std::string& name, HttpRequest& request);
  // Page display steps from the session check on: the page `what` for the user.
  void RenderPage(HttpRequest& request);
  void RenderTemplate(HttpRequest& request, const WebUser& user, const TemplateErrorRoutine& error);
  // Copies each variable except password into its hidden "HV-" form.
  static void CarryForward(HttpRequest& request);
  // Sets the session cookie to id; an empty id removes it from the browser.
  static void SetSessionCookie(HttpRequest& request, const std::string& id);
  // Whether a POST came from a page of this server (or says nothing of where).
  static bool SameOrigin(const HttpRequest& request);

  // The handlers of this part (web_login.cpp).
  void Authenticate(HttpRequest& request);
  void Deauthenticate(HttpRequest& request);
  // After a successful login: the handler `action`, or the page `what`.
  void ContinueAfterLogin(HttpRequest& request, const std::string& loginPage);
  bool PasswordMatches(const std::string& user, const std::string& password);

  const std::string m_TemplatesBase;
  const std::string m_LocalDir;
  TemplateOperationTable m_Operations;
  std::vector<WebLink> m_AdminLinks, m_UserLinks;
  WebSessionTable m_Sessions;
  WebLoginThrottle m_Throttle;
  int m_ThrottleDelayMs = 2000;
  std::string m_UnknownUserHash;  // checked for a user that does not exist

  mutable CTernLock m_Lock;  // guards m_Handlers
  std::map<std::string, Entry> m_Handlers;
};
