// The TCP server: listening, the listener loop, the connection queue with its
// per-client counts and the growth of the pool, the client line reader and the
// default echo handler.
#include "net/tcp_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/message_codes.h"
#include "log/activity_log.h"
#include "platform/sync.h"

namespace {

const TernServerMessages kTcpMessages{kMsgTcpServerStartArguments, kMsgTcpServerAlreadyStarted,
                                      kMsgTcpServerListenFailed,   kMsgTcpServerThreadException,
                                      kMsgTcpServerThreadsShort,   kMsgTcpServerRestartFailed};

// After a failed accept (descriptors exhausted, say) the listener waits before the
// next one, doubling the pause up to a second, so it neither spins nor floods the
// event log while the failure lasts.
constexpr long kFirstAcceptPauseMs = 50;
constexpr long kLongestAcceptPauseMs = 1000;

// ReadClientLine and SendToClient get control back at least this often.
constexpr long kReadSliceMs = 1000;

constexpr char kInfoTooManyConnections[] = "Too many connections from your address.";
constexpr char kInfoTlsFailed[] = "TLS handshake failed: ";

using Clock = std::chrono::steady_clock;

// How long a connection over its client's limit waits for one of them to end.
constexpr std::chrono::seconds kClientWait(1);

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

bool CTernTcpServer::Stressed() const {
  int ceiling = m_Ceiling.load();
  return ceiling > 0 && m_Busy.load() * 4 > ceiling * 3;
}

void CTernTcpServer::ReceiverLoop() {
  long pause = 0;
  while (!StopRequested()) {
    auto connection = std::make_unique<CTernTcpEndpoint>();
    bool accepted = m_Listening.Accept(*connection, 1);
    if (accepted) {
      pause = 0;
      Admit(std::move(connection));
    }
    RefuseOverdue();
    if (!accepted && !m_Listening.TimedOut()) {
      pause = std::min(pause > 0 ? pause * 2 : kFirstAcceptPauseMs, kLongestAcceptPauseMs);
      PlatformSleepMs(pause);
    }
  }
  SignalWork();
}

void CTernTcpServer::Admit(std::unique_ptr<CTernTcpEndpoint> connection) {
  uint32_t client = ClientOf(*connection);
  Held held{std::move(connection), client};
  bool queued = false;
  std::vector<Held> refused;
  {
    // Under the server lock, so that no worker leaves between the count of free
    // workers and the growth that it decides.
    CTernLockGuard guard(m_Lock);
    int unserved = 0;
    {
      CTernLockGuard queue(m_QueueLock);
      ClientCount& count = m_Clients[client];
      int most = m_PerClient.load();
      if (most > 0 && count.held >= most && count.waiting >= most)
        TakeClosedWaitingLocked(client, refused);
      if (most == 0 || count.held < most) {
        ++count.held;
        m_Pending.push_back(std::move(held));
        unserved = static_cast<int>(m_Pending.size()) + m_Busy.load();
        queued = true;
      } else if (count.waiting < most) {
        ++count.waiting;
        m_Waiting.push_back(Waiting{std::move(held), Clock::now() + kClientWait});
      } else {
        refused.push_back(std::move(held));
      }
    }
    if (queued) GrowWorkersLocked(unserved, m_Ceiling.load());
  }
  if (queued) SignalWork();
  for (Held& gone : refused) Refuse(gone);
}

void CTernTcpServer::TakeClosedWaitingLocked(uint32_t client, std::vector<Held>& gone) {
  for (auto it = m_Waiting.begin(); it != m_Waiting.end();) {
    if (it->held.client == client && it->held.connection->PeerClosed()) {
      ForgetLocked(client, true);
      gone.push_back(std::move(it->held));
      it = m_Waiting.erase(it);
    } else {
      ++it;
    }
  }
}

void CTernTcpServer::Refuse(Held& held) {
  TernRefusal refusal = ClientLimitRefusal();
  // One attempt, no wait: the listener must not be held by a client. A client
  // that expects encryption from the first byte could not read the plain text.
  if (!refusal.text.empty() && !ImplicitTls()) held.connection->SendWithin(refusal.text, 0);
  if (refusal.realm != 0) {
    CTernActivityRecord record;
    record.AddStandard(refusal.realm, kActionAccessViolation, 0, "", FormatDotted(held.client));
    record.Add(kActInfo, kInfoTooManyConnections);
    CTernActivityLog::Write(record);
  }
  held.connection.reset();
}

void CTernTcpServer::RefuseOverdue() {
  std::vector<Held> overdue;
  {
    CTernLockGuard guard(m_QueueLock);
    auto now = Clock::now();
    while (!m_Waiting.empty() && m_Waiting.front().deadline <= now) {
      ForgetLocked(m_Waiting.front().held.client, true);
      overdue.push_back(std::move(m_Waiting.front().held));
      m_Waiting.pop_front();
    }
  }
  for (Held& held : overdue) Refuse(held);
}

TernRefusal CTernTcpServer::ClientLimitRefusal() const { return TernRefusal{}; }

void CTernTcpServer::ForgetLocked(uint32_t client, bool waiting) {
  auto it = m_Clients.find(client);
  if (it == m_Clients.end()) return;
  --(waiting ? it->second.waiting : it->second.held);
  if (it->second.held <= 0 && it->second.waiting <= 0) m_Clients.erase(it);
}

void CTernTcpServer::Release(Held& held, bool served) {
  held.connection.reset();
  bool promoted = false;
  {
    CTernLockGuard guard(m_QueueLock);
    if (served) --m_Busy;
    ForgetLocked(held.client, false);
    // The first connection of this client that waits takes the place; the worker
    // that released it is free and takes it from the queue.
    auto it = std::find_if(m_Waiting.begin(), m_Waiting.end(),
                           [&](const Waiting& w) { return w.held.client == held.client; });
    if (it != m_Waiting.end()) {
      ClientCount& count = m_Clients[held.client];
      --count.waiting;
      ++count.held;
      m_Pending.push_back(std::move(it->held));
      m_Waiting.erase(it);
      promoted = true;
    }
  }
  if (promoted) SignalWork();
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
  if (ImplicitTls() && !UpgradeConnection(*held.connection)) return true;
  HandleConnection(*held.connection, number);
  return true;
}

void CTernTcpServer::SetTls(std::shared_ptr<const CTernTlsContext> context, bool implicit) {
  CTernLockGuard guard(m_TlsLock);
  m_ImplicitTls = implicit && context;
  m_Tls = std::move(context);
}

std::shared_ptr<const CTernTlsContext> CTernTcpServer::TlsContext() const {
  CTernLockGuard guard(m_TlsLock);
  return m_Tls;
}

bool CTernTcpServer::PasswordAllowed(bool encrypted, const std::string& client) const {
  switch (m_ClearPasswords.load()) {
    case ClearPasswords::Always: return true;
    case ClearPasswords::FromLoopback: return encrypted || IsLoopbackDotted(client);
    case ClearPasswords::Never: break;
  }
  return encrypted;
}

bool CTernTcpServer::UpgradeConnection(CTernTcpEndpoint& connection) {
  std::shared_ptr<const CTernTlsContext> context = TlsContext();
  std::string error = "encryption is off";
  long wait = CurrentWait(kTernTlsHandshakeWait, StressedWait()) * 1000L;
  // A stop does not wait for a slow client's handshake.
  if (context && connection.StartTls(*context, wait, error, [this] { return StopRequested(); }))
    return true;
  int realm = ClientLimitRefusal().realm;
  if (realm != 0) {
    CTernActivityRecord record;
    record.AddStandard(realm, kActionProtocolViolation, 0, "", FormatDotted(ClientOf(connection)));
    record.Add(kActInfo, kInfoTlsFailed + error);
    CTernActivityLog::Write(record);
  }
  return false;
}

bool CTernTcpServer::HasQueued() {
  CTernLockGuard guard(m_QueueLock);
  return !m_Pending.empty();
}

void CTernTcpServer::DropQueued() {
  std::deque<Held> dropped;
  {
    CTernLockGuard guard(m_QueueLock);
    m_Waiting.clear();  // nobody serves them now
    dropped.swap(m_Pending);
  }
  for (Held& held : dropped) Release(held, false);
  CTernLockGuard guard(m_QueueLock);
  m_Clients.clear();
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

bool CTernTcpServer::SendToClient(CTernTcpEndpoint& connection, std::string_view text, int wait) {
  auto heard = Clock::now();
  while (!text.empty()) {
    long n = connection.SendWithin(text, kReadSliceMs);
    if (n < 0) return false;
    auto now = Clock::now();
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      heard = now;
      continue;
    }
    if (StopRequested()) return false;
    if (wait > 0 && now - heard >= std::chrono::seconds(wait)) return false;
    if (Stressed() && now - heard >= std::chrono::seconds(StressedWait())) return false;
  }
  return true;
}

void CTernTcpServer::HandleConnection(CTernTcpEndpoint& connection, int number) {
  const std::string prefix = std::to_string(number) + ": ";
  CTernString line;
  // No time-out of its own: a client may idle until the server is stressed.
  while (ReadClientLine(connection, line, 0, StressedWait(), kTernLineLimit) > 0) {
    std::string text = line.Str();
    if (!text.ends_with("\r\n")) text += "\r\n";  // a piece of an overlong line
    if (!SendToClient(connection, prefix + text, 0)) return;
  }
}
