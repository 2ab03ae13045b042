// The service control manager stand-in on Linux: records in the registry file,
// daemons started by double fork, status files, SIGTERM for STOP.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/registry_file.h"
#include "platform/replace.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kServiceEnv[] = "OSTREL_SERVICE";

std::string RecordKey(const std::string& name) { return kServicesKey + name; }
std::string PidPath(const std::string& name) { return PlatformRunDir() + "/" + name + ".pid"; }
std::string StatusPath(const std::string& name) { return PlatformRunDir() + "/" + name + ".status"; }

int EnsureRunDir() {
  std::string dir = PlatformRunDir();
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  return 0;
}

// Writes a small file whole by the replacement rule, so readers never see half.
// The new file is named after the writing process: the manager and the service
// may write the same status file at once.
int WriteAtomically(const std::string& path, const std::string& text) {
  return PlatformReplaceFile(path, text, ".tmp" + std::to_string(getpid()), "");
}

pid_t ReadPid(const std::string& name) {
  std::ifstream in(PidPath(name));
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

// A registry failure as an error number for the caller to print.
int RegistryError(const PlatformRegResult& r) {
  if (r.error != 0) return r.error;
  return r.status == PlatformRegStatus::NoKey ? kWinErrorServiceDoesNotExist : kWinErrorAccessDenied;
}

// True while the process exists and has not ended: a zombie that nobody has reaped
// yet (the daemon's parent is whoever adopted it) counts as gone.
bool Alive(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren == std::string::npos || text.size() < paren + 3 || text[paren + 2] != 'Z';
}

std::string FormatStatus(const PlatformServiceStatus& s) {
  std::ostringstream out;
  out << "pid=" << getpid() << "\n"
      << "type=" << s.serviceType << "\n"
      << "state=" << s.currentState << "\n"
      << "controls=" << s.controlsAccepted << "\n"
      << "exitcode=" << s.win32ExitCode << "\n"
      << "specificexitcode=" << s.serviceSpecificExitCode << "\n"
      << "checkpoint=" << s.checkPoint << "\n"
      << "waithint=" << s.waitHint << "\n";
  return out.str();
}

// Reads the status file; the state is STOPPED when the file or its process is gone.
PlatformServiceStatus ReadStatus(const std::string& name) {
  PlatformServiceStatus s;
  std::ifstream in(StatusPath(name));
  std::string line;
  long pid = 0;
  bool any = false;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    // The file is this manager's own; a value that is no number counts as 0.
    unsigned long v = 0;
    const char* last = line.data() + line.size();
    auto [end, error] = std::from_chars(line.data() + eq + 1, last, v);
    if (error != std::errc() || end != last) v = 0;
    any = true;
    if (key == "pid") pid = static_cast<long>(v);
    else if (key == "type") s.serviceType = v;
    else if (key == "state") s.currentState = v;
    else if (key == "controls") s.controlsAccepted = v;
    else if (key == "exitcode") s.win32ExitCode = v;
    else if (key == "specificexitcode") s.serviceSpecificExitCode = v;
    else if (key == "checkpoint") s.checkPoint = v;
    else if (key == "waithint") s.waitHint = v;
  }
  if (!any || !Alive(static_cast<pid_t>(pid))) {
    // The process is gone: whatever it said last, it is stopped now.
    s.currentState = kServiceStopped;
    s.controlsAccepted = 0;
    s.checkPoint = 0;
    s.waitHint = 0;
  }
  return s;
}

}  // namespace

std::string PlatformRunDir() {
  const char* env = getenv("OSTREL_RUNDIR");
  return env && *env ? env : "/run/ostrel";
}

std::string PlatformErrorText(int code) {
  switch (code) {
    case kWinErrorAccessDenied: return "Access is denied.";
    case kWinErrorInvalidParameter: return "The parameter is incorrect.";
    case kWinErrorServiceAlreadyRunning: return "An instance of the service is already running.";
    case kWinErrorServiceDoesNotExist: return "The specified service does not exist as an installed service.";
    case kWinErrorServiceCannotAcceptCtrl: return "The service cannot accept control messages at this time.";
    case kWinErrorServiceNotActive: return "The service has not been started.";
    case kWinErrorFailedServiceControllerConnect:
      return "The service process could not connect to the service controller.";
    case kWinErrorServiceExists: return "The specified service already exists.";
    default: return code > 0 ? strerror(code) : "";
  }
}

int PlatformCreateService(const std::string& name, const PlatformServiceConfig& config) {
  if (name.empty() || config.imagePath.empty()) return kWinErrorInvalidParameter;
  std::string key = RecordKey(name);
  if (PlatformRegistryHasKey(key).Ok()) return kWinErrorServiceExists;
  PlatformRegResult r = PlatformRegistryCreateKey(key);
  const std::pair<const char*, std::string> values[] = {
      {"Type", std::to_string(config.type)},
      {"Start", std::to_string(config.start)},
      {"ErrorControl", std::to_string(config.errorControl)},
      {"ImagePath", config.imagePath},
      {"DisplayName", config.displayName.empty() ? name : config.displayName},
      {"ObjectName", config.objectName}};
  for (const auto& [valueName, data] : values) {
    if (!r.Ok()) break;
    r = PlatformRegistrySetValue(key, valueName, data);
  }
  if (r.Ok()) return 0;
  PlatformRegistryDeleteKey(key);  // no half-made record stays behind
  return RegistryError(r);
}

int PlatformChangeServiceConfig(const std::string& name, const PlatformServiceConfig& config) {
  if (config.imagePath.empty()) return kWinErrorInvalidParameter;
  if (int err = PlatformOpenService(name)) return err;
  std::string key = RecordKey(name);
  const std::pair<const char*, std::string> values[] = {
      {"Type", std::to_string(config.type)},
      {"Start", std::to_string(config.start)},
      {"ImagePath", config.imagePath},
      {"DisplayName", config.displayName.empty() ? name : config.displayName}};
  for (const auto& [valueName, data] : values) {
    PlatformRegResult r = PlatformRegistrySetValue(key, valueName, data);
    if (!r.Ok()) return RegistryError(r);
  }
  return 0;
}

int PlatformOpenService(const std::string& name) {
  if (name.empty()) return kWinErrorInvalidParameter;
  PlatformRegResult r = PlatformRegistryHasKey(RecordKey(name));
  if (r.Ok()) return 0;
  return r.status == PlatformRegStatus::NoKey ? kWinErrorServiceDoesNotExist : RegistryError(r);
}

int PlatformStartService(const std::string& name) {
  if (int err = PlatformOpenService(name)) return err;
  std::string image;
  if (!PlatformRegistryGetValue(RecordKey(name), "ImagePath", image).Ok() || image.empty())
    return kWinErrorInvalidParameter;
  PlatformServiceStatus now = ReadStatus(name);
  if (now.currentState != kServiceStopped) return kWinErrorServiceAlreadyRunning;
  if (int err = EnsureRunDir()) return err;

  // The first child starts a session of its own and forks the daemon, which is then
  // nobody's child here; a pipe carries the daemon's pid and, should exec fail, its
  // errno (a successful exec closes the pipe). The daemon waits on a second pipe
  // until its START_PENDING status is written, so that this write can never land
  // after (and overwrite) the first status the service reports itself.
  int fds[2], go[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  if (pipe2(go, O_CLOEXEC) != 0) {
    int err = errno;
    close(fds[0]);
    close(fds[1]);
    return err;
  }
  pid_t first = fork();
  if (first < 0) {
    int err = errno;
    for (int fd : {fds[0], fds[1], go[0], go[1]}) close(fd);
    return err;
  }
  if (first == 0) {
    close(fds[0]);
    close(go[1]);
    setsid();
    pid_t daemon = fork();
    if (daemon != 0) {
      int32_t pid = daemon;
      (void)!write(fds[1], &pid, sizeof pid);
      _exit(0);
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2) close(null);
    }
    if (chdir("/") != 0) {
    }
    umask(022);
    setenv(kServiceEnv, name.c_str(), 1);
    char ready;
    while (read(go[0], &ready, 1) < 0 && errno == EINTR) {
    }
    execl(image.c_str(), image.c_str(), static_cast<char*>(nullptr));
    int32_t err = errno;
    (void)!write(fds[1], &err, sizeof err);
    _exit(127);
  }
  close(fds[1]);
  close(go[0]);
  int32_t pid = 0, execError = 0;
  ssize_t got = read(fds[0], &pid, sizeof pid);
  waitpid(first, nullptr, 0);
  int err = 0;
  if (got == sizeof pid && pid > 0) {
    PlatformServiceStatus pending;
    pending.currentState = kServiceStartPending;
    std::string status = FormatStatus(pending);
    status.replace(0, status.find('\n'), "pid=" + std::to_string(pid));
    WriteAtomically(StatusPath(name), status);
    err = WriteAtomically(PidPath(name), std::to_string(pid) + "\n");
  }
  close(go[1]);  // the daemon goes on to exec
  ssize_t failed = read(fds[0], &execError, sizeof execError);
  close(fds[0]);
  if (got != sizeof pid || pid <= 0) return ECHILD;
  if (failed == sizeof execError) {
    unlink(StatusPath(name).c_str());
    unlink(PidPath(name).c_str());
    return execError;
  }
  return err;
}

int PlatformQueryServiceStatus(const std::string& name, PlatformServiceStatus& status) {
  if (int err = PlatformOpenService(name)) return err;
  status = ReadStatus(name);
  return 0;
}

int PlatformControlService(const std::string& name, uint32_t control, PlatformServiceStatus& status) {
  if (int err = PlatformQueryServiceStatus(name, status)) return err;
  if (control == kServiceControlInterrogate) return 0;
  if (control != kServiceControlStop) return kWinErrorInvalidParameter;
  if (status.currentState == kServiceStopped) return kWinErrorServiceNotActive;
  if (!(status.controlsAccepted & kServiceAcceptStop)) return kWinErrorServiceCannotAcceptCtrl;
  pid_t pid = ReadPid(name);
  if (!Alive(pid)) return kWinErrorServiceNotActive;
  if (kill(pid, SIGTERM) != 0) return errno == EPERM ? kWinErrorAccessDenied : errno;
  // The service's handler answers by reporting STOP_PENDING; give it a moment so
  // that the status handed back is its answer, not the state before the control.
  for (int i = 0; i < 300; ++i) {
    status = ReadStatus(name);
    if (status.currentState != kServiceRunning) break;
    usleep(10000);
  }
  return 0;
}

int PlatformDeleteService(const std::string& name) {
  if (int err = PlatformOpenService(name)) return err;
  PlatformRegResult r = PlatformRegistryDeleteKey(RecordKey(name));
  if (!r.Ok()) return RegistryError(r);
  if (ReadStatus(name).currentState == kServiceStopped) {
    unlink(StatusPath(name).c_str());
    unlink(PidPath(name).c_str());
  }
  return 0;
}

// ---- service side ----

namespace {

struct ServiceSide {
  std::mutex mutex;
  std::condition_variable stopped;
  bool isStopped = false;
  sigset_t signals;
};

ServiceSide& Side() {
  static ServiceSide* side = new ServiceSide;
  return *side;
}

}  // namespace

int PlatformStartServiceCtrlDispatcher(const std::string& name, PlatformServiceMain serviceMain) {
  const char* startedAs = getenv(kServiceEnv);
  if (!startedAs || name != startedAs) return kWinErrorFailedServiceControllerConnect;
  // STOP arrives as SIGTERM: keep it from every thread but the one that waits for it.
  ServiceSide& side = Side();
  signal(SIGTERM, SIG_DFL);  // an inherited "ignore" would discard STOP
  sigemptyset(&side.signals);
  sigaddset(&side.signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &side.signals, nullptr);
  std::string nameCopy = name;
  std::thread([serviceMain, nameCopy] {
    std::string arg0 = nameCopy;
    char* argv[] = {arg0.data(), nullptr};
    serviceMain(1, argv);
  }).detach();
  std::unique_lock<std::mutex> lock(side.mutex);
  side.stopped.wait(lock, [&] { return side.isStopped; });
  return 0;
}

int PlatformRegisterServiceCtrlHandler(const std::string& name, PlatformServiceHandler handler) {
  const char* startedAs = getenv(kServiceEnv);
  if (!startedAs || name != startedAs) return kWinErrorServiceDoesNotExist;
  if (int err = EnsureRunDir()) return err;
  WriteAtomically(PidPath(name), std::to_string(getpid()) + "\n");
  ServiceSide& side = Side();
  std::thread([handler, &side] {
    for (;;) {
      int sig = 0;
      if (sigwait(&side.signals, &sig) != 0) continue;
      if (sig == SIGTERM) handler(kServiceControlStop);
    }
  }).detach();
  return 0;
}

int PlatformSetServiceStatus(const std::string& name, const PlatformServiceStatus& status) {
  if (int err = EnsureRunDir()) return err;
  int err = WriteAtomically(StatusPath(name), FormatStatus(status));
  if (status.currentState == kServiceStopped) {
    ServiceSide& side = Side();
    std::lock_guard<std::mutex> lock(side.mutex);
    side.isStopped = true;
    side.stopped.notify_all();
  }
  return err;
}
