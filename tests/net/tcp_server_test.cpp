// The TCP server on loopback: the default echo handler, resizing the worker pool,
// threads replaced after exceptions, background threads, the baton between
// workers, and how fast and how completely it stops.
#include "net/tcp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include "platform/sync.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

CTernNetAddress AnyPortOn(int n) { return CTernNetAddress(Loopback(n), 0); }

// Connects to the server and exchanges one line; the reply, or "" when none came.
std::string Exchange(CTernTcpServer& server, const std::string& line) {
  CTernTcpEndpoint client;
  if (!client.Connect(CTernNetAddress(Loopback(1), server.Port()))) return "";
  client.Send(line);
  CTernString reply;
  client.ReceiveLine(reply, "\r\n", 5);
  return reply.Str();
}

// Records the thread numbers its handler runs on, and throws on every connection
// when asked to.
class RecordingServer : public CTernTcpServer {
 public:
  explicit RecordingServer(bool fail) : CTernTcpServer("TEST"), m_Fail(fail) {}
  ~RecordingServer() override { Stop(); }

  std::set<int> Numbers() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Numbers;
  }
  std::atomic<int> handled{0};

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int number) override {
    {
      std::lock_guard<std::mutex> guard(m_Mutex);
      m_Numbers.insert(number);
    }
    handled++;
    if (m_Fail) throw std::runtime_error("handler failure");
    CTernTcpServer::HandleConnection(connection, number);
  }

 private:
  bool m_Fail;
  std::mutex m_Mutex;
  std::set<int> m_Numbers;
};

// Holds its first connection until released.
class BlockingServer : public CTernTcpServer {
 public:
  BlockingServer() : CTernTcpServer("TEST") {}
  ~BlockingServer() override {
    m_Release.Set();
    Stop();
  }
  void Release() { m_Release.Set(); }

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int number) override {
    if (m_First.exchange(false)) m_Release.Wait(10000);
    CTernTcpServer::HandleConnection(connection, number);
  }

 private:
  std::atomic<bool> m_First{true};
  PlatformEvent m_Release{true};
};

// Background threads that count themselves in and out.
class BackgroundServer : public CTernTcpServer {
 public:
  BackgroundServer() : CTernTcpServer("TEST") {}
  ~BackgroundServer() override { Stop(); }
  std::atomic<int> inside{0};

 protected:
  void Background(int) override {
    inside++;
    while (!StopRequested() && !BackgroundSurplus()) PlatformSleepMs(20);
    inside--;
  }
};

// Stops itself from its own handler, as a server changing its port would.
class SelfStoppingServer : public CTernTcpServer {
 public:
  SelfStoppingServer() : CTernTcpServer("TEST") {}
  ~SelfStoppingServer() override { Stop(); }
  std::atomic<bool> stopped{false};

 protected:
  void HandleConnection(CTernTcpEndpoint&, int) override { stopped = Stop(); }
};

}  // namespace

TEST(TcpServer, DefaultHandlerEchoesLinesWithTheThreadNumber) {
  EventCapture events;
  CTernTcpServer server("TEST");
  ASSERT_TRUE(server.Start(1, 0, AnyPortOn(1)));
  // Thread 0 is the listener, thread 1 the only worker.
  EXPECT_EQ(Exchange(server, "hello\r\n"), "1: hello\r\n");
  CTernTcpEndpoint client;
  ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(1), server.Port())));
  client.Send("a\r\nb");
  PlatformSleepMs(50);
  client.Send("c\r\n");
  CTernString reply;
  client.ReceiveLine(reply, "\r\n", 5);
  EXPECT_EQ(reply.Str(), "1: a\r\n");
  client.ReceiveLine(reply, "\r\n", 5);
  EXPECT_EQ(reply.Str(), "1: bc\r\n");
  EXPECT_TRUE(server.Stop());
  EXPECT_TRUE(events.Codes().empty());
}

TEST(TcpServer, ShrinkingThePoolLeavesOneWorkerAfterTwoConnections) {
  CTernTcpServer server("TEST");
  ASSERT_TRUE(server.Start(3, 0, AnyPortOn(1)));
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 3);
  ASSERT_TRUE(server.SetWorkerCount(1));
  EXPECT_NE(Exchange(server, "one\r\n"), "");
  EXPECT_NE(Exchange(server, "two\r\n"), "");
  EXPECT_TRUE(WaitFor([&] { return server.RunningCount(kTernWorkerThread) == 1; }));
  PlatformSleepMs(100);
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 1);  // and not fewer
  EXPECT_EQ(Exchange(server, "three\r\n").substr(1), ": three\r\n");
  // Growing again creates threads at once, under new numbers.
  ASSERT_TRUE(server.SetWorkerCount(4));
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 4);
  EXPECT_EQ(server.WantedCount(kTernWorkerThread), 4);
}

TEST(TcpServer, AHandlerThatAlwaysThrowsKeepsThePoolAtFullStrength) {
  EventCapture events;
  RecordingServer server(true);
  ASSERT_TRUE(server.Start(3, 0, AnyPortOn(1)));
  for (int i = 0; i < 6; ++i) {
    CTernTcpEndpoint client;
    ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(1), server.Port())));
    char c;
    EXPECT_EQ(client.Receive(&c, 1, 5), 0);  // closed by the framework, unanswered
    EXPECT_TRUE(client.Closed());
  }
  EXPECT_TRUE(WaitFor([&] { return events.Count(147) == 6; }));
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 3);
  // Replacements keep their numbers: only the three workers' numbers ever appear.
  for (int number : server.Numbers()) EXPECT_TRUE(number >= 1 && number <= 3) << number;
  EXPECT_NE(events.Find(147).text.find("TEST server thread"), std::string::npos);
  EXPECT_FALSE(events.Has(149));
}

TEST(TcpServer, AnIdleServerStopsWithinAboutASecond) {
  CTernTcpServer server("TEST");
  ASSERT_TRUE(server.Start(5, 0, AnyPortOn(1)));
  uint16_t port = server.Port();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.Stop());
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(server.RunningCount(kTernReceiverThread) + server.RunningCount(kTernWorkerThread), 0);
  EXPECT_FALSE(server.Started());
  // The port is given back.
  CTernTcpEndpoint again;
  EXPECT_TRUE(again.Listen(CTernNetAddress(Loopback(1), port)));
}

TEST(TcpServer, StopEndsAnIdleConversationAndDropsQueuedConnections) {
  BlockingServer server;
  ASSERT_TRUE(server.Start(1, 0, AnyPortOn(1)));
  CTernTcpEndpoint held, queued;
  ASSERT_TRUE(held.Connect(CTernNetAddress(Loopback(1), server.Port())));
  ASSERT_TRUE(queued.Connect(CTernNetAddress(Loopback(1), server.Port())));
  PlatformSleepMs(200);
  server.Release();  // the worker now echoes on `held`, waiting a second at a time
  EXPECT_TRUE(server.Stop());
  char c;
  EXPECT_EQ(queued.Receive(&c, 1, 5), 0);
  EXPECT_TRUE(queued.Closed());
}

TEST(TcpServer, AnotherWorkerTakesTheNextConnectionWhileOneIsBusy) {
  BlockingServer server;
  ASSERT_TRUE(server.Start(2, 0, AnyPortOn(1)));
  CTernTcpEndpoint first;
  ASSERT_TRUE(first.Connect(CTernNetAddress(Loopback(1), server.Port())));
  // The first connection holds one worker; the second must not wait behind it.
  EXPECT_EQ(Exchange(server, "next\r\n").substr(1), ": next\r\n");
}

TEST(TcpServer, StartRefusesBadArgumentsASecondStartAndATakenPort) {
  EventCapture events;
  CTernTcpServer server("TEST"), other("OTHER");
  EXPECT_FALSE(server.Start(0, 0, AnyPortOn(1)));
  EXPECT_EQ(events.Find(141).text, "Error: TEST server: Invalid arguments to Start(), 0.");
  EXPECT_FALSE(server.Start(1, -1, AnyPortOn(1)));
  EXPECT_FALSE(server.Start(1, 0, CTernNetAddress("no-such-host.invalid", 0)));
  EXPECT_EQ(events.Count(141), 3);
  ASSERT_TRUE(server.Start(1, 0, AnyPortOn(1)));
  EXPECT_FALSE(server.Start(1, 0, AnyPortOn(1)));
  EXPECT_EQ(events.Find(143).text, "Error: TEST server already started.");
  EXPECT_FALSE(other.Start(1, 0, CTernNetAddress(Loopback(1), server.Port())));
  EXPECT_EQ(events.Find(146).text, "Error: OTHER server unable to begin listening.");
  EXPECT_EQ(other.RunningCount(kTernReceiverThread), 0);
}

TEST(TcpServer, SurplusBackgroundThreadsLeaveExactly) {
  BackgroundServer server;
  ASSERT_TRUE(server.Start(1, 4, AnyPortOn(1)));
  EXPECT_TRUE(WaitFor([&] { return server.inside == 4; }));
  ASSERT_TRUE(server.SetBackgroundCount(1));
  EXPECT_TRUE(WaitFor([&] { return server.inside == 1; }));
  PlatformSleepMs(100);
  EXPECT_EQ(server.inside, 1);
  EXPECT_EQ(server.RunningCount(kTernBackgroundThread), 1);
  EXPECT_TRUE(server.Stop());
  EXPECT_EQ(server.inside, 0);
}

TEST(TcpServer, TheDefaultBackgroundRoutineLeavesPromptlyAtStop) {
  CTernTcpServer server("TEST");
  ASSERT_TRUE(server.Start(1, 2, AnyPortOn(1)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(server.RunningCount(kTernBackgroundThread), 0);
}

TEST(TcpServer, AStopFromItsOwnHandlerReturns) {
  SelfStoppingServer server;
  ASSERT_TRUE(server.Start(1, 0, AnyPortOn(1)));
  CTernTcpEndpoint client;
  ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(1), server.Port())));
  EXPECT_TRUE(WaitFor([&] { return server.stopped.load(); }));
  EXPECT_TRUE(WaitFor([&] { return server.RunningCount(kTernWorkerThread) == 0; }));
  EXPECT_FALSE(server.Started());
}

TEST(TcpServer, ResizingAStoppedServerDoesNothing) {
  CTernTcpServer server("TEST");
  EXPECT_FALSE(server.SetWorkerCount(3));
  EXPECT_FALSE(server.SetBackgroundCount(3));
  EXPECT_EQ(server.RunningCount(kTernWorkerThread), 0);
}
