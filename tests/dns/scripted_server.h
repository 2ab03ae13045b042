// Test helper: a name server on a loopback address that answers each query with
// what a script returns (any bytes, from its own port or from another), and a
// builder of reply messages. Used by the resolver's tests and its benchmark.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_message.h"
#include "net/network_address.h"
#include "net/udp_endpoint.h"
#include "platform/sync.h"

// The wire form of a dotted name (no compression).
inline std::string WireName(const std::string& name) {
  std::string out;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out += static_cast<char>(dot - start);
    out += name.substr(start, dot - start);
    start = dot + 1;
  }
  return out + '\0';
}

inline std::string U16(unsigned value) {
  return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

inline std::string U32(uint32_t value) { return U16(value >> 16) + U16(value & 0xFFFF); }

// A query as the server saw it.
struct ScriptedQuery {
  uint16_t id = 0;
  std::string name;
  uint16_t type = 0;
  std::string raw;
  uint16_t sourcePort = 0;
};

// A reply to a query: the header (the query's identifier and question unless
// changed), then records added one by one.
class ReplyBuilder {
 public:
  // flags: 0x8180 is a recursive server's plain answer; 0x8580 adds AA.
  ReplyBuilder(const ScriptedQuery& query, unsigned flags) : m_Id(query.id), m_Flags(flags) {
    if (query.raw.size() > 12) m_Question = query.raw.substr(12);
  }
  ReplyBuilder& Id(uint16_t id) {
    m_Id = id;
    return *this;
  }
  ReplyBuilder& Question(const std::string& name, unsigned type) {
    m_Question = WireName(name) + U16(type) + U16(1);
    return *this;
  }
  ReplyBuilder& NoQuestion() {
    m_Question.clear();
    return *this;
  }
  // A record; owner "" stands for a pointer to the question's name.
  ReplyBuilder& Record(const std::string& owner, unsigned type, uint32_t ttl,
                       const std::string& data) {
    m_Records += (owner.empty() ? std::string("\xC0\x0C", 2) : WireName(owner)) + U16(type) +
                 U16(1) + U32(ttl) + U16(static_cast<unsigned>(data.size())) + data;
    m_Count++;
    return *this;
  }
  std::string Bytes() const {
    return U16(m_Id) + U16(m_Flags) + U16(m_Question.empty() ? 0 : 1) + U16(m_Count) + U16(0) +
           U16(0) + m_Question + m_Records;
  }

 private:
  uint16_t m_Id;
  unsigned m_Flags;
  std::string m_Question;
  std::string m_Records;
  unsigned m_Count = 0;
};

inline std::string AData(const std::string& dotted) {
  uint32_t a = 0;
  if (!ParseDotted(dotted, a)) a = 0;
  return std::string(reinterpret_cast<const char*>(&a), 4);
}

inline std::string MxData(unsigned preference, const std::string& host) {
  return U16(preference) + WireName(host);
}

struct ScriptedReply {
  std::string bytes;
  bool fromOtherPort = false;  // sent from another socket of the same address
};

class ScriptedServer {
 public:
  using Script = std::function<std::vector<ScriptedReply>(const ScriptedQuery&)>;

  // Serves on 127.0.0.n at a port of the system's choosing.
  ScriptedServer(int n, Script script) : m_Script(std::move(script)) {
    uint32_t address = 0;
    if (!ParseDotted("127.0.0." + std::to_string(n), address)) address = 0;
    m_Endpoint.Bind(CTernNetAddress(address, 0));
    m_Other.Bind(CTernNetAddress(address, 0));
    m_Endpoint.LocalName(m_Address);
    m_Thread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    m_Stop = true;
    CTernUdpEndpoint waker;
    waker.Bind(CTernNetAddress());
    waker.SendTo("", 0, &m_Address);
    m_Thread.join();
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // "127.0.0.n:port", as a NameServer entry names it.
  std::string Entry() {
    std::string text;
    m_Address.GetFirstAddressText(text);
    return text + ":" + std::to_string(m_Address.Port());
  }
  std::vector<ScriptedQuery> Queries() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Queries;
  }

 private:
  void Serve() {
    char buffer[1024];
    while (!m_Stop) {
      CTernNetAddress from;
      long n = m_Endpoint.ReceiveFrom(buffer, sizeof buffer, 1, &from);
      if (n <= 0 || m_Stop) continue;
      ScriptedQuery query;
      query.raw.assign(buffer, static_cast<size_t>(n));
      query.sourcePort = from.Port();
      TernDnsReply parsed;
      // The query parses as a reply would once its reply bit is set.
      std::string asReply = query.raw;
      if (asReply.size() > 2) asReply[2] = static_cast<char>(asReply[2] | 0x80);
      if (TernDnsParseReply(asReply.data(), asReply.size(), parsed) == TernDnsParseResult::Ok &&
          !parsed.questions.empty()) {
        query.id = parsed.id;
        query.name = parsed.questions[0].name;
        query.type = parsed.questions[0].type;
      }
      {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Queries.push_back(query);
      }
      for (const ScriptedReply& reply : m_Script(query)) {
        CTernUdpEndpoint& out = reply.fromOtherPort ? m_Other : m_Endpoint;
        out.SendTo(reply.bytes.data(), static_cast<long>(reply.bytes.size()), &from);
      }
    }
  }

  Script m_Script;
  CTernUdpEndpoint m_Endpoint, m_Other;
  CTernNetAddress m_Address;
  std::atomic<bool> m_Stop{false};
  std::mutex m_Mutex;
  std::vector<ScriptedQuery> m_Queries;
  std::thread m_Thread;
};
