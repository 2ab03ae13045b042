// Directory listing through the platform's.
#include "base/directory.h"

#include "base/message_codes.h"
#include "base/report.h"
#include "platform/file.h"

bool CTernDirectory::Read(const std::string& path) {
  CTernLockGuard guard(m_Lock);
  PlatformListStep step = PlatformListStep::None;
  int err = PlatformListDir(path, m_Entries, step);
  if (err == 0) return true;
  static constexpr int kCodes[] = {kMsgDirListFailed, kMsgDirListFailed, kMsgDirReadFailed,
                                   kMsgDirCloseFailed};
  TernReportEventF(TernEventType::Error, kCodes[static_cast<int>(step)], path, err);
  return false;
}

int32_t CTernDirectory::Count() {
  CTernLockGuard guard(m_Lock);
  return static_cast<int32_t>(m_Entries.size());
}

std::string CTernDirectory::Entry(int32_t index) {
  CTernLockGuard guard(m_Lock);
  if (index < 0 || static_cast<size_t>(index) >= m_Entries.size()) return std::string();
  return m_Entries[static_cast<size_t>(index)];
}

std::vector<std::string> CTernDirectory::Entries() {
  CTernLockGuard guard(m_Lock);
  return m_Entries;
}
