// The registry file: where it is, reading it, and replacing it under the registry lock.
#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "platform/named_mutex.h"
#include "platform/replace.h"
#include "platform/sync.h"

namespace {

// A registry is a few kilobytes; anything this large is not one, and reading it
// whole would only waste memory.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;
// Writers hold the lock for one read-edit-replace; a longer wait means a holder
// that is stuck, and the caller is better served by a failure.
constexpr long kLockWaitMs = 30000;
constexpr mode_t kNewFileMode = 0644;

std::mutex& PathMutex() {
  static std::mutex m;
  return m;
}
std::string& RegistryPathSetting() {
  static std::string path;
  return path;
}
std::string& ResolvConfSetting() {
  static std::string path;
  return path;
}

PlatformRegResult Result(PlatformRegStatus status, int error = 0) { return {status, error}; }

bool IsTcpipKey(const std::string& key) {
  return PlatformRegistryNameEqual(key, kPlatformTcpipKey);
}

struct FileContents {
  bool exists = false;
  mode_t mode = kNewFileMode;
  std::string text;
};

PlatformRegResult ReadAll(int fd, std::string& text) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result(PlatformRegStatus::ReadFailed, errno);
    if (n == 0) return Result(PlatformRegStatus::Ok);
    if (static_cast<off_t>(text.size()) + n > kMaxFileSize)
      return Result(PlatformRegStatus::ReadFailed, EFBIG);
    text.append(buffer, static_cast<size_t>(n));
  }
}

PlatformRegResult ReadFile(const std::string& path, FileContents& file) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Result(PlatformRegStatus::Ok);
    return Result(PlatformRegStatus::ReadFailed, errno);
  }
  struct stat info;
  PlatformRegResult r;
  if (fstat(fd, &info) != 0) {
    r = Result(PlatformRegStatus::ReadFailed, errno);
  } else if (!S_ISREG(info.st_mode)) {
    r = Result(PlatformRegStatus::ReadFailed, EISDIR);
  } else {
    file.exists = true;
    file.mode = info.st_mode & 07777;
    r = ReadAll(fd, file.text);
  }
  close(fd);
  return r;
}

// Reads and parses the file for a lookup.
PlatformRegResult Load(PlatformRegistryText& registry) {
  FileContents file;
  PlatformRegResult r = ReadFile(PlatformRegistryFile(), file);
  if (r.Ok()) registry = PlatformRegistryText(file.text);
  return r;
}

// The TCP/IP parameters key answered from the system, as its own little registry.
PlatformRegistryText SystemTcpipKey() {
  PlatformRegistryText key;
  key.CreateKey(kPlatformTcpipKey);
  for (const PlatformRegValue& v : PlatformTcpipParameters(PlatformResolvConf()))
    key.SetValue(kPlatformTcpipKey, v.name, v.value);
  return key;
}

// Loads the registry that answers for key: the file, or the system's TCP/IP
// parameters when that key has no section in the file.
PlatformRegResult LoadFor(const std::string& key, PlatformRegistryText& registry) {
  PlatformRegResult r = Load(registry);
  if (r.Ok() && IsTcpipKey(key) && !registry.HasKey(key)) registry = SystemTcpipKey();
  return r;
}

PlatformRegResult WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result(PlatformRegStatus::WriteFailed, errno);
    done += static_cast<size_t>(n);
  }
  return Result(PlatformRegStatus::Ok);
}

PlatformRegResult WriteNewFile(const std::string& fresh, const std::string& text, mode_t mode) {
  int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return Result(PlatformRegStatus::WriteFailed, errno);
  PlatformRegResult r = WriteAll(fd, text);
  if (r.Ok() && fchmod(fd, mode) != 0) r = Result(PlatformRegStatus::WriteFailed, errno);
  if (r.Ok() && fsync(fd) != 0) r = Result(PlatformRegStatus::WriteFailed, errno);
  if (close(fd) != 0 && r.Ok()) r = Result(PlatformRegStatus::WriteFailed, errno);
  return r;
}

// Replaces the file by text. A file that does not exist yet has no previous
// contents to keep, so the new one is simply renamed into place.
PlatformRegResult Replace(const std::string& path, const FileContents& old,
                          const std::string& text) {
  std::string fresh = path + "_new";
  PlatformRegResult r = WriteNewFile(fresh, text, old.mode);
  if (r.Ok() && old.exists) {
    PlatformReplaceResult switched = PlatformSwitchFile(path, "_new", "_old");
    // Once the rename is done the new file is in place; only the directory's
    // fsync failed, and the change must not be reported as lost.
    if (!switched.ok && switched.failedStep != PlatformReplaceStep::SyncDir)
      r = Result(PlatformRegStatus::WriteFailed, switched.error);
  } else if (r.Ok()) {
    if (rename(fresh.c_str(), path.c_str()) != 0)
      r = Result(PlatformRegStatus::WriteFailed, errno);
    else
      PlatformSyncParentDir(path);
  }
  if (!r.Ok()) unlink(fresh.c_str());
  return r;
}

// Holds the registry lock for a scope.
class RegistryLock {
 public:
  RegistryLock() {
    int err = m_Mutex.Open(kPlatformRegistryLock);
    if (err != 0) {
      m_Result = Result(PlatformRegStatus::Busy, err);
      return;
    }
    // A holder that died leaves the file old or new, never half-written, so an
    // abandoned lock is simply taken over.
    int wait = m_Mutex.Acquire(kLockWaitMs);
    if (wait == kPlatformWaitObject0 || wait == kPlatformWaitAbandoned)
      m_Held = true;
    else
      m_Result = Result(PlatformRegStatus::Busy, wait < 0 ? errno : 0);
  }
  ~RegistryLock() {
    if (m_Held) m_Mutex.Release();
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  const PlatformRegResult& Status() const { return m_Result; }

 private:
  PlatformNamedMutex m_Mutex;
  bool m_Held = false;
  PlatformRegResult m_Result;
};

// One change: under the lock, read the file, let edit change it, and replace the
// file when the text changed. Nothing is written when edit fails.
PlatformRegResult Change(const std::function<PlatformRegResult(PlatformRegistryText&)>& edit) {
  RegistryLock lock;
  if (!lock.Status().Ok()) return lock.Status();
  std::string path = PlatformRegistryFile();
  FileContents file;
  PlatformRegResult r = ReadFile(path, file);
  if (!r.Ok()) return r;
  PlatformRegistryText registry(file.text);
  r = edit(registry);
  if (!r.Ok()) return r;
  std::string text = registry.Text();
  if (file.exists && text == file.text) return r;
  return Replace(path, file, text);
}

}  // namespace

void PlatformSetRegistryFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(PathMutex());
  RegistryPathSetting() = path;
}

std::string PlatformRegistryFile() {
  {
    std::lock_guard<std::mutex> guard(PathMutex());
    if (!RegistryPathSetting().empty()) return RegistryPathSetting();
  }
  const char* env = getenv("OSTREL_REGISTRY");
  return env && *env ? env : kPlatformRegistryDefaultFile;
}

void PlatformSetResolvConf(const std::string& path) {
  std::lock_guard<std::mutex> guard(PathMutex());
  ResolvConfSetting() = path;
}

std::string PlatformResolvConf() {
  std::lock_guard<std::mutex> guard(PathMutex());
  return ResolvConfSetting().empty() ? "/etc/resolv.conf" : ResolvConfSetting();
}

PlatformRegResult PlatformRegistryHasKey(const std::string& key) {
  PlatformRegistryText registry;
  PlatformRegResult r = LoadFor(key, registry);
  if (r.Ok() && !registry.HasKey(key)) r = Result(PlatformRegStatus::NoKey);
  return r;
}

PlatformRegResult PlatformRegistryGetValue(const std::string& key, const std::string& name,
                                           std::string& value) {
  value.clear();
  PlatformRegistryText registry;
  PlatformRegResult r = LoadFor(key, registry);
  if (!r.Ok()) return r;
  if (!registry.HasKey(key)) return Result(PlatformRegStatus::NoKey);
  if (!registry.GetValue(key, name, value)) return Result(PlatformRegStatus::NoValue);
  return r;
}

PlatformRegResult PlatformRegistryListValues(const std::string& key,
                                             std::vector<PlatformRegValue>& values) {
  values.clear();
  PlatformRegistryText registry;
  PlatformRegResult r = LoadFor(key, registry);
  if (r.Ok() && !registry.ListValues(key, values)) r = Result(PlatformRegStatus::NoKey);
  return r;
}

PlatformRegResult PlatformRegistryListSubkeys(const std::string& key,
                                              std::vector<std::string>& names) {
  names.clear();
  PlatformRegistryText registry;
  PlatformRegResult r = Load(registry);
  if (r.Ok() && !registry.ListSubkeys(key, names)) r = Result(PlatformRegStatus::NoKey);
  return r;
}

PlatformRegResult PlatformRegistrySetValue(const std::string& key, const std::string& name,
                                           const std::string& value) {
  if (!PlatformRegistryText::ValidKeyName(key)) return Result(PlatformRegStatus::NoKey);
  if (!PlatformRegistryText::ValidValueName(name)) return Result(PlatformRegStatus::BadName);
  if (!PlatformRegistryText::ValidValueData(value)) return Result(PlatformRegStatus::BadData);
  return Change([&](PlatformRegistryText& registry) {
    return registry.SetValue(key, name, value) ? Result(PlatformRegStatus::Ok)
                                               : Result(PlatformRegStatus::NoKey);
  });
}

PlatformRegResult PlatformRegistryDeleteValue(const std::string& key, const std::string& name) {
  return Change([&](PlatformRegistryText& registry) {
    if (!registry.HasKey(key)) return Result(PlatformRegStatus::NoKey);
    return registry.DeleteValue(key, name) ? Result(PlatformRegStatus::Ok)
                                           : Result(PlatformRegStatus::NoValue);
  });
}

PlatformRegResult PlatformRegistryCreateKey(const std::string& key) {
  if (!PlatformRegistryText::ValidKeyName(key)) return Result(PlatformRegStatus::BadName);
  return Change([&](PlatformRegistryText& registry) {
    registry.CreateKey(key);
    return Result(PlatformRegStatus::Ok);
  });
}

PlatformRegResult PlatformRegistryDeleteKey(const std::string& key) {
  return Change([&](PlatformRegistryText& registry) {
    return registry.DeleteKey(key) ? Result(PlatformRegStatus::Ok)
                                   : Result(PlatformRegStatus::NoKey);
  });
}
