// The TCP endpoint's state machine and its buffered receiving.
#include "net/tcp_endpoint.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/message_codes.h"
#include "log/eventlog.h"

namespace {

void Report(TernEventType type, int code, const std::string& where) {
  TernReportEventF(type, code, where);
}

void Report(TernEventType type, int code, const std::string& where, int error) {
  TernReportEventF(type, code, where, error);
}

// Holds two endpoints' locks, always taken in the same order so that two threads
// moving connections crosswise cannot deadlock.
class PairGuard {
 public:
  PairGuard(CTernLock& a, CTernLock& b) : m_First(&a < &b ? a : b), m_Second(&a < &b ? b : a) {
    m_First.Lock();
    m_Second.Lock();
  }
  ~PairGuard() {
    m_Second.Unlock();
    m_First.Unlock();
  }
  PairGuard(const PairGuard&) = delete;
  PairGuard& operator=(const PairGuard&) = delete;

 private:
  CTernLock& m_First;
  CTernLock& m_Second;
};

}  // namespace

CTernTcpEndpoint::CTernTcpEndpoint(const CTernNetAddress& address) : m_Address(address) {}

CTernTcpEndpoint::~CTernTcpEndpoint() {
  if (m_State.load() != TernTcpState::Disconnected) Close();
}

PlatformSocket CTernTcpEndpoint::NewSocketLocked() {
  PlatformSocket s = PlatformSocketOpen(true);
  if (s == kPlatformInvalidSocket)
    throw CTernException(kMsgTcpSocketFailed, DescribeLocked(), PlatformSocketError());
  return s;
}

void CTernTcpEndpoint::ReleaseLocked(PlatformSocket s, size_t index) {
  if (PlatformSocketClose(s) != 0)
    throw CTernException(kMsgTcpClosesocketFailed, DescribeLocked(index), PlatformSocketError());
}

void CTernTcpEndpoint::ResetLocked() {
  m_Buffer.Clear();
  m_Closed = false;
  m_TimedOut = false;
  m_Overlong = false;
}

bool CTernTcpEndpoint::Connect() {
  CTernLockGuard guard(m_Lock);
  return ConnectLocked();
}

bool CTernTcpEndpoint::Connect(const CTernNetAddress& address) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() == TernTcpState::Disconnected) m_Address = address;
  return ConnectLocked();
}

bool CTernTcpEndpoint::ConnectLocked() {
  switch (m_State.load()) {
    case TernTcpState::Connected:
      Report(TernEventType::Error, kMsgTcpAlreadyConnected, DescribeLocked());
      return false;
    case TernTcpState::Listening:
      Report(TernEventType::Error, kMsgTcpIsListening, DescribeLocked());
      return false;
    case TernTcpState::Disconnected: break;
  }
  std::vector<uint32_t> addresses;
  if (!m_Address.Resolve(addresses)) {
    Report(TernEventType::Error, kMsgTcpNoAddresses, DescribeLocked());
    return false;
  }
  ResetLocked();
  uint16_t port = m_Address.Port();
  PlatformSocket s = NewSocketLocked();
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (PlatformSocketConnect(s, addresses[i], port) == 0) {
      m_Socket = s;
      m_State = TernTcpState::Connected;
      return true;
    }
    Report(TernEventType::Warning, kMsgTcpConnectFailed, DescribeLocked(i), PlatformSocketError());
    // A socket whose connect failed cannot be used again: start the next attempt
    // with a fresh one.
    ReleaseLocked(s, i);
    s = kPlatformInvalidSocket;
    if (i + 1 < addresses.size()) s = NewSocketLocked();
  }
  return false;
}

bool CTernTcpEndpoint::ConnectWithin(const CTernNetAddress& address, long milliseconds,
                                     const std::function<bool()>& cancelled) {
  using Clock = std::chrono::steady_clock;
  constexpr long kSliceMs = 250;
  CTernLockGuard guard(m_Lock);
  switch (m_State.load()) {
    case TernTcpState::Connected: Report(TernEventType::Error, 115, DescribeLocked()); return false;
    case TernTcpState::Listening: Report(TernEventType::Error, 116, DescribeLocked()); return false;
    case TernTcpState::Disconnected: break;
  }
  m_Address = address;
  std::vector<uint32_t> addresses;
  if (!m_Address.Resolve(addresses)) return false;
  ResetLocked();
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (size_t i = 0; i < addresses.size(); ++i) {
    PlatformSocket s = NewSocketLocked();
    int state = PlatformSocketConnectStart(s, addresses[i], m_Address.Port());
    while (state == 1) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || (cancelled && cancelled())) {
        state = -1;
        break;
      }
      int waited = PlatformSocketConnectWait(s, std::min(left, kSliceMs));
      if (waited != 0) state = waited > 0 ? 0 : -1;
    }
    if (state == 0) {
      m_Socket = s;
      m_State = TernTcpState::Connected;
      return true;
    }
    ReleaseLocked(s, i);
    if (cancelled && cancelled()) break;
  }
  return false;
}

bool CTernTcpEndpoint::Listen(const CTernNetAddress& address) {
  CTernLockGuard guard(m_Lock);
  switch (m_State.load()) {
    case TernTcpState::Listening:
      Report(TernEventType::Warning, kMsgTcpAlreadyListening, DescribeLocked());
      return false;
    case TernTcpState::Connected:
      Report(TernEventType::Warning, kMsgTcpIsConnected, DescribeLocked());
      return false;
    case TernTcpState::Disconnected: break;
  }
  m_Address = address;
  std::vector<uint32_t> addresses;
  if (!m_Address.Resolve(addresses)) {
    // Nothing to bind to by name: listen on every interface instead.
    m_Address.AddAddress(0);
    addresses.assign(1, 0);
  }
  ResetLocked();
  uint16_t port = m_Address.Port();
  PlatformSocket s = NewSocketLocked();
  bool bound = false;
  size_t index = 0;
  for (; index < addresses.size() && !bound; ++index) {
    bound = PlatformSocketBind(s, addresses[index], port, true) == 0;
    if (!bound)
      Report(TernEventType::Error, kMsgTcpBindFailed, DescribeLocked(index), PlatformSocketError());
  }
  if (bound && PlatformSocketListen(s, kTernListenBacklog) != 0) {
    Report(TernEventType::Error, kMsgTcpListenFailed, DescribeLocked(index - 1),
           PlatformSocketError());
    bound = false;
  }
  if (!bound) {
    ReleaseLocked(s, 0);
    return false;
  }
  m_Socket = s;
  m_State = TernTcpState::Listening;
  return true;
}

bool CTernTcpEndpoint::Accept(CTernTcpEndpoint& target, int timeout) {
  if (&target == this) {
    CTernLockGuard guard(m_Lock);
    Report(TernEventType::Error, kMsgTcpNotDisconnected, DescribeLocked());
    return false;
  }
  PairGuard guard(m_Lock, target.m_Lock);
  m_TimedOut = false;
  if (m_State.load() != TernTcpState::Listening) {
    Report(TernEventType::Error, kMsgTcpNotListening, DescribeLocked());
    return false;
  }
  if (target.m_State.load() != TernTcpState::Disconnected) {
    Report(TernEventType::Error, kMsgTcpNotDisconnected, target.DescribeLocked());
    return false;
  }
  if (timeout >= 1 && WaitLocked(timeout * 1000L) != 1) return false;
  uint32_t peer = 0;
  uint16_t port = 0;
  PlatformSocket s = PlatformSocketAccept(m_Socket, peer, port);
  if (s == kPlatformInvalidSocket) {
    // A client that reset its connection before it was accepted is not a fault.
    if (!PlatformSocketPeerGone(PlatformSocketError()))
      Report(TernEventType::Error, kMsgTcpAcceptFailed, DescribeLocked(), PlatformSocketError());
    return false;
  }
  target.ResetLocked();
  target.m_Address = CTernNetAddress(peer, port);
  target.m_Socket = s;
  target.m_State = TernTcpState::Connected;
  return true;
}

bool CTernTcpEndpoint::LocalName(CTernNetAddress& address) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() == TernTcpState::Disconnected) {
    Report(TernEventType::Error, kMsgTcpIsDisconnected, DescribeLocked());
    return false;
  }
  uint32_t ip = 0;
  uint16_t port = 0;
  if (PlatformSocketLocalName(m_Socket, ip, port) != 0) {
    Report(TernEventType::Error, kMsgTcpGetsocknameFailed, DescribeLocked(), PlatformSocketError());
    return false;
  }
  address = CTernNetAddress(ip, port);
  return true;
}

bool CTernTcpEndpoint::PeerName(CTernNetAddress& address) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return false;
  }
  uint32_t ip = 0;
  uint16_t port = 0;
  if (PlatformSocketPeerName(m_Socket, ip, port) != 0) {
    if (!PlatformSocketPeerGone(PlatformSocketError()))
      Report(TernEventType::Error, kMsgTcpGetpeernameFailed, DescribeLocked(),
             PlatformSocketError());
    return false;
  }
  address = CTernNetAddress(ip, port);
  return true;
}

int CTernTcpEndpoint::WaitLocked(long milliseconds) {
  // Encrypted, readable means decrypted data is there: the socket may carry only
  // part of a record. No wait asked for means a read that blocks, so wait until
  // data comes.
  if (m_Tls) return WaitTlsLocked(milliseconds < 1 ? -1 : milliseconds);
  if (milliseconds < 1) return 1;
  int rc = PlatformSocketWaitReadableMs(m_Socket, milliseconds);
  if (rc < 0) {
    Report(TernEventType::Error, kMsgTcpSelectFailed, DescribeLocked(), PlatformSocketError());
    return -1;
  }
  if (rc == 0) m_TimedOut = true;
  return rc;
}

int CTernTcpEndpoint::WaitTlsLocked(long milliseconds) {
  int rc = m_Tls->WaitReadable(milliseconds);
  if (rc < 0) {
    Report(TernEventType::Error, kMsgTcpSelectFailed, DescribeLocked(), PlatformSocketError());
    return -1;
  }
  if (rc == 0) m_TimedOut = true;
  return rc;
}

long CTernTcpEndpoint::SendTlsLocked(const char* data, size_t length, long milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  size_t sent = 0;
  while (sent < length) {
    long left = milliseconds < 0 ? -1
                                 : std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         deadline - std::chrono::steady_clock::now())
                                                         .count());
    long n = m_Tls->WriteWithin(data + sent, length - sent, left);
    if (n < 0) return -1;
    if (n == 0) break;
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

long CTernTcpEndpoint::ReceiveBlockLocked(size_t max) {
  char block[kTernReadBlock];
  long got = m_Tls ? m_Tls->Read(block, std::min(max, sizeof block))
                   : PlatformSocketReceive(m_Socket, block, std::min(max, sizeof block));
  if (got > 0) m_Buffer.Append(block, static_cast<size_t>(got));
  if (got == 0) m_Closed = true;
  return got;
}

bool CTernTcpEndpoint::FillLocked(size_t want, int timeout) {
  for (size_t have = m_Buffer.Length(); have < want; have = m_Buffer.Length()) {
    int ready = WaitLocked(timeout * 1000L);
    if (ready < 0) return false;
    if (ready == 0) break;
    long got = ReceiveBlockLocked(want - have);
    if (got < 0) return false;
    if (got == 0) break;
  }
  return true;
}

long CTernTcpEndpoint::Receive(void* buffer, long count, int timeout) {
  CTernLockGuard guard(m_Lock);
  m_TimedOut = false;
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return -1;
  }
  if (!buffer || count < 0) {
    Report(TernEventType::Error, kMsgTcpReceiveArguments, DescribeLocked());
    return -1;
  }
  if (!FillLocked(static_cast<size_t>(count), timeout)) return -1;
  return static_cast<long>(m_Buffer.Take(buffer, static_cast<size_t>(count)));
}

long CTernTcpEndpoint::Receive(CTernString& text, long count, int timeout) {
  CTernLockGuard guard(m_Lock);
  m_TimedOut = false;
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return -1;
  }
  size_t want = count > 0 ? static_cast<size_t>(count) : std::numeric_limits<size_t>::max();
  if (!FillLocked(want, timeout)) return -1;
  std::string taken;
  m_Buffer.Take(taken, want);
  text.Assign(taken);
  return static_cast<long>(taken.size());
}

long CTernTcpEndpoint::ReceiveSome(std::string& text, size_t count, int timeout) {
  CTernLockGuard guard(m_Lock);
  m_TimedOut = false;
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, 119, DescribeLocked());
    return -1;
  }
  if (m_Buffer.Length() == 0 && count > 0) {
    int ready = WaitLocked(timeout * 1000L);
    if (ready <= 0) return ready;
    if (ReceiveBlockLocked(count) < 0) return -1;
  }
  std::string taken;
  m_Buffer.Take(taken, count);
  text += taken;
  return static_cast<long>(taken.size());
}

bool CTernTcpEndpoint::TakeLineLocked(std::string& line, std::string_view terminator,
                                      size_t maxLength) {
  if (maxLength == 0) return m_Buffer.TakeLine(line, terminator, true) != 0;
  if (line.size() >= maxLength) {
    m_Overlong = true;
    return true;
  }
  size_t room = std::min(maxLength - line.size(), m_Buffer.Length());
  if (room == 0) return false;
  // The buffer completes a terminator that began in the held bytes, so give it the
  // tail of the line that could hold such a beginning.
  size_t held = std::min(terminator.size() - 1, line.size());
  std::string block(line, line.size() - held);
  block.resize(held + room + 1);
  size_t length = held;
  bool found = m_Buffer.TakeLine(block.data(), block.size(), terminator, true, length) != 0;
  line.append(block, held, length - held);
  if (found) return true;
  if (line.size() >= maxLength) m_Overlong = true;
  return m_Overlong.load();
}

long CTernTcpEndpoint::ReceiveLine(CTernString& text, std::string_view terminator, int timeout,
                                   size_t maxLength, bool append) {
  CTernLockGuard guard(m_Lock);
  return ReceiveLineLocked(text, terminator, timeout * 1000L, std::nullopt, maxLength, append);
}

long CTernTcpEndpoint::ReceiveLineWithin(CTernString& text, std::string_view terminator,
                                         long milliseconds, size_t maxLength) {
  CTernLockGuard guard(m_Lock);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  return ReceiveLineLocked(text, terminator, milliseconds, deadline, maxLength, true);
}

long CTernTcpEndpoint::ReceiveLineLocked(CTernString& text, std::string_view terminator,
                                         long waitMs, std::optional<Deadline> deadline,
                                         size_t maxLength, bool append) {
  m_TimedOut = false;
  m_Overlong = false;
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return -1;
  }
  if (terminator.empty()) {
    Report(TernEventType::Error, kMsgTcpReceiveLineArguments, DescribeLocked());
    return -1;
  }
  std::string line = append ? text.Str() : std::string();
  long result = 0;
  while (!TakeLineLocked(line, terminator, maxLength)) {
    if (deadline) {
      // What is left of the whole call; never 0, which would mean a blocking read.
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      waitMs = left.count();
      if (waitMs < 1) {
        m_TimedOut = true;
        break;
      }
    }
    int ready = WaitLocked(waitMs);
    if (ready == 0) break;
    long got = ready < 0 ? -1 : ReceiveBlockLocked(kTernReadBlock);
    if (got < 0) result = -1;
    if (got <= 0) break;
  }
  text.Assign(line);
  return result < 0 ? -1 : static_cast<long>(line.size());
}

long CTernTcpEndpoint::Send(const void* buffer, long length) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return -1;
  }
  if (!buffer || length < 0) {
    Report(TernEventType::Error, kMsgTcpSendArguments, DescribeLocked());
    return -1;
  }
  if (m_Tls) return SendTlsLocked(static_cast<const char*>(buffer), static_cast<size_t>(length), -1);
  return PlatformSocketSend(m_Socket, buffer, static_cast<size_t>(length));
}

long CTernTcpEndpoint::SendWithin(std::string_view text, long milliseconds) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() != TernTcpState::Connected) {
    Report(TernEventType::Error, 119, DescribeLocked());
    return -1;
  }
  if (m_Tls) return SendTlsLocked(text.data(), text.size(), std::max(milliseconds, 0L));
  return PlatformSocketSendWithin(m_Socket, text.data(), text.size(), milliseconds);
}

long CTernTcpEndpoint::Send(std::string_view text) {
  return Send(text.data() ? text.data() : "", static_cast<long>(text.size()));
}

long CTernTcpEndpoint::Send(const CTernString& text) { return Send(std::string_view(text.Str())); }

bool CTernTcpEndpoint::TakeOver(CTernTcpEndpoint& other) {
  if (&other == this) return true;
  PairGuard guard(m_Lock, other.m_Lock);
  if (m_State.load() == TernTcpState::Connected) {
    Report(TernEventType::Error, kMsgTcpAlreadyConnected, DescribeLocked());
    return false;
  }
  if (m_State.load() == TernTcpState::Listening && !CloseLocked()) return false;
  ResetLocked();
  std::string pending = other.m_Buffer.TakeAll();
  m_Buffer.Append(pending);
  m_Closed = other.m_Closed.load();
  m_TimedOut = other.m_TimedOut.load();
  m_Overlong = other.m_Overlong.load();
  m_Address = other.m_Address;
  m_Socket = other.m_Socket;
  m_Tls = std::move(other.m_Tls);
  m_Encrypted = other.m_Encrypted.load();
  other.m_Encrypted = false;
  m_State = other.m_State.load();
  other.m_Socket = kPlatformInvalidSocket;
  other.m_State = TernTcpState::Disconnected;
  other.ResetLocked();
  return true;
}

bool CTernTcpEndpoint::WaitReadable(int timeout) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() == TernTcpState::Disconnected) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    return false;
  }
  if (timeout < 1 || m_Buffer.Length() > 0) return true;
  return WaitLocked(timeout * 1000L) == 1;
}

bool CTernTcpEndpoint::PeerClosed() {
  CTernLockGuard guard(m_Lock);
  return m_State.load() == TernTcpState::Connected && PlatformSocketPeerClosed(m_Socket);
}

bool CTernTcpEndpoint::SetNoDelay() {
  CTernLockGuard guard(m_Lock);
  return m_State.load() == TernTcpState::Connected && PlatformSocketSetNoDelay(m_Socket) == 0;
}

bool CTernTcpEndpoint::Close() {
  CTernLockGuard guard(m_Lock);
  return CloseLocked();
}

bool CTernTcpEndpoint::CloseLocked() {
  if (m_State.load() == TernTcpState::Disconnected) {
    Report(TernEventType::Warning, kMsgTcpAlreadyDisconnected, DescribeLocked());
    return false;
  }
  if (m_Tls) {
    m_Tls->Shutdown();
    m_Tls.reset();
    m_Encrypted = false;
  }
  // A peer that has already gone makes shutdown (and, rarely, close) fail: that is
  // the ordinary end of a conversation, not an event for the administrator.
  if (m_State.load() == TernTcpState::Connected && PlatformSocketShutdownSend(m_Socket) != 0 &&
      !PlatformSocketPeerGone(PlatformSocketError()))
    Report(TernEventType::Warning, kMsgTcpShutdownFailed, DescribeLocked(), PlatformSocketError());
  bool ok = PlatformSocketClose(m_Socket) == 0;
  if (!ok && !PlatformSocketPeerGone(PlatformSocketError()))
    Report(TernEventType::Error, kMsgTcpCloseFailed, DescribeLocked(), PlatformSocketError());
  m_Socket = kPlatformInvalidSocket;
  m_State = TernTcpState::Disconnected;
  m_Buffer.Clear();
  return ok;
}

bool CTernTcpEndpoint::StartTls(const CTernTlsContext& context, long milliseconds,
                                std::string& error, const std::function<bool()>& cancelled) {
  CTernLockGuard guard(m_Lock);
  if (m_State.load() != TernTcpState::Connected || m_Tls) {
    Report(TernEventType::Error, kMsgTcpNotConnected, DescribeLocked());
    error = "not a plain connection";
    return false;
  }
  // Commands the peer sent behind the one that asked for encryption were not
  // protected and must not be taken as part of the encrypted conversation.
  m_Buffer.Clear();
  auto session = std::make_unique<CTernTlsSession>(context, m_Socket);
  if (!session->Accept(milliseconds, error, cancelled)) return false;
  m_Tls = std::move(session);
  m_Encrypted = true;
  return true;
}

std::string CTernTcpEndpoint::TlsDescription() {
  CTernLockGuard guard(m_Lock);
  return m_Tls ? m_Tls->Protocol() + " " + m_Tls->Cipher() : std::string();
}
