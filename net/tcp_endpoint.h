// The TCP endpoint: one socket that listens or carries one connection, with a
// receive buffer that readers take from by count or line by line.
//
// An endpoint remembers its state (disconnected, listening, connected) so that
// misuse is reported to the event log by message code instead of reaching the
// socket layer; the texts name the endpoint by its address's Describe() text. Every
// operation holds the endpoint's lock for its whole duration, waits included, so an
// endpoint is safe to share but is meant to be used by one thread at a time (the
// flags and the state can be read without waiting for that lock).
//
// Time-outs are whole seconds; a time-out below 1 means no wait comes first and the
// socket call blocks. Failures return false or -1. Creating or releasing a socket
// that fails throws CTernException (123, 128), which has reported itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/buffer.h"
#include "base/lock.h"
#include "base/string.h"
#include "net/network_address.h"
#include "net/tls_session.h"
#include "platform/socket.h"

enum class TernTcpState { Disconnected = 0, Listening = 1, Connected = 2 };

// Connections wait this long for the kernel's queue of pending connections; the
// kernel may cap it.
constexpr int kTernListenBacklog = 10000;
// The longest line ReceiveLine takes unless told otherwise; 0 as a limit means none.
constexpr size_t kTernLineLimit = 1 << 20;

class CTernTcpEndpoint {
 public:
  CTernTcpEndpoint() = default;
  explicit CTernTcpEndpoint(const CTernNetAddress& address);
  // Closes the endpoint first when it is not disconnected.
  ~CTernTcpEndpoint();
  CTernTcpEndpoint(const CTernTcpEndpoint&) = delete;
  CTernTcpEndpoint& operator=(const CTernTcpEndpoint&) = delete;

  // Connects to the endpoint's address (the second form sets it first): resolves it
  // and tries its IPv4 addresses in order, reporting each refusal (125, a warning)
  // until one answers. REQUIRES: disconnected (115 when connected, 116 when
  // listening). 122 when the address yields no IPv4 address.
  bool Connect();
  bool Connect(const CTernNetAddress& address);
  // Connects to address within milliseconds, trying its IPv4 addresses in order,
  // each with what is left of the time. cancelled, when given, is asked between
  // waits of at most 250 ms; a true answer gives up. Refusals and time-outs are the
  // caller's to record (nothing is reported). REQUIRES: disconnected (115, 116).
  bool ConnectWithin(const CTernNetAddress& address, long milliseconds,
                     const std::function<bool()>& cancelled = {});

  // Binds to the address's IPv4 addresses in turn (129 for each failure; the
  // wildcard address when it yields none) and listens with kTernListenBacklog (130).
  // REQUIRES: disconnected (114 when listening, 117 when connected; warnings).
  bool Listen(const CTernNetAddress& address);

  // Accepts one pending connection into target, which becomes connected with the
  // peer's IPv4 address and port as its address. With a time-out of 1 or more waits
  // for one first; when none comes the timed-out flag is set and the result is
  // false. REQUIRES: this listening (120), target disconnected (121).
  bool Accept(CTernTcpEndpoint& target, int timeout);

  // The bound IPv4 address and port (listening or connected; 118, 132), and the
  // peer's (connected; 119, 133). address is replaced on success only.
  bool LocalName(CTernNetAddress& address);
  bool PeerName(CTernNetAddress& address);

  // Delivers up to count bytes into buffer: buffered bytes first, then receives
  // (at most kTernReadBlock at a time) while fewer are buffered, until the wait
  // expires (timed-out flag) or the peer closes (closed flag). Returns the number
  // delivered, or -1 on a socket error (nothing delivered). REQUIRES: connected
  // (119), a buffer and a count of 0 or more (136).
  long Receive(void* buffer, long count, int timeout);
  // The same into text (replacing it). A count of 0 or less reads until the peer
  // closes or the wait expires and delivers everything. Returns text's length or -1.
  long Receive(CTernString& text, long count, int timeout);

  // Appends at most count bytes to text: those already buffered, or else what one
  // receive brings after waiting at most timeout seconds for data. It never waits
  // twice, so a peer that sends a byte at a time cannot hold the caller longer than
  // the time-out. Returns the number appended: 0 when the wait expired (timed-out
  // flag) or the peer closed (closed flag), -1 on a socket error. REQUIRES:
  // connected (119).
  long ReceiveSome(std::string& text, size_t count, int timeout);

  // Takes one line, up to and including the first terminator (never empty, 137),
  // receiving as the buffer runs dry. Returns the line's length with the
  // terminator. When the wait expires or the peer closes first, returns the length
  // of the partial text (possibly 0) with the timed-out or closed flag set; when the
  // text reaches maxLength bytes without a terminator, returns them with the
  // overlong flag set (the rest stays to be read). -1 on a socket error (text holds
  // what was taken). With append the line is added to what text already holds (to
  // go on with a partial line; a terminator split between the two is found).
  // REQUIRES: connected (119).
  long ReceiveLine(CTernString& text, std::string_view terminator, int timeout,
                   size_t maxLength = kTernLineLimit, bool append = false);
  // ReceiveLine with append, for a caller that must keep control however the peer
  // sends: milliseconds bound the whole call, not each wait, so that a peer sending
  // a byte now and then cannot keep it inside. When the time is up before a
  // terminator, returns the length of the text so far with the timed-out flag set.
  long ReceiveLineWithin(CTernString& text, std::string_view terminator, long milliseconds,
                         size_t maxLength = kTernLineLimit);

  // Sends the whole block; the length sent or -1. REQUIRES: connected (119), a
  // buffer and a length of 0 or more (138).
  long Send(const void* buffer, long length);
  long Send(std::string_view text);
  long Send(const CTernString& text);
  // Sends what the peer takes of text within milliseconds (one attempt without
  // waiting when 0 or less), so that a peer that reads nothing cannot hold the
  // caller: the number of bytes sent, or -1. REQUIRES: connected (119).
  long SendWithin(std::string_view text, long milliseconds);

  // Encrypts the connection from here on (the server's side of TLS): what the
  // peer sent before and is still buffered is dropped, since it was not protected,
  // and the handshake must end within milliseconds. Every read, write and wait
  // then goes through the encryption with the same results and time-outs as
  // before. False with the reason in error when the handshake fails; the
  // connection is then of no further use. REQUIRES: connected (119) and not
  // encrypted yet.
  // cancelled, when given, is asked at least once a second during the handshake
  // and ends it when true.
  bool StartTls(const CTernTlsContext& context, long milliseconds, std::string& error,
                const std::function<bool()>& cancelled = nullptr);
  // True once StartTls has succeeded on this connection.
  bool Encrypted() const { return m_Encrypted.load(); }
  // The protocol and cipher suite in use ("TLSv1.3 TLS_AES_256_GCM_SHA384"), or
  // empty when the connection is not encrypted.
  std::string TlsDescription();

  // Moves other's connection (socket, state, address, buffered data and flags)
  // here and leaves other disconnected. A listening endpoint closes its own socket
  // first. REQUIRES: this not connected (115).
  bool TakeOver(CTernTcpEndpoint& other);

  // True when buffered data, received data or a pending connection is there within
  // the time-out (at once when it is below 1); false when it expires or on failure
  // (134). REQUIRES: listening or connected (119).
  bool WaitReadable(int timeout);
  // Replies go out at once, not held back for the peer's acknowledgement of the
  // previous one (for protocols whose clients pipeline commands). False when not
  // connected or the option cannot be set.
  bool SetNoDelay();

  // Shuts a connection's sending side down (124, a warning, on failure) and closes
  // the socket (126 and false on failure); the endpoint is disconnected either way.
  // REQUIRES: listening or connected (113, a warning, and false otherwise).
  bool Close();

  // True when the peer has closed its side or reset the connection, seen at once
  // without reading (bytes it sent before may still be unread).
  bool PeerClosed();

  // Set when a receive found that the peer had closed the connection.
  bool Closed() const { return m_Closed.load(); }
  // Set when the last wait for data expired; cleared by every receive and accept.
  bool TimedOut() const { return m_TimedOut.load(); }
  // Set when the last ReceiveLine stopped at its length limit.
  bool Overlong() const { return m_Overlong.load(); }
  TernTcpState State() const { return m_State.load(); }
  // A copy of the endpoint's address (for a connection, the peer's).
  CTernNetAddress Address() const { return m_Address; }
  // Bytes received and not yet taken.
  size_t Buffered() const { return m_Buffer.Length(); }

 private:
  // Every helper below REQUIRES: m_Lock held.
  bool ConnectLocked();
  // A fresh stream socket; throws CTernException 123.
  PlatformSocket NewSocketLocked();
  // Closes a socket not (or no longer) owned by the endpoint; throws 128.
  void ReleaseLocked(PlatformSocket s, size_t index);
  using Deadline = std::chrono::steady_clock::time_point;

  // 1 readable, 0 timed out (flag set), -1 failed (134 reported). No wait below 1.
  int WaitLocked(long milliseconds);
  // Receives once into the buffer; the byte count, 0 at the peer's close (flag set)
  // or -1.
  long ReceiveBlockLocked(size_t max);
  // Receives until want bytes are buffered, the wait expires or the peer closes;
  // false on a failure.
  bool FillLocked(size_t want, int timeout);
  // Moves buffered bytes into line up to a terminator or maxLength; true when the
  // line is finished either way.
  bool TakeLineLocked(std::string& line, std::string_view terminator, size_t maxLength);
  // ReceiveLine: each wait lasts waitMs (no wait below 1); with a deadline, the
  // whole call ends there.
  long ReceiveLineLocked(CTernString& text, std::string_view terminator, long waitMs,
                         std::optional<Deadline> deadline, size_t maxLength, bool append);
  // The encrypted forms of the wait and of sending (milliseconds below 0: no
  // limit). REQUIRES: m_Tls.
  int WaitTlsLocked(long milliseconds);
  long SendTlsLocked(const char* data, size_t length, long milliseconds);
  bool CloseLocked();
  void ResetLocked();
  std::string DescribeLocked(size_t index = 0) { return m_Address.Describe(index); }

  mutable CTernLock m_Lock;  // held by every operation; guards the members below
  std::atomic<TernTcpState> m_State{TernTcpState::Disconnected};
  CTernNetAddress m_Address;
  PlatformSocket m_Socket = kPlatformInvalidSocket;
  CTernBuffer m_Buffer;
  std::atomic<bool> m_Closed{false};
  std::atomic<bool> m_TimedOut{false};
  std::atomic<bool> m_Overlong{false};
  std::unique_ptr<CTernTlsSession> m_Tls;  // while the connection is encrypted
  std::atomic<bool> m_Encrypted{false};
};
