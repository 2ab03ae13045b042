// A test program that drives the resolver for the system tests: it reads look-ups
// from standard input, one a line, and prints one line for each.
//
//   A|MX|CNAME|NS|PTR name   the outcome, then the records (MX by preference):
//                            "records 10:mx1.example.test 20:mx2.example.test"
//   AUTH type name           authlookup: "auth" and the records, or "noauth"
//   HOST name / ADDR a.b.c.d the address interface: "0 192.0.2.1 ..." / "0 name"
//   CACHED type name         "cached <outcome>" or "miss": the cache alone
//
// Arguments: the per-server wait and the give-up time in milliseconds. The name
// servers come from the registry file that OSTREL_REGISTRY names.
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "dns/dns_resolver.h"

namespace {

std::string Data(const CTernDnsRecord& r) {
  if (r.type == kDnsTypeA) return FormatDotted(r.address);
  if (r.type == kDnsTypeMX) return std::to_string(r.preference) + ":" + r.target;
  return r.target;
}

std::string Records(const std::vector<CTernDnsRecord>& records) {
  std::string out;
  for (const CTernDnsRecord& r : records) out += " " + Data(r);
  return out;
}

std::string Run(CTernDnsResolver& resolver, const std::string& verb, const std::string& a,
                const std::string& b) {
  std::vector<CTernDnsRecord> records;
  bool authoritative = false;
  if (verb == "AUTH")
    return resolver.authlookup(b, TernDnsTypeOf(a), false, records) ? "auth" + Records(records)
                                                                     : "noauth";
  if (verb == "CACHED") {
    TernDnsOutcome outcome;
    if (!resolver.Cache().CacheLookup(b, TernDnsTypeOf(a), false, records, authoritative, &outcome))
      return "miss";
    return std::string("cached ") + TernDnsOutcomeName(outcome);
  }
  if (verb == "HOST") {
    std::vector<uint32_t> addresses;
    std::string out = std::to_string(resolver.LookupHost(a, addresses));
    for (uint32_t address : addresses) out += " " + FormatDotted(address);
    return out;
  }
  if (verb == "ADDR") {
    uint32_t address = 0;
    std::string name;
    if (!ParseDotted(a, address)) return "bad address";
    int found = resolver.LookupName(address, name);
    return std::to_string(found) + (name.empty() ? "" : " " + name);
  }
  if (verb == "MX") {
    std::vector<TernDnsMx> exchangers;
    std::string out = TernDnsOutcomeName(resolver.LookupMx(a, exchangers));
    for (const TernDnsMx& mx : exchangers) out += " " + std::to_string(mx.preference) + ":" + mx.host;
    return out;
  }
  int32_t type = TernDnsTypeOf(verb);
  if (type == 0) return "bad verb";
  TernDnsOutcome outcome = resolver.lookup(a, type, false, records, authoritative);
  return TernDnsOutcomeName(outcome) + Records(records);
}

}  // namespace

int main(int argc, char** argv) {
  CTernDnsResolver resolver;
  if (argc == 3) resolver.SetTimingsForTest(std::atoi(argv[1]), std::atoi(argv[2]));
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string verb, a, b;
    words >> verb >> a >> b;
    if (verb.empty()) continue;
    std::cout << Run(resolver, verb, a, b) << std::endl;
  }
  return 0;
}
