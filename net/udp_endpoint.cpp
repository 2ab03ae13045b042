// The UDP endpoint over a datagram socket.
#include "net/udp_endpoint.h"

#include <cerrno>
#include <vector>

#include "base/exception.h"
#include "base/message_codes.h"
#include "log/eventlog.h"

CTernUdpEndpoint::~CTernUdpEndpoint() {
  if (m_Open.load()) Close();
}

void CTernUdpEndpoint::Report(int code, int error) {
  std::string where = m_Address.Describe();
  if (error != 0)
    TernReportEventF(TernEventType::Error, code, where, error);
  else
    TernReportEventF(TernEventType::Error, code, where);
}

PlatformSocket CTernUdpEndpoint::NewSocketLocked() {
  PlatformSocket s = PlatformSocketOpen(false);
  if (s == kPlatformInvalidSocket)
    throw CTernException(kMsgUdpSocketFailed, m_Address.Describe(), PlatformSocketError());
  return s;
}

bool CTernUdpEndpoint::Bind(const CTernNetAddress& address) { return OpenOn(address, false); }

bool CTernUdpEndpoint::Connect(const CTernNetAddress& address) { return OpenOn(address, true); }

bool CTernUdpEndpoint::OpenOn(const CTernNetAddress& address, bool connect) {
  CTernWriteGuard socketGuard(m_SocketLock);
  CTernLockGuard guard(m_StateLock);
  if (m_Open.load()) {
    Report(kMsgUdpIsConnected);
    return false;
  }
  m_Address = address;
  std::vector<uint32_t> addresses;
  if (!m_Address.Resolve(addresses)) {
    if (connect) {
      Report(kMsgUdpNoAddresses);
      return false;
    }
    // Bound without an address of its own: every local address.
    m_Address.AddAddress(0);
    addresses.assign(1, 0);
  }
  PlatformSocket s = NewSocketLocked();
  uint16_t port = m_Address.Port();
  for (size_t i = 0; i < addresses.size(); ++i) {
    int result = connect ? PlatformSocketConnect(s, addresses[i], port)
                         : PlatformSocketBind(s, addresses[i], port, false);
    if (result == 0) {
      m_Socket = s;
      m_Connected = connect;
      m_Open = true;
      return true;
    }
    // A failed connect is tried on the next address; a failed bind is an error.
    TernReportEventF(connect ? TernEventType::Warning : TernEventType::Error,
                     connect ? kMsgUdpConnectFailed : kMsgUdpBindFailed, m_Address.Describe(i),
                     PlatformSocketError());
  }
  if (PlatformSocketClose(s) != 0)
    throw CTernException(kMsgUdpClosesocketFailed, m_Address.Describe(), PlatformSocketError());
  return false;
}

PlatformSocket CTernUdpEndpoint::NativeSocket() const {
  CTernLockGuard guard(m_StateLock);
  return m_Socket;
}

bool CTernUdpEndpoint::OpenSocket(PlatformSocket& s) {
  CTernLockGuard guard(m_StateLock);
  if (!m_Open.load()) {
    Report(kMsgUdpIsClosed);
    return false;
  }
  s = m_Socket;
  return true;
}

long CTernUdpEndpoint::ReceiveFrom(void* buffer, long size, int timeout, CTernNetAddress* sender) {
  CTernReadGuard socketGuard(m_SocketLock);
  m_TimedOut = false;
  PlatformSocket s;
  if (!OpenSocket(s)) return -1;
  if (!buffer || size <= 0) {
    Report(kMsgUdpReceiveArguments);
    return -1;
  }
  if (timeout >= 1) {
    int rc = PlatformSocketWaitReadable(s, timeout);
    if (rc < 0) {
      Report(kMsgUdpSelectFailed, PlatformSocketError());
      return -1;
    }
    if (rc == 0) {
      m_TimedOut = true;
      return 0;
    }
  }
  uint32_t ip = 0;
  uint16_t port = 0;
  long n = PlatformSocketReceiveFrom(s, buffer, static_cast<size_t>(size), ip, port);
  if (n < 0) {
    int error = PlatformSocketError();
    if (error != EAGAIN && error != EWOULDBLOCK) return -1;
    m_TimedOut = true;  // nothing queued after all
    return 0;
  }
  if (sender) {
    sender->SetAddress(ip);
    sender->SetPort(port);
  }
  return n > size ? size : n;
}

long CTernUdpEndpoint::SendTo(const void* buffer, long length, CTernNetAddress* destination) {
  CTernReadGuard socketGuard(m_SocketLock);
  PlatformSocket s;
  if (!OpenSocket(s)) return -1;
  if (!buffer || length < 0) {
    Report(kMsgUdpSendArguments);
    return -1;
  }
  size_t size = static_cast<size_t>(length);
  if (!destination) {
    bool connected;
    {
      CTernLockGuard guard(m_StateLock);
      connected = m_Connected;
    }
    if (!connected) {
      Report(kMsgUdpNotConnected);
      return -1;
    }
    return PlatformSocketSend(s, buffer, size);
  }
  std::vector<uint32_t> addresses;
  if (!destination->Resolve(addresses)) {
    TernReportEventF(TernEventType::Error, kMsgUdpNoAddresses, destination->Describe());
    return -1;
  }
  uint16_t port = destination->Port();
  for (uint32_t ip : addresses) {
    long n = PlatformSocketSendTo(s, buffer, size, ip, port);
    if (n >= 0) return n;
  }
  return -1;
}

bool CTernUdpEndpoint::Close() {
  CTernWriteGuard socketGuard(m_SocketLock);
  CTernLockGuard guard(m_StateLock);
  if (!m_Open.load()) {
    Report(kMsgUdpAlreadyClosed);
    return false;
  }
  bool ok = PlatformSocketClose(m_Socket) == 0;
  if (!ok) Report(kMsgUdpCloseFailed, PlatformSocketError());
  m_Socket = kPlatformInvalidSocket;
  m_Open = false;
  m_Connected = false;
  return ok;
}

bool CTernUdpEndpoint::SocketName(CTernNetAddress& address, SocketNameFn get, int failureCode) {
  CTernReadGuard socketGuard(m_SocketLock);
  PlatformSocket s;
  if (!OpenSocket(s)) return false;
  uint32_t ip = 0;
  uint16_t port = 0;
  if (get(s, ip, port) != 0) {
    Report(failureCode, PlatformSocketError());
    return false;
  }
  address = CTernNetAddress(ip, port);
  return true;
}

bool CTernUdpEndpoint::LocalName(CTernNetAddress& address) {
  return SocketName(address, PlatformSocketLocalName, kMsgUdpGetsocknameFailed);
}

bool CTernUdpEndpoint::PeerName(CTernNetAddress& address) {
  return SocketName(address, PlatformSocketPeerName, kMsgUdpGetpeernameFailed);
}
