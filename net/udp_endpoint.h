// The UDP endpoint: one datagram socket, opened by binding to a local address (or by
// connecting to a fixed peer), that receives datagrams with their senders and sends
// datagrams to a destination.
//
// Misuse and failures are reported by message code (177 to 191) and return false or
// -1; creating or releasing a socket that fails throws CTernException (185, 186).
// The state is guarded by one lock and the socket by a readers/writer lock:
// receiving and sending share the socket (a receiver waiting for a datagram does
// not hold up a sender), while binding and closing have it to themselves.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "net/network_address.h"
#include "platform/socket.h"

class CTernUdpEndpoint {
 public:
  CTernUdpEndpoint() = default;
  // Closes the endpoint first when it is open.
  ~CTernUdpEndpoint();
  CTernUdpEndpoint(const CTernUdpEndpoint&) = delete;
  CTernUdpEndpoint& operator=(const CTernUdpEndpoint&) = delete;

  // Opens the endpoint bound to the address's IPv4 addresses, tried in turn (181
  // for each failure; the wildcard address when it yields none). REQUIRES: closed
  // (191).
  bool Bind(const CTernNetAddress& address);
  // Opens the endpoint with the address as its fixed peer, so that SendTo without a
  // destination goes there (177 when it yields no address, 178 for each failure).
  // REQUIRES: closed (191).
  bool Connect(const CTernNetAddress& address);

  // Receives one datagram into buffer and its sender into sender (when given).
  // Returns its length; a datagram larger than size counts as a full buffer (size).
  // With a time-out of 1 or more waits first, with 0 not at all: 0 with the
  // timed-out flag set when nothing came (187 when the wait fails). -1 on failure.
  // REQUIRES: open (182), a buffer and a size above 0 (189).
  long ReceiveFrom(void* buffer, long size, int timeout, CTernNetAddress* sender);
  // Sends one datagram to the destination's addresses, tried in turn until one send
  // succeeds (177 when it yields none); without a destination to the fixed peer
  // (188 when there is none). Returns the length sent or -1. REQUIRES: open (182),
  // a buffer and a length of 0 or more (190).
  long SendTo(const void* buffer, long length, CTernNetAddress* destination);

  // Closes the socket (180 and false on failure); the endpoint is closed either way.
  // REQUIRES: open (179 otherwise).
  bool Close();

  // The bound IPv4 address and port (183), and the fixed peer's (184).
  bool LocalName(CTernNetAddress& address);
  bool PeerName(CTernNetAddress& address);

  // The socket, for waiting on several endpoints at once (PlatformSocketSetAdd);
  // valid while the endpoint stays open. kPlatformInvalidSocket when closed.
  PlatformSocket NativeSocket() const;

  bool IsOpen() const { return m_Open.load(); }
  bool TimedOut() const { return m_TimedOut.load(); }
  CTernNetAddress Address() const { return m_Address; }

 private:
  using SocketNameFn = int (*)(PlatformSocket, uint32_t&, uint16_t&);
  // The socket's own or its peer's address; failureCode is reported on failure.
  bool SocketName(CTernNetAddress& address, SocketNameFn get, int failureCode);

  // REQUIRES: m_StateLock held; throws 185.
  PlatformSocket NewSocketLocked();
  // Bind (connect false) or Connect: the socket on the first of the address's
  // addresses that takes it.
  bool OpenOn(const CTernNetAddress& address, bool connect);
  // Checks that the endpoint is open (182) and gives its socket.
  bool OpenSocket(PlatformSocket& s);
  void Report(int code, int error = 0);

  CTernRWLock m_SocketLock;  // read: receiving and sending; write: binding, closing
  mutable CTernLock m_StateLock;  // guards the members below
  std::atomic<bool> m_Open{false};
  bool m_Connected = false;
  CTernNetAddress m_Address;
  PlatformSocket m_Socket = kPlatformInvalidSocket;
  std::atomic<bool> m_TimedOut{false};
};
