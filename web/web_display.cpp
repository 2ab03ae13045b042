// WebContext: the page display, the login page and the error page.
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "base/ascii.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/report.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "log/activity_log.h"
#include "platform/clock.h"
#include "web/template_tag.h"
#include "web/web_context.h"

namespace {

// Pages go out keeping to this server's own resources, inside no other site's frame.
constexpr char kContentSecurityPolicy[] = "default-src 'self'; frame-ancestors 'none'; form-action 'self'";
// The attributes of the session cookie: never readable by scripts, never sent along
// with another site's form.
constexpr char kCookieAttributes[] = "path=/; HttpOnly; SameSite=Lax";
// Pages the browser may keep in its history without asking again.
constexpr const char* kPagesWithoutPragma[] = {"compose_u_l.mhtml", kWebErrorPage, "access_rep1_a.mhtml"};

std::string Variable(const HttpRequest& request, const std::string& name) {
  std::string value;
  request.GetVariable(name, value);
  return value;
}

// The error page when the error template itself cannot be shown.
void PlainErrorPage(TemplateRequest& request, const std::string& text) {
  request.Write("<!DOCTYPE html>\r\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Error</title>"
                "</head><body><p>" + TemplateEscape(text) + "</p></body></html>\r\n");
}

}  // namespace

std::string WebContext::TemplateDir() {
  static std::atomic<bool> reported{false};
  CTernMessages current, english;
  english.SetLanguage(kTernLanguageEnglish);
  std::string language = TernLoweredAscii(english.Text(current.Language()));
  std::string fallback = TernLoweredAscii(english.Text(kTernLanguageEnglish));
  std::string dir = PathJoin(m_TemplatesBase, language);
  std::error_code error;
  if (language == fallback || std::filesystem::is_directory(dir, error)) return dir;
  if (!reported.exchange(true)) TernReportEventF(TernEventType::Warning, kMsgCouldNotOpenFile, dir, ENOENT);
  return PathJoin(m_TemplatesBase, fallback);
}

void WebContext::CarryForward(HttpRequest& request) {
  for (const auto& [name, value] : request.Variables()) {
    if (TernBeginsNoCase(name, "HV-")) {
      // A password never travels in a page, whoever sent it in this form.
      if (TernEqualsNoCase(name.substr(3), "password")) request.RemoveVariable(name);
    } else if (!TernEqualsNoCase(name, "password")) {
      request.ReplaceVariable("HV-" + name, value);
    }
  }
}

void WebContext::DisplayPage(HttpRequest& request) {
  // A login page asked for by name gets its session like any other.
  std::string what = Variable(request, "what");
  if (what == kWebAdminLoginPage || what == kWebUserLoginPage) return ShowLoginPage(request, what);
  CarryForward(request);
  std::string referer;
  if (TernBeginsNoCase(request.Path(), "/Display") && request.GetVariable("referer", referer))
    request.ReplaceVariable("HV-what", referer);
  RenderPage(request);
}

void WebContext::RenderPage(HttpRequest& request) {
  WebUser user = SessionCheck(request);
  std::string what = Variable(request, "what");
  WebAudience audience = WebPageAudience(what);
  if (audience != WebAudience::Public && !user.loggedIn) {
    // The page asked for is shown once the login succeeds.
    request.ReplaceVariable("action", "Display");
    ShowLoginPage(request, audience == WebAudience::Admin ? kWebAdminLoginPage : kWebUserLoginPage);
    return;
  }
  if (audience == WebAudience::Admin && !TemplatePermissionTest("**", user.perms)) {
    CTernMessages texts;
    WebWriteRecord(kRealmAdministration, kActionAccessViolation, 0, user.name, request.ClientAddress(),
                   std::string(texts.Text(kMsgPageNotPermitted)) + " -- " + what);
    ShowErrorPage(request, kMsgNoPermission);
    return;
  }
  if (audience == WebAudience::User && !WebClientGate(request, user)) return;
  RenderTemplate(request, user, [this, &request](TemplateRequest&, const std::string& text) {
    ShowErrorPage(request, text);
  });
}

void WebContext::RenderTemplate(HttpRequest& request, const WebUser& user,
                                const TemplateErrorRoutine& error) {
  std::string what = Variable(request, "what");
  request.SetNoStore();
  bool pragma = true;
  for (const char* page : kPagesWithoutPragma) pragma = pragma && what != page;
  if (pragma) request.WriteHeader("Pragma", "No-Cache");
  request.WriteHeader("Content-Security-Policy", kContentSecurityPolicy);
  request.Write("\r\n");
  Configuration* config = Configuration::Process();
  std::string objectPerms;
  if (config) config->GetValue(kTypeUser, Variable(request, "objname"), kAttrOstrelPerms, objectPerms);
  TemplatePage page{request, TemplateDir(), user.name, request.ClientAddress(), user.perms, objectPerms,
                    config, &m_Operations, error};
  TemplateProcess(page);
  request.Finish();
}

void WebContext::ShowLoginPage(HttpRequest& request, const std::string& loginPage) {
  request.DiscardReply();
  time_t now = PlatformNow();
  std::string id = m_Sessions.NewWaiting(now);
  // Without an identifier (the random source failed) the login answers that
  // cookies are needed; nothing weaker is offered.
  if (!id.empty()) SetSessionCookie(request, id);
  request.ReplaceVariable("issued", std::to_string(now));
  CarryForward(request);
  request.ReplaceVariable("what", loginPage);
  RenderPage(request);
}

void WebContext::ShowErrorPage(HttpRequest& request, const std::string& text) {
  if (!request.DiscardReply()) {
    // Part of the page has gone out already: the error can only follow it.
    request.Write("<p>" + TemplateEscape(text) + "</p>\r\n");
    request.Finish();
    return;
  }
  request.ReplaceVariable("what", kWebErrorPage);
  request.ReplaceVariable("error", text);
  RenderTemplate(request, SessionCheck(request), PlainErrorPage);
}

void WebContext::ShowErrorPage(HttpRequest& request, int code) {
  CTernMessages texts;
  ShowErrorPage(request, texts.Text(code));
}

void WebContext::SetSessionCookie(HttpRequest& request, const std::string& id) {
  // An empty identifier takes the cookie away.
  // Over HTTPS the cookie is marked Secure, so a browser never sends it in clear.
  std::string attributes = kCookieAttributes;
  if (request.Encrypted()) attributes += "; Secure";
  if (id.empty()) attributes += "; Max-Age=0";
  request.SetCookie(kWebCookieName, id, attributes);
}
