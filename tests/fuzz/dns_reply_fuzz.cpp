// Fuzz target: the DNS reply parser, which reads datagrams from the network. For any
// bytes it must not crash, read out of bounds or hang, and what it accepts must hold
// together:
//   - parsing is deterministic;
//   - a reply it accepts keeps no more answers than the header counts, names of
//     escaped labels only (no empty label, no name that ends in "."), and A, MX
//     and name data of the types they claim;
//   - the answers chosen for the question are a subset of the answers, and the
//     chain's end is the question's name or a CNAME target among them;
//   - every answer goes into a small cache and comes out of it again, and prints
//     as a trace line that ends its line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ascii.h"
#include "dns/dns_cache.h"
#include "dns/dns_message.h"
#include "dns/dns_record.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool WellFormedName(const std::string& name) {
  if (name.empty()) return true;  // the root
  if (name.front() == '.' || name.back() == '.') return false;
  return name.find("..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TernDnsReply reply, again;
  TernDnsParseResult result = TernDnsParseReply(data, size, reply);
  Check(TernDnsParseReply(data, size, again) == result);
  if (result != TernDnsParseResult::Ok) return 0;
  Check(size >= kTernDnsHeaderSize && reply.isReply);
  Check(reply.answers.size() <= static_cast<size_t>(reply.ancount));
  Check(again.answers.size() == reply.answers.size());
  for (const TernDnsQuestion& q : reply.questions) Check(WellFormedName(q.name));
  CTernDnsCache cache(64);
  for (const TernDnsAnswer& a : reply.answers) {
    const CTernDnsRecord& r = a.record;
    Check(WellFormedName(r.name) && WellFormedName(r.target));
    Check(r.type == kDnsTypeA || r.type == kDnsTypeNS || r.type == kDnsTypeCNAME ||
          r.type == kDnsTypePTR || r.type == kDnsTypeMX);
    Check(r.type != kDnsTypeA || r.target.empty());
    CTernDnsRecord kept = r;
    kept.expiry = 1 + a.ttl;
    std::string line = DumpRecord(kept, 1);
    Check(!line.empty() && line.back() == '\n');
    cache.CacheAdd(kept);
  }
  if (!reply.questions.empty()) {
    std::string end;
    const std::string& name = reply.questions[0].name;
    std::vector<TernDnsAnswer> chain = TernDnsChainAnswers(reply.answers, name, end);
    Check(chain.size() <= reply.answers.size());
    bool known = TernEqualsNoCase(end, name);
    for (const TernDnsAnswer& a : chain)
      known = known || (a.record.type == kDnsTypeCNAME && TernEqualsNoCase(a.record.target, end));
    Check(known);
  }
  cache.CleanCache();
  Check(cache.Count() <= reply.answers.size());
  return 0;
}
