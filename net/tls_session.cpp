// The TLS session of one connection: a socket layer for the library that never
// blocks, and the handshake, reads and writes with bounded waits.
#include "net/tls_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <climits>

namespace {

using Clock = std::chrono::steady_clock;

// A handshake asks whether to give up at least this often.
constexpr long kCancelSliceMs = 1000;

// The library reads and writes the socket through these: one attempt each, never
// waiting, never raising SIGPIPE. "Try again" goes back as the retry flags.
int SocketWrite(BIO* bio, const char* data, size_t length, size_t* written) {
  BIO_clear_retry_flags(bio);
  auto s = static_cast<PlatformSocket>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  long n = PlatformSocketSendNow(s, data, length);
  if (n >= 0) {
    *written = static_cast<size_t>(n);
    return 1;
  }
  if (PlatformSocketWouldBlock(PlatformSocketError())) BIO_set_retry_write(bio);
  return 0;
}

int SocketRead(BIO* bio, char* data, size_t size, size_t* read) {
  BIO_clear_retry_flags(bio);
  auto s = static_cast<PlatformSocket>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  long n = PlatformSocketReceiveNow(s, data, size);
  if (n > 0) {
    *read = static_cast<size_t>(n);
    return 1;
  }
  if (n < 0 && PlatformSocketWouldBlock(PlatformSocketError())) BIO_set_retry_read(bio);
  return 0;
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ostrel socket");
    BIO_meth_set_write_ex(m, SocketWrite);
    BIO_meth_set_read_ex(m, SocketRead);
    BIO_meth_set_ctrl(m, SocketControl);
    return m;
  }();
  return method;
}

// Milliseconds left until deadline (no limit stays -1).
long Left(long milliseconds, Clock::time_point deadline) {
  if (milliseconds < 0) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left.count() : 0;
}

std::string Reason(int kind) {
  switch (kind) {
    case SSL_ERROR_ZERO_RETURN: return "the peer closed the connection";
    case SSL_ERROR_SYSCALL: return "the connection broke off";
    default: return TernTlsLastError();
  }
}

}  // namespace

CTernTlsSession::CTernTlsSession(const CTernTlsContext& context, PlatformSocket socket)
    : m_Socket(socket) {
  m_Session = SSL_new(context.Handle());
  if (!m_Session) return;
  BIO* bio = BIO_new(SocketMethod());
  if (!bio) return;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(socket)));
  BIO_set_init(bio, 1);
  SSL_set_bio(m_Session, bio, bio);
  SSL_set_accept_state(m_Session);
}

CTernTlsSession::~CTernTlsSession() { SSL_free(m_Session); }

int CTernTlsSession::WaitFor(int result, long milliseconds) {
  m_LastError = SSL_get_error(m_Session, result);
  int ready;
  if (m_LastError == SSL_ERROR_WANT_READ)
    ready = PlatformSocketWaitReadableMs(m_Socket, milliseconds < 0 ? INT_MAX : milliseconds);
  else if (m_LastError == SSL_ERROR_WANT_WRITE)
    ready = PlatformSocketWaitWritableMs(m_Socket, milliseconds);
  else
    return -1;
  return ready < 0 ? -1 : ready;
}

bool CTernTlsSession::Accept(long milliseconds, std::string& error,
                             const std::function<bool()>& cancelled) {
  if (!m_Session || !SSL_get_rbio(m_Session)) {
    error = TernTlsLastError();
    return false;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  ERR_clear_error();
  for (;;) {
    int rc = SSL_do_handshake(m_Session);
    if (rc == 1) return true;
    long left = Left(milliseconds, deadline);
    int ready = WaitFor(rc, left < 0 || left > kCancelSliceMs ? kCancelSliceMs : left);
    if (ready == 1) continue;
    if (ready == 0 && Left(milliseconds, deadline) != 0 && !(cancelled && cancelled())) continue;
    error = ready == 0 ? "no handshake within the time allowed" : Reason(m_LastError);
    ERR_clear_error();
    return false;
  }
}

int CTernTlsSession::WaitReadable(long milliseconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  for (;;) {
    if (SSL_pending(m_Session) > 0) return 1;
    char byte;
    size_t got = 0;
    ERR_clear_error();
    int rc = SSL_peek_ex(m_Session, &byte, 1, &got);
    if (rc == 1) return 1;
    int ready = WaitFor(rc, Left(milliseconds, deadline));
    ERR_clear_error();
    if (ready == 1) continue;
    // A close or a failure is for the read to see; a wait that failed is not.
    return ready == 0 ? 0 : (m_LastError == SSL_ERROR_WANT_READ ||
                             m_LastError == SSL_ERROR_WANT_WRITE ? -1 : 1);
  }
}

long CTernTlsSession::Read(void* buffer, size_t size) {
  for (;;) {
    size_t got = 0;
    ERR_clear_error();
    int rc = SSL_read_ex(m_Session, buffer, size, &got);
    if (rc == 1) return static_cast<long>(got);
    int ready = WaitFor(rc, -1);
    ERR_clear_error();
    if (ready == 1) continue;
    if (m_LastError == SSL_ERROR_ZERO_RETURN) return 0;
    return -1;
  }
}

long CTernTlsSession::WriteWithin(const void* buffer, size_t length, long milliseconds) {
  if (length == 0) return 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  for (;;) {
    size_t written = 0;
    ERR_clear_error();
    int rc = SSL_write_ex(m_Session, buffer, length, &written);
    if (rc == 1) return static_cast<long>(written);
    int ready = WaitFor(rc, Left(milliseconds, deadline));
    ERR_clear_error();
    if (ready == 1) continue;
    return ready == 0 ? 0 : -1;
  }
}

void CTernTlsSession::Shutdown() {
  if (!m_Session || !SSL_is_init_finished(m_Session)) return;
  ERR_clear_error();
  SSL_shutdown(m_Session);
  ERR_clear_error();
}

std::string CTernTlsSession::Protocol() const { return SSL_get_version(m_Session); }

std::string CTernTlsSession::Cipher() const {
  const char* name = SSL_get_cipher_name(m_Session);
  return name ? name : "";
}
