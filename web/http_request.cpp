// HttpRequest: construction, reset and the request as handlers read it.
#include "web/http_request.h"

#include <algorithm>

#include "base/ascii.h"
#include "web/http_channel.h"
#include "web/http_server.h"

HttpRequest::HttpRequest(HttpServer& server, HttpChannel& channel, int connection)
    : m_Server(server), m_Channel(channel), m_Connection(connection),
      m_Client(channel.PeerAddress()) {
  Reset();
}

HttpRequest::~HttpRequest() { ReleaseBody(); }

void HttpRequest::Reset() {
  ReleaseBody();
  m_Limits = m_Server.Limits();
  m_Method = HttpMethod::Other;
  m_Url.clear();
  m_Version = kMsgUnknown;
  m_UnreadBody = false;
  m_Variables.Clear();
  m_Status = kMsgHttp200;
  m_Output.clear();
  m_HeadersSent = m_Finished = m_SendFailed = m_KeepAlive = m_NoStore = false;
  m_SetCookies.clear();
  m_ServerHtml.clear();
  m_DeclaredLength = -1;
  m_BodySent = 0;
}

void HttpRequest::Abandon() {
  m_Output.clear();
  m_Finished = true;
  m_KeepAlive = false;
}

std::string HttpRequest::Path() const { return m_Url.substr(0, m_Url.find('?')); }

bool HttpRequest::GetHeader(const std::string& name, std::string& value) const {
  return m_Message && m_Message->FindHeader(name, value);
}

bool HttpRequest::GetVariable(const std::string& name, std::string& value) const {
  return m_Variables.Find(name, value);
}

void HttpRequest::SetVariable(const std::string& name, std::string_view value) {
  std::erase(m_ServerHtml, name);
  m_Variables.Set(name, value);
}

void HttpRequest::ReplaceVariable(const std::string& name, const std::string& value) {
  std::erase(m_ServerHtml, name);
  m_Variables.Replace(name, value);
}

void HttpRequest::SetServerHtml(const std::string& name, const std::string& html) {
  ReplaceVariable(name, html);
  m_ServerHtml.push_back(name);
}

bool HttpRequest::ServerHtml(const std::string& name) const {
  return std::find(m_ServerHtml.begin(), m_ServerHtml.end(), name) != m_ServerHtml.end();
}

bool HttpRequest::RemoveVariable(const std::string& name) {
  std::erase(m_ServerHtml, name);
  return m_Variables.Remove(name);
}

bool HttpRequest::GetCookie(std::string_view name, std::string& value) const {
  for (const auto& [cookie, header] : m_SetCookies) {
    if (!TernEqualsNoCase(cookie, name)) continue;
    std::string_view text = std::string_view(header).substr(cookie.size() + 1);
    value = std::string(text.substr(0, text.find(';')));
    return true;
  }
  std::string header;
  if (!GetHeader("Cookie", header)) return false;
  constexpr std::string_view kBlanks = " \t\r\n";
  std::string_view rest = header;
  while (!rest.empty()) {
    size_t semicolon = rest.find(';');
    std::string_view piece = rest.substr(0, semicolon);
    rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    size_t first = piece.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) continue;
    piece = piece.substr(first, piece.find_last_not_of(kBlanks) - first + 1);
    size_t equals = piece.find('=');
    if (equals != std::string_view::npos && TernEqualsNoCase(piece.substr(0, equals), name)) {
      value = std::string(piece.substr(equals + 1));
      return true;
    }
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> HttpRequest::Variables() const {
  return m_Variables.InOrder();
}

bool HttpRequest::Encrypted() const { return m_Channel.Encrypted(); }
