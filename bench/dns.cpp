// Benchmark: the DNS resolver. Cached look-ups a second from 1, 4 and 16 threads
// over 10,000 cached names; the latency of first look-ups (cache misses) against a
// name server on loopback (dnsmasq when installed, else a small responder in this
// process); and the pause that CleanCache makes with 100,000 records, half of them
// expired and none expired.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_resolver.h"
#include "platform/clock.h"
#include "platform/registry_file.h"
#include "tests/dns/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

CTernDnsRecord Address(const std::string& name, time_t expiry) {
  CTernDnsRecord r;
  r.name = name;
  r.type = kDnsTypeA;
  r.expiry = expiry;
  if (!ParseDotted("10.0.0.1", r.address)) r.address = 0;
  return r;
}

void CachedLookups() {
  CTernDnsResolver resolver;
  constexpr int kNames = 10000;
  for (int i = 0; i < kNames; ++i)
    resolver.Cache().CacheAdd(Address("host" + std::to_string(i) + ".example.test", PlatformNow() + 3600));
  for (int threads : {1, 4, 16}) {
    std::atomic<long> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> pool;
    auto start = Clock::now();
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        std::vector<CTernDnsRecord> records;
        bool authoritative;
        long n = 0;
        for (int i = t; !stop; i = (i + 7919) % kNames, ++n)
          resolver.lookup("host" + std::to_string(i) + ".example.test", kDnsTypeA, false, records,
                          authoritative);
        done += n;
      });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stop = true;
    for (std::thread& th : pool) th.join();
    std::printf("cached look-ups, %2d threads: %10.0f a second\n", threads,
                done / Seconds(Clock::now() - start));
  }
}

// dnsmasq on a free loopback port answering every name under bench.test; its pid, or 0.
pid_t StartDnsmasq(uint16_t port) {
  const char* path = "/usr/sbin/dnsmasq";
  if (access(path, X_OK) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    std::string portArg = "--port=" + std::to_string(port);
    execl(path, "dnsmasq", "--keep-in-foreground", portArg.c_str(), "--listen-address=127.0.0.1",
          "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null", "--pid-file=",
          "--user=root", "--group=root", "--log-facility=/dev/null", "--address=/bench.test/192.0.2.1",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void FirstLookups(const std::string& dir) {
  std::unique_ptr<ScriptedServer> responder;
  uint16_t port = 0;
  {
    uint32_t loopback = 0;
    if (!ParseDotted("127.0.0.1", loopback)) return;
    CTernUdpEndpoint probe;
    probe.Bind(CTernNetAddress(loopback, 0));
    CTernNetAddress bound;
    probe.LocalName(bound);
    port = bound.Port();
  }
  pid_t dnsmasq = StartDnsmasq(port);
  std::string entry = "127.0.0.1:" + std::to_string(port);
  const char* server = "dnsmasq";
  if (dnsmasq == 0) {
    server = "a responder in this process";
    responder = std::make_unique<ScriptedServer>(1, [](const ScriptedQuery& q) {
      return std::vector<ScriptedReply>{
          {ReplyBuilder(q, 0x8180).Record("", kDnsTypeA, 60, AData("192.0.2.1")).Bytes()}};
    });
    entry = responder->Entry();
  }
  std::string registry = dir + "/registry";
  FILE* f = std::fopen(registry.c_str(), "w");
  std::fprintf(f, "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"
                  "NameServer=%s\n", entry.c_str());
  std::fclose(f);
  PlatformSetRegistryFile(registry);
  CTernDnsResolver resolver;
  resolver.SetTimingsForTest(1000, 3000);
  std::vector<uint32_t> addresses;
  // Until the server answers (it may still be starting), then one to start the threads.
  for (int i = 0; i < 50 && resolver.LookupAddresses("warm.bench.test", addresses) !=
                                 TernDnsOutcome::Records; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  constexpr int kLookups = 500;
  std::vector<double> times;
  for (int i = 0; i < kLookups; ++i) {
    auto start = Clock::now();
    TernDnsOutcome outcome = resolver.LookupAddresses("n" + std::to_string(i) + ".bench.test", addresses);
    times.push_back(Seconds(Clock::now() - start) * 1e6);
    if (outcome != TernDnsOutcome::Records) std::printf("look-up %d: %s\n", i, TernDnsOutcomeName(outcome));
  }
  std::sort(times.begin(), times.end());
  std::printf("first look-ups against %s: median %.0f us, 90th percentile %.0f us, max %.0f us\n",
              server, times[times.size() / 2], times[times.size() * 9 / 10], times.back());
  resolver.Shutdown();
  if (dnsmasq > 0) {
    kill(dnsmasq, SIGTERM);
    waitpid(dnsmasq, nullptr, 0);
  }
  PlatformSetRegistryFile("");
}

void CleaningPause() {
  constexpr int kRecords = 100000;
  for (bool halfExpired : {true, false}) {
    CTernDnsCache cache(kRecords);
    time_t now = PlatformNow();
    for (int i = 0; i < kRecords; ++i)
      cache.CacheAdd(Address("r" + std::to_string(i) + ".example.test",
                             halfExpired && i % 2 ? now - 1 : now + 3600));
    auto start = Clock::now();
    TernDnsCleanCounts counts = cache.CleanCache();
    std::printf("CleanCache over %d records, %6ld expired: %.1f ms\n", kRecords, counts.expired,
                Seconds(Clock::now() - start) * 1e3);
  }
}

}  // namespace

int main() {
  char dir[] = "/tmp/ostrel-bench-dns-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  CachedLookups();
  FirstLookups(dir);
  CleaningPause();
  std::string registry = std::string(dir) + "/registry";
  unlink(registry.c_str());
  rmdir(dir);
  return 0;
}
