// The DNS cache: the look-up rules, the insertion rule, cleaning, the limit and the
// trace line of a record.
#include "dns/dns_cache.h"

#include <gtest/gtest.h>

#include "net/network_address.h"
#include "platform/clock.h"

namespace {

constexpr time_t kNow = 1700000000;

CTernDnsRecord A(const std::string& name, const std::string& dotted, time_t expiry,
                 bool authoritative = false) {
  CTernDnsRecord r;
  r.name = name;
  r.type = kDnsTypeA;
  r.expiry = expiry;
  r.authoritative = authoritative;
  EXPECT_TRUE(ParseDotted(dotted, r.address));
  return r;
}

CTernDnsRecord Negative(const std::string& name, int32_t type, TernDnsOutcome kind, time_t expiry) {
  CTernDnsRecord r;
  r.name = name;
  r.type = type;
  r.expiry = expiry;
  r.negative = true;
  r.negativeKind = kind;
  return r;
}

class DnsCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { PlatformSetTime(kNow); }
  void TearDown() override { PlatformClearTime(); }
};

}  // namespace

TEST_F(DnsCacheTest, LookupRules) {
  CTernDnsCache cache;
  cache.CacheAdd(A("fresh.example", "10.0.0.1", kNow + 60, true));
  cache.CacheAdd(A("fresh.example", "10.0.0.2", kNow + 60, false));
  cache.CacheAdd(A("stale.example", "10.0.0.3", kNow));
  cache.CacheAdd(A("plain.example", "10.0.0.4", kNow + 60));
  cache.CacheAdd(Negative("gone.example", kDnsTypeMX, TernDnsOutcome::NoDomain, kNow + 300));
  cache.CacheAdd(Negative("bare.example", kDnsTypeMX, TernDnsOutcome::NoData, kNow + 300));

  struct Case {
    const char* name;
    int32_t type;
    bool authOnly;
    bool found;
    size_t count;
    bool authoritative;
    TernDnsOutcome outcome;
  } cases[] = {
      {"fresh.example", kDnsTypeA, false, true, 2, false, TernDnsOutcome::Records},
      {"FRESH.Example.", kDnsTypeA, true, true, 1, true, TernDnsOutcome::Records},
      {"stale.example", kDnsTypeA, false, false, 0, false, TernDnsOutcome::TempFail},
      {"plain.example", kDnsTypeA, true, false, 0, false, TernDnsOutcome::TempFail},
      {"plain.example", kDnsTypeMX, false, false, 0, false, TernDnsOutcome::TempFail},
      {"gone.example", kDnsTypeMX, false, true, 0, false, TernDnsOutcome::NoDomain},
      {"bare.example", kDnsTypeMX, false, true, 0, false, TernDnsOutcome::NoData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.type));
    std::vector<CTernDnsRecord> result{A("left.over", "1.1.1.1", 1)};
    bool authoritative = !c.authoritative;
    TernDnsOutcome outcome = TernDnsOutcome::TempFail;
    EXPECT_EQ(cache.CacheLookup(c.name, c.type, c.authOnly, result, authoritative, &outcome),
              c.found);
    EXPECT_EQ(result.size(), c.count);
    if (c.count > 0) {
      EXPECT_EQ(authoritative, c.authoritative);
    }
    EXPECT_EQ(outcome, c.outcome);
  }
}

// The same record again: a later expiry or a first authoritative copy replaces the
// held one, nothing else does, and the chain never grows.
TEST_F(DnsCacheTest, TheSameRecordAgainReplacesOnlyWhenBetter) {
  struct Case {
    time_t heldExpiry;
    bool heldAuth;
    time_t newExpiry;
    bool newAuth;
    time_t keptExpiry;
    bool keptAuth;
  } cases[] = {
      {kNow + 10, false, kNow + 20, false, kNow + 20, false},
      {kNow + 20, false, kNow + 10, false, kNow + 20, false},
      {kNow + 20, true, kNow + 10, false, kNow + 20, true},
      {kNow + 10, true, kNow + 20, false, kNow + 20, false},
      {kNow + 20, false, kNow + 10, true, kNow + 10, true},
  };
  for (const Case& c : cases) {
    CTernDnsCache cache;
    cache.CacheAdd(A("host.example", "10.0.0.1", c.heldExpiry, c.heldAuth));
    cache.CacheAdd(A("Host.Example", "10.0.0.1", c.newExpiry, c.newAuth));
    EXPECT_EQ(cache.Count(), 1u);
    PlatformSetTime(std::min(c.heldExpiry, c.newExpiry) + 1);
    std::vector<CTernDnsRecord> result;
    bool authoritative;
    bool found = cache.CacheLookup("host.example", kDnsTypeA, false, result, authoritative);
    EXPECT_EQ(found, c.keptExpiry > std::min(c.heldExpiry, c.newExpiry) + 1);
    PlatformSetTime(kNow);
    ASSERT_TRUE(cache.CacheLookup("host.example", kDnsTypeA, false, result, authoritative));
    EXPECT_EQ(result[0].expiry, c.keptExpiry);
    EXPECT_EQ(result[0].authoritative, c.keptAuth);
  }
}

TEST_F(DnsCacheTest, CleaningDropsExpiredRecordsAndEmptyChains) {
  CTernDnsCache cache;
  cache.CacheAdd(A("all-old.example", "10.0.0.1", kNow + 5));
  cache.CacheAdd(A("all-old.example", "10.0.0.2", kNow + 5));
  cache.CacheAdd(A("mixed.example", "10.0.0.3", kNow + 5));
  cache.CacheAdd(A("mixed.example", "10.0.0.4", kNow + 500));
  cache.CacheAdd(A("young.example", "10.0.0.5", kNow + 500));
  PlatformSetTime(kNow + 5);
  TernDnsCleanCounts counts = cache.CleanCache();
  EXPECT_EQ(counts.chains, 3);
  EXPECT_EQ(counts.entries, 5);
  EXPECT_EQ(counts.kept, 2);
  EXPECT_EQ(counts.expired, 3);
  EXPECT_EQ(counts.newchains, 1);
  EXPECT_EQ(cache.Count(), 2u);
  EXPECT_EQ(cache.CleanCache().chains, 2);  // the all-old chain is gone
  std::vector<CTernDnsRecord> result;
  bool authoritative;
  ASSERT_TRUE(cache.CacheLookup("mixed.example", kDnsTypeA, false, result, authoritative));
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(FormatDotted(result[0].address), "10.0.0.4");
  cache.DeleteCache();
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_FALSE(cache.CacheLookup("young.example", kDnsTypeA, false, result, authoritative));
}

TEST_F(DnsCacheTest, AFullCacheKeepsNoNewRecordsButStillUpdates) {
  CTernDnsCache cache(2);
  EXPECT_TRUE(cache.CacheAdd(A("one.example", "10.0.0.1", kNow + 5)));
  EXPECT_TRUE(cache.CacheAdd(A("two.example", "10.0.0.2", kNow + 5)));
  EXPECT_FALSE(cache.CacheAdd(A("three.example", "10.0.0.3", kNow + 5)));
  EXPECT_TRUE(cache.CacheAdd(A("one.example", "10.0.0.1", kNow + 50)));
  EXPECT_EQ(cache.Count(), 2u);
  PlatformSetTime(kNow + 10);
  cache.CleanCache();
  EXPECT_TRUE(cache.CacheAdd(A("three.example", "10.0.0.3", kNow + 50)));
}

TEST(DnsRecord, TraceLines) {
  auto line = [](CTernDnsRecord r) { return DumpRecord(r, kNow); };
  CTernDnsRecord mx;
  mx.name = "example.org";
  mx.type = kDnsTypeMX;
  mx.expiry = kNow + 3600;
  mx.preference = 10;
  mx.target = "mail.example.org";
  mx.authoritative = true;
  CTernDnsRecord cname = mx;
  cname.type = kDnsTypeCNAME;
  cname.authoritative = false;
  cname.expiry = 0;
  CTernDnsRecord old = A("host.example.org", "192.0.2.7", kNow - 12);
  CTernDnsRecord gone = Negative("nowhere.example.org", kDnsTypeA, TernDnsOutcome::NoDomain,
                                 kNow + 300);
  gone.authoritative = true;
  EXPECT_EQ(line(mx), "example.org.                3600  IN MX 10   mail.example.org.\t; auth\n");
  EXPECT_EQ(line(cname), "example.org.                   0  IN CNAME   mail.example.org.\t\n");
  EXPECT_EQ(line(A("h.example", "10.1.2.3", kNow + 5)),
            "h.example.                     5  IN A       10.1.2.3\t\n");
  EXPECT_EQ(line(old), "; host.example.org.            0  IN A       192.0.2.7\t; expired 12s ago\n");
  EXPECT_EQ(line(gone), "; nowhere.example.org.       300  IN A       \t; nxdomain ; auth\n");
  EXPECT_EQ(line(CTernDnsRecord()), "; invalid entry\n");
}
