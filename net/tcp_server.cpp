// The TCP server: listening, the listener loop, the connection queue and the
// default echo handler.
#include "net/tcp_server.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/exception.h"
#include "platform/sync.h"

namespace {

const TernServerMessages kTcpMessages{141, 143, 146, 147, 148, 149};

// After a failed accept (descriptors exhausted, say) the listener waits before the
// next one, doubling the pause up to a second, so it neither spins nor floods the
// event log while the failure lasts.
constexpr long kFirstAcceptPauseMs = 50;
constexpr long kLongestAcceptPauseMs = 1000;

}  // namespace

CTernTcpServer::CTernTcpServer(std::string_view name) : CTernServer(name, kTcpMessages) {}

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

void CTernTcpServer::ReceiverLoop() {
  long pause = 0;
  while (!StopRequested()) {
    auto connection = std::make_unique<CTernTcpEndpoint>();
    if (m_Listening.Accept(*connection, 1)) {
      pause = 0;
      {
        CTernLockGuard guard(m_QueueLock);
        m_Pending.push_back(std::move(connection));
      }
      SignalWork();
    } else if (!m_Listening.TimedOut()) {
      pause = std::min(pause > 0 ? pause * 2 : kFirstAcceptPauseMs, kLongestAcceptPauseMs);
      PlatformSleepMs(pause);
    }
  }
  SignalWork();
}

bool CTernTcpServer::ServeNext(int number) {
  std::unique_ptr<CTernTcpEndpoint> connection;
  bool more;
  {
    CTernLockGuard guard(m_QueueLock);
    if (m_Pending.empty()) return false;
    connection = std::move(m_Pending.front());
    m_Pending.pop_front();
    more = !m_Pending.empty();
  }
  // Another idle worker takes the next one rather than waiting behind this one.
  if (more) SignalWork();
  // Should the handler throw, the connection is destroyed (closed) on the way out.
  HandleConnection(*connection, number);
  return true;
}

void CTernTcpServer::DropQueued() {
  CTernLockGuard guard(m_QueueLock);
  m_Pending.clear();
}

void CTernTcpServer::CloseReceiver() {
  if (m_Listening.State() != TernTcpState::Disconnected) m_Listening.Close();
}

void CTernTcpServer::HandleConnection(CTernTcpEndpoint& connection, int number) {
  const std::string prefix = std::to_string(number) + ": ";
  CTernString line;
  bool partial = false;
  // Waits of a second at a time, so that a stop is noticed while a client idles;
  // a line cut by such a wait is continued by the next.
  while (!StopRequested()) {
    long n = connection.ReceiveLine(line, "\r\n", 1, kTernLineLimit, partial);
    if (n < 0) return;
    partial = connection.TimedOut();
    if (partial) continue;
    std::string text = line.Str();
    bool whole = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    if (!whole && !connection.Overlong()) return;  // the peer closed
    if (!whole) text += "\r\n";
    if (connection.Send(prefix + text) < 0) return;
  }
}
