// The installer helper library: the service functions over the platform's service
// manager, and the port test over a TCP endpoint.
#include "setup/svcsetup.h"

#include <unistd.h>

#include <cstdlib>

#include "base/exception.h"
#include "base/number.h"
#include "net/network_address.h"
#include "net/socket_start.h"
#include "net/tcp_endpoint.h"
#include "platform/service_manager.h"

namespace {

const char kService[] = "Ostrel";
// One-second waits before an uninstall gives up on a service that will not stop.
constexpr int kUninstallWaits = 301;

// How many one-second waits to allow; $OSTREL_SVCSETUP_STOP_WAITS lowers the limit
// (tests, and installers that cannot wait five minutes).
int WaitLimit(int standard) {
  const char* text = getenv("OSTREL_SVCSETUP_STOP_WAITS");
  if (!text || !*text) return standard;
  int n = 0;
  return TernParseNumber(text, n, 0, standard - 1) ? n : standard;
}

// Sends STOP and waits one second, then once a second while the service is not
// stopped, at most `waits` further times or until a query fails.
void StopAndWait(int waits) {
  PlatformServiceStatus status;
  if (PlatformControlService(kService, kServiceControlStop, status) != 0) return;
  sleep(1);
  for (int i = 0; i < waits; ++i) {
    if (PlatformQueryServiceStatus(kService, status) != 0 ||
        status.currentState == kServiceStopped)
      return;
    sleep(1);
  }
}

}  // namespace

extern "C" {

int InstallService(const char* path) {
  if (!path || !*path) return kWinErrorInvalidParameter;
  PlatformServiceConfig config;
  config.displayName = kService;
  config.imagePath = path;
  int err = PlatformOpenService(kService);
  if (err == kWinErrorServiceDoesNotExist)
    err = PlatformCreateService(kService, config);
  else if (err == 0)
    err = PlatformChangeServiceConfig(kService, config);
  if (err != 0) return err;
  PlatformStartService(kService);  // its result does not decide the installation
  return 0;
}

int StopService(void) {
  if (int err = PlatformOpenService(kService)) return err;
  // Waits as long as the service reports it is stopping; bounded all the same.
  StopAndWait(WaitLimit(3600));
  return 0;
}

int UninstallService(void) {
  if (int err = PlatformOpenService(kService)) return err;
  StopAndWait(WaitLimit(kUninstallWaits));
  return PlatformDeleteService(kService);
}

int PortTaken(int32_t port) {
  TernStartSockets();  // a failure is reported (139); the test goes on
  // Port 0 would let the system choose one, and others do not name a TCP port:
  // neither can be offered as a port to listen on.
  if (port < 1 || port > 65535) return 1;
  bool free = false;
  try {
    CTernTcpEndpoint endpoint;
    free = endpoint.Listen(CTernNetAddress(std::string_view(), static_cast<uint16_t>(port)));
    // Leaving the block destroys the endpoint, which closes the socket again.
  } catch (const CTernException&) {
    free = false;  // no socket at all (reported): nothing can listen there now
  }
  return free ? 0 : 1;
}

int UninstInitialize(void) {
  UninstallService();
  return 0;
}

int UninstUnInitialize(void) { return 0; }

}  // extern "C"
