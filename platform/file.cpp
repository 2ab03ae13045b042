// Files, directories and paths over POSIX calls.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int OpenFlags(uint32_t how) {
  int flags = O_CLOEXEC;
  if (how & kPlatformOpenRead) {
    // Append and Truncate change the file; a reader does neither.
    flags |= O_RDONLY;
  } else {
    flags |= O_RDWR;
    if (how & kPlatformOpenAppend) flags |= O_APPEND;
    if (how & kPlatformOpenTruncate) flags |= O_TRUNC;
  }
  if (how & kPlatformOpenCreate) {
    flags |= O_CREAT;
    if (how & kPlatformOpenExclusive) flags |= O_EXCL;
  }
  return flags;
}

void Fill(const struct stat& st, PlatformFileInfo& info) {
  info.size = st.st_size;
  info.modified = st.st_mtim.tv_sec;
  info.modifiedNanoseconds = st.st_mtim.tv_nsec;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  info.mode = st.st_mode & 07777;
  info.directory = S_ISDIR(st.st_mode);
}

}  // namespace

int PlatformFileOpen(const std::string& path, uint32_t how, int& fd) {
  int flags = OpenFlags(how);
  do {
    fd = open(path.c_str(), flags, (how & kPlatformOpenPrivate) ? 0600 : 0644);
    if (fd >= 0) return 0;
  } while (errno == EINTR);
  return errno;
}

int PlatformFileClose(int fd) { return close(fd) == 0 ? 0 : errno; }

int PlatformFileRead(int fd, char* buffer, size_t size, size_t& got) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  got = n > 0 ? static_cast<size_t>(n) : 0;
  return n < 0 ? errno : 0;
}

int PlatformFileWrite(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

int PlatformFileSeek(int fd, int64_t offset, int origin, int64_t& at) {
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) return EINVAL;
  off_t result = lseek(fd, static_cast<off_t>(offset), kWhence[origin]);
  if (result < 0) return errno;
  at = result;
  return 0;
}

int PlatformFileTruncate(int fd, int64_t length) {
  return ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

int PlatformFileSync(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int PlatformFileInfoOf(int fd, PlatformFileInfo& info) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  Fill(st, info);
  return 0;
}

int PlatformPathInfo(const std::string& path, PlatformFileInfo& info) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  Fill(st, info);
  return 0;
}

int PlatformRemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

int PlatformRenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err != EINVAL && err != ENOSYS) return err;
  // A file system without the flag: look, then rename (callers hold the paths'
  // named locks, which keep other holders of these names out meanwhile).
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int PlatformRenameOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int PlatformChangeMode(const std::string& path, uint32_t mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int PlatformMakeDir(const std::string& path, uint32_t mode) {
  return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int PlatformRemoveDir(const std::string& path) { return rmdir(path.c_str()) == 0 ? 0 : errno; }

int PlatformListDir(const std::string& path, std::vector<std::string>& names,
                    PlatformListStep& step) {
  names.clear();
  step = PlatformListStep::None;
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    step = PlatformListStep::Open;
    return errno;
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
    names.emplace_back(entry->d_name);
  }
  int closeError = closedir(dir) == 0 ? 0 : errno;
  if (readError == 0 && closeError == 0) return 0;
  names.clear();
  step = readError != 0 ? PlatformListStep::Read : PlatformListStep::Close;
  return readError != 0 ? readError : closeError;
}

int PlatformExecutablePath(std::string& path) {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n < 0) return errno;
  if (n == 0 || static_cast<size_t>(n) == sizeof buffer) return ENAMETOOLONG;
  path.assign(buffer, static_cast<size_t>(n));
  return 0;
}
