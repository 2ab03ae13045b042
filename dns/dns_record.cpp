// Record comparison, type names and the trace line of a record.
#include "dns/dns_record.h"

#include "base/ascii.h"
#include "net/network_address.h"

namespace {

struct TypeName {
  int32_t type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {{kDnsTypeA, "A"},
                                   {kDnsTypeNS, "NS"},
                                   {kDnsTypeCNAME, "CNAME"},
                                   {kDnsTypePTR, "PTR"},
                                   {kDnsTypeMX, "MX"}};

std::string Absolute(const std::string& name) { return name + "."; }

// text filled with blanks to width, on the right (left-aligned) or on the left.
std::string Padded(const std::string& text, size_t width, bool left) {
  if (text.size() >= width) return text;
  std::string fill(width - text.size(), ' ');
  return left ? text + fill : fill + text;
}

}  // namespace

const char* TernDnsOutcomeName(TernDnsOutcome outcome) {
  switch (outcome) {
    case TernDnsOutcome::Records:
      return "records";
    case TernDnsOutcome::NoData:
      return "NODATA";
    case TernDnsOutcome::NoDomain:
      return "NXDOMAIN";
    case TernDnsOutcome::TempFail:
      break;
  }
  return "TEMPFAIL";
}

std::string TernDnsTypeName(int32_t type) {
  for (const TypeName& t : kTypeNames)
    if (t.type == type) return t.name;
  return std::to_string(type);
}

int32_t TernDnsTypeOf(std::string_view name) {
  for (const TypeName& t : kTypeNames)
    if (TernEqualsNoCase(name, t.name)) return t.type;
  return 0;
}

bool CTernDnsRecord::SameData(const CTernDnsRecord& other) const {
  if (type != other.type || !TernEqualsNoCase(name, other.name)) return false;
  if (negative || other.negative) return negative == other.negative;
  switch (type) {
    case kDnsTypeA:
      return address == other.address;
    case kDnsTypeMX:
      return preference == other.preference && TernEqualsNoCase(target, other.target);
    default:
      return TernEqualsNoCase(target, other.target);
  }
}

std::string DumpRecord(const CTernDnsRecord& record, time_t now) {
  if (record.type == 0) return "; invalid entry\n";
  std::string type = TernDnsTypeName(record.type);
  std::string data;
  if (!record.negative) {
    if (record.type == kDnsTypeA) {
      data = FormatDotted(record.address);
    } else {
      data = Absolute(record.target);
      if (record.type == kDnsTypeMX) type += " " + std::to_string(record.preference);
    }
  }
  std::string ttl = "0";
  std::string comments;
  bool commented = false;
  if (record.expiry != 0) {
    long left = static_cast<long>(record.expiry - now);
    if (left > 0) {
      ttl = std::to_string(left);
    } else {
      comments += "; expired " + std::to_string(-left) + "s ago";
      commented = true;
    }
  }
  if (record.negative) {
    comments += comments.empty() ? "" : " ";
    comments += record.negativeKind == TernDnsOutcome::NoData ? "; nodata" : "; nxdomain";
    commented = true;
  }
  if (record.authoritative) {
    comments += comments.empty() ? "" : " ";
    comments += "; auth";
  }
  // The line "%-*s  %6s  IN %-6s  %s\t%s\n": owner, TTL, type, data, comments.
  std::string line = Padded(Absolute(record.name), commented ? 22 : 24, true);
  line += "  " + Padded(ttl, 6, false) + "  IN " + Padded(type, 6, true) + "  " + data + "\t" +
          comments + "\n";
  return (commented ? "; " : "") + line;
}
