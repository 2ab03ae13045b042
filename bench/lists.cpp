// Benchmark: CheckList look-ups per second against a lists file of 100,000
// addresses, and the load of that file.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/file_ops.h"
#include "config/attribute_table.h"
#include "config/lists.h"
#include "bench/timing.h"

int main() {
  constexpr int kAddresses = 100000;
  constexpr int kDomains = 1000;
  constexpr int kLookups = 200000;
  char dir[] = "/tmp/ostrel-bench-lists-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string path = std::string(dir) + "/lists";

  // 99,000 user addresses and 1,000 domain patterns, in byte order as the file
  // keeps them.
  std::vector<std::string> addresses;
  for (int i = 0; i < kAddresses - kDomains; ++i) {
    char address[64];
    snprintf(address, sizeof address, "user%05d@domain%03d.example", i, i % kDomains);
    addresses.push_back(address);
  }
  for (int d = 0; d < kDomains; ++d) addresses.push_back("@domain" + std::to_string(1000 + d) + ".example");
  std::sort(addresses.begin(), addresses.end());
  std::string text = "# 2 0\r\n";
  for (size_t i = 0; i < addresses.size(); ++i)
    text += addresses[i] + "\x1C" + (i % 3 ? "customers\x1C" : "customers\x1C" "blocked\x1C") + "\r\n";
  FILE* out = fopen(path.c_str(), "wb");
  if (!out || fwrite(text.data(), 1, text.size(), out) != text.size() || fclose(out) != 0) return 1;

  ListStore store(path);
  auto start = std::chrono::steady_clock::now();
  if (store.Load(1) != 0) {
    fprintf(stderr, "load failed\n");
    return 1;
  }
  double load = Seconds(start);

  AttributeTable settings;
  settings.Set("SLcustomers", "A");
  settings.Set("SLblocked", "D");
  // Look-ups of listed users, users covered by a domain pattern, and addresses
  // that no line covers, in equal parts.
  std::mt19937 random(1);
  std::vector<std::string> queries;
  for (int i = 0; i < kLookups; ++i) {
    char address[80];
    switch (i % 3) {
      case 0: snprintf(address, sizeof address, "user%05u@domain%03u.example",
                       static_cast<unsigned>(random() % (kAddresses - kDomains)), 0u); break;
      case 1: snprintf(address, sizeof address, "someone%u@domain%u.example",
                       static_cast<unsigned>(random() % 100000), 1000 + static_cast<unsigned>(random() % kDomains)); break;
      default: snprintf(address, sizeof address, "nobody%u@elsewhere%u.example",
                        static_cast<unsigned>(random() % 100000), static_cast<unsigned>(random() % 1000)); break;
    }
    queries.push_back(address);
  }
  int answers[5] = {};
  start = std::chrono::steady_clock::now();
  double cpuStart = CpuSeconds();
  for (const auto& query : queries) answers[store.CheckList(query, settings, 'S')]++;
  double checksCpu = CpuSeconds() - cpuStart;
  double checks = Seconds(start);

  start = std::chrono::steady_clock::now();
  cpuStart = CpuSeconds();
  long found = 0;
  for (int round = 0; round < 5; ++round)
    for (const auto& address : addresses) found += store.FindEntry(address) >= 0;
  double findsCpu = CpuSeconds() - cpuStart;
  double finds = Seconds(start);

  printf("lists file of %d addresses: load %.1f ms\n", kAddresses, load * 1000);
  printf("CheckList: %.0f look-ups/s of CPU time (%.0f elapsed; %d look-ups, answers 0:%d 2:%d 4:%d)\n",
         kLookups / checksCpu, kLookups / checks, kLookups, answers[0], answers[2], answers[4]);
  printf("FindEntry: %.0f look-ups/s of CPU time (%.0f elapsed; %ld found of %zu)\n",
         found / findsCpu, found / finds, found, addresses.size() * 5);
  unlink(path.c_str());
  rmdir(dir);
  return 0;
}
