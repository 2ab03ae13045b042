// HttpRequest: reading the request line, the headers and the body, spooling a
// large body to a file, and decoding the form variables.
#include "web/http_request.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <vector>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/memory_file.h"
#include "message/headers.h"
#include "web/http_channel.h"
#include "web/http_server.h"

namespace {

long MonotonicSeconds() {
  using namespace std::chrono;
  return static_cast<long>(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (!line.empty()) {
    size_t space = line.find(' ');
    if (space != 0) words.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return words;
}

// A whole decimal number, nothing before or after it.
bool WholeNumber(std::string_view text, long& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool HttpParseRequestLine(std::string_view line, HttpMethod& method, std::string& url,
                          int& version) {
  std::vector<std::string_view> words = Words(line);
  if (words.size() < 3 || !TernBeginsNoCase(words[2], "HTTP/")) return false;
  std::string_view number = words[2].substr(5);
  size_t dot = number.find('.');
  long major = 0, minor = 0;
  if (dot == std::string_view::npos || !WholeNumber(number.substr(0, dot), major) ||
      !WholeNumber(number.substr(dot + 1), minor) || major != 1 || minor < 0)
    return false;
  version = minor == 0 ? kMsgHttp10 : kMsgHttp11;
  if (TernEqualsNoCase(words[0], "GET"))
    method = HttpMethod::Get;
  else if (TernEqualsNoCase(words[0], "HEAD"))
    method = HttpMethod::Head;
  else if (TernEqualsNoCase(words[0], "POST"))
    method = HttpMethod::Post;
  else
    method = HttpMethod::Other;
  url = std::string(words[1]);
  return true;
}

HttpRequest::LineResult HttpRequest::ReadHeadLine(std::string& line, long startSeconds,
                                                  bool kept, bool& anyBytes) {
  line.clear();
  int silent = 0;
  for (;;) {
    if (m_Channel.Stopping()) return LineResult::Gone;
    size_t before = line.size();
    HttpRead read = m_Channel.ReadLine(line, kHttpMaxLine + 2);
    if (line.size() > before) anyBytes = true;
    if (read == HttpRead::Data) {
      if (!line.ends_with("\r\n")) return LineResult::Overlong;
      line.resize(line.size() - 2);
      return LineResult::Line;
    }
    if (read != HttpRead::Silent) return LineResult::Gone;
    // Bytes that keep coming reset the silence, but never the budget.
    silent = line.size() > before ? 0 : silent + 1;
    // A kept connection waiting for its next request gives way sooner under stress.
    int limit = kept && !anyBytes ? m_Server.IdleWait(m_Limits.silence) : m_Limits.silence;
    if (silent >= limit || MonotonicSeconds() - startSeconds >= m_Limits.headBudget)
      return LineResult::Silent;
  }
}

HttpHeadResult HttpRequest::ReadHead(bool kept) {
  long start = MonotonicSeconds();
  bool anyBytes = false;
  std::string line;
  LineResult result;
  do {
    result = ReadHeadLine(line, start, kept, anyBytes);
  } while (result == LineResult::Line && line.empty());
  if (result != LineResult::Line)
    return kept && !anyBytes ? HttpHeadResult::Idle : HttpHeadResult::Bad;
  if (!HttpParseRequestLine(line, m_Method, m_Url, m_Version) || !StartMessage())
    return HttpHeadResult::Bad;
  return ReadHeaders(start);
}

HttpHeadResult HttpRequest::ReadHeaders(long startSeconds) {
  bool anyBytes = true;
  std::string line;
  for (int count = 0;; ++count) {
    if (ReadHeadLine(line, startSeconds, false, anyBytes) != LineResult::Line)
      return HttpHeadResult::Bad;
    if (line.empty()) break;
    std::string name, value;
    bool continuation = TernIsContinuationLine(line);
    // Every line must be a header or continue one; the count bounds the table.
    if (count >= kHttpMaxHeaders || (continuation && count == 0) ||
        (!continuation && !TernSplitHeaderLine(line, name, value)))
      return HttpHeadResult::Bad;
    if (!m_Message->Write(line + "\r\n")) return HttpHeadResult::Bad;
  }
  if (!m_Message->Write("\r\n")) return HttpHeadResult::Bad;
  std::string ignored;
  // A body that no reader takes would be read as the next request.
  if (m_Method != HttpMethod::Post &&
      (GetHeader("Transfer-Encoding", ignored) ||
       (GetHeader("Content-Length", ignored) && TrimBlanks(ignored) != "0")))
    m_UnreadBody = true;
  return HttpHeadResult::Ok;
}

bool HttpRequest::StartMessage() {
  m_File = std::make_unique<CTernMemoryFile>();
  m_Message = std::make_unique<CTernMessage>(*m_File, 0, 0, 0, TernMessageMode::Write);
  return m_Message->Open();
}

bool HttpRequest::BodyLength(long& length) const {
  std::string ignored;
  if (GetHeader("Transfer-Encoding", ignored)) return false;
  bool found = false;
  for (const auto& [name, value] : m_Message->Headers()) {
    if (!TernEqualsNoCase(name, "Content-Length")) continue;
    long given = 0;
    if (!WholeNumber(TrimBlanks(value), given) || given < 0 || (found && given != length))
      return false;
    found = true;
    length = given;
  }
  return found && length <= m_Limits.maxBody;
}

HttpBodyResult HttpRequest::ReadBody() {
  if (m_Method != HttpMethod::Post) return HttpBodyResult::Ok;
  long length = 0;
  if (!BodyLength(length)) return HttpBodyResult::Refused;
  if (length >= kHttpSpoolThreshold && !Spool()) return HttpBodyResult::Failed;
  long received = 0;
  int silent = 0;
  std::string block;
  while (received < length) {
    if (m_Channel.Stopping()) return HttpBodyResult::Failed;
    block.clear();
    HttpRead read = m_Channel.Read(block, static_cast<size_t>(std::min<long>(kHttpBlock, length - received)));
    if (read == HttpRead::Silent && ++silent < m_Limits.bodySilence) continue;
    if (read != HttpRead::Data || !m_Message->Write(block)) return HttpBodyResult::Failed;
    silent = 0;
    received += static_cast<long>(block.size());
  }
  return HttpBodyResult::Ok;
}

std::string HttpRequest::NewSpoolPath() const {
  static std::atomic<unsigned long> serial{0};
  const std::string& directory = m_Server.MailDirectory();
  for (;;) {
    std::string name = "h" + std::to_string(m_Connection) + "aa" +
                       std::to_string(serial.fetch_add(1)) + ".tmp";
    std::string path = PathJoin(directory, name);
    if (!FileExists(path, false)) return path;
  }
}

bool HttpRequest::Spool() {
  if (m_Spooled) return false;
  m_Spooled = true;
  // What has been read so far moves from memory into the file.
  if (!m_Message->Close()) return false;
  std::string held = static_cast<CTernMemoryFile&>(*m_File).Contents();
  m_Message.reset();
  m_SpoolPath = NewSpoolPath();
  // The name is new (checked, and the serial is the process's own), so the file
  // can be opened again, read-write, to read the body back.
  auto file = std::make_unique<CTernDiskFile>(m_SpoolPath, TernFileMode::Create | TernFileMode::NoLock);
  auto message = std::make_unique<CTernMessage>(*file, 0, 0, 0, TernMessageMode::Write);
  m_File = std::move(file);
  m_Message = std::move(message);
  return m_Message->Open() && m_Message->Write(held);
}

void HttpRequest::ReleaseBody() {
  m_Reader.reset();
  m_Message.reset();
  m_File.reset();
  if (!m_SpoolPath.empty()) {
    if (FileExists(m_SpoolPath, false)) FileRemove(m_SpoolPath, false);
    m_SpoolPath.clear();
  }
  m_Spooled = false;
}

bool HttpRequest::OpenForReading() {
  if (m_Reader) return true;
  if (!m_Message || !m_Message->Close()) return false;
  m_Reader = std::make_unique<CTernMessage>(
      *m_File, 0, 0, TernMessageOption::ParseMime | TernMessageOption::NoSeparatorDetection,
      TernMessageMode::Read);
  return m_Reader->Open();
}

bool HttpRequest::ExtractPart(int32_t part, CTernFile& target) {
  CTernMessage out(target, 0, 0, TernMessageOption::BodyOnly, TernMessageMode::Write);
  if (!out.Open()) return false;
  bool ok = m_Reader->Extract(part, out) == 0;
  return out.Close() && ok;
}

bool HttpRequest::DecodeMultipart() {
  int32_t parts = m_Reader->PartCount();
  for (int32_t n = 1; n <= parts; ++n) {
    TernContentDescription part;
    if (!m_Reader->Part(n, part)) return false;
    if (part.hasFileParameter) {
      // The content stays in the body until a handler saves it.
      if (!m_Variables.SetFromRequest(part.fieldName, part.filename)) return false;
      continue;
    }
    CTernMemoryFile text;
    if (!ExtractPart(n, text)) return false;
    std::string value = text.Contents();
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    if (!m_Variables.SetFromRequest(part.fieldName, value)) return false;
  }
  return true;
}

bool HttpRequest::DecodeVariables() {
  if (m_Method == HttpMethod::Post) {
    std::string type;
    GetHeader("Content-Type", type);
    std::string media = TernLoweredAscii(TrimBlanks(type.substr(0, type.find(';'))));
    if (media == "application/x-www-form-urlencoded") {
      CTernMemoryFile body;
      if (!OpenForReading() || !ExtractPart(0, body) || !HttpParseForm(body.Contents(), m_Variables))
        return false;
    } else if (media == "multipart/form-data") {
      if (!OpenForReading() || !DecodeMultipart()) return false;
    }
  }
  size_t question = m_Url.find('?');
  return question == std::string::npos ||
         HttpParseForm(std::string_view(m_Url).substr(question + 1), m_Variables);
}

bool HttpRequest::SaveUploadedPart(const std::string& field, const std::string& destination,
                                   std::string& contentType) {
  if (m_Method != HttpMethod::Post || !OpenForReading()) return false;
  int32_t parts = m_Reader->PartCount();
  for (int32_t n = 1; n <= parts; ++n) {
    TernContentDescription part;
    if (!m_Reader->Part(n, part) || !part.hasFileParameter || part.fieldName != field) continue;
    CTernDiskFile file(destination, TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock);
    if (!ExtractPart(n, file)) return false;
    contentType = part.typeGiven ? part.type : "application/octet-stream";
    return true;
  }
  return false;
}
