// The process-wide slot of the address resolver.
#include "net/address_resolver.h"

#include <utility>

#include "base/lock.h"

namespace {

// The installed resolver under its lock (made on first use, never destroyed, so
// that look-ups during process exit still find a valid lock).
struct ResolverSlot {
  CTernLock lock;  // guards resolver
  std::shared_ptr<CTernAddressResolver> resolver;
};

ResolverSlot& Slot() {
  static ResolverSlot* slot = new ResolverSlot;
  return *slot;
}

}  // namespace

std::shared_ptr<CTernAddressResolver> TernAddressResolver() {
  CTernLockGuard guard(Slot().lock);
  return Slot().resolver;
}

void TernSetAddressResolver(std::shared_ptr<CTernAddressResolver> resolver) {
  std::shared_ptr<CTernAddressResolver> previous;
  {
    CTernLockGuard guard(Slot().lock);
    previous = std::move(Slot().resolver);
    Slot().resolver = std::move(resolver);
  }
  // The previous resolver (if this was its last reference) goes away outside the lock.
}

int TernLookupHost(const std::string& name, std::vector<uint32_t>& addresses) {
  addresses.clear();
  std::shared_ptr<CTernAddressResolver> resolver = TernAddressResolver();
  if (!resolver || name.empty()) return 1;
  if (resolver->LookupHost(name, addresses) != 0 || addresses.empty()) {
    addresses.clear();
    return 1;
  }
  return 0;
}

int TernLookupName(uint32_t address, std::string& name) {
  name.clear();
  std::shared_ptr<CTernAddressResolver> resolver = TernAddressResolver();
  if (!resolver) return 1;
  if (resolver->LookupName(address, name) != 0 || name.empty()) {
    name.clear();
    return 1;
  }
  return 0;
}
