// The DNS cache: look-up, the insertion rule, cleaning and deletion.
#include "dns/dns_cache.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "dns/dns_trace.h"
#include "platform/clock.h"

namespace {

std::string Hex(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%lx",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

}  // namespace

CTernDnsCache::CTernDnsCache(size_t limit)
    : m_Chains(static_cast<int32_t>(std::min<size_t>(limit, 4096)), true), m_Limit(limit) {}

CTernDnsCache::~CTernDnsCache() { DeleteCache(); }

std::string CTernDnsCache::Key(const std::string& name, int32_t type) {
  // A final "." names the same domain; the hash ignores letter case.
  size_t length = !name.empty() && name.back() == '.' ? name.size() - 1 : name.size();
  return std::to_string(type) + ":" + name.substr(0, length);
}

void CTernDnsCache::ReleaseChain(void* chain) { delete static_cast<Chain*>(chain); }

bool CTernDnsCache::CacheLookup(const std::string& name, int32_t type, bool authoritativeOnly,
                                std::vector<CTernDnsRecord>& result, bool& authoritative,
                                TernDnsOutcome* outcome) {
  CTernLockGuard guard(m_Lock);
  result.clear();
  Chain* chain = nullptr;
  if (!m_Chains.Find(Key(name, type), &chain)) {
    authoritative = false;
    TernDnsTrace("cache miss on %s type %d\n", name, type);
    return false;
  }
  authoritative = true;
  time_t now = PlatformNow();
  const CTernDnsRecord* negative = nullptr;
  for (const CTernDnsRecord& record : *chain) {
    if (now >= record.expiry) continue;
    if (!record.authoritative) {
      if (authoritativeOnly) continue;
      authoritative = false;
    }
    if (record.negative) {
      negative = &record;
    } else {
      result.push_back(record);
    }
  }
  if (outcome && negative) *outcome = negative->negativeKind;
  if (outcome && !result.empty()) *outcome = TernDnsOutcome::Records;
  if (negative) return true;
  if (result.empty()) {
    authoritative = false;
    TernDnsTrace("cache miss on %s type %d\n", name, type);
    return false;
  }
  TernDnsTrace("cache hit on %s type %d, count=%d\n", name, type, result.size());
  return true;
}

bool CTernDnsCache::CacheAdd(CTernDnsRecord record) {
  CTernLockGuard guard(m_Lock);
  std::string key = Key(record.name, record.type);
  Chain* chain = nullptr;
  if (m_Chains.Find(key, &chain)) {
    for (CTernDnsRecord& held : *chain) {
      if (!held.SameData(record)) continue;
      if (held.expiry < record.expiry || (!held.authoritative && record.authoritative)) {
        TernDnsTrace("cache update %s type %d\n", record.name, record.type);
        held = std::move(record);
      }
      return true;
    }
  }
  if (m_Count >= m_Limit) return false;
  TernDnsTrace("cache add %s type %d\n", record.name, record.type);
  if (!chain) {
    chain = new Chain;
    m_Chains.Insert(key, chain);
  }
  chain->push_back(std::move(record));
  m_Count++;
  return true;
}

TernDnsCleanCounts CTernDnsCache::CleanCache() {
  CTernLockGuard guard(m_Lock);
  TernDnsTrace("CLEANING DNS CACHE\n");
  TernDnsCleanCounts counts;
  time_t now = PlatformNow();
  void* value = nullptr;
  // Keys are rebuilt from the records only for the chains that go: copying every
  // key out of the table would make the pass several times slower.
  for (bool more = m_Chains.First(nullptr, &value); more; more = m_Chains.Next(nullptr, &value)) {
    Chain& chain = *static_cast<Chain*>(value);
    counts.chains++;
    counts.entries += static_cast<long>(chain.size());
    bool stale = false;
    for (const CTernDnsRecord& record : chain)
      if (record.type == 0 || now >= record.expiry) stale = true;
    if (!stale) {
      counts.kept += static_cast<long>(chain.size());
      continue;
    }
    // Every record of a chain has its name and type, whatever letter case it came in.
    std::string key = Key(chain.front().name, chain.front().type);
    Chain fresh;
    for (CTernDnsRecord& record : chain) {
      if (record.type == 0) {
        counts.nulls++;
      } else if (now < record.expiry) {
        fresh.push_back(std::move(record));
      } else {
        counts.expired++;
      }
    }
    counts.kept += static_cast<long>(fresh.size());
    m_Count -= chain.size() - fresh.size();
    if (!fresh.empty()) {
      chain.swap(fresh);
      counts.newchains++;
    } else {
      m_Chains.Find(key, nullptr, true);
      delete &chain;
    }
  }
  TernDnsTrace("CLEAN DONE: chains=%d, entries=%d, kept=%d, expired=%d, null=%d, newchains=%d\n",
               counts.chains, counts.entries, counts.kept, counts.expired, counts.nulls,
               counts.newchains);
  return counts;
}

void CTernDnsCache::DeleteCache() {
  CTernLockGuard guard(m_Lock);
  TernDnsTrace("deleting cache...\n");
  if (TernDnsTracing()) {
    time_t now = PlatformNow();
    void* value = nullptr;
    for (bool more = m_Chains.First(nullptr, &value); more; more = m_Chains.Next(nullptr, &value)) {
      TernDnsTraceLine("chain 0x" + Hex(value) + ":\n");
      for (const CTernDnsRecord& record : *static_cast<Chain*>(value))
        TernDnsTraceLine(DumpRecord(record, now));
    }
  }
  m_Chains.Clear(ReleaseChain);
  m_Count = 0;
}

size_t CTernDnsCache::Count() const {
  CTernLockGuard guard(m_Lock);
  return m_Count;
}
