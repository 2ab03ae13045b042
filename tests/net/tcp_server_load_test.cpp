// The TCP server under load on loopback: one client address holds at most its
// limit of connections, with a short wait for a place, and a client that reads
// nothing cannot hold a worker. (The growth of the pool and the stressed waits are
// proved against the real program: tests/transport/test_smtp_load_system.py.)
#include "net/tcp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/sync.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

// A client connection from 127.0.0.n (the endpoint cannot choose its own address).
class Client {
 public:
  Client(int from, uint16_t port) : m_Socket(PlatformSocketOpen(true)) {
    EXPECT_EQ(PlatformSocketBind(m_Socket, Loopback(from), 0, false), 0);
    EXPECT_EQ(PlatformSocketConnect(m_Socket, Loopback(1), port), 0);
  }
  ~Client() { PlatformSocketClose(m_Socket); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // False once the server has dropped the connection (the replies tell the rest).
  bool Send(const std::string& text) {
    return PlatformSocketSend(m_Socket, text.data(), text.size()) == static_cast<long>(text.size());
  }
  // What arrives within seconds, up to and including the first CR LF; "" when the
  // server closes first.
  std::string Line(int seconds = 5) {
    std::string line;
    char c;
    while (!line.ends_with("\r\n") && PlatformSocketWaitReadable(m_Socket, seconds) == 1 &&
           PlatformSocketReceive(m_Socket, &c, 1) == 1)
      line += c;
    return line;
  }
  // True when the server closes the connection within seconds.
  bool Closed(int seconds = 5) {
    char c;
    return PlatformSocketWaitReadable(m_Socket, seconds) == 1 &&
           PlatformSocketReceive(m_Socket, &c, 1) == 0;
  }

 private:
  PlatformSocket m_Socket;
};

// Answers "ok " and each line, throws on "boom", answers "flood" with more than
// the socket buffers hold, and turns surplus clients away with "NO".
class GuardedServer : public CTernTcpServer {
 public:
  explicit GuardedServer(const TernLoadLimits& limits) : CTernTcpServer("TEST") {
    SetLoadLimits(limits);
  }
  ~GuardedServer() override { Stop(); }

  std::atomic<int> flooded{-1};  // 1 when a flood went out whole, 0 when it did not

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int) override {
    CTernString line;
    while (ReadClientLine(connection, line, 0, StressedWait(), kTernLineLimit) > 0) {
      if (line.Str() == "boom\r\n") throw std::runtime_error("boom");
      if (line.Str() == "flood\r\n") {
        flooded = SendToClient(connection, std::string(64 << 20, 'x'), 0) ? 1 : 0;
        return;
      }
      SendToClient(connection, "ok " + line.Str(), 0);
    }
  }
  TernRefusal ClientLimitRefusal() const override { return TernRefusal{0, "NO\r\n"}; }
};

}  // namespace

TEST(TcpServerLoad, OneClientAddressHoldsAtMostItsLimit) {
  EventCapture events;
  GuardedServer server({200, 2, 10, 10});
  ASSERT_TRUE(server.Start(1, 0, CTernNetAddress(Loopback(1), 0)));
  auto connect = [&] { return std::make_unique<Client>(1, server.Port()); };
  std::vector<std::unique_ptr<Client>> a;
  for (int i = 0; i < 5; ++i) a.push_back(connect());
  for (int i = 0; i < 2; ++i) {
    a[i]->Send("x\r\n");
    EXPECT_EQ(a[i]->Line(), "ok x\r\n") << i;
  }
  // Two more wait for a place; the fifth is turned away at once.
  EXPECT_EQ(a[4]->Line(1), "NO\r\n");
  EXPECT_TRUE(a[4]->Closed());
  // A waiting one that its client has closed gives its place to a newer one.
  a[3].reset();
  auto late = connect();
  // Places that come free go to those that wait, in order: the first when a
  // connection ends, the newer one when a handler ends by an exception.
  a[0].reset();
  a[2]->Send("w\r\n");
  EXPECT_EQ(a[2]->Line(), "ok w\r\n");
  a[1]->Send("boom\r\n");
  EXPECT_TRUE(a[1]->Closed());
  late->Send("l\r\n");
  EXPECT_EQ(late->Line(), "ok l\r\n");
  // One that finds no place within its wait is turned away.
  auto last = connect();
  EXPECT_EQ(last->Line(), "NO\r\n");
  EXPECT_TRUE(last->Closed());
  // Another address has limits of its own.
  Client other(2, server.Port());
  other.Send("y\r\n");
  EXPECT_EQ(other.Line(), "ok y\r\n");
  EXPECT_EQ(events.Count(147), 1);
}

TEST(TcpServerLoad, AClientThatReadsNothingCannotHoldAWorker) {
  // A ceiling of one: its only connection makes the server stressed, and a client
  // that takes nothing is let go after the stressed wait.
  {
    GuardedServer server({1, 0, 1, 10});
    ASSERT_TRUE(server.Start(1, 0, CTernNetAddress(Loopback(1), 0)));
    Client reader(1, server.Port());
    reader.Send("flood\r\n");
    EXPECT_TRUE(WaitFor([&] { return server.flooded != -1; }));
    EXPECT_EQ(server.flooded, 0);
  }
  // Under normal load the send waits, yet a stop still ends it at once.
  GuardedServer server({200, 0, 1, 10});
  ASSERT_TRUE(server.Start(1, 0, CTernNetAddress(Loopback(1), 0)));
  Client reader(1, server.Port());
  reader.Send("flood\r\n");
  PlatformSleepMs(1500);
  EXPECT_EQ(server.flooded, -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(server.flooded, 0);
}
