// HttpServer: start, the connection routine and the dispatch of a request.
#include "web/http_server.h"

#include <algorithm>

#include "base/directory.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "config/effective_settings.h"
#include "log/activity_log.h"
#include "message/mail_time.h"
#include "web/http_channel.h"
#include "web/http_files.h"

namespace {

// A spool file's name: "h", digits, "aa", digits, ".tmp".
bool IsSpoolName(std::string_view name) {
  auto digits = [&name]() {
    size_t n = 0;
    while (n < name.size() && name[n] >= '0' && name[n] <= '9') ++n;
    name.remove_prefix(n);
    return n > 0;
  };
  if (!name.starts_with("h")) return false;
  name.remove_prefix(1);
  if (!digits() || !name.starts_with("aa")) return false;
  name.remove_prefix(2);
  return digits() && name == ".tmp";
}

// A System setting read as a number; fallback when it is missing.
long SystemNumber(const char* name, long fallback) {
  std::string value;
  if (GetEffectiveValue("", "", name, value) != 0) return fallback;
  return SettingNumber(value);
}

}  // namespace

HttpServer::HttpServer(std::string_view name, const std::string& mailDirectory)
    : CTernTcpServer(name), m_ServerName(name), m_MailDirectory(mailDirectory) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const std::string& product, const TernSettingReader& reader) {
  // The plain server clears what a crash left; the encrypted twin starts beside
  // it and must not take the files of requests the plain one is serving.
  if (!ImplicitTls()) RemoveStaleSpoolFiles();
  return TernStartProtocolServer(*this, ImplicitTls() ? kTernHttpsProfile : kTernHttpProfile, product, reader);
}

bool HttpServer::StartBeside(const std::string& product, const TernSettingReader& reader) {
  TernServerProfile profile = kTernHttpProfile;
  profile.retryOnDefaultPort = false;
  return TernStartProtocolServer(*this, profile, product, reader);
}

bool HttpServer::Reconfigure(const TernSettingReader& reader) {
  return TernReconfigureProtocolServer(*this, ImplicitTls() ? kTernHttpsProfile : kTernHttpProfile, reader);
}

void HttpServer::RemoveStaleSpoolFiles() {
  CTernDirectory listing;
  if (m_MailDirectory.empty() || !FileExists(m_MailDirectory, false) || !listing.Read(m_MailDirectory))
    return;
  for (const std::string& name : listing.Entries())
    if (IsSpoolName(name)) FileRemove(PathJoin(m_MailDirectory, name), false);
}

void HttpServer::AddPageRoute(std::string_view name, HttpHandler handler) {
  m_Routes.AddPage(name, std::move(handler));
}

void HttpServer::AddDirectoryRoute(std::string_view prefix, const std::string& directory) {
  m_Routes.AddDirectory(prefix, directory);
}

HttpLimits HttpServer::Limits() const {
  HttpLimits limits;
  // A stressed server gives a request's head and body no more than its stressed wait.
  bool stressed = Stressed();
  limits.silence = m_Silence.load();
  limits.headBudget = stressed ? std::min(m_HeadBudget.load(), StressedWait()) : m_HeadBudget.load();
  limits.bodySilence = stressed ? std::min(m_BodySilence.load(), StressedWait()) : m_BodySilence.load();
  long maxBody = SystemNumber(kAttrHttpMaxBodySize, kHttpDefaultMaxBodySize);
  // Bodies live in files of at most 2 GB.
  limits.maxBody = maxBody >= 1 && maxBody < (1L << 31) - (1L << 20) ? maxBody : kHttpDefaultMaxBodySize;
  limits.keepAlives = SystemNumber(kAttrHttpUseKeepAlives, 0) >= 1;
  return limits;
}

int HttpServer::IdleWait(int silence) const {
  return Stressed() ? std::min(silence, kTernStressedKeepAlive) : silence;
}

TernRefusal HttpServer::ClientLimitRefusal() const {
  static const std::string kBody =
      "<body><h1>HTTP/1.0 503 Service Unavailable</h1>"
      "<p>Too many connections from your address.</p></body>\r\n";
  std::string reply = "HTTP/1.0 503 Service Unavailable\r\nDate: " + CTernTime::Now().MailDate(0) +
                      "\r\nServer: " + m_ServerName +
                      "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(kBody.size()) +
                      "\r\nRetry-After: 1\r\nX-Content-Type-Options: nosniff\r\n"
                      "Referrer-Policy: same-origin\r\n\r\n" + kBody;
  return TernRefusal{kRealmWebClient, reply};
}

void HttpServer::SetTimeouts(int silence, int headBudget, int bodySilence) {
  m_Silence = silence;
  m_HeadBudget = headBudget;
  m_BodySilence = bodySilence;
}

void HttpServer::HandleConnection(CTernTcpEndpoint& connection, int number) {
  ProcessJob(connection, number);
}

void HttpServer::ProcessJob(CTernTcpEndpoint& connection, int number) {
  HttpEndpointChannel channel(connection, *this, kHttpSendWait);
  Serve(channel, number);
}

void HttpServer::Serve(HttpChannel& channel, int number) {
  HttpRequest request(*this, channel, number);
  for (bool kept = false; !StopRequested(); kept = true) {
    request.Reset();
    HttpHeadResult head = request.ReadHead(kept);
    if (head == HttpHeadResult::Idle) return;
    if (head == HttpHeadResult::Bad) {
      request.SendBadRequest();
      return;
    }
    HttpBodyResult body = request.ReadBody();
    if (body == HttpBodyResult::Failed) return;
    if (body == HttpBodyResult::Refused || !request.DecodeVariables()) {
      request.SendBadRequest();
      return;
    }
    try {
      Dispatch(request);
    } catch (const CTernException&) {
      // Reported where it was thrown; the half-made reply is not sent.
      request.Abandon();
      return;
    }
    request.Finish();
    if (!request.KeepAlive()) return;
  }
}

void HttpServer::Dispatch(HttpRequest& request) {
  uint16_t secure = m_SecurePort.load();
  if (secure != 0 && !PasswordAllowed(request.Encrypted(), request.ClientAddress())) {
    request.RedirectToSecure(secure);
    return;
  }
  std::string path = request.Path();
  UrlRoute route;
  if (!m_Routes.Match(path, route)) {
    request.SendNotFound(path);
    return;
  }
  if (route.kind == kUrlRouteDirectory) {
    std::string file;
    if (HttpResolveFile(route.directory, std::string_view(path).substr(route.prefix.size()), file))
      request.SendFile(file);
    else
      request.SendNotFound(path);
    return;
  }
  if (route.handler) route.handler(request);
}
