// Directory listing over opendir/readdir.
#include "base/directory.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "base/message_codes.h"
#include "base/report.h"

bool CTernDirectory::Read(const std::string& path) {
  CTernLockGuard guard(m_Lock);
  m_Entries.clear();
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    TernReportEventF(TernEventType::Error, kMsgDirListFailed, path, errno);
    return false;
  }
  int readError = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      readError = errno;
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    m_Entries.emplace_back(entry->d_name);
  }
  int closeError = closedir(dir) == 0 ? 0 : errno;
  if (readError != 0) TernReportEventF(TernEventType::Error, kMsgDirReadFailed, path, readError);
  if (closeError != 0) TernReportEventF(TernEventType::Error, kMsgDirCloseFailed, path, closeError);
  if (readError == 0 && closeError == 0) return true;
  m_Entries.clear();
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
