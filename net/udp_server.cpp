// The UDP server: binding, the receiver loop, the datagram queue and the default
// handler and background routine.
#include "net/udp_server.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/exception.h"
#include "base/message_codes.h"
#include "log/eventlog.h"
#include "platform/sync.h"

namespace {

const TernServerMessages kUdpMessages{kMsgUdpServerStartArguments, kMsgUdpServerAlreadyStarted,
                                      kMsgUdpServerListenFailed,   kMsgUdpServerThreadException,
                                      kMsgUdpServerThreadsShort,   kMsgUdpServerRestartFailed};
constexpr long kFirstReceivePauseMs = 50;
constexpr long kLongestReceivePauseMs = 1000;
// The receiver looks at the stop flag at least this often.
constexpr int kReceiveWaitMs = 250;
constexpr int kReadyBatch = 32;

std::string Printable(const std::string& data) {
  std::string text = data;
  for (char& c : text)
    if (c < 0x20 || c > 0x7e) c = '.';
  return text;
}

}  // namespace

CTernUdpServer::CTernUdpServer(std::string_view name)
    : CTernServer(name, kUdpMessages), m_Set(PlatformSocketSetOpen()) {}

CTernUdpServer::~CTernUdpServer() {
  Stop();
  if (m_Set >= 0) PlatformSocketSetClose(m_Set);
}

bool CTernUdpServer::Start(int workers, int background, int largest,
                           const CTernNetAddress& address) {
  CTernNetAddress wanted(address);
  std::vector<uint32_t> addresses;
  if (workers < 1 || background < 0 || largest < 1 || !wanted.Resolve(addresses)) {
    ReportInvalidStart(workers);
    return false;
  }
  CTernLockGuard guard(m_Lock);
  if (!BeginStartLocked()) return false;
  bool bound = false;
  try {
    bound = m_Endpoint.Bind(wanted);
  } catch (const CTernException&) {
    bound = false;  // no socket (reported)
  }
  if (bound && (m_Set < 0 || PlatformSocketSetAdd(m_Set, m_Endpoint.NativeSocket(), 0) != 0)) {
    m_Endpoint.Close();
    bound = false;
  }
  if (!bound) {
    ReportNoListen();
    return false;
  }
  CTernNetAddress local;
  m_BoundAddress = m_Endpoint.LocalName(local) ? local : wanted;
  m_Largest = static_cast<size_t>(largest);
  return LaunchLocked(workers, background);
}

long CTernUdpServer::Send(const void* data, long length, CTernNetAddress& destination) {
  return m_Endpoint.SendTo(data, length, &destination);
}

CTernNetAddress CTernUdpServer::BoundAddress() const {
  CTernLockGuard guard(m_Lock);
  return m_BoundAddress;
}

uint64_t CTernUdpServer::OpenExchange(const CTernNetAddress& peer) {
  if (!Started() || StopRequested() || m_Set < 0) return 0;
  auto endpoint = std::make_shared<CTernUdpEndpoint>();
  try {
    if (!endpoint->Connect(peer)) return 0;
  } catch (const CTernException&) {
    return 0;  // no socket (reported)
  }
  CTernLockGuard guard(m_ExchangeLock);
  uint64_t number = m_NextExchange++;
  if (PlatformSocketSetAdd(m_Set, endpoint->NativeSocket(), number) != 0) return 0;
  m_Exchanges.emplace(number, std::move(endpoint));
  return number;
}

long CTernUdpServer::SendOnExchange(uint64_t exchange, const void* data, long length) {
  std::shared_ptr<CTernUdpEndpoint> endpoint = FindExchange(exchange);
  return endpoint ? endpoint->SendTo(data, length, nullptr) : -1;
}

void CTernUdpServer::CloseExchange(uint64_t exchange) {
  std::shared_ptr<CTernUdpEndpoint> endpoint;
  {
    CTernLockGuard guard(m_ExchangeLock);
    auto found = m_Exchanges.find(exchange);
    if (found == m_Exchanges.end()) return;
    endpoint = std::move(found->second);
    m_Exchanges.erase(found);
    PlatformSocketSetRemove(m_Set, endpoint->NativeSocket());
  }
  // The socket closes with the last reference: the receiver may still be reading it.
}

size_t CTernUdpServer::ExchangeCount() const {
  CTernLockGuard guard(m_ExchangeLock);
  return m_Exchanges.size();
}

std::shared_ptr<CTernUdpEndpoint> CTernUdpServer::FindExchange(uint64_t exchange) const {
  CTernLockGuard guard(m_ExchangeLock);
  auto found = m_Exchanges.find(exchange);
  return found == m_Exchanges.end() ? nullptr : found->second;
}

void CTernUdpServer::ReceiverLoop() {
  // One byte more than the largest accepted, so that a longer datagram shows.
  std::vector<char> buffer(m_Largest + 1);
  uint64_t ready[kReadyBatch];
  long pause = 0;
  while (!StopRequested()) {
    int n = PlatformSocketSetWait(m_Set, ready, kReadyBatch, kReceiveWaitMs);
    bool failed = n < 0;
    for (int i = 0; i < n; ++i)
      if (!ReceiveOne(ready[i], buffer)) failed = true;
    if (failed) {
      pause = std::min(pause > 0 ? pause * 2 : kFirstReceivePauseMs, kLongestReceivePauseMs);
      PlatformSleepMs(pause);
    } else {
      pause = 0;
    }
  }
  SignalWork();
}

bool CTernUdpServer::ReceiveOne(uint64_t exchange, std::vector<char>& buffer) {
  std::shared_ptr<CTernUdpEndpoint> held;
  CTernUdpEndpoint* endpoint = &m_Endpoint;
  if (exchange != 0) {
    held = FindExchange(exchange);
    if (!held) return true;  // closed since the wait
    endpoint = held.get();
  }
  CTernNetAddress sender;
  long n = endpoint->ReceiveFrom(buffer.data(), static_cast<long>(buffer.size()), 0, &sender);
  // An exchange's failure is its peer's refusal (ICMP), which only that exchange sees.
  if (n < 0) return exchange != 0;
  if (endpoint->TimedOut()) return true;
  if (static_cast<size_t>(n) > m_Largest) {
    TernReportEventF(TernEventType::Warning, kMsgDnsOversizedReply, sender.Describe(), n);
    return true;
  }
  {
    CTernLockGuard guard(m_QueueLock);
    if (m_Queue.size() >= kTernUdpQueueLimit) return true;
    m_Queue.push_back(
        Datagram{std::string(buffer.data(), static_cast<size_t>(n)), sender, exchange});
  }
  SignalWork();
  return true;
}

bool CTernUdpServer::ServeNext(int number) {
  Datagram datagram;
  bool more;
  {
    CTernLockGuard guard(m_QueueLock);
    if (m_Queue.empty()) return false;
    datagram = std::move(m_Queue.front());
    m_Queue.pop_front();
    more = !m_Queue.empty();
  }
  if (more) SignalWork();
  HandleDatagram(datagram.data, datagram.sender, datagram.exchange, number);
  return true;
}

bool CTernUdpServer::HasQueued() {
  CTernLockGuard guard(m_QueueLock);
  return !m_Queue.empty();
}

void CTernUdpServer::DropQueued() {
  CTernLockGuard guard(m_QueueLock);
  m_Queue.clear();
}

void CTernUdpServer::CloseReceiver() {
  if (m_Endpoint.IsOpen()) {
    PlatformSocketSetRemove(m_Set, m_Endpoint.NativeSocket());
    m_Endpoint.Close();
  }
  std::map<uint64_t, std::shared_ptr<CTernUdpEndpoint>> exchanges;
  {
    CTernLockGuard guard(m_ExchangeLock);
    exchanges.swap(m_Exchanges);
    for (auto& [number, endpoint] : exchanges) PlatformSocketSetRemove(m_Set, endpoint->NativeSocket());
  }
}

void CTernUdpServer::HandleDatagram(const std::string& datagram, CTernNetAddress& sender,
                                    uint64_t, int number) {
  std::printf("Grunt %d received '%s' from %s\n", number, Printable(datagram).c_str(),
              sender.Describe().c_str());
}

void CTernUdpServer::Background(int number) {
  std::printf("Helper %d is on-line!\n", number);
  while (!StopRequested() && !BackgroundSurplus()) SleepUnlessStopped(5);
  std::printf("Helper %d returns.\n", number);
}
