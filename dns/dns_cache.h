// The resolver's cache: every record learnt from name-server replies, kept until it
// expires, in chains of one name and type (name compared ignoring case), plus
// negative records for answers without data. Look-ups hand out copies.
//
// One lock (the cache lock) is held for the whole of each operation, so any thread
// may use the cache. The cache holds at most its limit of records; beyond that new
// records are not kept (the resolver then simply asks again), so that a flood of
// distinct names cannot take all memory. The trace lines go to the DNS trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "base/hash.h"
#include "base/lock.h"
#include "dns/dns_record.h"

// The default number of records a cache holds.
constexpr size_t kTernDnsCacheLimit = 200000;

// What a cleaning pass found: chains looked at, records in them, records kept,
// expired records destroyed, invalid records (type 0) dropped, chains rebuilt.
struct TernDnsCleanCounts {
  long chains = 0, entries = 0, kept = 0, expired = 0, nulls = 0, newchains = 0;
};

class CTernDnsCache {
 public:
  explicit CTernDnsCache(size_t limit = kTernDnsCacheLimit);
  // Empties the cache (DeleteCache).
  ~CTernDnsCache();
  CTernDnsCache(const CTernDnsCache&) = delete;
  CTernDnsCache& operator=(const CTernDnsCache&) = delete;

  // The valid records of name and type (only authoritative ones when
  // authoritativeOnly) into result, which is emptied first. True when records were
  // found or a valid negative record stands for the name and type (the list may
  // then be empty); false on a miss. authoritative is true when every record
  // used was authoritative (false on a miss). outcome, when given, receives
  // Records for a non-empty list, else the negative record's kind.
  bool CacheLookup(const std::string& name, int32_t type, bool authoritativeOnly,
                   std::vector<CTernDnsRecord>& result, bool& authoritative,
                   TernDnsOutcome* outcome = nullptr);

  // Adds a record. When its chain already holds a record with the same data, that
  // one takes the new record's values if it expires earlier or is not
  // authoritative while the new one is, and nothing is added. False when the
  // record was not kept because the cache is full.
  bool CacheAdd(CTernDnsRecord record);

  // Destroys every expired record (now at or past its expiry) and invalid record,
  // and every chain left empty; traces and returns the counts.
  TernDnsCleanCounts CleanCache();

  // Destroys every record, tracing each chain and record first.
  void DeleteCache();

  // The records held now (valid or not).
  size_t Count() const;

 private:
  using Chain = std::vector<CTernDnsRecord>;
  static std::string Key(const std::string& name, int32_t type);
  static void ReleaseChain(void* chain);

  mutable CTernLock m_Lock;  // the cache lock: guards the members below
  CTernHash m_Chains;        // key -> Chain*
  size_t m_Count = 0;
  const size_t m_Limit;
};
