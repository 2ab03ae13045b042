// Building queries and parsing replies.
#include "dns/dns_message.h"

#include <cstdio>

#include "base/ascii.h"

namespace {

constexpr size_t kMaxNameText = 253;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxNameWire = 255;
// The smallest question (root name, type, class) and record (root name, type,
// class, TTL, length).
constexpr size_t kMinQuestion = 5;
constexpr size_t kMinRecord = 11;

// Reads the packet with every access checked.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}

  size_t Size() const { return m_Size; }
  bool U16(size_t& at, uint16_t& value) const {
    if (at + 2 > m_Size) return false;
    value = static_cast<uint16_t>(m_Data[at] << 8 | m_Data[at + 1]);
    at += 2;
    return true;
  }
  bool U32(size_t& at, uint32_t& value) const {
    uint16_t high, low;
    if (!U16(at, high) || !U16(at, low)) return false;
    value = static_cast<uint32_t>(high) << 16 | low;
    return true;
  }
  uint8_t Byte(size_t at) const { return m_Data[at]; }

  // A possibly compressed name from at; at moves past its encoding here. Each
  // pointer must point before the start of the part that led to it, so every
  // jump goes further back and no loop is possible.
  bool Name(size_t& at, std::string& name) const {
    name.clear();
    size_t pos = at;
    size_t partStart = at;
    size_t wire = 1;  // the final zero length
    bool jumped = false;
    for (;;) {
      if (pos >= m_Size) return false;
      uint8_t length = m_Data[pos];
      if ((length & 0xC0) == 0xC0) {
        if (pos + 1 >= m_Size) return false;
        size_t target = static_cast<size_t>(length & 0x3F) << 8 | m_Data[pos + 1];
        if (target >= partStart || target < kTernDnsHeaderSize) return false;
        if (!jumped) at = pos + 2;
        jumped = true;
        pos = partStart = target;
        continue;
      }
      if (length & 0xC0) return false;  // the extended label types are not used
      pos++;
      if (length == 0) break;
      wire += length + 1u;
      if (wire > kMaxNameWire || pos + length > m_Size) return false;
      if (!name.empty()) name += '.';
      AppendLabel(pos, length, name);
      pos += length;
    }
    if (!jumped) at = pos;
    return true;
  }

 private:
  // A label's bytes; ".", "\" and bytes that are not printable are written as
  // "\DDD", so that a label can never pass for several or for a name we would ask.
  void AppendLabel(size_t at, size_t length, std::string& name) const {
    for (size_t i = 0; i < length; ++i) {
      uint8_t c = m_Data[at + i];
      if (c <= 0x20 || c >= 0x7f || c == '.' || c == '\\') {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\%03u", c);
        name += escaped;
      } else {
        name += static_cast<char>(c);
      }
    }
  }

  const uint8_t* m_Data;
  size_t m_Size;
};

std::string_view WithoutFinalDot(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

// The data of a record of one of the five types; false when it does not fit its
// length exactly.
bool ReadData(const Reader& in, size_t at, size_t length, CTernDnsRecord& record) {
  size_t end = at + length;
  switch (record.type) {
    case kDnsTypeA:
      if (length != 4) return false;
      // Kept in network byte order: the bytes as they stand.
      record.address = static_cast<uint32_t>(in.Byte(at)) |
                       static_cast<uint32_t>(in.Byte(at + 1)) << 8 |
                       static_cast<uint32_t>(in.Byte(at + 2)) << 16 |
                       static_cast<uint32_t>(in.Byte(at + 3)) << 24;
      return true;
    case kDnsTypeMX:
      if (length < 3 || !in.U16(at, record.preference)) return false;
      [[fallthrough]];
    default:
      return in.Name(at, record.target) && at == end;
  }
}

bool KnownType(uint16_t type) {
  return type == kDnsTypeA || type == kDnsTypeNS || type == kDnsTypeCNAME ||
         type == kDnsTypePTR || type == kDnsTypeMX;
}

// One record from at; a record of the five types in class IN goes to answers when
// answers is given.
bool ReadRecord(const Reader& in, size_t& at, std::vector<TernDnsAnswer>* answers) {
  TernDnsAnswer answer;
  uint16_t type, qclass, length;
  if (!in.Name(at, answer.record.name) || !in.U16(at, type) || !in.U16(at, qclass) ||
      !in.U32(at, answer.ttl) || !in.U16(at, length) || at + length > in.Size())
    return false;
  size_t data = at;
  at += length;
  if (qclass != kTernDnsClassIn || !KnownType(type)) return true;
  answer.record.type = type;
  if (!ReadData(in, data, length, answer.record)) return false;
  if (answers) answers->push_back(std::move(answer));
  return true;
}

}  // namespace

bool TernDnsValidName(std::string_view name) {
  name = WithoutFinalDot(name);
  if (name.empty() || name.size() > kMaxNameText) return false;
  size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f || c == '\\') return false;
    if (++label > kMaxLabel) return false;
  }
  return label > 0;
}

bool TernDnsBuildQuery(uint16_t id, std::string_view name, int32_t type, std::string& message) {
  if (!TernDnsValidName(name)) return false;
  name = WithoutFinalDot(name);
  std::string out;
  auto u16 = [&out](unsigned value) {
    out += static_cast<char>(value >> 8 & 0xFF);
    out += static_cast<char>(value & 0xFF);
  };
  u16(id);
  u16(0x0100);  // a standard query, recursion desired
  u16(1);
  u16(0);
  u16(0);
  u16(0);
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    out += static_cast<char>(dot - start);
    out.append(name.substr(start, dot - start));
    start = dot + 1;
  }
  out += '\0';
  u16(static_cast<unsigned>(type));
  u16(kTernDnsClassIn);
  message.swap(out);
  return true;
}

TernDnsParseResult TernDnsParseReply(const void* data, size_t size, TernDnsReply& reply) {
  reply = TernDnsReply();
  if (size < kTernDnsHeaderSize) return TernDnsParseResult::Short;
  Reader in(static_cast<const uint8_t*>(data), size);
  size_t at = 0;
  uint16_t flags, qdcount, ancount, nscount, arcount;
  if (!in.U16(at, reply.id) || !in.U16(at, flags) || !in.U16(at, qdcount) ||
      !in.U16(at, ancount) || !in.U16(at, nscount) || !in.U16(at, arcount))
    return TernDnsParseResult::Short;
  reply.isReply = flags & 0x8000;
  if (!reply.isReply) return TernDnsParseResult::NotReply;
  reply.opcode = flags >> 11 & 0xF;
  reply.authoritative = flags & 0x0400;
  reply.truncated = flags & 0x0200;
  reply.recursionAvailable = flags & 0x0080;
  reply.rcode = flags & 0xF;
  reply.ancount = ancount;
  // Counts that the packet cannot hold are refused before anything is read.
  size_t records = static_cast<size_t>(ancount) + nscount + arcount;
  if (qdcount * kMinQuestion + records * kMinRecord > size - kTernDnsHeaderSize)
    return TernDnsParseResult::Malformed;
  for (uint16_t i = 0; i < qdcount; ++i) {
    TernDnsQuestion question;
    if (!in.Name(at, question.name) || !in.U16(at, question.type) || !in.U16(at, question.qclass))
      return TernDnsParseResult::Malformed;
    reply.questions.push_back(std::move(question));
  }
  for (size_t i = 0; i < records; ++i)
    if (!ReadRecord(in, at, i < ancount ? &reply.answers : nullptr))
      return TernDnsParseResult::Malformed;
  return TernDnsParseResult::Ok;
}

std::vector<TernDnsAnswer> TernDnsChainAnswers(const std::vector<TernDnsAnswer>& answers,
                                               const std::string& name, std::string& end) {
  std::vector<std::string> chain{name};
  std::vector<const TernDnsAnswer*> links;
  for (int step = 0; step < kTernDnsReplyChain; ++step) {
    const TernDnsAnswer* link = nullptr;
    for (const TernDnsAnswer& a : answers)
      if (a.record.type == kDnsTypeCNAME && TernEqualsNoCase(a.record.name, chain.back())) {
        link = &a;
        break;
      }
    if (!link) break;
    bool seen = false;
    for (const std::string& n : chain) seen = seen || TernEqualsNoCase(n, link->record.target);
    if (seen) break;
    links.push_back(link);
    chain.push_back(link->record.target);
  }
  end = chain.back();
  std::vector<TernDnsAnswer> kept;
  for (const TernDnsAnswer& a : answers) {
    bool owned = false;
    for (const std::string& n : chain) owned = owned || TernEqualsNoCase(n, a.record.name);
    if (!owned) continue;
    if (a.record.type == kDnsTypeCNAME) {
      bool isLink = false;
      for (const TernDnsAnswer* l : links) isLink = isLink || l == &a;
      if (!isLink) continue;
    }
    kept.push_back(a);
  }
  return kept;
}
