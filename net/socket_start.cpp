// The once-per-process start of the socket layer.
#include "net/socket_start.h"

#include <mutex>

#include "base/message_codes.h"
#include "log/eventlog.h"

namespace {

// BSD sockets need nothing started; the step stays so that every caller starts
// the layer the same way, and a platform that does need it has one place to do it.
int StartPlatformSockets() { return 0; }

}  // namespace

bool TernStartSockets() {
  static std::mutex lock;
  static bool done = false;
  static bool result = false;
  std::lock_guard<std::mutex> guard(lock);
  if (!done) {
    int error = StartPlatformSockets();
    if (error != 0) TernReportEventF(TernEventType::Error, kMsgSocketStartupFailed, error);
    result = error == 0;
    done = true;
  }
  return result;
}
