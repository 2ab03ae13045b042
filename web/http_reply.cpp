// HttpRequest: the buffered reply with its status line and default headers,
// redirects, files and the error pages.
#include "web/http_request.h"

#include <cctype>
#include <charconv>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "message/headers.h"
#include "message/mail_time.h"
#include "web/http_channel.h"
#include "web/http_files.h"
#include "web/http_server.h"
#include "web/template_tag.h"

namespace {

// Where the handler's header block ends (just past its empty line); npos while it
// is not complete.
size_t HeaderBlockEnd(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) return std::string_view::npos;
    std::string_view line = text.substr(at, lf - at);
    if (line.empty() || line == "\r") return lf + 1;
    at = lf + 1;
  }
  return std::string_view::npos;
}

CTernHeaders ParseHeaders(std::string_view block) {
  CTernHeaders headers;
  CTernHeaderCollector collector(headers);
  while (!block.empty()) {
    size_t lf = block.find('\n');
    size_t take = lf == std::string_view::npos ? block.size() : lf + 1;
    collector.Line(block.substr(0, take));
    block.remove_prefix(take);
  }
  collector.Finish();
  return headers;
}

bool IsTokenByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool IsHostNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

}  // namespace

bool HttpSafeHeaderValue(std::string_view value) {
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) return false;
  }
  return true;
}

bool HttpValidHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  size_t end;
  if (host.front() == '[') {
    end = host.find(']');
    if (end == std::string_view::npos || end == 1) return false;
    for (char c : host.substr(1, end - 1))
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    ++end;
  } else {
    end = host.find(':');
    if (end == std::string_view::npos) end = host.size();
    if (end == 0) return false;
    for (char c : host.substr(0, end))
      if (!IsHostNameByte(c)) return false;
  }
  if (end == host.size()) return true;
  std::string_view port = host.substr(end);
  if (port.size() < 2 || port.size() > 6 || port.front() != ':') return false;
  for (char c : port.substr(1))
    if (c < '0' || c > '9') return false;
  return true;
}

long HttpRequest::Write(std::string_view text) {
  if (m_Finished || m_SendFailed) return -1;
  m_Output.append(text);
  if (m_Output.size() > kHttpFlushThreshold && !Flush()) return -1;
  return static_cast<long>(text.size());
}

long HttpRequest::Write(const char* bytes, long length) {
  if (length < 0 || (length > 0 && !bytes)) return -1;
  return Write(std::string_view(bytes ? bytes : "", static_cast<size_t>(length)));
}

bool HttpRequest::WriteHeader(std::string_view name, std::string_view value) {
  if (name.empty() || !HttpSafeHeaderValue(value)) return false;
  for (char c : name)
    if (!IsTokenByte(c)) return false;
  std::string line(name);
  line += ": ";
  line += value;
  line += "\r\n";
  return Write(line) >= 0;
}

bool HttpRequest::SetCookie(std::string_view name, std::string_view value,
                            std::string_view attributes) {
  if (name.empty() || !HttpSafeHeaderValue(value) || !HttpSafeHeaderValue(attributes) ||
      value.find_first_of("; \t") != std::string_view::npos)
    return false;
  for (char c : name)
    if (!IsTokenByte(c)) return false;
  std::string header = std::string(name) + "=" + std::string(value);
  if (!attributes.empty()) header += "; " + std::string(attributes);
  std::erase_if(m_SetCookies, [&name](const auto& cookie) { return TernEqualsNoCase(cookie.first, name); });
  m_SetCookies.emplace_back(std::string(name), std::move(header));
  return true;
}

bool HttpRequest::DiscardReply() {
  if (m_HeadersSent || m_Finished) return false;
  m_Output.clear();
  return true;
}

bool HttpRequest::Flush() { return Send(false); }

bool HttpRequest::Finish() {
  bool ok = Send(true);
  // A reply that did not carry as many bytes as it announced cannot be followed
  // by another on the same connection.
  if (m_KeepAlive && m_Method != HttpMethod::Head && m_BodySent != m_DeclaredLength)
    m_KeepAlive = false;
  if (m_UnreadBody) m_KeepAlive = false;
  return ok;
}

bool HttpRequest::SendBytes(std::string_view bytes) {
  if (bytes.empty()) return true;
  if (m_Channel.Send(bytes)) return true;
  m_SendFailed = true;
  m_KeepAlive = false;
  return false;
}

bool HttpRequest::WantsKeepAlive() const {
  std::string connection;
  if (!GetHeader("Connection", connection)) return false;
  std::string_view rest = connection;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view word = rest.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (TernEqualsNoCase(word, "Keep-Alive")) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

std::string HttpRequest::ReplyHead(std::string_view handlerHeaders, long bodyLength) {
  CTernHeaders given = ParseHeaders(handlerHeaders);
  std::string head = "HTTP/1.0 ";
  head += m_Texts.Text(m_Status);
  head += "\r\n";
  if (!given.Has("Date")) head += "Date: " + CTernTime::Now().MailDate(0) + "\r\n";
  if (!given.Has("Server")) {
    const std::string& name = m_Server.ServerName();
    head += "Server: " + (name.empty() ? std::string("Ostrel-HTTP") : name) + "\r\n";
  }
  if (!given.Has("Content-Type")) head += "Content-Type: text/html\r\n";
  if (m_Status == kMsgHttp200) {
    std::string value;
    long length = -1;
    if (given.Find("Content-Length", value)) {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
      // A length that the whole reply in hand contradicts cannot frame it either.
      if (error != std::errc() || end != value.data() + value.size() || length < 0 ||
          (bodyLength >= 0 && length != bodyLength))
        length = -1;
    } else if (bodyLength >= 0) {
      length = bodyLength;
      head += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    m_DeclaredLength = length;
    if (length >= 0 && m_Limits.keepAlives && !m_UnreadBody && WantsKeepAlive()) {
      head += "Connection: Keep-Alive\r\n";
      m_KeepAlive = true;
    }
  }
  if (!given.Has("X-Content-Type-Options")) head += "X-Content-Type-Options: nosniff\r\n";
  if (!given.Has("Referrer-Policy")) head += "Referrer-Policy: same-origin\r\n";
  if (m_NoStore && !given.Has("Cache-Control")) head += "Cache-Control: no-store\r\n";
  for (const auto& [name, header] : m_SetCookies) head += "Set-Cookie: " + header + "\r\n";
  return head;
}

bool HttpRequest::Send(bool final) {
  if (m_Finished || m_SendFailed) return false;
  if (final) m_Finished = true;
  if (!m_HeadersSent) {
    size_t end = HeaderBlockEnd(m_Output);
    if (end == std::string::npos) {
      if (!final) return true;
      // All the text counts as headers.
      if (!m_Output.empty() && m_Output.back() != '\n') m_Output += "\r\n";
      m_Output += "\r\n";
      end = m_Output.size();
    }
    long body = final ? static_cast<long>(m_Output.size() - end) : -1;
    std::string reply = ReplyHead(std::string_view(m_Output).substr(0, end), body);
    m_HeadersSent = true;
    bool head = m_Method == HttpMethod::Head;
    reply.append(m_Output, 0, head ? end : m_Output.size());
    if (!head) m_BodySent += static_cast<long>(m_Output.size() - end);
    m_Output.clear();
    return SendBytes(reply);
  }
  if (m_Method == HttpMethod::Head) {
    m_Output.clear();
    return true;
  }
  m_BodySent += static_cast<long>(m_Output.size());
  std::string out = std::move(m_Output);
  m_Output.clear();
  return SendBytes(out);
}

void HttpRequest::Redirect(std::string_view path) {
  std::string host, local;
  uint16_t port = 0;
  bool known = m_Channel.LocalAddress(local, port);
  if (!GetHeader("Host", host)) host = local;
  if (host.find(':') == std::string::npos && known) host += ":" + std::to_string(port);
  // Neither the client's Host nor the path may break the header line.
  if (!HttpValidHost(host) || !HttpSafeHeaderValue(path)) {
    SendBadRequest();
    return;
  }
  SetStatus(kMsgHttp302);
  WriteHeader("Location", (Encrypted() ? "https://" : "http://") + host + std::string(path));
  Finish();
}

void HttpRequest::RedirectToSecure(uint16_t securePort) {
  std::string host, local;
  uint16_t port = 0;
  bool known = m_Channel.LocalAddress(local, port);
  if (!GetHeader("Host", host) && known) host = local;
  host = host.substr(0, host.find(':'));
  // A page asked for keeps its query on the way (a form's body cannot follow a
  // redirect, so a POST goes to the bare path).
  bool page = m_Method == HttpMethod::Get || m_Method == HttpMethod::Head;
  std::string path = page ? m_Url : Path();
  if (host.empty() || !HttpValidHost(host) || !HttpSafeHeaderValue(path)) {
    SendBadRequest();
    return;
  }
  SetStatus(kMsgHttp302);
  WriteHeader("Location", "https://" + host + ":" + std::to_string(securePort) + path);
  Finish();
}

void HttpRequest::SendFile(const std::string& path) {
  if (!FileExists(path, false)) {
    SendNotFound(Path());
    return;
  }
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  time_t modified = 0;
  int32_t size = -1;
  if (!file.Open() || (size = file.Size()) < 0 || !file.ModificationTime(modified)) {
    SendCannotOpen();
    return;
  }
  Write("Content-Type: " + HttpMediaType(path) + "\r\n");
  Write("Last-Modified: " + CTernTime(modified).MailDate(0) + "\r\n");
  Write("Content-Length: " + std::to_string(size) + "\r\n\r\n");
  if (m_Method != HttpMethod::Head) {
    char block[kHttpBlock];
    for (int32_t got; (got = file.Read(block, kHttpBlock)) > 0;)
      if (Write(block, got) < 0) break;
  }
  Finish();
}

void HttpRequest::SendCannotOpen() {
  // An error, so not "200 OK": nothing may take this page for the file.
  SetStatus(kMsgHttp404);
  Write("Content-Type: text/html\r\n");
  Write("\r\n<body><h1>Cannot open file  " + TemplateEscape(Path()) + " \r\n");
  Finish();
}

void HttpRequest::SendNotFound(std::string_view path) {
  SetStatus(kMsgHttp404);
  Write("Content-Type: text/html\r\n");
  Write("\r\n<body><h1>Document " + TemplateEscape(path) + " not found.</h1></body>\r\n");
  Finish();
}

void HttpRequest::SendBadRequest() {
  SetStatus(kMsgHttp400);
  Write("Content-Type: text/html\r\n");
  Write("\r\n<body><h1>HTTP/1.0 400 Bad Request</h1></body>\r\n");
  Finish();
}
