// The TCP server: listening, the listener loop, the connection queue with its
// per-client counts and the growth of the pool, the client line reader and the
// default echo handler.
#include "net/tcp_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/exception.h"
#include "log/activity_log.h"
#include "platform/sync.h"

namespace {

const TernServerMessages kTcpMessages{141, 143, 146, 147, 148, 149};

// After a failed accept (descriptors exhausted, say) the listener waits before the
// next one, doubling the pause up to a second, so it neither spins nor floods the
// event log while the failure lasts.
constexpr long kFirstAcceptPauseMs = 50;
constexpr long kLongestAcceptPauseMs = 1000;

// ReadClientLine gets control back at least this often.
constexpr long kReadSliceMs = 1000;

constexpr char kInfoTooManyConnections[] = "Too many connections from your address.";

using Clock = std::chrono::steady_clock;

// The client's IPv4 address of an accepted connection (0 when it has none).
uint32_t ClientOf(const CTernTcpEndpoint& connection) {
  std::vector<uint32_t> addresses;
  CTernNetAddress peer = connection.Address();
  return peer.Resolve(addresses) ? addresses.front() : 0;
}

}  // namespace

// Ends the handling of a connection however the handler leaves: the connection is
// closed, then counted out.
class CTernTcpServer::Served {
 public:
  Served(CTernTcpServer& server, Held& held) : m_Server(server), m_Held(held) {}
  ~Served() { m_Server.Release(m_Held, true); }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

 private:
  CTernTcpServer& m_Server;
  Held& m_Held;
};

CTernTcpServer::CTernTcpServer(std::string_view name) : CTernServer(name, kTcpMessages) {
  SetSurplusIdle(TernLoadLimits{}.surplusIdle);
}

CTernTcpServer::~CTernTcpServer() { Stop(); }

bool CTernTcpServer::Start(int workers, int background, const CTernNetAddress& address) {
  CTernNetAddress wanted(address);
  std::vector<uint32_t> addresses;
  if (workers < 1 || background < 0 || !wanted.Resolve(addresses)) {
    ReportInvalidStart(workers);
    return false;
  }
  CTernLockGuard guard(m_Lock);
  if (!BeginStartLocked()) return false;
  bool listening = false;
  for (uint32_t ip : addresses) {
    CTernTcpEndpoint attempt;
    try {
      listening = attempt.Listen(CTernNetAddress(ip, wanted.Port())) && m_Listening.TakeOver(attempt);
    } catch (const CTernException&) {
      listening = false;  // no socket for this one (reported); try the next
    }
    if (listening) break;
  }
  if (!listening) {
    ReportNoListen();
    return false;
  }
  CTernNetAddress bound;
  m_ListenAddress = m_Listening.LocalName(bound) ? bound : wanted;
  return LaunchLocked(workers, background);
}

CTernNetAddress CTernTcpServer::ListenAddress() const {
  CTernLockGuard guard(m_Lock);
  return m_ListenAddress;
}

uint16_t CTernTcpServer::Port() const { return ListenAddress().Port(); }

void CTernTcpServer::SetLoadLimits(const TernLoadLimits& limits) {
  if (limits.ceiling >= 1) m_Ceiling = limits.ceiling;
  if (limits.perClient >= 0) m_PerClient = limits.perClient;
  if (limits.stressedWait >= 1) m_StressedWait = limits.stressedWait;
  if (limits.surplusIdle >= 0) SetSurplusIdle(limits.surplusIdle);
}

TernLoadLimits CTernTcpServer::LoadLimits() const {
  return TernLoadLimits{m_Ceiling.load(), m_PerClient.load(), m_StressedWait.load(), SurplusIdle()};
}

bool CTernTcpServer::Stressed() const { return m_Busy.load() * 4 > m_Ceiling.load() * 3; }

size_t CTernTcpServer::QueuedCount() {
  CTernLockGuard guard(m_QueueLock);
  return m_Pending.size();
}

void CTernTcpServer::ReceiverLoop() {
  long pause = 0;
  while (!StopRequested()) {
    auto connection = std::make_unique<CTernTcpEndpoint>();
    if (m_Listening.Accept(*connection, 1)) {
      pause = 0;
      Admit(std::move(connection));
    } else if (!m_Listening.TimedOut()) {
      pause = std::min(pause > 0 ? pause * 2 : kFirstAcceptPauseMs, kLongestAcceptPauseMs);
      PlatformSleepMs(pause);
    }
  }
  SignalWork();
}

void CTernTcpServer::Admit(std::unique_ptr<CTernTcpEndpoint> connection) {
  uint32_t client = ClientOf(*connection);
  {
    // Under the server lock, so that no worker leaves between the count of free
    // workers and the growth that it decides.
    CTernLockGuard guard(m_Lock);
    int unserved = 0;
    {
      CTernLockGuard queue(m_QueueLock);
      if (TakeClientSlotLocked(client)) {
        m_Pending.push_back(Held{std::move(connection), client});
        unserved = static_cast<int>(m_Pending.size()) + m_Busy.load();
      }
    }
    if (unserved > 0) GrowWorkersLocked(unserved, m_Ceiling.load());
  }
  if (connection) {
    Refuse(*connection, client);
    return;  // closed as it goes
  }
  SignalWork();
}

bool CTernTcpServer::TakeClientSlotLocked(uint32_t client) {
  int& held = m_Clients[client];
  int most = m_PerClient.load();
  if (most > 0 && held >= most) {
    if (held == 0) m_Clients.erase(client);
    return false;
  }
  ++held;
  return true;
}

void CTernTcpServer::Refuse(CTernTcpEndpoint& connection, uint32_t client) {
  TernRefusal refusal = ClientLimitRefusal();
  if (!refusal.text.empty()) connection.Send(refusal.text);
  if (refusal.realm == 0) return;
  CTernActivityRecord record;
  record.AddStandard(refusal.realm, kActionAccessViolation, 0, "", FormatDotted(client));
  record.Add(kActInfo, kInfoTooManyConnections);
  CTernActivityLog::Write(record);
}

TernRefusal CTernTcpServer::ClientLimitRefusal() const { return TernRefusal{}; }

void CTernTcpServer::Release(Held& held, bool served) {
  held.connection.reset();
  CTernLockGuard guard(m_QueueLock);
  auto it = m_Clients.find(held.client);
  if (it != m_Clients.end() && --it->second <= 0) m_Clients.erase(it);
  if (served) --m_Busy;
}

bool CTernTcpServer::ServeNext(int number) {
  Held held;
  bool more;
  {
    CTernLockGuard guard(m_QueueLock);
    if (m_Pending.empty()) return false;
    held = std::move(m_Pending.front());
    m_Pending.pop_front();
    more = !m_Pending.empty();
    ++m_Busy;
  }
  // Another idle worker takes the next one rather than waiting behind this one.
  if (more) SignalWork();
  Served served(*this, held);
  HandleConnection(*held.connection, number);
  return true;
}

bool CTernTcpServer::HasQueued() {
  CTernLockGuard guard(m_QueueLock);
  return !m_Pending.empty();
}

void CTernTcpServer::DropQueued() {
  std::deque<Held> dropped;
  {
    CTernLockGuard guard(m_QueueLock);
    dropped.swap(m_Pending);
  }
  for (Held& held : dropped) Release(held, false);
}

long CTernTcpServer::ReadClientLine(CTernTcpEndpoint& connection, CTernString& text, int wait,
                                    int stressed, size_t maxLength) {
  text.Clear();
  const auto start = Clock::now();
  auto heard = start;
  size_t before = 0;
  for (;;) {
    long slice = kReadSliceMs;
    if (Stressed()) {
      auto left = std::chrono::seconds(stressed) - (Clock::now() - start);
      slice = std::clamp<long>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count(),
                               1, kReadSliceMs);
    }
    long n = connection.ReceiveLineWithin(text, "\r\n", slice, maxLength);
    if (n < 0) return 0;
    size_t length = static_cast<size_t>(n);
    if (connection.Overlong() ||
        (length >= 2 && text.CharAt(length - 2) == '\r' && text.CharAt(length - 1) == '\n'))
      return n;
    if (!connection.TimedOut() || StopRequested()) return 0;  // gone, or stopping
    auto now = Clock::now();
    if (length > before) heard = now;
    before = length;
    if (wait > 0 && now - heard >= std::chrono::seconds(wait)) return 0;
    if (Stressed() && now - start >= std::chrono::seconds(stressed)) return 0;
  }
}

void CTernTcpServer::CloseReceiver() {
  if (m_Listening.State() != TernTcpState::Disconnected) m_Listening.Close();
}

void CTernTcpServer::HandleConnection(CTernTcpEndpoint& connection, int number) {
  const std::string prefix = std::to_string(number) + ": ";
  CTernString line;
  // No time-out of its own: a client may idle until the server is stressed.
  while (ReadClientLine(connection, line, 0, StressedWait(), kTernLineLimit) > 0) {
    std::string text = line.Str();
    if (!text.ends_with("\r\n")) text += "\r\n";  // a piece of an overlong line
    if (connection.Send(prefix + text) < 0) return;
  }
}
