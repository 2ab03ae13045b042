// Path operations and the replacement of data files over the platform's file calls.
#include "base/file_ops.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "base/disk_file.h"
#include "base/exception.h"
#include "base/message_codes.h"
#include "base/named_lock.h"
#include "base/report.h"
#include "platform/file.h"
#include "platform/replace.h"

namespace {

// Holds a path's named lock for a scope when asked to. A lock that cannot be
// taken has been reported already; Failed() then says so.
class PathLockGuard {
 public:
  PathLockGuard(const std::string& path, bool wanted) {
    if (wanted) m_Scope.emplace(LockNameOf(path));
  }
  bool Failed() const { return m_Scope && !m_Scope->Held(); }

 private:
  std::optional<CTernNamedLockScope> m_Scope;
};

std::string DirectoryOf(const std::string& path) {
  std::string directory = PathSplit(path).directory;
  return directory.empty() ? "." : directory;
}

// unlink, and on a refusal for lack of access a second try in a directory made
// writable for its owner. On Linux the right to remove a name belongs to the
// directory, not to the file's own mode bits. The directory gets its mode back.
int RemoveFile(const std::string& path) {
  int err = PlatformRemoveFile(path);
  if (err != EACCES && err != EPERM) return err;
  std::string directory = DirectoryOf(path);
  PlatformFileInfo info;
  bool restore = PlatformPathInfo(directory, info) == 0 && (info.mode & 0200) == 0 &&
                 PlatformChangeMode(directory, info.mode | 0200) == 0;
  err = PlatformRemoveFile(path);
  if (restore) PlatformChangeMode(directory, info.mode);
  return err;
}

bool WriteNewFile(const std::string& path, const TernFileWriter& writeContents,
                  uint32_t mode) {
  CTernDiskFile file(path, mode);
  if (!file.Open()) return false;
  bool written = writeContents(file);
  bool closed = file.Close();
  return written && closed;
}

void ReportSwitchFailure(const std::string& path, const PlatformReplaceResult& result,
                         const std::string& fresh, const std::string& old) {
  switch (result.failedStep) {
    case PlatformReplaceStep::SyncNew:
      TernReportEventF(TernEventType::Error, kMsgFileWriteFailed, fresh, result.error);
      break;
    case PlatformReplaceStep::RemoveOld:
      TernReportEventF(TernEventType::Error, kMsgFileUnlinkFailed, old, result.error);
      break;
    case PlatformReplaceStep::KeepOld:
      TernReportEventF(TernEventType::Error, kMsgFileRenameFailed, path, old, result.error);
      break;
    case PlatformReplaceStep::Rename:
    case PlatformReplaceStep::SyncDir:
      // After a failed directory sync the new name is in place but not yet durable.
      TernReportEventF(TernEventType::Error, kMsgFileRenameFailed, fresh, path, result.error);
      break;
    case PlatformReplaceStep::None:
      break;
  }
}

bool SwitchFile(const std::string& path, const char* newSuffix, const char* oldSuffix,
                bool durable = true) {
  PlatformReplaceResult result = PlatformSwitchFile(path, newSuffix, oldSuffix, durable);
  if (!result.ok)
    ReportSwitchFailure(path, result, path + newSuffix, path + oldSuffix);
  return result.ok;
}

// The switch fails when the file to be replaced does not exist: find that out
// before anything is switched, and report it as the switch would.
bool ReadyToSwitch(const std::string& path, const char* oldSuffix) {
  PlatformFileInfo info;
  int err = PlatformPathInfo(path, info);
  if (err == 0) return true;
  TernReportEventF(TernEventType::Error, kMsgFileRenameFailed, path, path + oldSuffix, err);
  return false;
}

}  // namespace

bool FileExists(const std::string& path, bool lock) {
  PathLockGuard guard(path, lock);
  if (guard.Failed()) return false;
  PlatformFileInfo info;
  return PlatformPathInfo(path, info) == 0;
}

TernFileStamp FileStampOf(const std::string& path) {
  PlatformFileInfo info;
  TernFileStamp stamp;
  if (PlatformPathInfo(path, info) != 0) return stamp;
  stamp.exists = true;
  stamp.device = info.device;
  stamp.inode = info.inode;
  stamp.size = info.size;
  stamp.modified = info.modified;
  stamp.modifiedNanoseconds = info.modifiedNanoseconds;
  return stamp;
}

bool FileRemove(const std::string& path, bool lock) {
  PathLockGuard guard(path, lock);
  if (guard.Failed()) return false;
  int err = RemoveFile(path);
  if (err == 0) return true;
  TernReportEventF(TernEventType::Error, kMsgFileUnlinkFailed, path, err);
  return false;
}

bool FileRename(const std::string& from, const std::string& to, bool lock) {
  // Two renames between the same pair of paths in opposite directions must not
  // each hold one lock and wait for the other: take the locks in name order.
  std::string fromName = LockNameOf(from), toName = LockNameOf(to);
  bool fromFirst = fromName <= toName;
  PathLockGuard firstGuard(fromFirst ? from : to, lock);
  if (firstGuard.Failed()) return false;
  PathLockGuard secondGuard(fromFirst ? to : from, lock && fromName != toName);
  if (secondGuard.Failed()) return false;
  int err = PlatformRenameNoReplace(from, to);
  if (err == 0) return true;
  TernReportEventF(TernEventType::Error, kMsgFileRenameFailed, from, to, err);
  return false;
}

bool DirMake(const std::string& path, uint32_t mode) {
  int err = PlatformMakeDir(path, mode);
  if (err == 0) return true;
  TernReportEventF(TernEventType::Error, kMsgDirCreateFailed, path, err);
  return false;
}

bool DirRemove(const std::string& path) {
  int err = PlatformRemoveDir(path);
  if (err == 0) return true;
  TernReportEventF(TernEventType::Error, kMsgDirRemoveFailed, path, err);
  return false;
}

std::string PathJoin(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  std::string out = directory;
  if (out.back() != '/') out += '/';
  size_t start = name.find_first_not_of('/');
  if (start != std::string::npos) out.append(name, start, std::string::npos);
  return out;
}

std::string PathExtension(const std::string& path) {
  std::string name = PathSplit(path).name;
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

TernPathParts PathSplit(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

std::string LockNameOf(const std::string& path) {
  constexpr size_t kMaxLength = 255;
  std::string name = path.size() > kMaxLength ? path.substr(path.size() - kMaxLength) : path;
  for (char& c : name)
    if (c == '/' || c == '\\') c = ',';
  return name;
}

bool FileReplace(const std::string& path, const TernFileWriter& writeContents,
                 uint32_t newFileMode, const char* newSuffix, const char* oldSuffix, bool durable) {
  if (!WriteNewFile(path + newSuffix, writeContents, newFileMode)) return false;
  return SwitchFile(path, newSuffix, oldSuffix, durable);
}

bool FileReplacePair(const std::string& firstPath, const TernFileWriter& writeFirst,
                     const std::string& secondPath, const TernFileWriter& writeSecond,
                     uint32_t newFileMode, const char* newSuffix, const char* oldSuffix) {
  if (!WriteNewFile(firstPath + newSuffix, writeFirst, newFileMode)) return false;
  if (!WriteNewFile(secondPath + newSuffix, writeSecond, newFileMode)) return false;
  // A pair switched halfway would hold new contents beside old ones.
  if (!ReadyToSwitch(firstPath, oldSuffix) || !ReadyToSwitch(secondPath, oldSuffix))
    return false;
  if (!SwitchFile(firstPath, newSuffix, oldSuffix)) return false;
  return SwitchFile(secondPath, newSuffix, oldSuffix);
}
