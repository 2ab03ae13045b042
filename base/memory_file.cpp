// The memory file: reads and writes on a byte string at the position.
#include "base/memory_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/message_codes.h"
#include "base/report.h"
#include "platform/clock.h"

namespace {
constexpr const char* kName = "(memoryfile)";
constexpr int64_t kMaxPosition = INT32_MAX;
}  // namespace

CTernMemoryFile::CTernMemoryFile(uint32_t mode) : m_Mode(mode), m_Modified(PlatformNow()) {}

bool CTernMemoryFile::CheckOpenLocked(const char* operation) {
  if (m_Open) return true;
  TernReportEventF(TernEventType::Error, kMsgFileNotOpened, operation, kName);
  return false;
}

bool CTernMemoryFile::Open() {
  CTernLockGuard guard(m_Lock);
  if (m_Open) {
    TernReportEventF(TernEventType::Error, kMsgFileAlreadyOpen, kName);
    return false;
  }
  if (m_Mode & TernFileMode::Truncate) {
    m_Contents.clear();
    m_Modified = PlatformNow();
  }
  m_Open = true;
  m_Position = 0;
  return true;
}

bool CTernMemoryFile::Close() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Close")) return false;
  m_Open = false;
  return true;
}

int32_t CTernMemoryFile::Read(char* buffer, int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Read")) return -1;
  if (!buffer || length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileReadArguments, kName);
    return -1;
  }
  size_t at = static_cast<size_t>(m_Position);
  if (at >= m_Contents.size()) return 0;
  size_t count = std::min(m_Contents.size() - at, static_cast<size_t>(length));
  memcpy(buffer, m_Contents.data() + at, count);
  m_Position += static_cast<int32_t>(count);
  return static_cast<int32_t>(count);
}

int32_t CTernMemoryFile::Read(std::string& out) {
  CTernLockGuard guard(m_Lock);
  out.clear();
  if (!CheckOpenLocked("Read")) return -1;
  size_t at = static_cast<size_t>(m_Position);
  if (at >= m_Contents.size()) return 0;
  out.assign(m_Contents, at, std::string::npos);
  m_Position += static_cast<int32_t>(out.size());
  return static_cast<int32_t>(out.size());
}

int32_t CTernMemoryFile::Write(const std::string& text) {
  if (text.size() > static_cast<size_t>(kMaxPosition)) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteArguments, kName);
    return -1;
  }
  return Write(text.data(), static_cast<int32_t>(text.size()));
}

int32_t CTernMemoryFile::Write(const char* buffer, int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Write")) return -1;
  if (!buffer || length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteArguments, kName);
    return -1;
  }
  if (m_Mode & TernFileMode::ReadOnly) {
    TernReportEventF(TernEventType::Error, kMsgFileNotWritable, kName);
    return -1;
  }
  if (m_Mode & TernFileMode::Append) m_Position = static_cast<int32_t>(m_Contents.size());
  if (length > kMaxPosition - m_Position) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteFailed, kName, EFBIG);
    return -1;
  }
  size_t at = static_cast<size_t>(m_Position);
  size_t count = static_cast<size_t>(length);
  if (at + count > m_Contents.size()) m_Contents.resize(at + count, '\0');
  if (count > 0) memcpy(m_Contents.data() + at, buffer, count);
  m_Position += length;
  m_Modified = PlatformNow();
  return length;
}

int32_t CTernMemoryFile::ReadLine(std::string& line, const char* terminator) {
  CTernLockGuard guard(m_Lock);
  line.clear();
  if (!CheckOpenLocked("ReadLine")) return -1;
  if (!terminator || !*terminator) {
    TernReportEventF(TernEventType::Error, kMsgFileReadLineArguments, kName);
    return -1;
  }
  return ReadLineLocked(line, terminator, static_cast<size_t>(kMaxPosition - m_Position));
}

int32_t CTernMemoryFile::ReadLine(char* buffer, int32_t size, const char* terminator) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("ReadLine")) return -1;
  // A buffer of one byte holds only the zero byte: its empty lines would look like
  // the end of the file.
  if (!terminator || !*terminator || !buffer || size < 2) {
    TernReportEventF(TernEventType::Error, kMsgFileReadLineArguments, kName);
    return -1;
  }
  std::string line;
  int32_t n = ReadLineLocked(line, terminator, static_cast<size_t>(size - 1));
  memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return n;
}

int32_t CTernMemoryFile::ReadLineLocked(std::string& line, const char* terminator,
                                        size_t limit) {
  size_t at = static_cast<size_t>(m_Position);
  if (at >= m_Contents.size()) return 0;
  std::string_view data(m_Contents.data() + at, m_Contents.size() - at);
  int64_t length = LineLength(data, terminator, limit);
  // All the contents are at hand: without a whole line, the rest is the line.
  size_t count = length >= 0 ? static_cast<size_t>(length) : data.size();
  line.assign(data.substr(0, count));
  m_Position += static_cast<int32_t>(count);
  return static_cast<int32_t>(count);
}

bool CTernMemoryFile::Flush() {
  CTernLockGuard guard(m_Lock);
  return CheckOpenLocked("Flush");
}

bool CTernMemoryFile::Truncate(int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Truncate")) return false;
  if (length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileTruncateArguments, kName);
    return false;
  }
  if (m_Mode & TernFileMode::ReadOnly) {
    TernReportEventF(TernEventType::Error, kMsgFileNotWritable, kName);
    return false;
  }
  m_Contents.resize(static_cast<size_t>(length), '\0');
  m_Position = std::min(m_Position, length);
  m_Modified = PlatformNow();
  return true;
}

bool CTernMemoryFile::Seek(int32_t offset, int origin) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Seek")) return false;
  int64_t base;
  switch (origin) {
    case TernSeek::Start: base = 0; break;
    case TernSeek::Current: base = m_Position; break;
    case TernSeek::End: base = static_cast<int64_t>(m_Contents.size()); break;
    default:
      TernReportEventF(TernEventType::Error, kMsgFileSeekFailed, kName, EINVAL);
      return false;
  }
  int64_t target = base + offset;
  if (target < 0 || target > kMaxPosition) {
    TernReportEventF(TernEventType::Error, kMsgFileSeekFailed, kName,
                     target < 0 ? EINVAL : EOVERFLOW);
    return false;
  }
  m_Position = static_cast<int32_t>(target);
  return true;
}

int32_t CTernMemoryFile::Tell() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Tell")) return -1;
  return m_Position;
}

bool CTernMemoryFile::AtEnd() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("AtEnd")) return true;
  return static_cast<size_t>(m_Position) >= m_Contents.size();
}

void CTernMemoryFile::Reserve(int32_t bytes) {
  CTernLockGuard guard(m_Lock);
  if (bytes > 0) m_Contents.reserve(static_cast<size_t>(bytes));
}

int32_t CTernMemoryFile::Size() {
  CTernLockGuard guard(m_Lock);
  // Writes and Truncate never take the contents past the largest position.
  return static_cast<int32_t>(m_Contents.size());
}

bool CTernMemoryFile::ModificationTime(time_t& time) {
  CTernLockGuard guard(m_Lock);
  time = m_Modified;
  return true;
}

std::string CTernMemoryFile::Contents() {
  CTernLockGuard guard(m_Lock);
  return m_Contents;
}
