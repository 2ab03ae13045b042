// The resolver's look-ups: the search list, the cache with its CNAME chains, the
// authoritative look-up, and the look-ups for mail exchangers, host addresses and
// reverse names.
#include <algorithm>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "dns/dns_resolver.h"
#include "dns/dns_trace.h"

namespace {

// CNAME links followed from one name before the chain counts as a loop.
constexpr int kMaxChainLinks = 5;

bool HasDot(const std::string& name) { return name.find('.') != std::string::npos; }

std::string WithoutFinalDot(const std::string& name) {
  return !name.empty() && name.back() == '.' ? name.substr(0, name.size() - 1) : name;
}

// The outcome of a search over several names that all failed: a temporary failure
// wins (a later try may find records), then NODATA, then NXDOMAIN.
TernDnsOutcome Worse(TernDnsOutcome seen, TernDnsOutcome next) {
  if (seen == TernDnsOutcome::TempFail || next == TernDnsOutcome::TempFail)
    return TernDnsOutcome::TempFail;
  if (seen == TernDnsOutcome::NoData || next == TernDnsOutcome::NoData)
    return TernDnsOutcome::NoData;
  return TernDnsOutcome::NoDomain;
}

}  // namespace

TernDnsOutcome CTernDnsResolver::lookup(const std::string& name, int32_t type, bool useSearchList,
                                        std::vector<CTernDnsRecord>& result, bool& authoritative) {
  TernDnsTrace("lookup of %s type %d\n", name, type);
  result.clear();
  authoritative = false;
  if (useSearchList && !HasDot(name)) {
    if (!EnsureStarted()) return TernDnsOutcome::TempFail;
    std::vector<std::string> domains = SearchList();
    if (!domains.empty()) {
      TernDnsOutcome outcome = TernDnsOutcome::NoDomain;
      for (const std::string& domain : domains) {
        std::string candidate = name + "." + domain;
        TernDnsTrace("lookup trying as %s\n", candidate);
        TernDnsOutcome tried = LookupOne(candidate, type, result, authoritative);
        if (tried == TernDnsOutcome::Records) return tried;
        outcome = Worse(outcome, tried);
      }
      TernDnsTrace("lookup search failed\n");
      result.clear();
      authoritative = false;
      return outcome;
    }
  }
  return LookupOne(name, type, result, authoritative);
}

TernDnsOutcome CTernDnsResolver::LookupOne(const std::string& name, int32_t type,
                                           std::vector<CTernDnsRecord>& result,
                                           bool& authoritative) {
  result.clear();
  authoritative = false;
  if (!TernDnsValidName(name)) return TernDnsOutcome::NoDomain;
  std::string current = WithoutFinalDot(name);
  for (int link = 0; link <= kMaxChainLinks; ++link) {
    TernDnsOutcome outcome;
    if (FromCache(current, type, false, result, authoritative, outcome)) return outcome;
    if (!EnsureStarted()) return TernDnsOutcome::TempFail;
    Answer answer = Query(current, type, Servers(), true, m_GiveUpMs);
    result = std::move(answer.records);
    authoritative = answer.authoritative;
    if (answer.outcome == TernDnsOutcome::Records || answer.outcome == TernDnsOutcome::TempFail ||
        TernEqualsNoCase(answer.end, current))
      return answer.outcome;
    // The server stopped at a CNAME without data: the chain's end is asked for.
    current = answer.end;
  }
  TernReportEventF(TernEventType::Warning, kMsgDnsCnameLoop, name);
  result.clear();
  return TernDnsOutcome::TempFail;
}

bool CTernDnsResolver::FromCache(const std::string& name, int32_t type, bool authoritativeOnly,
                                 std::vector<CTernDnsRecord>& result, bool& authoritative,
                                 TernDnsOutcome& outcome) {
  bool found = m_Cache.CacheLookup(name, type, authoritativeOnly, result, authoritative, &outcome);
  if (!found && type != kDnsTypeCNAME) {
    std::string end = name;
    if (followCachedCNames(end, false) && !TernEqualsNoCase(end, name))
      found = m_Cache.CacheLookup(end, type, authoritativeOnly, result, authoritative, &outcome);
  }
  if (found) TernDnsTrace("lookup cache hit, entries=%d\n", result.size());
  return found;
}

bool CTernDnsResolver::followCachedCNames(std::string& name, bool useSearchList) {
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  if (useSearchList && !HasDot(name)) {
    for (const std::string& domain : SearchList()) {
      std::string candidate = name + "." + domain;
      TernDnsTrace("followCachedCNames search, trying as %s\n", candidate);
      if (m_Cache.CacheLookup(candidate, kDnsTypeCNAME, false, records, authoritative) &&
          !records.empty()) {
        name = candidate;
        return true;
      }
    }
    TernDnsTrace("followCachedCNames search failed\n");
    return true;
  }
  std::string current = name;
  for (int link = 0;; ++link) {
    if (!m_Cache.CacheLookup(current, kDnsTypeCNAME, false, records, authoritative) ||
        records.empty()) {
      TernDnsTrace("followCachedCNames %s not found\n", current);
      name = current;
      return true;
    }
    if (link == kMaxChainLinks) break;
    TernDnsTrace("followCachedCNames found %s -> %s\n", current, records.front().target);
    current = records.front().target;
  }
  TernReportEventF(TernEventType::Warning, kMsgDnsCnameLoop, name);
  TernDnsTrace("followCachedCNames loop detected on %s\n", name);
  return false;
}

bool CTernDnsResolver::followCName(std::string& name) {
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  if (lookup(name, kDnsTypeCNAME, false, records, authoritative) != TernDnsOutcome::Records)
    return false;
  TernDnsTrace("followCName found %s -> %s\n", name, records.front().target);
  name = records.front().target;
  return true;
}

bool CTernDnsResolver::authlookup(const std::string& name, int32_t type, bool useSearchList,
                                  std::vector<CTernDnsRecord>& result) {
  TernDnsTrace("authlookup of %s type %d\n", name, type);
  result.clear();
  if (useSearchList && !HasDot(name)) {
    if (!EnsureStarted()) return false;
    std::vector<std::string> domains = SearchList();
    if (!domains.empty()) {
      for (const std::string& domain : domains) {
        std::string candidate = name + "." + domain;
        TernDnsTrace("authlookup search, trying as %s\n", candidate);
        if (AuthSingle(candidate, type, result)) return true;
      }
      TernDnsTrace("authlookup search failed\n");
      return false;
    }
  }
  return AuthSingle(name, type, result);
}

bool CTernDnsResolver::AuthSingle(const std::string& name, int32_t type,
                                  std::vector<CTernDnsRecord>& result) {
  if (!TernDnsValidName(name)) return false;
  bool authoritative = false;
  TernDnsOutcome outcome;
  if (m_Cache.CacheLookup(name, type, true, result, authoritative, &outcome)) {
    TernDnsTrace("authlookup simple case cache hit\n");
    return true;
  }
  if (!EnsureStarted()) return false;
  Answer answer = Query(WithoutFinalDot(name), type, Servers(), true, m_GiveUpMs);
  if (answer.outcome != TernDnsOutcome::TempFail && answer.authoritative) {
    TernDnsTrace("authlookup simple case query worked\n");
    result = std::move(answer.records);
    return true;
  }
  TernDnsTrace("authlookup simple lookups failed, recursing...\n");
  // The nearest enclosing domain with name servers.
  std::vector<CTernDnsRecord> servers;
  std::string domain = WithoutFinalDot(name);
  for (;;) {
    TernDnsTrace("authlookup looking for servers for %s\n", domain);
    TernDnsOutcome found = lookup(domain, kDnsTypeNS, false, servers, authoritative);
    if (found == TernDnsOutcome::TempFail) {
      TernDnsTrace("authlookup lookup of %s returned false, bailing\n", domain);
      return false;
    }
    if (found == TernDnsOutcome::Records) {
      TernDnsTrace("authlookup found servers for %s\n", domain);
      break;
    }
    size_t dot = domain.find('.');
    if (dot == std::string::npos) return false;
    domain.erase(0, dot + 1);
  }
  for (const CTernDnsRecord& server : servers) {
    std::vector<uint32_t> addresses;
    if (LookupAddresses(server.target, addresses) != TernDnsOutcome::Records) continue;
    for (uint32_t address : addresses) {
      Answer direct = Query(WithoutFinalDot(name), type, {CTernNetAddress(address, m_DirectPort)},
                            false, m_RetryMs);
      if (direct.outcome != TernDnsOutcome::TempFail && direct.authoritative) {
        result = std::move(direct.records);
        return true;
      }
    }
  }
  return false;
}

TernDnsOutcome CTernDnsResolver::LookupMx(const std::string& domain,
                                          std::vector<TernDnsMx>& exchangers) {
  exchangers.clear();
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  TernDnsOutcome outcome = lookup(domain, kDnsTypeMX, false, records, authoritative);
  for (const CTernDnsRecord& record : records)
    exchangers.push_back(TernDnsMx{record.preference, record.target});
  std::stable_sort(exchangers.begin(), exchangers.end(),
                   [](const TernDnsMx& a, const TernDnsMx& b) { return a.preference < b.preference; });
  return outcome;
}

TernDnsOutcome CTernDnsResolver::LookupAddresses(const std::string& host,
                                                 std::vector<uint32_t>& addresses) {
  addresses.clear();
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  TernDnsOutcome outcome = lookup(host, kDnsTypeA, !HasDot(host), records, authoritative);
  for (const CTernDnsRecord& record : records) addresses.push_back(record.address);
  return outcome;
}

int CTernDnsResolver::LookupHost(const std::string& name, std::vector<uint32_t>& addresses) {
  addresses.clear();
  uint32_t literal = 0;
  if (ParseDotted(name, literal)) return 1;
  return LookupAddresses(name, addresses) == TernDnsOutcome::Records && !addresses.empty() ? 0 : 1;
}

int CTernDnsResolver::LookupName(uint32_t address, std::string& name) {
  name.clear();
  // The address's bytes (network order: the first is the lowest), last first.
  std::string reverse;
  for (int shift = 24; shift >= 0; shift -= 8)
    reverse += std::to_string(address >> shift & 0xFF) + ".";
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  if (lookup(reverse + "IN-ADDR.ARPA", kDnsTypePTR, false, records, authoritative) !=
      TernDnsOutcome::Records)
    return 1;
  name = records.front().target;
  return 0;
}
