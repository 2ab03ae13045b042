// The local domains: the snapshot, its local-domain test and the refresh from the
// installed source.
#include "base/ascii.h"
#include "net/local_domains.h"

#include <utility>
#include <vector>

#include "base/lock.h"
#include "net/address_resolver.h"
#include "net/network_address.h"

namespace {

constexpr char kEntrySeparator = '\x1C';



// Whether entry is one whole entry of the separated list.
bool HasEntry(std::string_view list, std::string_view entry) {
  size_t from = 0;
  while (from <= list.size()) {
    size_t end = list.find(kEntrySeparator, from);
    if (end == std::string_view::npos) end = list.size();
    if (list.substr(from, end - from) == entry) return true;
    from = end + 1;
  }
  return false;
}

// The process-wide state: the source, the snapshot and the change stamp it was read at.
struct DomainState {
  CTernLock lock;  // guards every member below
  std::shared_ptr<CTernLocalDomainSource> source;
  std::shared_ptr<const CTernLocalDomains> current = std::make_shared<CTernLocalDomains>();
  bool read = false;
  uint64_t stamp = 0;
};

DomainState& State() {
  static DomainState* state = new DomainState;
  return *state;
}

std::string ReadValue(CTernLocalDomainSource& source, const char* name, size_t size) {
  std::vector<char> buffer(size, '\0');
  source.SystemValue(name, buffer.data(), size);
  buffer[size - 1] = '\0';  // whatever the source did, the text ends inside the buffer
  return std::string(buffer.data());
}

}  // namespace

CTernLocalDomains::CTernLocalDomains(std::string domain, std::string otherDomains)
    : m_Domain(std::move(domain)), m_OtherDomains(std::move(otherDomains)) {
  TernLowerAscii(m_OtherDomains);
}

bool CTernLocalDomains::IsLocal(std::string_view domain, bool resolveLiterals) const {
  std::string t;
  for (char c : domain)
    if (c != '[' && c != ']') t += c;
  TernLowerAscii(t);
  uint32_t literal;
  if (resolveLiterals && ParseDotted(t, literal)) {
    std::string name;
    if (TernLookupName(literal, name) == 0) {
      t = std::move(name);
      TernLowerAscii(t);
    }
  }
  if (t.empty()) return true;
  if (!m_Domain.empty() && (TernEqualsNoCase(domain, m_Domain) || TernEqualsNoCase(t, m_Domain)))
    return true;
  return HasEntry(m_OtherDomains, t);
}

void TernSetLocalDomainSource(std::shared_ptr<CTernLocalDomainSource> source) {
  std::shared_ptr<CTernLocalDomainSource> previous;
  DomainState& state = State();
  CTernLockGuard guard(state.lock);
  previous = std::move(state.source);
  state.source = std::move(source);
  state.read = false;
  if (!state.source) state.current = std::make_shared<CTernLocalDomains>();
}

std::shared_ptr<const CTernLocalDomains> TernRefreshLocalDomains() {
  DomainState& state = State();
  CTernLockGuard guard(state.lock);
  if (!state.source) return state.current;
  uint64_t stamp = state.source->ChangeStamp();
  if (!state.read || stamp != state.stamp) {
    std::string domain = ReadValue(*state.source, "Domain", kTernDomainBufferSize);
    std::string others = ReadValue(*state.source, "OtherDomains", kTernOtherDomainsBufferSize);
    state.current = std::make_shared<CTernLocalDomains>(std::move(domain), std::move(others));
    state.stamp = stamp;
    state.read = true;
  }
  return state.current;
}
