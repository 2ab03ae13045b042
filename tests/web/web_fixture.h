// The web interface's tests through the real HTTP request cycle (in-memory
// connections), against a real configuration and activity log: replies read back
// into status, headers and body, requests with a session cookie, logins, and the
// day's activity records.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <string>

#include "log/activity_log.h"
#include "platform/clock.h"
#include "tests/config/settings_fixture.h"
#include "web/http_channel.h"
#include "web/http_server.h"
#include "web/web_context.h"

// A reply as the client read it.
struct Reply {
  std::string status;
  std::multimap<std::string, std::string> headers;
  std::string body;

  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
  // The session identifier a Set-Cookie header gives.
  std::string Cookie() const {
    std::smatch m;
    std::string line = Header("Set-Cookie");
    return std::regex_search(line, m, std::regex("^Ostrel=([0-9a-f]*);")) ? m[1].str() : "";
  }
  // The issued time a login page carries.
  std::string Issued() const {
    std::smatch m;
    return std::regex_search(body, m, std::regex("issued=([0-9]+);")) ? m[1].str() : "";
  }
};

inline Reply Parse(const std::string& raw) {
  Reply r;
  size_t end = raw.find("\r\n\r\n");
  std::string head = raw.substr(0, end);
  r.body = end == std::string::npos ? "" : raw.substr(end + 4);
  size_t at = head.find("\r\n");
  r.status = head.substr(0, at);
  while (at != std::string::npos) {
    size_t next = head.find("\r\n", at + 2);
    std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    size_t colon = line.find(": ");
    if (colon != std::string::npos) r.headers.emplace(line.substr(0, colon), line.substr(colon + 2));
    at = next;
  }
  return r;
}

// A configuration with a web interface whose HTTP server the tests send requests
// to; the subclass builds m_Web and m_Server in its SetUp.
class WebFixture : public SettingsFixture {
 protected:
  // The activity log in the test's directory.
  void OpenActivityLog() {
    CTernActivityLog::Configure(m_Dir.Path(), "OstrelLogging");
    CTernActivityLog::Reopen();
    CTernActivityLog::SetSettingReader(nullptr);
  }

  void TearDown() override {
    m_Server.reset();
    m_Web.reset();
    CTernActivityLog::Close();
    CTernActivityLog::Configure("", "");
    CTernActivityLog::Reopen();
    SettingsFixture::TearDown();
  }

  Reply Send(const std::string& raw) {
    HttpTextChannel channel(raw);
    m_Server->Serve(channel, 1);
    return Parse(channel.Sent());
  }
  static std::string CookieLine(const std::string& id) { return id.empty() ? "" : "Cookie: a=b; Ostrel=" + id + "\r\n"; }
  Reply Get(const std::string& url, const std::string& id = "") {
    return Send("GET " + url + " HTTP/1.0\r\n" + CookieLine(id) + "\r\n");
  }
  Reply Post(const std::string& path, const std::string& body, const std::string& id = "",
             const std::string& extra = "") {
    return Send("POST " + path + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                "Content-Length: " + std::to_string(body.size()) + "\r\n" + CookieLine(id) + extra + "\r\n" + body);
  }
  // A login page's cookie and issued time, then the login with them; the reply.
  Reply LogIn(const std::string& user, const std::string& password, const std::string& more = "") {
    Reply page = Get("/Display?what=admin_login.mhtml");
    return Post("/Authenticate", "username=" + user + "&password=" + password + "&issued=" + page.Issued() + more,
                page.Cookie());
  }
  // A logged-in session of user.
  std::string Session(const std::string& user) {
    Reply r = LogIn(user, "pw-" + user);
    EXPECT_EQ(r.status, "HTTP/1.0 302 Moved Temporarily") << r.body;
    return r.Cookie();
  }
  // Today's records as "action/result/user/info" lines.
  std::string Records() {
    std::string out;
    long date = TernDateNumber(PlatformNow());
    CTernActivityReader reader(m_Dir.Path(), date, 0, date, 235959, {}, {}, {}, {});
    long d = 0, t = 0;
    CTernActivityRecord r;
    for (bool more = reader.First(d, t, r); more; more = reader.Next(d, t, r)) {
      std::string action, result, user, info;
      r.Get(kActAction, action), r.Get(kActResult, result), r.Get(kActUser, user), r.Get(kActInfo, info);
      out += action + "/" + result + "/" + user + "/" + info + "\n";
    }
    return out;
  }

  std::unique_ptr<WebContext> m_Web;
  std::unique_ptr<HttpServer> m_Server;
};
