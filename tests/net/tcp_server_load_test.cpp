// The TCP server under load on loopback: the pool grows to its ceiling and shrinks
// back, one client address holds at most its limit of connections (also after a
// handler throws), and under stress a line gets the stressed wait and no more while
// clients that keep talking are served.
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

TEST(TcpServerLoad, ThePoolGrowsToItsCeilingAndShrinksBackWhenTheLoadGoes) {
  GuardedServer server({6, 0, 60, 1});
  ASSERT_TRUE(server.Start(2, 0, CTernNetAddress(Loopback(1), 0)));
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<Client>(1, server.Port()));
  // Six held connections, each with a worker of its own; two wait at the ceiling.
  for (int i = 0; i < 6; ++i) {
    clients[i]->Send("hi\r\n");
    EXPECT_EQ(clients[i]->Line(), "ok hi\r\n") << i;
  }
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 6);
  EXPECT_EQ(server.BusyCount(), 6);
  EXPECT_EQ(server.QueuedCount(), 2u);
  EXPECT_TRUE(server.Stressed());
  // A waiting one is served once a held one goes.
  clients[0].reset();
  clients[6]->Send("next\r\n");
  EXPECT_EQ(clients[6]->Line(), "ok next\r\n");
  clients.clear();
  EXPECT_TRUE(WaitFor([&] { return server.RunningCount(kTernWorkerThread) == 2; }, 10));
  PlatformSleepMs(1200);
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 2);  // and not fewer
  EXPECT_EQ(server.WantedCount(kTernWorkerThread), 2);
  EXPECT_FALSE(server.Stressed());
  Client again(1, server.Port());
  again.Send("again\r\n");
  EXPECT_EQ(again.Line(), "ok again\r\n");
}

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

TEST(TcpServerLoad, UnderStressALineGetsTheStressedWaitAndNoMore) {
  GuardedServer server({4, 0, 1, 10});
  ASSERT_TRUE(server.Start(4, 0, CTernNetAddress(Loopback(1), 0)));
  auto trickle = [](Client& c, const std::string& text) {
    for (char ch : text) {
      c.Send(std::string(1, ch));
      PlatformSleepMs(300);
    }
  };
  // Normal load: a line that takes longer than the stressed wait is served.
  {
    Client slow(1, server.Port());
    trickle(slow, "slow\r\n");
    EXPECT_EQ(slow.Line(), "ok slow\r\n");
  }
  // Four busy of a ceiling of four: clients that keep talking are served, the
  // trickling one is dropped once its line has taken a second.
  std::vector<std::unique_ptr<Client>> talkers;
  for (int i = 0; i < 3; ++i) talkers.push_back(std::make_unique<Client>(2 + i, server.Port()));
  Client slow(5, server.Port());
  EXPECT_TRUE(WaitFor([&] { return server.Stressed(); }));
  for (int round = 0; round < 6; ++round) {
    slow.Send("s");
    for (auto& t : talkers) {
      t->Send("t\r\n");
      EXPECT_EQ(t->Line(), "ok t\r\n") << round;
    }
    PlatformSleepMs(300);
  }
  // Closed already, though it never fell silent for a second.
  EXPECT_TRUE(slow.Closed(0));
  // The load has fallen: silence longer than the stressed wait is allowed again.
  EXPECT_FALSE(server.Stressed());
  PlatformSleepMs(1500);
  talkers[0]->Send("late\r\n");
  EXPECT_EQ(talkers[0]->Line(), "ok late\r\n");
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
  // Under the designed load the send waits, yet a stop still ends it at once.
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
