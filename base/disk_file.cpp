// The buffered disk file over the platform's file calls.
#include "base/disk_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/exception.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "platform/file.h"
#include "platform/sync.h"

namespace {

constexpr int64_t kMaxPosition = INT32_MAX;
constexpr size_t kBlock = static_cast<size_t>(kTernFileBlock);

uint32_t OpenFlags(uint32_t mode) {
  uint32_t how = 0;
  if (mode & TernFileMode::ReadOnly) how |= kPlatformOpenRead;
  if (mode & TernFileMode::Append) how |= kPlatformOpenAppend;
  if (mode & TernFileMode::Truncate) how |= kPlatformOpenTruncate;
  if (mode & TernFileMode::Create) how |= kPlatformOpenCreate;
  if (mode & TernFileMode::Exclusive) how |= kPlatformOpenExclusive;
  if (mode & TernFileMode::Private) how |= kPlatformOpenPrivate;
  return how;
}

}  // namespace

CTernDiskFile::CTernDiskFile(const std::string& path, uint32_t mode)
    : m_Path(path), m_Mode(mode) {}

CTernDiskFile::~CTernDiskFile() {
  bool remove;
  {
    CTernLockGuard guard(m_Lock);
    if (m_Open) CloseLocked();
    remove = (m_Mode & TernFileMode::DeleteOnClose) && m_WasOpened;
  }
  if (remove) FileRemove(m_Path, false);
}

bool CTernDiskFile::CheckOpenLocked(const char* operation) {
  if (m_Open) return true;
  TernReportEventF(TernEventType::Error, kMsgFileNotOpened, operation, m_Path);
  return false;
}

bool CTernDiskFile::Open() {
  CTernLockGuard guard(m_Lock);
  if (m_Open) {
    TernReportEventF(TernEventType::Error, kMsgFileAlreadyOpen, m_Path);
    return false;
  }
  if (!LockPathLocked()) return false;
  if (!OpenDescriptorLocked()) {
    UnlockPathLocked();
    return false;
  }
  m_Open = true;
  m_WasOpened = true;
  m_Position = 0;
  m_State = BufferState::None;
  m_Buffer.clear();
  m_Consumed = 0;
  return true;
}

bool CTernDiskFile::LockPathLocked() {
  if (m_Mode & TernFileMode::NoLock) return true;
  try {
    m_PathLock.SetName(LockNameOf(m_Path));
    m_PathLock.Lock();
  } catch (const CTernException&) {
    return false;  // reported by the exception
  }
  m_PathLocked = true;
  return true;
}

void CTernDiskFile::UnlockPathLocked() {
  if (!m_PathLocked) return;
  m_PathLocked = false;
  try {
    m_PathLock.Unlock();
  } catch (const CTernException&) {
    // Reported by the exception (typically a close on another thread than the open).
  }
}

bool CTernDiskFile::OpenDescriptorLocked() {
  uint32_t how = OpenFlags(m_Mode);
  for (;;) {
    int err = PlatformFileOpen(m_Path, how, m_Fd);
    if (err == 0) return true;
    if (err != EMFILE && err != ENFILE) {
      TernReportEventF(TernEventType::Error, kMsgFileOpenFailed, m_Path, err);
      return false;
    }
    // Descriptors come free as other work finishes: wait for one.
    TernReportEventF(TernEventType::Warning, kMsgTooManyOpenFiles, m_Path, err);
    PlatformSleepMs(1000);
  }
}

bool CTernDiskFile::Close() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Close")) return false;
  return CloseLocked();
}

bool CTernDiskFile::CloseLocked() {
  bool flushed = FlushBufferLocked();
  int err = PlatformFileClose(m_Fd);
  bool closed = err == 0;
  if (!closed) TernReportEventF(TernEventType::Error, kMsgFileCloseFailed, m_Path, err);
  m_Fd = -1;
  m_Open = false;
  UnlockPathLocked();
  return flushed && closed;
}

bool CTernDiskFile::FlushBufferLocked() {
  bool ok = m_State != BufferState::Writing || WriteOutLocked();
  m_Buffer.clear();
  m_Consumed = 0;
  m_State = BufferState::None;
  return ok;
}

bool CTernDiskFile::WriteOutLocked() {
  int err = PlatformFileWrite(m_Fd, m_Buffer.data(), m_Buffer.size());
  m_Buffer.clear();
  m_Consumed = 0;
  if (err != 0) TernReportEventF(TernEventType::Error, kMsgFileWriteFailed, m_Path, err);
  // After a failure the bytes not written are gone: the position follows the
  // system's. With Append the system wrote at the end of the file, wherever that
  // now is.
  if (err != 0 || (m_Mode & TernFileMode::Append)) {
    int64_t at = 0;
    if (PlatformFileSeek(m_Fd, 0, TernSeek::Current, at) == 0 && at <= kMaxPosition)
      m_Position = static_cast<int32_t>(at);
  }
  if (err != 0) m_State = BufferState::None;
  return err == 0;
}

bool CTernDiskFile::SeekSystemLocked(int64_t offset, int whence, int64_t* result) {
  int64_t at = 0;
  int err = PlatformFileSeek(m_Fd, offset, whence, at);
  if (err != 0) {
    TernReportEventF(TernEventType::Error, kMsgFileSeekFailed, m_Path, err);
    return false;
  }
  if (at > kMaxPosition) {
    TernReportEventF(TernEventType::Error, kMsgFileSeekFailed, m_Path, EOVERFLOW);
    return false;
  }
  if (result) *result = at;
  return true;
}

bool CTernDiskFile::StartReadingLocked() {
  if (m_State == BufferState::Reading) return true;
  if (!FlushBufferLocked()) return false;
  if (!SeekSystemLocked(m_Position, TernSeek::Start, nullptr)) return false;
  m_State = BufferState::Reading;
  return true;
}

bool CTernDiskFile::StartWritingLocked() {
  if (m_State == BufferState::Writing) return true;
  if (!FlushBufferLocked()) return false;
  if (m_Mode & TernFileMode::Append) {
    int64_t end = 0;
    if (!SeekSystemLocked(0, TernSeek::End, &end)) return false;
    m_Position = static_cast<int32_t>(end);
  } else if (!SeekSystemLocked(m_Position, TernSeek::Start, nullptr)) {
    return false;
  }
  m_State = BufferState::Writing;
  return true;
}

int32_t CTernDiskFile::FillLocked() {
  if (m_Consumed == m_Buffer.size()) {
    m_Buffer.clear();
    m_Consumed = 0;
  } else if (m_Consumed >= kBlock) {
    m_Buffer.erase(0, m_Consumed);
    m_Consumed = 0;
  }
  size_t before = m_Buffer.size();
  m_Buffer.resize(before + kBlock);
  size_t n = 0;
  int err = PlatformFileRead(m_Fd, m_Buffer.data() + before, kBlock, n);
  m_Buffer.resize(before + n);
  if (err != 0) {
    TernReportEventF(TernEventType::Error, kMsgFileReadFailed, m_Path, err);
    return -1;
  }
  return static_cast<int32_t>(n);
}

bool CTernDiskFile::MoreBeyondLimitLocked() {
  int32_t more = AvailableLocked() > 0 ? 1 : FillLocked();
  if (more == 0) return false;
  if (more > 0) TernReportEventF(TernEventType::Error, kMsgFileReadFailed, m_Path, EOVERFLOW);
  return true;  // a failed read has been reported as such
}

void CTernDiskFile::SkipLocked(size_t count) {
  m_Consumed += count;
  m_Position += static_cast<int32_t>(count);
  if (m_Consumed == m_Buffer.size()) {
    m_Buffer.clear();
    m_Consumed = 0;
  }
}

int32_t CTernDiskFile::Read(char* buffer, int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Read")) return -1;
  if (!buffer || length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileReadArguments, m_Path);
    return -1;
  }
  if (!StartReadingLocked()) return -1;
  size_t want = static_cast<size_t>(std::min<int64_t>(length, kMaxPosition - m_Position));
  if (want == 0 && length > 0 && MoreBeyondLimitLocked()) return -1;
  while (AvailableLocked() < want) {
    int32_t n = FillLocked();
    if (n < 0) return -1;
    if (n == 0) break;
  }
  size_t count = std::min(want, AvailableLocked());
  if (count > 0) memcpy(buffer, m_Buffer.data() + m_Consumed, count);
  SkipLocked(count);
  return static_cast<int32_t>(count);
}

int32_t CTernDiskFile::Read(std::string& out) {
  CTernLockGuard guard(m_Lock);
  out.clear();
  if (!CheckOpenLocked("Read")) return -1;
  if (!StartReadingLocked()) return -1;
  size_t room = static_cast<size_t>(kMaxPosition - m_Position);
  for (;;) {
    if (AvailableLocked() > room) {
      TernReportEventF(TernEventType::Error, kMsgFileReadFailed, m_Path, EOVERFLOW);
      return -1;
    }
    int32_t n = FillLocked();
    if (n < 0) return -1;
    if (n == 0) break;
  }
  size_t count = AvailableLocked();
  out.assign(m_Buffer, m_Consumed, count);
  SkipLocked(count);
  return static_cast<int32_t>(count);
}

int32_t CTernDiskFile::Write(const std::string& text) {
  if (text.size() > static_cast<size_t>(kMaxPosition)) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteArguments, m_Path);
    return -1;
  }
  return Write(text.data(), static_cast<int32_t>(text.size()));
}

int32_t CTernDiskFile::Write(const char* buffer, int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Write")) return -1;
  if (!buffer || length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteArguments, m_Path);
    return -1;
  }
  if (m_Mode & TernFileMode::ReadOnly) {
    TernReportEventF(TernEventType::Error, kMsgFileNotWritable, m_Path);
    return -1;
  }
  if (!StartWritingLocked()) return -1;
  if (length > kMaxPosition - m_Position) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteFailed, m_Path, EFBIG);
    return -1;
  }
  size_t total = static_cast<size_t>(length), done = 0;
  while (done < total) {
    size_t take = std::min(total - done, kBlock - m_Buffer.size());
    m_Buffer.append(buffer + done, take);
    done += take;
    m_Position += static_cast<int32_t>(take);
    if (m_Buffer.size() >= kBlock && !WriteOutLocked()) return -1;
  }
  return length;
}

int32_t CTernDiskFile::ReadLine(std::string& line, const char* terminator) {
  CTernLockGuard guard(m_Lock);
  line.clear();
  if (!CheckOpenLocked("ReadLine")) return -1;
  if (!terminator || !*terminator) {
    TernReportEventF(TernEventType::Error, kMsgFileReadLineArguments, m_Path);
    return -1;
  }
  return ReadLineLocked(line, terminator, static_cast<size_t>(kMaxPosition));
}

int32_t CTernDiskFile::ReadLine(char* buffer, int32_t size, const char* terminator) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("ReadLine")) return -1;
  // A buffer of one byte holds only the zero byte: its empty lines would look like
  // the end of the file.
  if (!terminator || !*terminator || !buffer || size < 2) {
    TernReportEventF(TernEventType::Error, kMsgFileReadLineArguments, m_Path);
    return -1;
  }
  std::string line;
  int32_t n = ReadLineLocked(line, terminator, static_cast<size_t>(size - 1));
  if (n < 0) {
    buffer[0] = '\0';
    return -1;
  }
  memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return n;
}

int32_t CTernDiskFile::ReadLineLocked(std::string& line, const char* terminator, size_t limit) {
  if (!StartReadingLocked()) return -1;
  limit = std::min(limit, static_cast<size_t>(kMaxPosition - m_Position));
  if (limit == 0) return MoreBeyondLimitLocked() ? -1 : 0;
  std::string_view term(terminator);
  size_t from = 0;
  int64_t length;
  for (;;) {
    std::string_view data(m_Buffer.data() + m_Consumed, AvailableLocked());
    length = LineLength(data, term, limit, from);
    if (length >= 0) break;
    // A terminator may begin in the last bytes already searched.
    from = data.size() >= term.size() ? data.size() - term.size() + 1 : 0;
    int32_t n = FillLocked();
    if (n < 0) return -1;
    if (n == 0) {
      length = static_cast<int64_t>(std::min(AvailableLocked(), limit));
      break;
    }
  }
  line.assign(m_Buffer, m_Consumed, static_cast<size_t>(length));
  SkipLocked(static_cast<size_t>(length));
  return static_cast<int32_t>(length);
}

bool CTernDiskFile::Flush() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Flush")) return false;
  bool flushed = FlushBufferLocked();
  return SeekSystemLocked(m_Position, TernSeek::Start, nullptr) && flushed;
}

bool CTernDiskFile::Truncate(int32_t length) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Truncate")) return false;
  if (length < 0) {
    TernReportEventF(TernEventType::Error, kMsgFileTruncateArguments, m_Path);
    return false;
  }
  if (m_Mode & TernFileMode::ReadOnly) {
    TernReportEventF(TernEventType::Error, kMsgFileNotWritable, m_Path);
    return false;
  }
  if (!FlushBufferLocked()) return false;
  if (int err = PlatformFileTruncate(m_Fd, length)) {
    TernReportEventF(TernEventType::Error, kMsgFileTruncateFailed, m_Path, err);
    return false;
  }
  m_Position = std::min(m_Position, length);
  return true;
}

bool CTernDiskFile::Seek(int32_t offset, int origin) {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Seek")) return false;
  int whence = TernSeek::Start;
  int64_t target = offset;
  switch (origin) {
    case TernSeek::Start:
      break;
    case TernSeek::Current:
      // From the logical position: the system's stands elsewhere while buffering.
      target += m_Position;
      break;
    case TernSeek::End:
      whence = TernSeek::End;
      break;
    default:
      TernReportEventF(TernEventType::Error, kMsgFileSeekFailed, m_Path, EINVAL);
      return false;
  }
  if (!FlushBufferLocked()) return false;
  int64_t at = 0;
  if (!SeekSystemLocked(target, whence, &at)) return false;
  m_Position = static_cast<int32_t>(at);
  return true;
}

int32_t CTernDiskFile::Tell() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Tell")) return -1;
  return m_Position;
}

bool CTernDiskFile::AtEnd() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("AtEnd")) return true;
  // Read-ahead waiting in the buffer lies before the end; no need to ask.
  if (m_State == BufferState::Reading && AvailableLocked() > 0) return false;
  int64_t size = 0;
  time_t modified = 0;
  if (!StatLocked(size, modified)) return true;
  return m_Position >= size;
}

void CTernDiskFile::Reserve(int32_t) {}

bool CTernDiskFile::StatLocked(int64_t& size, time_t& modified) {
  PlatformFileInfo info;
  if (m_Open) {
    // Only pending writes change what the system reports; read-ahead stays.
    if (m_State == BufferState::Writing && !FlushBufferLocked()) return false;
    if (int err = PlatformFileInfoOf(m_Fd, info)) {
      TernReportEventF(TernEventType::Error, kMsgFileFstatFailed, m_Path, err);
      return false;
    }
  } else if (int err = PlatformPathInfo(m_Path, info)) {
    TernReportEventF(TernEventType::Error, kMsgFileStatFailed, m_Path, err);
    return false;
  }
  size = info.size;
  modified = info.modified;
  return true;
}

int32_t CTernDiskFile::Size() {
  CTernLockGuard guard(m_Lock);
  int64_t size = 0;
  time_t modified = 0;
  if (!StatLocked(size, modified)) return -1;
  if (size > kMaxPosition) {
    TernReportEventF(TernEventType::Error, m_Open ? kMsgFileFstatFailed : kMsgFileStatFailed,
                     m_Path, EOVERFLOW);
    return -1;
  }
  return static_cast<int32_t>(size);
}

bool CTernDiskFile::ModificationTime(time_t& time) {
  CTernLockGuard guard(m_Lock);
  int64_t size = 0;
  return StatLocked(size, time);
}

bool CTernDiskFile::Sync() {
  CTernLockGuard guard(m_Lock);
  if (!CheckOpenLocked("Sync")) return false;
  if (!FlushBufferLocked()) return false;
  if (int err = PlatformFileSync(m_Fd)) {
    TernReportEventF(TernEventType::Error, kMsgFileWriteFailed, m_Path, err);
    return false;
  }
  return true;
}
