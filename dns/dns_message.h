// DNS messages on the wire: the check of a name before it is asked for, the query
// the resolver sends, and the parser of replies, which takes every byte as hostile:
// every offset is checked, compression pointers must point back before the name
// part that uses them, names stay within 255 bytes, and record data must have the
// length its type needs. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dns/dns_record.h"

// UDP messages are at most this long, and a header is this long.
constexpr size_t kTernDnsMaxMessage = 512;
constexpr size_t kTernDnsHeaderSize = 12;
constexpr uint16_t kTernDnsClassIn = 1;

// Whether name may be asked for: one or more labels of 1 to 63 bytes separated by
// ".", at most 253 bytes in all (one final "." is allowed and not counted), and no
// byte that is a blank, a control character, "\" or above 126. A name from mail
// that fails this is answered without a query.
[[nodiscard]] bool TernDnsValidName(std::string_view name);

// The query message: the identifier, recursion desired, one question for name
// (without a final ".") with type and class IN. False (message untouched) when
// the name is not valid.
[[nodiscard]] bool TernDnsBuildQuery(uint16_t id, std::string_view name, int32_t type,
                                     std::string& message);

struct TernDnsQuestion {
  std::string name;  // as in the reply, without a final "."
  uint16_t type = 0;
  uint16_t qclass = 0;
};

// An answer record with its time-to-live as the reply gives it (the record's
// expiry is left 0; the resolver computes it).
struct TernDnsAnswer {
  CTernDnsRecord record;
  uint32_t ttl = 0;
};

struct TernDnsReply {
  uint16_t id = 0;
  bool isReply = false;
  int opcode = 0;
  bool authoritative = false;       // AA
  bool truncated = false;           // TC
  bool recursionAvailable = false;  // RA
  int rcode = 0;
  std::vector<TernDnsQuestion> questions;
  // The answer section's records of the types A, NS, CNAME, PTR and MX in class
  // IN, in order; others are checked and passed over. The authority and
  // additional sections are checked the same way and not kept.
  std::vector<TernDnsAnswer> answers;
  int ancount = 0;  // the answer section's count as the header gives it
};

enum class TernDnsParseResult {
  Ok,
  Short,      // fewer bytes than a header
  NotReply,   // the reply bit is clear
  Malformed,  // anything else that does not hold together
};

// Parses a reply. On anything but Ok the reply's contents are not to be used.
TernDnsParseResult TernDnsParseReply(const void* data, size_t size, TernDnsReply& reply);

// The answers that belong to the question name: those owned by name and by the
// names its CNAME records lead to within this reply (in the order they appear,
// at most kTernDnsReplyChain links, never back to a name already reached). The
// chain's last name goes to end (name itself when there is no CNAME).
constexpr int kTernDnsReplyChain = 8;
std::vector<TernDnsAnswer> TernDnsChainAnswers(const std::vector<TernDnsAnswer>& answers,
                                               const std::string& name, std::string& end);
