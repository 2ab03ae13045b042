// The resolver against scripted name servers on loopback: answers and the cache,
// forged and malformed replies, server failures and silence, negative answers,
// the search list, CNAME chains, start-up failures and the address interface.
#include "dns/dns_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "base/ascii.h"
#include "dns/dns_settings.h"
#include "platform/clock.h"
#include "platform/registry_file.h"
#include "tests/dns/scripted_server.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

constexpr unsigned kAnswer = 0x8180;      // a recursive server's answer
constexpr unsigned kAuthAnswer = 0x8580;  // the same, authoritative
constexpr unsigned kNoRecursion = 0x8100;

std::vector<ScriptedReply> One(const std::string& bytes) { return {ScriptedReply{bytes}}; }

// A server that knows a small zone under example.test.
std::vector<ScriptedReply> Zone(const ScriptedQuery& asked) {
  ScriptedQuery q = asked;
  TernLowerAscii(q.name);
  ReplyBuilder r(q, kAnswer);
  if (q.name == "host.example.test" && q.type == kDnsTypeA) {
    r.Record("", kDnsTypeA, 3600, AData("192.0.2.10")).Record("", kDnsTypeA, 3600, AData("192.0.2.11"));
  } else if (q.name == "example.test" && q.type == kDnsTypeMX) {
    r.Record("", kDnsTypeMX, 3600, MxData(20, "backup.example.test"))
        .Record("", kDnsTypeMX, 3600, MxData(10, "host.example.test"))
        // Not asked for: must not reach the cache.
        .Record("victim.test", kDnsTypeA, 3600, AData("203.0.113.66"));
  } else if (q.name == "alias.example.test" && q.type == kDnsTypeA) {
    r.Record("", kDnsTypeCNAME, 3600, WireName("host.example.test"))
        .Record("host.example.test", kDnsTypeA, 3600, AData("192.0.2.10"));
  } else if (q.name == "10.2.0.192.in-addr.arpa" && q.type == kDnsTypePTR) {
    r.Record("", kDnsTypePTR, 3600, WireName("host.example.test"));
  } else if (q.name == "gone.example.test") {
    return One(ReplyBuilder(q, kAnswer | 3).Bytes());
  }
  return One(r.Bytes());
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override { PlatformSetRegistryFile(m_Dir.File("registry")); }
  void TearDown() override { PlatformSetRegistryFile(""); }

  void UseServers(const std::string& servers, const std::string& search = "") {
    m_Dir.Write("registry",
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"
                "NameServer=" + servers + "\nSearchList=" + search + "\nDomain=\n");
  }

  // A resolver that gives each server retryMs and gives up after giveUpMs.
  std::unique_ptr<CTernDnsResolver> Resolver(int retryMs = 200, int giveUpMs = 1000) {
    auto resolver = std::make_unique<CTernDnsResolver>();
    resolver->SetTimingsForTest(retryMs, giveUpMs);
    return resolver;
  }

  static TernDnsOutcome A(CTernDnsResolver& r, const std::string& name,
                          std::vector<std::string>* addresses = nullptr) {
    std::vector<uint32_t> found;
    TernDnsOutcome outcome = r.LookupAddresses(name, found);
    if (addresses)
      for (uint32_t a : found) addresses->push_back(FormatDotted(a));
    return outcome;
  }

  TempDir m_Dir;
  EventCapture m_Events;
};

}  // namespace

TEST_F(ResolverTest, AnswersAreCachedAndServedAgain) {
  ScriptedServer server(1, Zone);
  UseServers(server.Entry());
  auto r = Resolver();
  std::vector<std::string> addresses;
  EXPECT_EQ(A(*r, "host.example.test", &addresses), TernDnsOutcome::Records);
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.10", "192.0.2.11"}));
  std::vector<TernDnsMx> mx;
  ASSERT_EQ(r->LookupMx("Example.Test.", mx), TernDnsOutcome::Records);
  ASSERT_EQ(mx.size(), 2u);
  EXPECT_EQ(mx[0].host, "host.example.test");
  EXPECT_EQ(mx[1].preference, 20);
  addresses.clear();
  EXPECT_EQ(A(*r, "alias.example.test", &addresses), TernDnsOutcome::Records);
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.10"}));
  std::string name = "alias.example.test";
  EXPECT_TRUE(r->followCachedCNames(name, false));
  EXPECT_EQ(name, "host.example.test");

  // Again: all from the cache, nothing of the reply's extra record.
  size_t asked = server.Queries().size();
  EXPECT_EQ(asked, 3u);
  EXPECT_EQ(A(*r, "HOST.example.test"), TernDnsOutcome::Records);
  EXPECT_EQ(r->LookupMx("example.test", mx), TernDnsOutcome::Records);
  EXPECT_EQ(A(*r, "alias.example.test"), TernDnsOutcome::Records);
  EXPECT_EQ(server.Queries().size(), asked);
  std::vector<CTernDnsRecord> records;
  bool authoritative;
  EXPECT_FALSE(r->Cache().CacheLookup("victim.test", kDnsTypeA, false, records, authoritative));

  // Each query had its own identifier and source port, and asked for recursion.
  std::set<uint16_t> ids, ports;
  for (const ScriptedQuery& q : server.Queries()) {
    ids.insert(q.id);
    ports.insert(q.sourcePort);
    EXPECT_EQ(q.raw.substr(2, 4), U16(0x0100) + U16(1));
  }
  EXPECT_GT(ids.size(), 1u);
  EXPECT_GT(ports.size(), 1u);
  EXPECT_EQ(r->OutstandingCount(), 0u);
  EXPECT_EQ(r->ExchangeCount(), 0u);
}

// Replies that do not answer the query as sent are dropped; the query still gets
// its real answer, and nothing of the forgeries is cached.
TEST_F(ResolverTest, ForgedRepliesAreIgnored) {
  ScriptedServer server(1, [](const ScriptedQuery& q) {
    std::string real = ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.1")).Bytes();
    std::string forged = ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("6.6.6.6")).Bytes();
    return std::vector<ScriptedReply>{
        {ReplyBuilder(q, kAnswer).Id(q.id ^ 1).Record("", kDnsTypeA, 60, AData("6.6.6.6")).Bytes()},
        {forged, true},  // right identifier, wrong source port
        {ReplyBuilder(q, kAnswer).Question("other.example.test", kDnsTypeA).Bytes()},
        {ReplyBuilder(q, kAnswer).Question(q.name, kDnsTypeMX).Bytes()},
        {real},
        {forged},  // a second reply to an answered query
    };
  });
  UseServers(server.Entry());
  auto r = Resolver();
  std::vector<std::string> addresses;
  EXPECT_EQ(A(*r, "www.example.test", &addresses), TernDnsOutcome::Records);
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.1"}));
  EXPECT_GE(m_Events.Count(206), 3);
  addresses.clear();
  EXPECT_EQ(A(*r, "www.example.test", &addresses), TernDnsOutcome::Records);
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.1"}));
}

// Each bad reply is reported and dropped, and the good reply that follows it is
// taken.
TEST_F(ResolverTest, MalformedRepliesAreReportedAndDropped) {
  struct Case {
    const char* what;
    std::function<std::string(const ScriptedQuery&)> bad;
    int code;
  } cases[] = {
      {"short", [](const ScriptedQuery& q) { return q.raw.substr(0, 5); }, 196},
      {"not a reply", [](const ScriptedQuery& q) { return q.raw; }, 197},
      {"pointer loop",
       [](const ScriptedQuery& q) {
         std::string r = ReplyBuilder(q, kAnswer).Bytes();
         r[7] = 1;  // one answer: a name that points at itself
         size_t at = r.size();
         return r + std::string("\x01x", 2) + static_cast<char>(0xC0) + static_cast<char>(at) +
                U16(1) + U16(1) + U32(1) + U16(4) + AData("6.6.6.6");
       },
       198},
      {"A of 3 bytes",
       [](const ScriptedQuery& q) {
         return ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, "\x01\x02\x03").Bytes();
       },
       198},
      {"no question", [](const ScriptedQuery& q) { return ReplyBuilder(q, kAnswer).NoQuestion().Bytes(); },
       205},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_Events.Clear();
    ScriptedServer server(1, [&c](const ScriptedQuery& q) {
      return std::vector<ScriptedReply>{
          {c.bad(q)},
          {ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.2")).Bytes()}};
    });
    UseServers(server.Entry());
    auto r = Resolver();
    std::vector<std::string> addresses;
    EXPECT_EQ(A(*r, "www.example.test", &addresses), TernDnsOutcome::Records);
    EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.2"}));
    EXPECT_TRUE(m_Events.Has(c.code));
  }
}

// A failing server hands the query to the next one at once (the wait is long
// enough that waiting for it would give up first); when every server fails the
// look-up fails without waiting.
TEST_F(ResolverTest, AFailingServerPassesTheQueryOnAtOnce) {
  struct Case {
    unsigned flags;
    int code;
  } failures[] = {{kAnswer | 2, 200}, {kAnswer | 5, 203}, {kAnswer | 1, 199},
                  {kAnswer | 4, 202}, {kAnswer | 9, 204}, {kNoRecursion | 3, 201}};
  for (const Case& c : failures) {
    SCOPED_TRACE(c.code);
    m_Events.Clear();
    ScriptedServer failing(1, [&c](const ScriptedQuery& q) { return One(ReplyBuilder(q, c.flags).Bytes()); });
    ScriptedServer good(2, Zone);
    UseServers(failing.Entry() + "," + good.Entry());
    auto r = Resolver(20000, 20000);
    EXPECT_EQ(A(*r, "host.example.test"), TernDnsOutcome::Records);
    EXPECT_TRUE(m_Events.Has(c.code));
    // Nothing of the failure was cached: the same look-up now comes from the cache.
    EXPECT_EQ(good.Queries().size(), 1u);

    UseServers(failing.Entry() + " " + failing.Entry());
    auto alone = Resolver(20000, 20000);
    EXPECT_EQ(A(*alone, "host.example.test"), TernDnsOutcome::TempFail);
    EXPECT_EQ(failing.Queries().size(), 3u);
  }
}

TEST_F(ResolverTest, NegativeAnswersAreAnswersAndAreRemembered) {
  struct Case {
    const char* what;
    unsigned flags;
    bool withRecord;
    TernDnsOutcome outcome;
  } cases[] = {
      {"NXDOMAIN from a recursive server", kAnswer | 3, false, TernDnsOutcome::NoDomain},
      {"NXDOMAIN, authoritative", 0x8500 | 3, false, TernDnsOutcome::NoDomain},
      {"NODATA", kAnswer, false, TernDnsOutcome::NoData},
      {"NODATA, authoritative, without recursion", 0x8400, false, TernDnsOutcome::NoData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server(1, [&c](const ScriptedQuery& q) { return One(ReplyBuilder(q, c.flags).Bytes()); });
    UseServers(server.Entry());
    auto r = Resolver(20000, 20000);
    std::vector<TernDnsMx> mx{{1, "left over"}};
    EXPECT_EQ(r->LookupMx("nothing.example.test", mx), c.outcome);
    EXPECT_TRUE(mx.empty());
    EXPECT_EQ(r->LookupMx("nothing.example.test", mx), c.outcome);
    EXPECT_EQ(server.Queries().size(), 1u);
    std::vector<CTernDnsRecord> records;
    bool authoritative;
    TernDnsOutcome cached;
    ASSERT_TRUE(r->Cache().CacheLookup("nothing.example.test", kDnsTypeMX, false, records,
                                       authoritative, &cached));
    EXPECT_EQ(cached, c.outcome);
  }
}

TEST_F(ResolverTest, TruncatedRepliesAreUsedButNeverCached) {
  ScriptedServer server(1, [](const ScriptedQuery& q) {
    ReplyBuilder r(q, kAnswer | 0x0200);
    if (q.name == "big.example.test") r.Record("", kDnsTypeA, 60, AData("192.0.2.3"));
    return One(r.Bytes());
  });
  UseServers(server.Entry());
  auto r = Resolver(20000, 20000);
  EXPECT_EQ(A(*r, "big.example.test"), TernDnsOutcome::Records);
  EXPECT_EQ(A(*r, "big.example.test"), TernDnsOutcome::Records);
  EXPECT_EQ(server.Queries().size(), 2u);
  EXPECT_EQ(A(*r, "empty.example.test"), TernDnsOutcome::TempFail);
  EXPECT_EQ(r->Cache().Count(), 0u);
}

// Two servers that never answer: the query alternates between them, one wait
// apart, and gives up; a late reply after that finds nothing to write into.
TEST_F(ResolverTest, SilenceRotatesOverTheServersThenGivesUp) {
  ScriptedServer first(1, [](const ScriptedQuery&) { return std::vector<ScriptedReply>{}; });
  ScriptedServer second(2, [](const ScriptedQuery& q) {
    PlatformSleepMs(600);  // answers, but only after the look-up has given up
    return One(ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.4")).Bytes());
  });
  UseServers(first.Entry() + " " + second.Entry());
  auto r = Resolver(100, 450);
  EXPECT_EQ(A(*r, "slow.example.test"), TernDnsOutcome::TempFail);
  EXPECT_EQ(r->OutstandingCount(), 0u);
  EXPECT_EQ(r->ExchangeCount(), 0u);
  PlatformSleepMs(900);
  EXPECT_GE(first.Queries().size(), 2u);
  EXPECT_GE(second.Queries().size(), 2u);
  EXPECT_EQ(r->Cache().Count(), 0u);
}

TEST_F(ResolverTest, NamesThatCannotExistAreNeverAsked) {
  ScriptedServer server(1, Zone);
  UseServers(server.Entry());
  auto r = Resolver();
  for (const std::string& name :
       std::vector<std::string>{std::string(3000, 'x') + ".example.test", "a..example.test",
                                std::string(64, 'l') + ".test", "with space.example.test"}) {
    std::vector<TernDnsMx> mx;
    EXPECT_EQ(r->LookupMx(name, mx), TernDnsOutcome::NoDomain);
  }
  EXPECT_TRUE(server.Queries().empty());
}

TEST_F(ResolverTest, StartFailuresAndServerEntries) {
  UseServers("");
  auto r = Resolver();
  EXPECT_EQ(A(*r, "host.example.test"), TernDnsOutcome::TempFail);
  EXPECT_TRUE(m_Events.Has(195));
  EXPECT_FALSE(r->StartDns(0));
  EXPECT_TRUE(m_Events.Has(193));

  // IPv6 servers and junk are skipped; two threads starting at once start it once.
  ScriptedServer server(1, Zone);
  UseServers("::1 [fe80::1]:53 bogus 10.0.0 " + server.Entry());
  m_Events.Clear();
  auto started = Resolver();
  std::atomic<int> ok{0};
  std::thread other([&] { ok += started->StartDns(2); });
  ok += started->StartDns(3);
  other.join();
  EXPECT_EQ(ok.load(), 2);
  EXPECT_FALSE(m_Events.Has(209));
  EXPECT_EQ(A(*started, "host.example.test"), TernDnsOutcome::Records);
  started->Shutdown();
  EXPECT_FALSE(started->StartDns(1));
  EXPECT_EQ(A(*started, "host.example.test"), TernDnsOutcome::TempFail);

  int skipped = 0;
  std::vector<CTernNetAddress> servers =
      TernDnsParseServers("192.0.2.1, 192.0.2.2:5353 192.0.2.3:0 192.0.2.4:65536 192.0.2.5:+5 ::1", skipped);
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].Port(), 53);
  EXPECT_EQ(servers[1].Describe(), "[192.0.2.2].5353");
  EXPECT_EQ(skipped, 4);
  EXPECT_EQ(TernDnsParseSearchList("", "corp.example."), (std::vector<std::string>{"corp.example"}));
}

TEST_F(ResolverTest, TheSearchListIsTriedInOrder) {
  ScriptedServer server(1, [](const ScriptedQuery& q) {
    if (q.name == "mailhost.second.test")
      return One(ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.5")).Bytes());
    return One(ReplyBuilder(q, kAnswer | 3).Bytes());
  });
  UseServers(server.Entry(), "first.test second.test.");
  auto r = Resolver();
  std::vector<std::string> addresses;
  EXPECT_EQ(A(*r, "mailhost", &addresses), TernDnsOutcome::Records);
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.5"}));
  std::vector<ScriptedQuery> queries = server.Queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].name, "mailhost.first.test");
  EXPECT_EQ(queries[1].name, "mailhost.second.test");
  EXPECT_EQ(A(*r, "nohost"), TernDnsOutcome::NoDomain);
}

// Cached chains: five links are followed to their end, a sixth is a loop (207).
TEST_F(ResolverTest, CachedCNameChains) {
  auto r = Resolver();
  auto link = [&](int from, int to) {
    CTernDnsRecord c;
    c.name = "n" + std::to_string(from) + ".example.test";
    c.type = kDnsTypeCNAME;
    c.target = "n" + std::to_string(to) + ".example.test";
    c.expiry = PlatformNow() + 600;
    r->Cache().CacheAdd(c);
  };
  for (int i = 0; i < 5; ++i) link(i, i + 1);
  std::string name = "n0.example.test";
  EXPECT_TRUE(r->followCachedCNames(name, false));
  EXPECT_EQ(name, "n5.example.test");
  EXPECT_FALSE(m_Events.Has(207));
  link(5, 6);
  name = "n0.example.test";
  EXPECT_FALSE(r->followCachedCNames(name, false));
  EXPECT_EQ(name, "n0.example.test");
  EXPECT_TRUE(m_Events.Has(207));
}

// The address interface of network addresses, through the process-wide resolver.
TEST_F(ResolverTest, NetworkAddressesResolveThroughTheProcessResolver) {
  ScriptedServer server(1, Zone);
  UseServers(server.Entry());
  auto r = std::make_shared<CTernDnsResolver>();
  CTernDnsResolver::SetProcess(r);
  EXPECT_EQ(CTernDnsResolver::Process(), r);
  CTernNetAddress host("alias.example.test", 25);
  std::vector<uint32_t> addresses;
  ASSERT_TRUE(host.Resolve(addresses));
  EXPECT_EQ(FormatDotted(addresses[0]), "192.0.2.10");
  std::string name;
  EXPECT_TRUE(host.GetCanonicalName(name));
  EXPECT_EQ(name, "host.example.test");
  CTernNetAddress literal("198.51.100.1", 25);
  ASSERT_TRUE(literal.Resolve(addresses));
  EXPECT_EQ(FormatDotted(addresses[0]), "198.51.100.1");
  size_t asked = server.Queries().size();
  EXPECT_EQ(TernLookupHost("gone.example.test", addresses), 1);
  EXPECT_EQ(server.Queries().size(), asked + 1);  // the literal was never asked for
  CTernDnsResolver::SetProcess(nullptr);
  EXPECT_EQ(TernLookupHost("host.example.test", addresses), 1);
}

// authlookup: a cached or configured answer that is not authoritative is not
// enough; the name servers of the nearest enclosing domain are asked directly.
TEST_F(ResolverTest, AuthoritativeLookupAsksTheDomainsOwnServers) {
  ScriptedServer owner(2, [](const ScriptedQuery& q) {
    return One(ReplyBuilder(q, kAuthAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.77")).Bytes());
  });
  ScriptedServer recursive(1, [](const ScriptedQuery& q) {
    if (q.type == kDnsTypeNS && q.name == "zone.test")
      return One(ReplyBuilder(q, kAnswer).Record("", kDnsTypeNS, 60, WireName("ns.zone.test")).Bytes());
    if (q.type == kDnsTypeA && q.name == "ns.zone.test")
      return One(ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("127.0.0.2")).Bytes());
    if (q.type == kDnsTypeA && q.name == "www.zone.test")
      return One(ReplyBuilder(q, kAnswer).Record("", kDnsTypeA, 60, AData("192.0.2.66")).Bytes());
    return One(ReplyBuilder(q, kAnswer | 3).Bytes());  // sub.www.zone.test, www.zone.test NS
  });
  UseServers(recursive.Entry());
  auto r = Resolver();
  std::string entry = owner.Entry();
  r->SetDirectPortForTest(static_cast<uint16_t>(std::stoi(entry.substr(entry.find(':') + 1))));
  std::vector<CTernDnsRecord> records;
  ASSERT_TRUE(r->authlookup("www.zone.test", kDnsTypeA, false, records));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(FormatDotted(records[0].address), "192.0.2.77");
  EXPECT_EQ(owner.Queries().size(), 1u);
  UseServers(recursive.Entry(), "zone.test");
  auto searching = Resolver();
  searching->SetDirectPortForTest(1);  // nothing listens there: no authoritative answer
  EXPECT_FALSE(searching->authlookup("www", kDnsTypeA, true, records));
}
