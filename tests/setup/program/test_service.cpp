// A small service program for the installer library's tests: started by the service
// manager, it reports RUNNING through the platform's service side and stops on STOP,
// or, with OSTREL_TEST_SERVICE_MODE=stubborn, reports STOP_PENDING and never stops.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <condition_variable>

#include "platform/service_manager.h"

namespace {

const char kName[] = "Ostrel";
std::mutex g_Mutex;
std::condition_variable g_Stop;
bool g_Stopping = false;

void Report(uint32_t state) {
  PlatformServiceStatus status;
  status.currentState = state;
  status.controlsAccepted = kServiceAcceptStop;
  PlatformSetServiceStatus(kName, status);
}

void Handler(uint32_t control) {
  if (control != kServiceControlStop) return;
  Report(kServiceStopPending);
  const char* mode = getenv("OSTREL_TEST_SERVICE_MODE");
  if (mode && strcmp(mode, "stubborn") == 0) return;
  std::lock_guard<std::mutex> guard(g_Mutex);
  g_Stopping = true;
  g_Stop.notify_all();
}

void ServiceMain(int, char**) {
  if (PlatformRegisterServiceCtrlHandler(kName, Handler) != 0) return;
  Report(kServiceRunning);
  std::unique_lock<std::mutex> lock(g_Mutex);
  g_Stop.wait(lock, [] { return g_Stopping; });
  Report(kServiceStopped);
}

}  // namespace

int main() { return PlatformStartServiceCtrlDispatcher(kName, ServiceMain) == 0 ? 0 : 1; }
