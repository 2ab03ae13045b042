// One resource record as the resolver hands it out and its cache keeps it, the
// record types the system reads, the four outcomes of a look-up, and the trace line
// of a record. Records are plain values: copies are independent.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// The record types read from replies; every other type is passed over.
constexpr int32_t kDnsTypeA = 1;
constexpr int32_t kDnsTypeNS = 2;
constexpr int32_t kDnsTypeCNAME = 5;
constexpr int32_t kDnsTypePTR = 12;
constexpr int32_t kDnsTypeMX = 15;

// What a look-up found out about a name and type.
enum class TernDnsOutcome {
  Records,   // records of the type (the result list holds them)
  NoData,    // the name exists but has no records of the type
  NoDomain,  // the name does not exist (NXDOMAIN), or cannot be a domain name
  TempFail,  // no answer could be had now (time-out, server failure): try later
};

// "records", "NODATA", "NXDOMAIN" or "TEMPFAIL".
const char* TernDnsOutcomeName(TernDnsOutcome outcome);
// "A", "NS", "CNAME", "PTR", "MX", or the number for any other type.
std::string TernDnsTypeName(int32_t type);
// The type of a name from TernDnsTypeName's list (ignoring case); 0 when unknown.
int32_t TernDnsTypeOf(std::string_view name);

struct CTernDnsRecord {
  std::string name;  // the owner name as received, without a final "."
  int32_t type = 0;  // one of the types above; 0 marks an invalid record
  // When the record stops being valid (receipt + TTL); 0 never counts as valid.
  time_t expiry = 0;
  bool authoritative = false;  // it came from an authoritative answer
  // A negative record stands for an answer without data for name and type:
  // negativeKind tells NoData from NoDomain.
  bool negative = false;
  TernDnsOutcome negativeKind = TernDnsOutcome::NoDomain;
  uint32_t address = 0;     // A: the IPv4 address, network byte order
  uint16_t preference = 0;  // MX: the preference (lower first)
  std::string target;       // NS, CNAME, PTR, MX: the domain name, without a final "."

  // Same name (ignoring case), type and data: the address for A, the preference
  // and target for MX, the target (ignoring case) for the others. Two negative
  // records of one name and type hold the same data.
  bool SameData(const CTernDnsRecord& other) const;
};

// The trace line of a record at the time now, a zone-file line:
//   "%-*s  %6s  IN %-6s  %s\t%s\n" (name width, owner with a final ".", TTL left,
//   type, data, comments)
// with "; expired %ds ago", "; nxdomain" (or "; nodata") and "; auth" as comments;
// an expired or negative record's line is commented out ("; " in front and a name
// width of 22 instead of 24). A record of type 0 gives "; invalid entry\n".
std::string DumpRecord(const CTernDnsRecord& record, time_t now);
