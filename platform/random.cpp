// The kernel's random source through getrandom(2).
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

bool PlatformRandomBytes(void* buffer, size_t size) {
  char* at = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = getrandom(at, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
