// Service entry, status reports, control handlers, install and remove.
#include "service/service_shell.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "base/format.h"
#include "log/eventlog.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "service/host.h"

namespace {

PlatformServiceStatus g_Status;
uint32_t g_CheckPoint = 1;
int g_LastError = 0;
bool g_HaveHandler = false;

void ControlHandler(uint32_t control) {
  if (control == kServiceControlStop) {
    OstrelReportStatus(kServiceStopPending, 0, 0);
    COstrelHost::Instance().Stop();
    return;
  }
  OstrelReportStatus(g_Status.currentState, 0, 0);
}

}  // namespace

bool OstrelReportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) {
  if (COstrelHost::Instance().ConsoleMode()) return true;
  g_Status.controlsAccepted = state == kServiceStartPending ? 0 : kServiceAcceptStop;
  g_Status.currentState = state;
  g_Status.win32ExitCode = exitCode;
  g_Status.waitHint = waitHint;
  if (state == kServiceRunning || state == kServiceStopped)
    g_Status.checkPoint = 0;
  else
    g_Status.checkPoint = g_CheckPoint++;
  int err = PlatformSetServiceStatus(kOstrelServiceName, g_Status);
  if (err != 0) OstrelAddToEventLog("SetServiceStatus", err);
  return err == 0;
}

void OstrelAddToEventLog(const std::string& text, int code) {
  if (COstrelHost::Instance().ConsoleMode()) return;
  g_LastError = code;
  std::string first = TernFormat("%s error: %d", {kOstrelServiceName, code});
  TernWriteEvent(TernEventType::Error, 0, first + "\r\n" + text, false, 0);
}

std::string OstrelSystemErrorText(int code) {
  std::string text = PlatformErrorText(code);
  if (text.empty() || text.size() + 14 > 256) return "";
  return TernFormat("%s (0x%x)", {text, code});
}

void OstrelServiceMain(int, char**) {
  if (PlatformRegisterServiceCtrlHandler(kOstrelServiceName, ControlHandler) != 0) return;
  g_HaveHandler = true;
  g_Status.serviceType = kServiceWin32OwnProcess;
  g_Status.serviceSpecificExitCode = 0;
  if (OstrelReportStatus(kServiceStartPending, 0, 30000)) {
    // The service runs whether or not every server started: failures show in the
    // event log and as missing servers.
    COstrelHost::Instance().StartUp();
    if (OstrelReportStatus(kServiceRunning, 0, 0)) COstrelHost::Instance().WaitForStop();
  }
  if (g_HaveHandler) OstrelReportStatus(kServiceStopped, static_cast<uint32_t>(g_LastError), 0);
}

bool OstrelDispatch() {
  int err = PlatformStartServiceCtrlDispatcher(kOstrelServiceName, OstrelServiceMain);
  if (err == 0) return true;
  OstrelAddToEventLog(TernFormat("StartServiceCtrlDispatcher failed (%d).", {err}), err);
  return false;
}

int OstrelRunConsole() {
  COstrelHost& host = COstrelHost::Instance();
  host.SetConsoleMode(true);
  // Ctrl+C, Ctrl+\ and SIGTERM are taken by one waiting thread, never by a signal
  // handler; every other thread inherits the blocked mask. They are blocked before
  // anything is printed, so that a signal sent on seeing the first line is never
  // lost, and their action is reset in case the starter left them ignored (as a
  // shell does for background jobs), since ignored signals are discarded.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
    signal(sig, SIG_DFL);
    sigaddset(&signals, sig);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  printf("Debugging %s.\n", kOstrelServiceName);
  fflush(stdout);
  std::thread([signals, &host] {
    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }
    printf("Stopping %s.\n", kOstrelServiceName);
    fflush(stdout);
    host.Stop();
  }).detach();
  host.StartUp();
  host.WaitForStop();
  return 0;
}

void OstrelInstallService() {
  // The service record keeps at most 511 bytes of the program's path.
  std::string path;
  int err = PlatformExecutablePath(path);
  if (err == 0 && path.size() >= 512) err = ENAMETOOLONG;
  if (err != 0) {
    printf("Unable to install %s - %s\n", kOstrelServiceName, OstrelSystemErrorText(err).c_str());
    return;
  }
  PlatformServiceConfig config;
  config.displayName = kOstrelServiceName;
  config.imagePath = path;
  err = PlatformCreateService(kOstrelServiceName, config);
  if (err == 0) {
    printf("%s installed.\n", kOstrelServiceName);
    // As on Windows the service starts automatically with the system; here it is
    // started at once, so that it runs without a restart.
    PlatformStartService(kOstrelServiceName);
  } else {
    printf("CreateService failed - %s\n", OstrelSystemErrorText(err).c_str());
  }
}

void OstrelRemoveService() {
  int err = PlatformOpenService(kOstrelServiceName);
  if (err != 0) {
    printf("OpenService failed - %s\n", OstrelSystemErrorText(err).c_str());
    return;
  }
  PlatformServiceStatus status;
  if (PlatformControlService(kOstrelServiceName, kServiceControlStop, status) == 0) {
    printf("Stopping %s.", kOstrelServiceName);
    fflush(stdout);
    sleep(1);
    // Bounded: a service that hangs in STOP_PENDING is given up after 5 minutes.
    for (int waited = 0; waited < 300; ++waited) {
      if (PlatformQueryServiceStatus(kOstrelServiceName, status) != 0 ||
          status.currentState != kServiceStopPending)
        break;
      printf(".");
      fflush(stdout);
      sleep(1);
    }
    if (status.currentState == kServiceStopped)
      printf("\n%s stopped.\n", kOstrelServiceName);
    else
      printf("\n%s failed to stop.\n", kOstrelServiceName);
  }
  err = PlatformDeleteService(kOstrelServiceName);
  if (err == 0)
    printf("%s removed.\n", kOstrelServiceName);
  else
    printf("DeleteService failed - %s\n", OstrelSystemErrorText(err).c_str());
}
