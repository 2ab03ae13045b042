// HttpRequest: construction, reset and the request as handlers read it.
#include "web/http_request.h"

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
  m_Variables.Set(name, value);
}

void HttpRequest::ReplaceVariable(const std::string& name, const std::string& value) {
  m_Variables.Replace(name, value);
}

std::vector<std::pair<std::string, std::string>> HttpRequest::Variables() const {
  return m_Variables.InOrder();
}
