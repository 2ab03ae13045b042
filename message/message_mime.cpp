// CTernMessage's MIME operations: the scan for parts, attachments, extracting a
// part decoded, and writing a multipart message part by part.
#include <algorithm>
#include <cstdio>

#include "message/message.h"
#include "message/mime_codec.h"
#include "message/random.h"

namespace {

// A header value written by the system: line breaks inside would start a new header.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

// A quoted parameter value: quotes and backslashes escaped.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : OneLine(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

template <class Sink>
bool CTernMessage::ReadRangeLocked(int32_t from, int32_t to, Sink sink) {
  char buffer[kTernMessageBlock];
  for (int32_t position = from; position < to;) {
    if (!SeekFileLocked(position)) return false;
    int32_t n = m_File->Read(buffer, std::min(kTernMessageBlock, to - position));
    if (n <= 0) {
      m_FilePosition = -1;
      return n == 0;  // the file is shorter than it was: what there was is read
    }
    position += n;
    m_FilePosition = position;
    if (!sink(std::string_view(buffer, static_cast<size_t>(n)))) return false;
  }
  return true;
}

bool CTernMessage::ScanMimeLocked() {
  if (!m_Open) return false;
  if (IsReading() && !FindEndLocked()) return false;
  m_Parts.clear();
  TernContentDescription top = TernDescribeContent(m_Headers.ContentHeaders());
  if (top.IsMultipart() && m_BodyOffset >= 0) {
    CTernMimeScanner scanner(top);
    bool lineStart = true;
    std::string piece;
    for (int32_t position = m_BodyOffset; position < m_End;) {
      int32_t n = PhysicalLineLocked(position, piece);
      if (n < 0) return false;
      if (n == 0) break;
      scanner.Piece(piece, position, lineStart);
      lineStart = piece.back() == '\n';
      position += n;
    }
    scanner.End(m_End);
    m_Parts = scanner.Parts();
  }
  m_MimeScanned = IsReading();  // a message being written changes under the scan
  return true;
}

TernContentDescription CTernMessage::Description() {
  CTernLockGuard guard(m_Lock);
  return TernDescribeContent(TableLocked().ContentHeaders());
}

bool CTernMessage::HasAttachments() {
  CTernLockGuard guard(m_Lock);
  if (!m_MimeScanned && !ScanMimeLocked()) return false;
  return TernHasAttachments(TernDescribeContent(m_Headers.ContentHeaders()), m_Parts);
}

int32_t CTernMessage::PartCount() {
  CTernLockGuard guard(m_Lock);
  if (!m_MimeScanned && !ScanMimeLocked()) return 0;
  return static_cast<int32_t>(m_Parts.size());
}

bool CTernMessage::Part(int32_t n, TernContentDescription& description) {
  CTernLockGuard guard(m_Lock);
  if (!m_MimeScanned && !ScanMimeLocked()) return false;
  if (n < 1 || n > static_cast<int32_t>(m_Parts.size())) return false;
  description = m_Parts[static_cast<size_t>(n) - 1].description;
  return true;
}

int CTernMessage::Extract(int32_t n, CTernMessage& target) {
  if (&target == this || !target.IsOpen() || target.IsReading() || target.HeadersOpen()) return 1;
  CTernLockGuard guard(m_Lock);
  if (!m_MimeScanned && !ScanMimeLocked()) return 1;
  int32_t from, to;
  std::string encoding;
  if (n == 0) {
    if (m_BodyOffset < 0) return 1;
    from = m_BodyOffset;
    to = std::max(m_End, from);
    encoding = TernDescribeContent(m_Headers.ContentHeaders()).encoding;
  } else if (n >= 1 && n <= static_cast<int32_t>(m_Parts.size())) {
    const TernMimePart& part = m_Parts[static_cast<size_t>(n) - 1];
    from = part.offset;
    to = part.offset + part.length;
    encoding = part.description.encoding;
  } else {
    return 1;
  }
  CTernDecoder decoder(encoding);
  std::string decoded;
  bool ok = ReadRangeLocked(from, to, [&](std::string_view block) {
    decoded.clear();
    decoder.Feed(block, decoded);
    return target.Write(decoded);
  });
  decoded.clear();
  decoder.Finish(decoded);
  return ok && target.Write(decoded) ? 0 : 1;
}

int CTernMessage::MakeMultipart() {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || IsReading() || !m_HeadersOpen) return 1;
  if (!m_LineBuffer.empty() || m_InLongLine) return 1;  // in the middle of a header line
  if (!FlushHeldLocked()) return 1;
  TernContentDescription current = TernDescribeContent(m_Headers.ContentHeaders());
  if (current.IsMultipart()) return 0;
  if (m_Headers.Has("Content-Type")) return 1;  // a second Content-Type would contradict it
  char numbers[16];
  std::snprintf(numbers, sizeof numbers, "%05d%05d", TernRandom(), TernRandom());
  std::string boundary = std::string("--------------") + numbers;
  bool ok = true;
  if (!m_Headers.Has("MIME-Version")) ok = HeaderLineLocked("MIME-Version: 1.0\r\n");
  ok = HeaderLineLocked("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n") && ok;
  ok = FlushHeldLocked() && ok;
  return ok ? 0 : 1;
}

std::string CTernMessage::DelimiterLocked() {
  TernContentDescription d = TernDescribeContent(m_Headers.ContentHeaders());
  return d.IsMultipart() ? d.delimiter : std::string();
}

std::string CTernMessage::Delimiter() {
  CTernLockGuard guard(m_Lock);
  return DelimiterLocked();
}

int CTernMessage::PartWriteCheckLocked() {
  if (!m_Open || IsReading() || m_HeadersOpen || DelimiterLocked().empty()) return 1;
  return 0;
}

int CTernMessage::BeginTextPart() {
  CTernLockGuard guard(m_Lock);
  if (PartWriteCheckLocked()) return 1;
  // A delimiter must begin a line of its own.
  std::string text = m_LastByteLineEnd ? "" : "\r\n";
  text += DelimiterLocked() +
          "\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
  return WriteRawLocked(text) ? 0 : 1;
}

int CTernMessage::BeginAttachmentPart(std::string_view type, std::string_view name,
                                      std::string_view disposition, std::string_view encoding) {
  CTernLockGuard guard(m_Lock);
  if (PartWriteCheckLocked()) return 1;
  std::string text = m_LastByteLineEnd ? "" : "\r\n";
  text += DelimiterLocked() + "\r\n";
  text += "Content-Type: " + OneLine(type.empty() ? "application/octet-stream" : type) +
          "; name=" + Quoted(name) + "\r\n";
  text += "Content-Transfer-Encoding: " + OneLine(encoding.empty() ? "7bit" : encoding) + "\r\n";
  text += "Content-Disposition: " + OneLine(disposition.empty() ? "inline" : disposition) +
          "; filename=" + Quoted(name) + "\r\n\r\n";
  return WriteRawLocked(text) ? 0 : 1;
}

int CTernMessage::DelimiterLine(bool closing) {
  CTernLockGuard guard(m_Lock);
  if (PartWriteCheckLocked()) return 1;
  std::string text = m_LastByteLineEnd ? "" : "\r\n";
  text += DelimiterLocked() + (closing ? "--\r\n" : "\r\n");
  return WriteRawLocked(text) ? 0 : 1;
}
