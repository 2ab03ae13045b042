// CTernMessage: opening and closing, the line reader with its separator detection,
// the writer with its header section and completion, headers and sizes, copying.
#include "message/message.h"

#include <algorithm>

#include "base/disk_file.h"
#include "message/address_rewrite.h"
#include "message/mail_time.h"
#include "message/separator.h"

namespace {

// The longest unfinished header line held back; a longer one passes through unread.
constexpr size_t kMaxHeaderLine = 65536;

bool EndsWithLineFeed(std::string_view text) { return !text.empty() && text.back() == '\n'; }

}  // namespace

CTernMessage::CTernMessage(const std::string& path, int32_t offset, int32_t size,
                           uint32_t options, TernMessageMode mode)
    : m_OwnedFile(std::make_unique<CTernDiskFile>(
          path, mode == TernMessageMode::Read
                    ? TernFileMode::ReadOnly | TernFileMode::NoLock
                    : TernFileMode::Append | TernFileMode::Create | TernFileMode::NoLock)),
      m_File(m_OwnedFile.get()),
      m_Mode(mode),
      m_Options(options),
      m_Offset(std::max(offset, 0)),
      m_Size(std::max(size, 0)) {}

CTernMessage::CTernMessage(CTernFile& file, int32_t offset, int32_t size, uint32_t options,
                           TernMessageMode mode)
    : m_File(&file),
      m_Mode(mode),
      m_Options(options),
      m_Offset(std::max(offset, 0)),
      m_Size(std::max(size, 0)) {}

CTernMessage::~CTernMessage() {
  CTernLockGuard guard(m_Lock);
  if (m_Open) CloseLocked();
}

bool CTernMessage::Open(const std::string& envelopeSender, const std::string& messageId) {
  CTernLockGuard guard(m_Lock);
  if (m_Open) return false;
  if (!m_File->Open()) return false;
  m_Open = true;
  if (OpenLocked(envelopeSender, messageId)) return true;
  m_File->Close();
  m_Open = false;
  return false;
}

bool CTernMessage::OpenLocked(const std::string& envelopeSender, const std::string& messageId) {
  m_Failed = false;
  m_FilePosition = -1;
  m_Headers.Clear();
  m_EnvelopeSender = envelopeSender;
  m_MessageId = messageId;
  if (IsReading()) {
    m_End = m_Size > 0 ? m_Offset + m_Size : -1;
    m_Ended = false;
    m_MimeScanned = false;
    m_Parts.clear();
    if (!ReadHeaderSectionLocked()) return false;
    RewindLocked(false);
    return !(m_Options & TernMessageOption::ParseMime) || ScanMimeLocked();
  }
  if (!m_File->Seek(0, TernSeek::End)) return false;
  m_Offset = m_File->Tell();
  if (m_Offset < 0) return false;
  m_End = m_FilePosition = m_Offset;
  m_LineBuffer.clear();
  m_InLongLine = m_Held = m_LastLineEmpty = false;
  m_LastByteLineEnd = true;
  if (m_Options & TernMessageOption::Separator) {
    std::string line = TernSeparatorLine(envelopeSender, CTernTime());
    if (!WriteRawLocked(line)) return false;
    m_SeparatorLength = static_cast<int32_t>(line.size());
  }
  m_HeadersOpen = !(m_Options & TernMessageOption::BodyOnly);
  m_BodyOffset = m_HeadersOpen ? -1 : m_End;
  return true;
}

bool CTernMessage::Close() {
  CTernLockGuard guard(m_Lock);
  if (!m_Open) return false;
  return CloseLocked();
}

bool CTernMessage::CloseLocked() {
  bool ok = true;
  if (!IsReading()) {
    if (m_HeadersOpen && (m_Options & TernMessageOption::Complete))
      ok = EndHeadersLocked();
    else
      ok = FlushPendingLocked();
    ok = !m_Failed && ok;
    m_Size = m_End - m_Offset;
  }
  ok = m_File->Close() && ok;
  m_Open = false;
  return ok;
}

bool CTernMessage::IsOpen() {
  CTernLockGuard guard(m_Lock);
  return m_Open;
}

// --- Reading ---

bool CTernMessage::SeekFileLocked(int32_t position) {
  if (m_FilePosition == position) return true;
  if (!m_File->Seek(position, TernSeek::Start)) {
    m_FilePosition = -1;
    return false;
  }
  m_FilePosition = position;
  return true;
}

int32_t CTernMessage::PhysicalLineLocked(int32_t position, std::string& piece) {
  int32_t limit = kTernMessageBlock;
  if (EndKnownLocked()) limit = std::min(limit, m_End - position);
  piece.clear();
  if (limit <= 0) return 0;
  if (!SeekFileLocked(position)) return -1;
  char buffer[kTernMessageBlock + 1];
  int32_t n = m_File->ReadLine(buffer, limit + 1, "\n");
  if (n < 0) {
    m_FilePosition = -1;
    return -1;
  }
  piece.assign(buffer, static_cast<size_t>(n));
  m_FilePosition = position + n;
  return n;
}

void CTernMessage::EndAtLocked(int32_t position) {
  m_Ended = true;
  if (!EndKnownLocked()) {
    m_End = position;
    m_Size = position - m_Offset;
  }
}

int32_t CTernMessage::NextLineLocked(std::string& line) {
  if (m_Ended) {
    line.clear();
    return 0;
  }
  int32_t n;
  if (m_Cursor.peek) {
    line = std::move(*m_Cursor.peek);
    m_Cursor.peek.reset();
    n = static_cast<int32_t>(line.size());
  } else {
    n = PhysicalLineLocked(m_Cursor.position, line);
  }
  if (n < 0) return -1;
  if (n == 0) {
    EndAtLocked(m_Cursor.position);
    return 0;
  }
  bool detect = !EndKnownLocked() && !(m_Options & TernMessageOption::NoSeparatorDetection);
  if (detect && m_Cursor.atLineStart && !m_Cursor.firstLine && EndsWithLineFeed(line) &&
      TernIsSeparatorLine(line)) {
    // A separator line ends the message only when a header line follows it.
    std::string next;
    int32_t m = PhysicalLineLocked(m_Cursor.position + n, next);
    if (m < 0) return -1;
    if (TernLooksLikeHeaderLine(next)) {
      EndAtLocked(m_Cursor.position);
      line.clear();
      return 0;
    }
    if (m > 0) m_Cursor.peek = std::move(next);
  }
  m_Cursor.position += n;
  m_Cursor.atLineStart = EndsWithLineFeed(line);
  m_Cursor.firstLine = false;
  return n;
}

bool CTernMessage::ReadHeaderSectionLocked() {
  RewindLocked(false);
  m_SeparatorSender.clear();
  m_SeparatorLength = 0;
  CTernHeaderCollector collector(m_Headers);
  std::string line;
  bool first = true, lineStart = true;
  for (;;) {
    int32_t start = m_Cursor.position;
    int32_t n = NextLineLocked(line);
    if (n < 0) return false;
    if (n == 0) break;
    bool wasLineStart = lineStart;
    lineStart = EndsWithLineFeed(line);
    if (first && TernSeparatorPrefix(line) > 0) {
      m_SeparatorSender = TernSeparatorSender(line);
      m_SeparatorLength = n;
      first = false;
      continue;
    }
    first = false;
    if (!wasLineStart) continue;  // the rest of an overlong line
    if (TernIsEmptyLine(line)) {
      collector.Finish();
      m_BodyOffset = start + n;
      return true;
    }
    collector.Line(line);
  }
  collector.Finish();
  m_BodyOffset = m_Cursor.position;  // no body: it begins where the message ends
  return true;
}

void CTernMessage::RewindLocked(bool skipSeparator) {
  m_Cursor = Cursor();
  m_Cursor.position = m_Offset + (skipSeparator ? m_SeparatorLength : 0);
  m_Cursor.firstLine = !skipSeparator || m_SeparatorLength == 0;
  m_Ended = false;
}

bool CTernMessage::FindEndLocked() {
  if (EndKnownLocked()) return true;
  Cursor saved = m_Cursor;
  bool ended = m_Ended;
  std::string line;
  int32_t n;
  while ((n = NextLineLocked(line)) > 0) {
  }
  m_Cursor = std::move(saved);
  m_Ended = ended;
  return n == 0;
}

int32_t CTernMessage::ReadLine(std::string& line) {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || !IsReading()) return -1;
  return NextLineLocked(line);
}

int32_t CTernMessage::ReadBlockLocked(char* buffer, int32_t length) {
  if (length <= 0) return 0;
  if (m_Cursor.peek) {
    std::string& peek = *m_Cursor.peek;
    int32_t n = std::min(length, static_cast<int32_t>(peek.size()));
    std::copy_n(peek.data(), n, buffer);
    peek.erase(0, static_cast<size_t>(n));
    if (peek.empty()) m_Cursor.peek.reset();
    m_Cursor.position += n;
    m_Cursor.atLineStart = buffer[n - 1] == '\n';
    m_Cursor.firstLine = false;
    return n;
  }
  if (!FindEndLocked()) return -1;
  int32_t n = std::min(length, m_End - m_Cursor.position);
  if (n <= 0) return 0;
  if (!SeekFileLocked(m_Cursor.position)) return -1;
  n = m_File->Read(buffer, n);
  if (n < 0) {
    m_FilePosition = -1;
    return -1;
  }
  m_FilePosition = m_Cursor.position + n;
  if (n == 0) return 0;
  m_Cursor.position += n;
  m_Cursor.atLineStart = buffer[n - 1] == '\n';
  m_Cursor.firstLine = false;
  return n;
}

int32_t CTernMessage::Read(char* buffer, int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || !IsReading() || !buffer) return -1;
  return ReadBlockLocked(buffer, length);
}

bool CTernMessage::Rewind(bool skipSeparator) {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || !IsReading()) return false;
  RewindLocked(skipSeparator);
  return true;
}

bool CTernMessage::SeekBody() {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || !IsReading()) return false;
  m_Cursor = Cursor();
  m_Cursor.position = m_BodyOffset;
  m_Cursor.firstLine = m_BodyOffset == m_Offset;
  m_Ended = false;
  return true;
}

std::string CTernMessage::SeparatorSender() {
  CTernLockGuard guard(m_Lock);
  return m_SeparatorSender;
}

int32_t CTernMessage::SeparatorLength() {
  CTernLockGuard guard(m_Lock);
  return m_SeparatorLength;
}

bool CTernMessage::CopyTo(CTernFile& target) {
  char buffer[kTernMessageBlock];
  for (;;) {
    int32_t n = Read(buffer, kTernMessageBlock);
    if (n < 0) return false;
    if (n == 0) return true;
    if (target.Write(buffer, n) != n) return false;
  }
}

// --- Writing ---

bool CTernMessage::WriteRawLocked(std::string_view text) {
  if (text.empty()) return true;
  if (m_FilePosition != m_End && !m_File->Seek(0, TernSeek::End)) {
    m_Failed = true;
    return false;
  }
  int32_t length = static_cast<int32_t>(text.size());
  int32_t n = m_File->Write(text.data(), length);
  if (n > 0) m_End += n;
  m_FilePosition = m_End;
  if (n != length) {
    m_Failed = true;
    return false;
  }
  m_LastByteLineEnd = text.back() == '\n';
  return true;
}

bool CTernMessage::FlushHeldLocked() {
  if (!m_Held) return true;
  m_Held = false;
  m_Headers.Add(m_HeldName, m_HeldValue);
  m_LastLineEmpty = false;
  if ((m_Options & TernMessageOption::RewriteAddresses) &&
      (TernHeaderClassOf(m_HeldName) & TernHeaderClass::Address))
    return WriteRawLocked(m_HeldName + ": " + TernRewriteAddressList(m_HeldValue) + "\r\n");
  return WriteRawLocked(m_HeldText);
}

bool CTernMessage::HeaderLineLocked(const std::string& line) {
  if (TernIsEmptyLine(line)) {
    bool ok = FlushHeldLocked();
    if (m_Options & TernMessageOption::Complete) ok = CompleteHeadersLocked() && ok;
    ok = WriteRawLocked(line) && ok;
    m_LastLineEmpty = true;
    m_HeadersOpen = false;
    m_BodyOffset = m_End;
    return ok;
  }
  if (TernIsContinuationLine(line) && m_Held) {
    m_HeldText += line;
    if (m_HeldValue.size() < kTernMaxHeaderValue) m_HeldValue += TernWithoutLineEnd(line);
    return true;
  }
  bool ok = FlushHeldLocked();
  std::string name, value;
  if (TernSplitHeaderLine(line, name, value)) {
    m_Held = true;
    m_HeldText = line;
    m_HeldName = std::move(name);
    m_HeldValue = std::move(value);
    return ok;
  }
  m_LastLineEmpty = false;
  return WriteRawLocked(line) && ok;  // not a header line: written as it is
}

bool CTernMessage::WriteLocked(std::string_view text) {
  if (!m_HeadersOpen) return WriteRawLocked(text);
  bool ok = true;
  while (!text.empty() && m_HeadersOpen) {
    size_t lf = text.find('\n');
    size_t take = lf == std::string_view::npos ? text.size() : lf + 1;
    if (m_InLongLine) {
      ok = WriteRawLocked(text.substr(0, take)) && ok;
      m_InLongLine = lf == std::string_view::npos;
    } else {
      m_LineBuffer.append(text.substr(0, take));
      if (lf != std::string_view::npos) {
        std::string line = std::move(m_LineBuffer);
        m_LineBuffer.clear();
        ok = HeaderLineLocked(line) && ok;
      } else if (m_LineBuffer.size() > kMaxHeaderLine) {
        ok = FlushHeldLocked() && ok;
        ok = WriteRawLocked(m_LineBuffer) && ok;
        m_LineBuffer.clear();
        m_LastLineEmpty = false;
        m_InLongLine = true;
      }
    }
    text.remove_prefix(take);
  }
  return WriteRawLocked(text) && ok;  // what follows the end of the header section
}

bool CTernMessage::Write(std::string_view text) {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || IsReading()) return false;
  return WriteLocked(text);
}

bool CTernMessage::WriteHeader(std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + value.size() + 4);
  line.append(name).append(": ").append(value).append("\r\n");
  return Write(line);
}

bool CTernMessage::GeneratedHeaderLocked(const std::string& name, const std::string& value) {
  m_Headers.Add(name, value);
  return WriteRawLocked(name + ": " + value + "\r\n");
}

bool CTernMessage::CompleteHeadersLocked() {
  bool ok = true;
  unsigned classes = m_Headers.Classes();
  if (!(classes & TernHeaderClass::Date)) ok = GeneratedHeaderLocked("Date", CTernTime().MailDate());
  if (!(classes & TernHeaderClass::MessageId) && !m_MessageId.empty())
    ok = GeneratedHeaderLocked("Message-Id", "<" + m_MessageId + ">") && ok;
  if (!(classes & TernHeaderClass::Originator) && !m_EnvelopeSender.empty())
    ok = GeneratedHeaderLocked("From", m_EnvelopeSender) && ok;
  return ok;
}

bool CTernMessage::EndHeadersLocked() {
  if (!m_HeadersOpen) return true;
  bool ok = true;
  if (m_InLongLine) {
    ok = WriteRawLocked("\r\n");
    m_InLongLine = false;
  }
  // An unfinished last line is finished, so that nothing is added to it.
  if (!m_LineBuffer.empty()) {
    std::string line = std::move(m_LineBuffer);
    m_LineBuffer.clear();
    if (!EndsWithLineFeed(line)) line += "\r\n";
    ok = HeaderLineLocked(line) && ok;
    if (!m_HeadersOpen) return ok;
  }
  ok = FlushHeldLocked() && ok;
  if (m_Options & TernMessageOption::Complete) ok = CompleteHeadersLocked() && ok;
  if (!m_LastLineEmpty) ok = WriteRawLocked("\r\n") && ok;
  m_LastLineEmpty = true;
  m_HeadersOpen = false;
  m_BodyOffset = m_End;
  return ok;
}

bool CTernMessage::EndHeaders() {
  CTernLockGuard guard(m_Lock);
  if (!m_Open || IsReading()) return false;
  return EndHeadersLocked();
}

bool CTernMessage::HeadersOpen() {
  CTernLockGuard guard(m_Lock);
  return !IsReading() && m_HeadersOpen;
}

bool CTernMessage::FlushPendingLocked() {
  bool ok = true;
  if (m_HeadersOpen && !m_LineBuffer.empty()) {
    // An unfinished last line is still a header line; it is written as it stands.
    std::string line = std::move(m_LineBuffer);
    m_LineBuffer.clear();
    ok = HeaderLineLocked(line);
  }
  return FlushHeldLocked() && ok;
}

bool CTernMessage::CopyFrom(CTernMessage& source) {
  if (&source == this) return false;
  char buffer[kTernMessageBlock];
  for (;;) {
    int32_t n = source.Read(buffer, kTernMessageBlock);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!Write(std::string_view(buffer, static_cast<size_t>(n)))) return false;
  }
}

// --- Headers and sizes ---

const CTernHeaders& CTernMessage::TableLocked() {
  if (!m_Held) return m_Headers;
  m_HeldView = m_Headers;
  m_HeldView.Add(m_HeldName, m_HeldValue);
  return m_HeldView;
}

bool CTernMessage::FindHeader(std::string_view name, std::string& value) {
  CTernLockGuard guard(m_Lock);
  return TableLocked().Find(name, value);
}

std::string CTernMessage::Header(std::string_view name) {
  std::string value;
  FindHeader(name, value);
  return value;
}

std::vector<std::pair<std::string, std::string>> CTernMessage::Headers() {
  CTernLockGuard guard(m_Lock);
  return TableLocked().All();
}

unsigned CTernMessage::HeaderClasses() {
  CTernLockGuard guard(m_Lock);
  return TableLocked().Classes();
}

std::string CTernMessage::ContentHeaders() {
  CTernLockGuard guard(m_Lock);
  return TableLocked().ContentHeaders();
}

int CTernMessage::HopCount() {
  CTernLockGuard guard(m_Lock);
  return TableLocked().HopCount();
}

int32_t CTernMessage::Offset() {
  CTernLockGuard guard(m_Lock);
  return m_Offset;
}

int32_t CTernMessage::Size() {
  CTernLockGuard guard(m_Lock);
  if (!IsReading()) return m_Open ? m_End - m_Offset : m_Size;
  if (m_Open && !FindEndLocked()) return -1;
  return m_Size;
}

int32_t CTernMessage::BodyOffset() {
  CTernLockGuard guard(m_Lock);
  return m_BodyOffset;
}
