// Sessions, login, logoff and page display through the real HTTP request cycle
// (in-memory connections), against a real configuration, accounts file and
// activity log, with small templates that show what the pages were given.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "base/message_codes.h"
#include "base/messages.h"
#include "config/accounts_file.h"
#include "log/activity_log.h"
#include "tests/web/web_fixture.h"
#include "web/http_channel.h"
#include "web/http_server.h"
#include "web/web_context.h"
#include "web/web_operations.h"

namespace {

constexpr char kInvalid[] = "Invalid username or password given.  Try again.";

class WebLoginTest : public WebFixture {
 protected:
  void SetUp() override {
    OpenActivityLog();
    PlatformSetTime(1781006400);  // a fixed moment; only differences matter
    LoadConfig("DS,Domain=example.org,AllowOstrelUI=1,AuthTimeout=1\r\n"
               "DUann,RealAcct=ann,OstrelPerms=A:UC\r\nDUjo,RealAcct=jo\r\n"
               "DUbob,RealAcct=bob,AllowOstrelUI=0\r\n");
    CTernAccountsFile::SetProcessPath(m_Dir.File("accounts"));
    CTernAccountsFile accounts(m_Dir.File("accounts"));
    std::string error;
    for (const char* name : {"ann", "jo", "bob", "OTHER\\carol"})
      ASSERT_TRUE(accounts.SetPassword(name, std::string("pw-") + name, error)) << error;
    const std::pair<const char*, const char*> pages[] = {
        {"admin_login.mhtml", "LOGIN[<X-ShowVar loginerror>] issued=<X-ShowVar issued>;<X-PlaceHiddenVars>"},
        {"user_login_l.mhtml", "ULOGIN[<X-ShowVar loginerror>] issued=<X-ShowVar issued>;"},
        {"admin_a.mhtml", "ADMIN <X-ShowVar objname> for <X-MyAddress>"},
        {"mailboxes_u_l.mhtml", "MAIL"},
        {"admin_error.mhtml", "ERROR[<X-ShowVar error>]"},
        {"gate.mhtml", "<X-CanUseWebClient message=\"Not now\">after"},
        {"frame_a.mhtml", "<X-AdminHeader title=\"T<&\"><X-ShowVersionNumber>|<X-ShowFile file=motd.txt>|"
                          "<X-ShowFile file=../accounts>|<X-SystemUserBox name=acct multiple>|"
                          "<X-RequiredVar var=objname message=\"Need <objname\">tail<X-AdminFooter>"},
    };
    std::filesystem::create_directories(m_Dir.File("html/english"));
    std::filesystem::create_directories(m_Dir.File("local"));
    for (const auto& [name, text] : pages) m_Dir.Write(std::string("html/english/") + name, text);
    m_Dir.Write("local/motd.txt", "Back <soon> & well");
    m_Web = std::make_unique<WebContext>(m_Dir.File("html"), m_Dir.File("local"));
    WebAddFrameOperations(*m_Web);
    m_Web->SetThrottleDelayForTest(400);
    m_Server = std::make_unique<HttpServer>("OstrelHTTP", m_Dir.Path());
    m_Web->RegisterRoutes(*m_Server);
  }

  void TearDown() override {
    WebFixture::TearDown();
    CTernAccountsFile::SetProcessPath("");
  }
};

}  // namespace

TEST_F(WebLoginTest, LoginContinuesTheAskedPageUnderANewSessionUntilLogoff) {
  EXPECT_EQ(Get("/Display").Header("Location"), "http://192.0.2.2:8003/Display?what=mailboxes_u_l.mhtml");
  EXPECT_EQ(Get("/anything").Header("Location"), "http://192.0.2.2:8003/Display?what=mailboxes_u_l.mhtml");
  EXPECT_EQ(Get("/Admin").Header("Location"), "http://192.0.2.2:8003/Display?what=admin_a.mhtml");
  // An administration page without a session: the login page, with the request
  // carried in hidden variables and a fresh waiting session in the cookie.
  Reply page = Get("/Display?what=admin_a.mhtml&objname=ann");
  EXPECT_TRUE(page.body.starts_with("LOGIN[] issued=1781006400;")) << page.body;
  EXPECT_TRUE(std::regex_match(page.Header("Set-Cookie"),
                               std::regex("Ostrel=[0-9a-f]{32}; path=/; HttpOnly; SameSite=Lax")));
  EXPECT_EQ(page.Header("Cache-Control"), "no-store");
  EXPECT_EQ(page.Header("Content-Security-Policy"), "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
  for (const char* hidden : {"name=\"HV-what\" value=\"admin_a.mhtml\"", "name=\"HV-action\" value=\"Display\"",
                             "name=\"HV-objname\" value=\"ann\""})
    EXPECT_NE(page.body.find(hidden), std::string::npos) << hidden;
  // The form comes back (a password smuggled in a hidden variable goes nowhere).
  Reply login = Post("/Authenticate",
                     "username=ANN&password=pw-ann&issued=" + page.Issued() +
                         "&action=Display&what=admin_a.mhtml&HV-objname=ann&HV-password=pw-ann",
                     page.Cookie());
  ASSERT_EQ(login.status, "HTTP/1.0 302 Moved Temporarily") << login.body;
  EXPECT_EQ(login.Header("Location"), "http://192.0.2.2:8003/Display?what=admin_a.mhtml&objname=ann");
  std::string session = login.Cookie();
  ASSERT_EQ(session.size(), 32u);
  EXPECT_NE(session, page.Cookie());
  EXPECT_EQ(Get("/Display?what=admin_a.mhtml&objname=ann", session).body, "ADMIN ann for ann@example.org");
  EXPECT_TRUE(Get("/Display?what=admin_a.mhtml", page.Cookie()).body.starts_with("LOGIN"));
  // The client's address became a client object.
  EXPECT_EQ(Config().ObjectExists('C', "192.0.2.1"), 1);
  // Logoff removes the session and the browser's cookie.
  Reply logoff = Post("/Deauthenticate", "", session);
  EXPECT_EQ(logoff.Header("Location"), "http://192.0.2.2:8003/Display?what=mailboxes_u_l.mhtml");
  EXPECT_EQ(logoff.Header("Set-Cookie"), "Ostrel=; path=/; HttpOnly; SameSite=Lax; Max-Age=0");
  EXPECT_TRUE(Get("/Display?what=admin_a.mhtml", session).body.starts_with("LOGIN"));
  EXPECT_EQ(Records(), "1/1/ann/\n2/1/ann/\n");
}

TEST_F(WebLoginTest, FailuresLookAlikeLeakNoPasswordAndAreThrottled) {
  Reply page = Get("/Display?what=admin_login.mhtml");
  const std::string failed = std::string("LOGIN[") + kInvalid + "]";
  const struct {
    std::string body, cookie, expect;
  } cases[] = {
      {"username=ann&password=wrong-pw&issued=" + page.Issued(), page.Cookie(), failed},
      {"username=nobody&password=wrong-pw&issued=" + page.Issued(), page.Cookie(), failed},
      {"username=ann&password=pw-ann&issued=" + std::to_string(std::stol(page.Issued()) + 11), page.Cookie(), failed},
      {"username=&password=pw-ann&issued=" + page.Issued(), page.Cookie(), failed},
      {"username=ann&password=pw-ann&issued=" + page.Issued(), "",
       "LOGIN[Authentication requires use of cookies, and the browser did not provide one.]"},
  };
  for (const auto& c : cases) {
    Reply r = Post("/Authenticate", c.body, c.cookie);
    EXPECT_TRUE(r.body.starts_with(c.expect)) << c.body << "\n" << r.body;
    EXPECT_EQ(r.Cookie().size(), 32u) << c.body;
    EXPECT_EQ(r.body.find("wrong-pw"), std::string::npos);
  }
  std::string records = Records();
  EXPECT_EQ(records.find("wrong-pw"), std::string::npos);
  EXPECT_NE(records.find("1/2/nobody/\n"), std::string::npos) << records;
  // Five failures from this address: the next attempt, even a good one, waits.
  auto start = std::chrono::steady_clock::now();
  Session("ann");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(WebLoginTest, ForeignOriginsWrongMethodsPathsAndReplaysAreRefused) {
  std::string session = Session("ann");
  auto error = [](const char* text) { return std::string("ERROR[") + text + "]"; };
  const struct {
    Reply reply;
    std::string body;
  } cases[] = {
      {Post("/Deauthenticate", "", session, "Host: mail.example:8003\r\nOrigin: http://evil.example\r\n"),
       error(kWebTextForeignOrigin)},
      {Post("/Deauthenticate", "", session, "Host: mail.example:8003\r\nReferer: http://mail.example:80/x\r\n"),
       error(kWebTextForeignOrigin)},
      {Post("/Authenticate", "username=ann", "", "Host: mail.example:8003\r\nOrigin: null\r\n"),
       error(kWebTextForeignOrigin)},
      {Get("/Authenticate?username=ann&password=pw-ann"), error(kWebTextPostOnly)},
      {Get("/AddObj?objtype=U", session), error(kWebTextPostOnly)},
      {Post("/addobj", "objtype=U", session), error(kWebTextNotAvailable)},
      {Get("/Display?what=../../etc/passwd"), error("Error: Missing file ")},
      {Get("/Display?what=nothing_a.mhtml", session), error("Error: Missing file nothing_a.mhtml")},
      {LogIn("ann", "pw-ann", "&action=ModifyObj"), error("Error: Cannot determine routine needed to handle request")},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reply.body, c.body) << c.reply.status;
  // Still logged in: the refused logoff did nothing; the same origin may log off.
  EXPECT_TRUE(Get("/Display?what=admin_a.mhtml", session).body.starts_with("ADMIN"));
  Reply logoff = Post("/Deauthenticate", "", session, "Host: mail.example:8003\r\nOrigin: http://MAIL.example:8003\r\n");
  EXPECT_EQ(logoff.status, "HTTP/1.0 302 Moved Temporarily");
  // A page handler is continued with the variables the login form carried.
  m_Web->SetHandler("ShowSettings", WebHandlerKind::Page, [](WebContext&, HttpRequest& r) {
    std::string objname;
    r.GetVariable("objname", objname);
    r.Write("\r\nsettings of " + objname);
  });
  EXPECT_EQ(LogIn("ann", "pw-ann", "&action=ShowSettings&objname=jo").body, "settings of jo");
}

TEST_F(WebLoginTest, AudiencesPermissionsTimeoutAndTheWebClientGate) {
  std::string jo = Session("jo");
  // No permission at all: no administration page, and a record of the attempt.
  EXPECT_EQ(Get("/Display?what=admin_a.mhtml", jo).body,
            "ERROR[Error: Your account does not have permission to perform the requested action]");
  EXPECT_NE(Records().find("16//jo/Insufficient permissions to access page -- admin_a.mhtml"), std::string::npos)
      << Records();
  // AuthTimeout=1: a page 60 seconds after the last still counts, 61 do not.
  PlatformAdvance(60);
  EXPECT_EQ(Get("/Display?what=mailboxes_u_l.mhtml", jo).body, "MAIL");
  PlatformAdvance(61);
  EXPECT_TRUE(Get("/Display?what=mailboxes_u_l.mhtml", jo).body.starts_with("ULOGIN[]"));
  EXPECT_NE(Records().find("2/1/jo/Logoff due to timeout.\n"), std::string::npos) << Records();
  // bob may not use the web client: the web mail login page says so, from the page
  // display and from the template's own gate.
  std::string bob = Session("bob");
  EXPECT_TRUE(Get("/Display?what=mailboxes_u_l.mhtml", bob).body.starts_with(
      "ULOGIN[You cannot use the Ostrel Web Client at this time.]"));
  bob = Session("bob");
  EXPECT_TRUE(Get("/Display?what=gate.mhtml", bob).body.starts_with("ULOGIN[Not now]"));
  EXPECT_NE(Records().find("16//bob/Attempted to use web client.\n"), std::string::npos) << Records();
}

TEST_F(WebLoginTest, FrameOperationsEscapeAndStop) {
  std::string ann = Session("ann");
  std::string page = Get("/Display?what=frame_a.mhtml&objname=jo", ann).body;
  for (const char* piece : {"<title>T&lt;&amp; &middot; Ostrel</title>", "Logged in as <strong>ann</strong>",
                            "1.0.2|Back &lt;soon&gt; &amp; well||<select name=\"acct\" multiple>",
                            "<option value=\".\\ann\">", "<option value=\"OTHER\\carol\">", "tail<nav",
                            "<a href=\"/Display?what=admin_a.mhtml\">Start</a>", "action=\"/Deauthenticate\"",
                            "<!--Begin standard footer-->"})
    EXPECT_NE(page.find(piece), std::string::npos) << piece << "\n" << page;
  EXPECT_EQ(Get("/Display?what=frame_a.mhtml", ann).body, "ERROR[Need &lt;objname]");
}

TEST_F(WebLoginTest, PasswordsInClearAreRefusedWhenEncryptionIsRequired) {
  // The text channel's client, 192.0.2.1, is not on loopback.
  m_Server->SetClearPasswords(CTernTcpServer::ClearPasswords::FromLoopback);
  Reply refused = LogIn("ann", "pw-ann");
  EXPECT_TRUE(refused.body.starts_with(std::string("LOGIN[") + CTernMessages().Text(kMsgEncryptionRequired) + "]"))
      << refused.body;
  EXPECT_NE(Records().find("1/2/ann/"), std::string::npos);
  // With an HTTPS port every request leads there, a page with its query, a form
  // to its bare path.
  m_Server->SetSecureRedirect(8443);
  Reply moved = Get("/Display?what=admin_login.mhtml");
  EXPECT_EQ(moved.status, "HTTP/1.0 302 Moved Temporarily");
  EXPECT_EQ(moved.Header("Location"), "https://192.0.2.2:8443/Display?what=admin_login.mhtml");
  EXPECT_EQ(Send("POST /Authenticate?x=1 HTTP/1.0\r\nContent-Length: 0\r\n\r\n").Header("Location"),
            "https://192.0.2.2:8443/Authenticate");
  EXPECT_EQ(Send("GET /images/x HTTP/1.0\r\nHost: mail.example.org:8003\r\n\r\n").Header("Location"),
            "https://mail.example.org:8443/images/x");
  // Passwords in clear allowed again: the same login goes through.
  m_Server->SetSecureRedirect(0);
  m_Server->SetClearPasswords(CTernTcpServer::ClearPasswords::Always);
  Session("ann");
}
