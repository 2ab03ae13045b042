// The system's own DNS resolver: queries over UDP to the name servers of the TCP/IP
// parameters (dns/dns_settings.h), answers kept in a cache (dns/dns_cache.h), and
// the look-ups the rest of the system needs: mail exchangers and addresses for the
// delivery engine, host and reverse look-ups for network addresses.
//
// It is a UDP server: every query goes out on an exchange of its own (a socket
// connected to the server asked, from a random local port) with a random 16-bit
// identifier, and the server's worker threads (the "dns grunt" threads) parse each
// reply, match it to the outstanding request with that identifier, exchange and
// question, cache its records and wake the request's waiter. A background thread
// cleans the cache every 300 seconds.
//
// Look-ups tell one of four outcomes (dns/dns_record.h): records; NODATA; NXDOMAIN;
// a temporary failure (no server answered within the give-up time, or every server
// failed). A query goes to the first server and moves to the next after 4 seconds
// without a reply, or at once after a server failure (SERVFAIL, REFUSED, ...),
// until 40 seconds have passed or every server has failed.
//
// Every look-up starts the resolver when nothing has (one worker thread). All
// operations are safe from any thread. Shutdown() (or the destructor) wakes every
// waiter with a temporary failure and stops the threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/lock.h"
#include "dns/dns_cache.h"
#include "dns/dns_message.h"
#include "dns/dns_record.h"
#include "net/address_resolver.h"
#include "net/network_address.h"
#include "net/udp_server.h"

// A mail exchanger: its preference (lower is tried first) and host name.
struct TernDnsMx {
  uint16_t preference = 0;
  std::string host;
};

// Waits of a query: the time given each server before the next is asked, and the
// time after which the look-up gives up.
constexpr int kTernDnsRetryMs = 4000;
constexpr int kTernDnsGiveUpMs = 40000;
// Longest a record is kept, whatever its TTL says, and how long an answer without
// data is remembered.
constexpr uint32_t kTernDnsMaxTtl = 86400;
constexpr uint32_t kTernDnsNegativeTtl = 300;
// Queries waiting for a reply at once, over all threads; more fail at once.
constexpr size_t kTernDnsMaxOutstanding = 1024;

class CTernDnsResolver : public CTernUdpServer, public CTernAddressResolver {
 public:
  // A resolver with its own cache of at most cacheLimit records; it starts on
  // StartDns() or with the first look-up.
  explicit CTernDnsResolver(size_t cacheLimit = kTernDnsCacheLimit);
  ~CTernDnsResolver() override;

  // The process-wide resolver, which the start-up installs (null before and after):
  // the address resolver of network addresses (net/address_resolver.h).
  static std::shared_ptr<CTernDnsResolver> Process();
  static void SetProcess(std::shared_ptr<CTernDnsResolver> resolver);

  // Starts the resolver once with threads worker threads; later calls return true
  // at once, and two threads starting it together start it once. Fails with 193
  // (threads below 1), 195 (no usable name server) or the UDP server's messages;
  // false as well after Shutdown().
  bool StartDns(int threads);

  // Looks up name and type. With useSearchList and a name without a dot, the name
  // is tried with each search domain appended in turn, the first with records
  // winning (when every one fails: a temporary failure if any had one, else NODATA
  // if any had that, else NXDOMAIN). The cache answers when it can, following the
  // CNAME records it knows; otherwise a query is sent. result receives the
  // records of the type, owned by the end of the name's CNAME chain (for type
  // CNAME: the name's CNAME record); authoritative tells whether they came from
  // an authoritative answer. A name that cannot be a domain name (see
  // TernDnsValidName) is NXDOMAIN without a query.
  TernDnsOutcome lookup(const std::string& name, int32_t type, bool useSearchList,
                        std::vector<CTernDnsRecord>& result, bool& authoritative);

  // Like lookup, but true only with an authoritative answer: from the cache, from
  // the configured servers, or else from the name servers of the nearest enclosing
  // domain that has NS records, asked directly.
  bool authlookup(const std::string& name, int32_t type, bool useSearchList,
                  std::vector<CTernDnsRecord>& result);

  // Replaces name by the end of its CNAME chain as far as the cache knows it (with
  // useSearchList and a name without a dot: by the first name + "." + search
  // domain that the cache knows a CNAME for). False, with message 207, when the
  // chain has more than 5 links (a loop, most likely); name is then unchanged.
  bool followCachedCNames(std::string& name, bool useSearchList);

  // Asks for name's CNAME record; when there is one, name becomes its target and
  // the result is true.
  bool followCName(std::string& name);

  // The mail exchangers of domain (its CNAME chain followed), by preference, ties
  // in the order of the answer. For the delivery engine: NXDOMAIN is a permanent
  // failure, a temporary failure a reason to try later, NODATA a reason to use the
  // domain's own address.
  TernDnsOutcome LookupMx(const std::string& domain, std::vector<TernDnsMx>& exchangers);

  // The IPv4 addresses (network byte order) of host, CNAME records followed, in
  // the order of the answer; the search list is used for a host without a dot.
  TernDnsOutcome LookupAddresses(const std::string& host, std::vector<uint32_t>& addresses);

  // The address resolver of network addresses (net/address_resolver.h): 0 on
  // success. A dotted IPv4 text is no name and fails at once without a query, so
  // that the caller uses it as the address it is.
  int LookupHost(const std::string& name, std::vector<uint32_t>& addresses) override;
  int LookupName(uint32_t address, std::string& name) override;

  // Wakes every waiting look-up (a temporary failure), refuses new ones, stops
  // the threads and empties the cache. Idempotent.
  void Shutdown();

  CTernDnsCache& Cache() { return m_Cache; }
  // Queries waiting for a reply now.
  size_t OutstandingCount() const;

  // Tests: the per-server wait and the give-up time in milliseconds, and the port
  // on which name servers found through NS records are asked (53).
  void SetTimingsForTest(int retryMs, int giveUpMs);
  void SetDirectPortForTest(uint16_t port);

 protected:
  void HandleDatagram(const std::string& datagram, CTernNetAddress& sender, uint64_t exchange,
                      int number) override;
  // The cache cleaner: CleanCache every 300 seconds until the resolver stops.
  void Background(int number) override;

 private:
  struct Request;
  // One query on the wire, under its identifier.
  struct Pending {
    std::shared_ptr<Request> request;
    uint64_t exchange = 0;    // the exchange it went out on
    uint32_t server = 0;      // the server asked and its port
    uint16_t port = 0;
    bool configured = false;  // a configured server (not one found through NS records)
    bool matched = false;     // its reply has come: later copies are foreign
  };
  // What one query to a set of servers gave.
  struct Answer {
    TernDnsOutcome outcome = TernDnsOutcome::TempFail;
    std::vector<CTernDnsRecord> records;
    bool authoritative = false;
    std::string end;  // the end of the name's CNAME chain in the reply
  };

  bool EnsureStarted();
  // One name, no search list: the cache, then a query; follows a CNAME chain that
  // a reply left open (no data at its end) by asking for the end.
  TernDnsOutcome LookupOne(const std::string& name, int32_t type,
                           std::vector<CTernDnsRecord>& result, bool& authoritative);
  bool FromCache(const std::string& name, int32_t type, bool authoritativeOnly,
                 std::vector<CTernDnsRecord>& result, bool& authoritative,
                 TernDnsOutcome& outcome);
  // Sends the query to servers in turn (see the file comment) within giveUpMs.
  Answer Query(const std::string& name, int32_t type, const std::vector<CTernNetAddress>& servers,
               bool configured, int giveUpMs);
  // Registers and sends one attempt; its identifier, or false when it could not go.
  bool SendAttempt(const std::shared_ptr<Request>& request, const CTernNetAddress& server,
                   bool configured, uint16_t& id);
  void EndAttempt(uint16_t id);
  bool AuthSingle(const std::string& name, int32_t type, std::vector<CTernDnsRecord>& result);
  // Whether the reply's response code is accepted (reporting those that are not).
  bool AcceptCode(const TernDnsReply& reply, bool configured, const std::string& from);
  // Caches what an accepted reply says about the request and fills answer.
  void TakeReply(const TernDnsReply& reply, const Request& request, Answer& answer);
  void AddToCache(const CTernDnsRecord& record, uint32_t ttl);
  std::vector<CTernNetAddress> Servers() const;
  std::vector<std::string> SearchList() const;

  CTernDnsCache m_Cache;

  mutable CTernLock m_StartLock;  // serialises StartDns; guards the settings below
  std::vector<CTernNetAddress> m_Servers;
  std::vector<std::string> m_SearchList;
  std::atomic<bool> m_DnsStarted{false};
  std::atomic<bool> m_Closing{false};

  mutable CTernLock m_RequestLock;  // guards m_Pending and every Request's reply fields
  std::unordered_map<uint16_t, Pending> m_Pending;

  std::atomic<int> m_RetryMs{kTernDnsRetryMs};
  std::atomic<int> m_GiveUpMs{kTernDnsGiveUpMs};
  std::atomic<uint16_t> m_DirectPort{53};
};
