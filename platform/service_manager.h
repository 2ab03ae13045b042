// The service control manager stand-in: install, start, stop, query and delete a
// service, and the service side's dispatcher, control handler and status reports.
//
// Service records live in the registry file under
// SYSTEM\CurrentControlSet\Services\<name> (ImagePath, DisplayName, Start, Type,
// ErrorControl, ObjectName). Start runs ImagePath with no arguments as a detached
// daemon, with OSTREL_SERVICE=<name> in its environment so that its dispatcher knows
// the manager started it. The service reports its status into <run dir>/<name>.status
// beside <name>.pid; STOP is SIGTERM to that pid; a status query reads the file and
// checks that the pid lives. The run directory is $OSTREL_RUNDIR, else /run/ostrel.
//
// Results are 0 or a Windows error number, as callers print and compare them.
#pragma once

#include <cstdint>
#include <string>

// Windows error numbers the callers look at.
constexpr int kWinErrorAccessDenied = 5;
constexpr int kWinErrorInvalidParameter = 87;
constexpr int kWinErrorServiceAlreadyRunning = 1056;
constexpr int kWinErrorServiceDoesNotExist = 1060;
constexpr int kWinErrorServiceCannotAcceptCtrl = 1061;
constexpr int kWinErrorServiceNotActive = 1062;
constexpr int kWinErrorFailedServiceControllerConnect = 1063;
constexpr int kWinErrorServiceExists = 1073;

// Service states and controls.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceWin32OwnProcess = 16;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceAcceptStop = 1;

struct PlatformServiceStatus {
  uint32_t serviceType = kServiceWin32OwnProcess;
  uint32_t currentState = kServiceStopped;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct PlatformServiceConfig {
  std::string displayName;
  std::string imagePath;
  std::string objectName = "LocalSystem";
  uint32_t type = kServiceWin32OwnProcess;
  uint32_t start = kServiceAutoStart;
  uint32_t errorControl = kServiceErrorNormal;
};

// The text of a Windows error number (or an errno) without a line end.
std::string PlatformErrorText(int code);

// Manager side.
int PlatformCreateService(const std::string& name, const PlatformServiceConfig& config);
int PlatformOpenService(const std::string& name);  // 0 when the record exists, else 1060
// Rewrites an existing record's type, start type, program path and display name
// (error control and account stay as they were). 1060 without a record.
int PlatformChangeServiceConfig(const std::string& name, const PlatformServiceConfig& config);
int PlatformStartService(const std::string& name);
int PlatformControlService(const std::string& name, uint32_t control, PlatformServiceStatus& status);
int PlatformQueryServiceStatus(const std::string& name, PlatformServiceStatus& status);
int PlatformDeleteService(const std::string& name);

// Service side.
using PlatformServiceMain = void (*)(int argc, char** argv);
using PlatformServiceHandler = void (*)(uint32_t control);
// Runs serviceMain on a thread of its own and returns 0 once the service has
// reported STOPPED; fails with 1063 at once in a process the manager did not start.
int PlatformStartServiceCtrlDispatcher(const std::string& name, PlatformServiceMain serviceMain);
// Installs the control handler: SIGTERM becomes STOP, taken by a signal-waiting
// thread that calls the handler (never inside a signal handler). 0 or an error.
int PlatformRegisterServiceCtrlHandler(const std::string& name, PlatformServiceHandler handler);
// Writes the status file; 0 or an error.
int PlatformSetServiceStatus(const std::string& name, const PlatformServiceStatus& status);

std::string PlatformRunDir();
