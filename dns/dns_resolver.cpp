// The resolver's machinery: start, the outstanding requests, sending queries and
// waiting for them, and the grunt threads' handling of replies.
#include "dns/dns_resolver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "dns/dns_settings.h"
#include "dns/dns_trace.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "platform/sync.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCleanSeconds = 300;
// Draws of a free identifier before an attempt gives up (with at most
// kTernDnsMaxOutstanding of 65536 in use, 16 misses in a row do not happen).
constexpr int kIdDraws = 16;

uint32_t FirstAddress(CTernNetAddress address) {
  std::vector<uint32_t> addresses;
  return address.Resolve(addresses) ? addresses.front() : 0;
}

// TTLs with the top bit set are nonsense (and 0 by the rules); the rest are capped.
uint32_t UsableTtl(uint32_t ttl) {
  if (ttl & 0x80000000u) return 0;
  return std::min(ttl, kTernDnsMaxTtl);
}

}  // namespace

// A look-up waiting for its reply. The reply fields are guarded by the resolver's
// m_RequestLock; the grunt that matches a reply fills them and sets the event.
struct CTernDnsResolver::Request {
  std::string name;
  int32_t type = 0;
  PlatformEvent event{false};
  bool answered = false;  // answer holds the reply's outcome
  bool failed = false;    // the server of attempt failedId failed; the waiter moves on
  uint16_t failedId = 0;
  Answer answer;
};

CTernDnsResolver::CTernDnsResolver(size_t cacheLimit)
    : CTernUdpServer("DNS"), m_Cache(cacheLimit) {}

CTernDnsResolver::~CTernDnsResolver() { Shutdown(); }

std::shared_ptr<CTernDnsResolver> CTernDnsResolver::Process() {
  return std::dynamic_pointer_cast<CTernDnsResolver>(TernAddressResolver());
}

void CTernDnsResolver::SetProcess(std::shared_ptr<CTernDnsResolver> resolver) {
  TernSetAddressResolver(std::move(resolver));
}

bool CTernDnsResolver::StartDns(int threads) {
  CTernLockGuard guard(m_StartLock);
  if (m_Closing) return false;
  if (m_DnsStarted) return true;
  if (threads < 1) {
    TernReportEventF(TernEventType::Error, kMsgDnsStartArguments, threads);
    return false;
  }
  TernDnsSettings settings = TernDnsReadSettings();
  if (settings.servers.empty()) {
    TernReportEvent(TernEventType::Error, kMsgDnsNoServers);
    return false;
  }
  m_Servers = settings.servers;
  m_SearchList = settings.searchList;
  // Replies come on the exchanges; the bound endpoint is reachable from this host only.
  uint32_t loopback = 0;
  if (!ParseDotted("127.0.0.1", loopback)) return false;
  if (!Start(threads, 1, static_cast<int>(kTernDnsMaxMessage), CTernNetAddress(loopback, 0)))
    return false;
  m_DnsStarted = true;
  return true;
}

bool CTernDnsResolver::EnsureStarted() { return m_DnsStarted || StartDns(1); }

void CTernDnsResolver::Shutdown() {
  m_Closing = true;
  {
    CTernLockGuard guard(m_RequestLock);
    for (auto& [id, pending] : m_Pending) pending.request->event.Set();
  }
  Stop();
  m_Cache.DeleteCache();
}

std::vector<CTernNetAddress> CTernDnsResolver::Servers() const {
  CTernLockGuard guard(m_StartLock);
  return m_Servers;
}

std::vector<std::string> CTernDnsResolver::SearchList() const {
  CTernLockGuard guard(m_StartLock);
  return m_SearchList;
}

size_t CTernDnsResolver::OutstandingCount() const {
  CTernLockGuard guard(m_RequestLock);
  return m_Pending.size();
}

void CTernDnsResolver::SetTimingsForTest(int retryMs, int giveUpMs) {
  m_RetryMs = retryMs;
  m_GiveUpMs = giveUpMs;
}

void CTernDnsResolver::SetDirectPortForTest(uint16_t port) { m_DirectPort = port; }

bool CTernDnsResolver::SendAttempt(const std::shared_ptr<Request>& request,
                                   const CTernNetAddress& server, bool configured,
                                   uint16_t& id) {
  {
    CTernLockGuard guard(m_RequestLock);
    if (m_Pending.size() >= kTernDnsMaxOutstanding) return false;
    bool drawn = false;
    for (int draw = 0; draw < kIdDraws && !drawn; ++draw) {
      if (!PlatformRandomBytes(&id, sizeof id)) return false;
      drawn = m_Pending.find(id) == m_Pending.end();
    }
    if (!drawn) return false;
    Pending pending;
    pending.request = request;
    pending.configured = configured;
    pending.server = FirstAddress(server);
    pending.port = server.Port();
    m_Pending.emplace(id, std::move(pending));
  }
  std::string message;
  uint64_t exchange = 0;
  if (TernDnsBuildQuery(id, request->name, request->type, message))
    exchange = OpenExchange(server);
  {
    CTernLockGuard guard(m_RequestLock);
    m_Pending[id].exchange = exchange;
  }
  CTernNetAddress described(server);
  TernDnsTrace("sending to %s\n", described.Describe());
  long length = static_cast<long>(message.size());
  if (exchange == 0 || SendOnExchange(exchange, message.data(), length) != length) {
    EndAttempt(id);
    return false;
  }
  return true;
}

void CTernDnsResolver::EndAttempt(uint16_t id) {
  uint64_t exchange = 0;
  {
    CTernLockGuard guard(m_RequestLock);
    auto found = m_Pending.find(id);
    if (found == m_Pending.end()) return;
    exchange = found->second.exchange;
    m_Pending.erase(found);
  }
  if (exchange != 0) CloseExchange(exchange);
}

CTernDnsResolver::Answer CTernDnsResolver::Query(const std::string& name, int32_t type,
                                                 const std::vector<CTernNetAddress>& servers,
                                                 bool configured, int giveUpMs) {
  Answer result;  // a temporary failure until a server answers
  if (servers.empty()) return result;
  auto request = std::make_shared<Request>();
  request->name = name;
  request->type = type;
  auto deadline = Clock::now() + std::chrono::milliseconds(giveUpMs);
  std::vector<bool> failed(servers.size(), false);
  size_t failures = 0;
  for (size_t attempt = 0; !m_Closing; ++attempt) {
    size_t index = attempt % servers.size();
    if (failed[index]) continue;
    uint16_t id = 0;
    bool serverFailed = !SendAttempt(request, servers[index], configured, id);
    if (!serverFailed) {
      auto attemptEnd = std::min(Clock::now() + std::chrono::milliseconds(m_RetryMs), deadline);
      for (;;) {
        {
          CTernLockGuard guard(m_RequestLock);
          if (request->answered) {
            result = std::move(request->answer);
            break;
          }
          if (request->failed) {
            // A failure of an attempt already given up on says nothing of this one.
            request->failed = false;
            if (request->failedId == id) {
              serverFailed = true;
              break;
            }
          }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(attemptEnd - Clock::now());
        if (left.count() <= 0 || m_Closing) break;
        request->event.Wait(left.count());
      }
      EndAttempt(id);
      if (result.outcome != TernDnsOutcome::TempFail) return result;
    }
    if (serverFailed) {
      failed[index] = true;
      if (++failures == servers.size()) break;
    }
    if (Clock::now() >= deadline) break;
  }
  return result;
}

bool CTernDnsResolver::AcceptCode(const TernDnsReply& reply, bool configured,
                                  const std::string& from) {
  switch (reply.rcode) {
    case 0:
      return true;
    case 1:
      TernReportEventF(TernEventType::Warning, kMsgDnsFormatError, from);
      return false;
    case 2:
      TernReportEventF(TernEventType::Warning, kMsgDnsServerFail, from);
      return false;
    case 3:
      // A recursive server that was configured speaks for the whole name space;
      // any other server only for its own zones.
      if (reply.authoritative || (configured && reply.recursionAvailable)) return true;
      TernReportEventF(TernEventType::Error, kMsgDnsNameErrorNotAuthoritative, from);
      return false;
    case 4:
      TernReportEventF(TernEventType::Warning, kMsgDnsNotImplemented, from);
      return false;
    case 5:
      TernReportEventF(TernEventType::Warning, kMsgDnsRefused, from);
      return false;
    default:
      TernReportEventF(TernEventType::Warning, kMsgDnsInvalidReplyCode, from, reply.rcode);
      return false;
  }
}

void CTernDnsResolver::AddToCache(const CTernDnsRecord& record, uint32_t ttl) {
  if (ttl == 0) return;  // expires at once
  CTernDnsRecord copy = record;
  copy.expiry = PlatformNow() + static_cast<time_t>(ttl);
  m_Cache.CacheAdd(std::move(copy));
}

void CTernDnsResolver::TakeReply(const TernDnsReply& reply, const Request& request,
                                 Answer& answer) {
  answer.authoritative = reply.authoritative;
  time_t now = PlatformNow();
  for (const TernDnsAnswer& a : TernDnsChainAnswers(reply.answers, request.name, answer.end)) {
    CTernDnsRecord record = a.record;
    record.authoritative = reply.authoritative;
    uint32_t ttl = UsableTtl(a.ttl);
    // A truncated reply may lack records of the set: nothing of it is kept.
    if (!reply.truncated) AddToCache(record, ttl);
    bool wanted = request.type == kDnsTypeCNAME
                      ? TernEqualsNoCase(record.name, request.name)
                      : record.type == request.type && TernEqualsNoCase(record.name, answer.end);
    if (!wanted) continue;
    record.expiry = now + static_cast<time_t>(ttl);
    answer.records.push_back(std::move(record));
  }
  if (!answer.records.empty()) {
    answer.outcome = TernDnsOutcome::Records;
    return;
  }
  if (reply.truncated) return;  // no conclusion: another server is asked
  answer.outcome = reply.rcode == 3 ? TernDnsOutcome::NoDomain : TernDnsOutcome::NoData;
  // After a CNAME the absence would concern the chain's end, but servers stop at a
  // CNAME for reasons of their own (another zone, no recursion): the end is asked
  // for itself, and only that answer is remembered.
  if (!TernEqualsNoCase(answer.end, request.name)) return;
  CTernDnsRecord negative;
  negative.name = answer.end;
  negative.type = request.type;
  negative.authoritative = reply.authoritative;
  negative.negative = true;
  negative.negativeKind = answer.outcome;
  AddToCache(negative, kTernDnsNegativeTtl);
}

void CTernDnsResolver::HandleDatagram(const std::string& datagram, CTernNetAddress& sender,
                                      uint64_t exchange, int number) {
  std::string from = sender.Describe();
  TernDnsTrace("dns grunt %d received %d bytes from %s\n", number, datagram.size(), from);
  TernDnsReply reply;
  switch (TernDnsParseReply(datagram.data(), datagram.size(), reply)) {
    case TernDnsParseResult::Ok:
      break;
    case TernDnsParseResult::Short:
      TernReportEventF(TernEventType::Warning, kMsgDnsShortReply, from, datagram.size());
      return;
    case TernDnsParseResult::NotReply:
      TernReportEventF(TernEventType::Warning, kMsgDnsNotReply, from);
      return;
    case TernDnsParseResult::Malformed:
      TernReportEventF(TernEventType::Warning, kMsgDnsMalformedReply, from);
      return;
  }
  TernDnsTrace("got rcode=%d, isauth=%d, ancount=%d\n", reply.rcode, reply.authoritative ? 1 : 0,
               reply.ancount);
  if (reply.questions.empty()) {
    TernReportEventF(TernEventType::Warning, kMsgDnsNoQuerySection, from);
    return;
  }
  std::shared_ptr<Request> request;
  bool configured = false;
  {
    CTernLockGuard guard(m_RequestLock);
    auto found = m_Pending.find(reply.id);
    if (found != m_Pending.end() && exchange != 0 && found->second.exchange == exchange &&
        !found->second.matched && found->second.server == FirstAddress(sender) &&
        found->second.port == sender.Port() && reply.opcode == 0 &&
        reply.questions.size() == 1 &&
        TernEqualsNoCase(reply.questions[0].name, found->second.request->name) &&
        reply.questions[0].type == found->second.request->type &&
        reply.questions[0].qclass == kTernDnsClassIn) {
      found->second.matched = true;
      request = found->second.request;
      configured = found->second.configured;
    }
  }
  if (!request) {
    TernReportEventF(TernEventType::Warning, kMsgDnsUnknownRequest, from);
    return;
  }
  Answer answer;
  bool accepted = AcceptCode(reply, configured, from);
  if (accepted) TakeReply(reply, *request, answer);
  CTernLockGuard guard(m_RequestLock);
  if (accepted && answer.outcome != TernDnsOutcome::TempFail) {
    request->answer = std::move(answer);
    request->answered = true;
  } else {
    request->failed = true;
    request->failedId = reply.id;
  }
  request->event.Set();
}

void CTernDnsResolver::Background(int) {
  time_t next = PlatformNow() + kCleanSeconds;
  while (!StopRequested() && !BackgroundSurplus()) {
    if (PlatformNow() > next) {
      m_Cache.CleanCache();
      next = PlatformNow() + kCleanSeconds;
    }
    SleepUnlessStopped(1);
  }
}
