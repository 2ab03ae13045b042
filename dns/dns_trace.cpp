// The DNS trace flag and its console output.
#include "dns/dns_trace.h"

#include <atomic>
#include <cstdio>

#include "base/lock.h"

namespace {

std::atomic<bool> g_Tracing{false};

CTernLock& OutputLock() {
  static CTernLock* lock = new CTernLock;
  return *lock;
}

}  // namespace

void TernDnsSetTrace(bool on) { g_Tracing = on; }

bool TernDnsTracing() { return g_Tracing.load(std::memory_order_relaxed); }

void TernDnsTraceLine(const std::string& line) {
  CTernLockGuard guard(OutputLock());
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}
