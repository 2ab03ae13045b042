// Encrypted connections on loopback: a real TLS client (the library's own) against
// the endpoint's server side, the certificate maker and the context's checks. The
// endpoint must read, wait and close over TLS as it does plain, never let a silent
// or plain-speaking client hold the handshake, refuse old protocol versions, and
// drop what a client sent in clear behind its request for encryption.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>
#include <thread>

#include "net/tcp_endpoint.h"
#include "net/tls_certificate.h"
#include "net/tls_context.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

// One certificate for every test of the file: making a key takes a while.
struct Certificate {
  TempDir dir;
  std::string certificate, key;
  std::shared_ptr<CTernTlsContext> context;
  Certificate() {
    std::string pem, keyPem, error;
    EXPECT_TRUE(TernMakeSelfSignedCertificate("mail.example.org", pem, keyPem, error)) << error;
    certificate = dir.Write("cert.pem", pem);
    key = dir.Write("key.pem", keyPem);
    context = CTernTlsContext::Load(certificate, key, error);
    EXPECT_TRUE(context) << error;
  }
};

Certificate& Shared() {
  static Certificate c;
  return c;
}

// A blocking TLS client on a plain socket; maxVersion 0 allows every version the
// library has.
class Client {
 public:
  explicit Client(uint16_t port, int maxVersion = 0) {
    m_Socket = PlatformSocketOpen(true);
    EXPECT_EQ(PlatformSocketConnect(m_Socket, Loopback(1), port), 0);
    m_Context = SSL_CTX_new(TLS_client_method());
    if (maxVersion) {
      SSL_CTX_set_security_level(m_Context, 0);
      SSL_CTX_set_min_proto_version(m_Context, TLS1_VERSION);
      SSL_CTX_set_max_proto_version(m_Context, maxVersion);
      SSL_CTX_set_cipher_list(m_Context, "ALL:@SECLEVEL=0");
    }
    SSL_CTX_load_verify_locations(m_Context, Shared().certificate.c_str(), nullptr);
    SSL_CTX_set_verify(m_Context, SSL_VERIFY_PEER, nullptr);
    m_Session = SSL_new(m_Context);
    SSL_set_fd(m_Session, m_Socket);
    SSL_set1_host(m_Session, "mail.example.org");
  }
  ~Client() {
    SSL_free(m_Session);
    SSL_CTX_free(m_Context);
    PlatformSocketClose(m_Socket);
  }
  bool Handshake() { return SSL_connect(m_Session) == 1; }
  void Write(const std::string& text) {
    EXPECT_EQ(SSL_write(m_Session, text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
  }
  std::string ReadAll(size_t want) {
    std::string got;
    char block[16384];
    while (got.size() < want) {
      int n = SSL_read(m_Session, block, sizeof block);
      if (n <= 0) break;
      got.append(block, static_cast<size_t>(n));
    }
    return got;
  }
  void Close() { SSL_shutdown(m_Session); PlatformSocketShutdownSend(m_Socket); }
  PlatformSocket Socket() const { return m_Socket; }

 private:
  PlatformSocket m_Socket;
  SSL_CTX* m_Context;
  SSL* m_Session;
};

class TlsPair : public ::testing::Test {
 protected:
  void SetUp() override { port = ListenOnLoopback(listener); }
  bool AcceptTls(long milliseconds = 5000) {
    EXPECT_TRUE(listener.Accept(server, 5));
    return server.StartTls(*Shared().context, milliseconds, error);
  }
  EventCapture events;
  CTernTcpEndpoint listener;
  CTernTcpEndpoint server;
  uint16_t port = 0;
  std::string error;
};

}  // namespace

TEST_F(TlsPair, LinesBlocksAndCloseBehaveAsOnAPlainConnection) {
  const std::string big(300000, 'x');
  std::string received;
  std::thread client([&] {
    Client c(port);
    ASSERT_TRUE(c.Handshake());
    // A line split over two records, then one that follows in the same record as
    // the next.
    c.Write("hel");
    PlatformSleepMs(50);
    c.Write("lo\r\n");
    c.Write("second\r\nthird");
    received = c.ReadAll(big.size());
    c.Close();
  });
  ASSERT_TRUE(AcceptTls()) << error;
  EXPECT_TRUE(server.Encrypted());
  EXPECT_EQ(server.TlsDescription().rfind("TLSv1.3 ", 0), 0u) << server.TlsDescription();
  CTernString line;
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5), 7);
  EXPECT_EQ(line.Str(), "hello\r\n");
  line.Clear();
  EXPECT_EQ(server.ReceiveLineWithin(line, "\r\n", 5000), 8);
  EXPECT_EQ(line.Str(), "second\r\n");
  EXPECT_EQ(server.Send(big), static_cast<long>(big.size()));
  // The partial last line comes with the closed flag once the client has gone.
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5), 5);
  EXPECT_EQ(line.Str(), "third");
  EXPECT_TRUE(server.Closed());
  client.join();
  EXPECT_EQ(received, big);
  EXPECT_TRUE(server.Close());
  EXPECT_FALSE(server.Encrypted());
}

TEST_F(TlsPair, SilenceTimesOutWithoutHoldingTheReader) {
  Client c(port);
  std::thread handshake([&] { EXPECT_TRUE(c.Handshake()); });
  ASSERT_TRUE(AcceptTls()) << error;
  handshake.join();
  CTernString line;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 1), 0);
  EXPECT_TRUE(server.TimedOut());
  EXPECT_FALSE(server.WaitReadable(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  // Half a record holds nobody either: the reader waits for the rest within its
  // time only.
  const char half[] = {0x17, 0x03, 0x03, 0x00, 0x40, 0x01};
  ASSERT_EQ(PlatformSocketSend(c.Socket(), half, sizeof half), 6);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.ReceiveLineWithin(line, "\r\n", 500), 0);
  EXPECT_TRUE(server.TimedOut());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(TlsPair, HandshakeFailuresEndInTime) {
  struct Case {
    const char* name;
    std::string sent;  // what a plain client sends instead of a handshake
    int maxVersion;    // or a TLS client limited to this version
  };
  for (const Case& c : {Case{"silent", "", 0}, Case{"plain text", "EHLO client\r\n", 0},
                        Case{"TLS 1.0", "", TLS1_VERSION}, Case{"TLS 1.1", "", TLS1_1_VERSION}}) {
    SCOPED_TRACE(c.name);
    std::thread client([&] {
      if (c.maxVersion) {
        Client old(port, c.maxVersion);
        EXPECT_FALSE(old.Handshake());
        return;
      }
      CTernTcpEndpoint plain;
      ASSERT_TRUE(plain.Connect(CTernNetAddress(Loopback(1), port)));
      if (!c.sent.empty()) plain.Send(c.sent);
      CTernString ignored;
      plain.Receive(ignored, 0, 3);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(AcceptTls(1000));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(server.Encrypted());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    server.Close();
    client.join();
  }
}

TEST_F(TlsPair, AHandshakeEndsWhenCancelled) {
  CTernTcpEndpoint silent;
  ASSERT_TRUE(silent.Connect(CTernNetAddress(Loopback(1), port)));
  ASSERT_TRUE(listener.Accept(server, 5));
  auto start = std::chrono::steady_clock::now();
  auto asked = [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300); };
  EXPECT_FALSE(server.StartTls(*Shared().context, 20000, error, asked));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(TlsPair, ClearTextBehindTheUpgradeIsDropped) {
  std::thread client([&] {
    CTernTcpEndpoint plain;
    ASSERT_TRUE(plain.Connect(CTernNetAddress(Loopback(1), port)));
    plain.Send("STARTTLS\r\nRCPT TO:<injected@example.org>\r\n");
    CTernString ignored;
    plain.Receive(ignored, 0, 2);
  });
  ASSERT_TRUE(listener.Accept(server, 5));
  CTernString line;
  ASSERT_EQ(server.ReceiveLine(line, "\r\n", 5), 10);
  PlatformSleepMs(100);
  EXPECT_GT(server.Buffered(), 0u);
  // The client never starts the handshake: the injected line must not be read.
  EXPECT_FALSE(server.StartTls(*Shared().context, 500, error));
  EXPECT_EQ(server.Buffered(), 0u);
  client.join();
}

TEST(TlsContext, UnusableFilesAreRefusedWithTheReason) {
  Certificate& good = Shared();
  std::string pem, otherKey, error;
  ASSERT_TRUE(TernMakeSelfSignedCertificate("other.example.org", pem, otherKey, error));
  std::string mismatched = good.dir.Write("other-key.pem", otherKey);
  std::string garbage = good.dir.Write("garbage.pem", "not a certificate\n");
  struct Case {
    std::string certificate, key;
  };
  for (const Case& c : {Case{good.dir.File("missing.pem"), good.key}, Case{good.certificate, mismatched},
                        Case{garbage, good.key}, Case{good.certificate, garbage}}) {
    error.clear();
    EXPECT_FALSE(CTernTlsContext::Load(c.certificate, c.key, error)) << c.certificate << " " << c.key;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(TernMakeSelfSignedCertificate("", pem, otherKey, error));
}
