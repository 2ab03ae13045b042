// One encrypted connection on the server side: the TLS state over a connected
// socket, which it drives itself without ever blocking, so that every wait is
// bounded by the caller's time (a peer that sends half a record, or nothing, holds
// nobody longer than the caller allows). The endpoint (net/tcp_endpoint.h) holds
// one while its connection is encrypted and reads and writes through it.
//
// Milliseconds below 0 mean no limit; 0 means one attempt without waiting.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "net/tls_context.h"
#include "platform/socket.h"

struct ssl_st;

class CTernTlsSession {
 public:
  // A session over socket (which stays the caller's), not yet negotiated.
  CTernTlsSession(const CTernTlsContext& context, PlatformSocket socket);
  ~CTernTlsSession();
  CTernTlsSession(const CTernTlsSession&) = delete;
  CTernTlsSession& operator=(const CTernTlsSession&) = delete;

  // Runs the server's side of the handshake within milliseconds. False with the
  // reason in error when the peer fails it, goes away or takes too long, or when
  // cancelled (asked at least once a second while waiting) says so.
  bool Accept(long milliseconds, std::string& error,
              const std::function<bool()>& cancelled = nullptr);

  // 1 when decrypted data is there (or the peer's close or a failure, which the
  // next Read tells) within milliseconds, 0 when the wait expires, -1 when the
  // socket cannot be waited on.
  int WaitReadable(long milliseconds);
  // Decrypted bytes into buffer, at most size: their number, 0 when the peer has
  // closed, -1 on a failure. Waits without limit when nothing is there yet (call
  // WaitReadable first).
  long Read(void* buffer, size_t size);
  // Encrypts and sends what the peer takes of the block within milliseconds: the
  // number of bytes taken (possibly 0), or -1 on a failure.
  long WriteWithin(const void* buffer, size_t length, long milliseconds);
  // Sends the closing alert once, without waiting for the peer's.
  void Shutdown();

  // The negotiated protocol ("TLSv1.3") and cipher suite.
  std::string Protocol() const;
  std::string Cipher() const;

 private:
  // After a call that did not finish: waits for the socket as the library asks
  // until deadlineMs passes (below 0: no limit). 1 to try again, 0 when time ran
  // out, -1 when the session failed or the peer closed (kind in m_LastError).
  int WaitFor(int result, long milliseconds);

  ssl_st* m_Session = nullptr;
  PlatformSocket m_Socket;
  int m_LastError = 0;
};
