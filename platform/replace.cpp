// Crash-safe switch of a data file to its freshly written replacement.
#include "platform/replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

int PlatformSyncPath(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

int PlatformSyncParentDir(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

PlatformReplaceResult PlatformSwitchFile(const std::string& path, const std::string& newSuffix,
                                         const std::string& oldSuffix, bool durable) {
  PlatformReplaceResult r;
  auto fail = [&r](PlatformReplaceStep step, int error) {
    r.ok = false;
    r.failedStep = step;
    r.error = error;
    return r;
  };
  std::string fresh = path + newSuffix;
  std::string old = path + oldSuffix;
  if (int err = durable ? PlatformSyncPath(fresh) : 0) return fail(PlatformReplaceStep::SyncNew, err);
  if (!oldSuffix.empty()) {
    if (unlink(old.c_str()) != 0 && errno != ENOENT)
      return fail(PlatformReplaceStep::RemoveOld, errno);
    if (link(path.c_str(), old.c_str()) != 0) return fail(PlatformReplaceStep::KeepOld, errno);
  }
  if (rename(fresh.c_str(), path.c_str()) != 0) return fail(PlatformReplaceStep::Rename, errno);
  if (int err = durable ? PlatformSyncParentDir(path) : 0) return fail(PlatformReplaceStep::SyncDir, err);
  return r;
}

int PlatformReplaceFile(const std::string& path, const std::string& text,
                        const std::string& newSuffix, const std::string& oldSuffix) {
  std::string fresh = path + newSuffix;
  int fd = -1;
  int err = PlatformFileOpen(fresh, kPlatformOpenCreate | kPlatformOpenTruncate, fd);
  if (err != 0) return err;
  err = PlatformFileWrite(fd, text.data(), text.size());
  int closeError = PlatformFileClose(fd);
  if (err == 0) err = closeError;
  if (err == 0) {
    PlatformReplaceResult result = PlatformSwitchFile(path, newSuffix, oldSuffix);
    if (!result.ok) err = result.error;
  }
  if (err != 0) PlatformRemoveFile(fresh);
  return err;
}
