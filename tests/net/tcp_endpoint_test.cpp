// The TCP endpoint on loopback: lines over split and joined packets, receiving by
// count and until close, connect over several addresses, listening, take-over, and
// the messages of misuse.
#include "net/tcp_endpoint.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

// A connected pair: `server` accepted from a listener, `client` connected to it.
class TcpPair : public ::testing::Test {
 protected:
  void SetUp() override {
    uint16_t port = ListenOnLoopback(listener);
    ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(1), port)));
    ASSERT_TRUE(listener.Accept(server, 5));
  }

  EventCapture events;
  CTernTcpEndpoint listener;
  CTernTcpEndpoint client;
  CTernTcpEndpoint server;
};

}  // namespace

TEST_F(TcpPair, PartialLineAtCloseComesWithTheClosedFlag) {
  ASSERT_EQ(client.Send("abc"), 3);
  ASSERT_TRUE(client.Close());
  CTernString line;
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5), 3);
  EXPECT_EQ(line.Str(), "abc");
  EXPECT_TRUE(server.Closed());
  EXPECT_FALSE(server.TimedOut());
}

TEST_F(TcpPair, LineSplitOverPacketsIsJoined) {
  std::thread sender([this] {
    for (const char* piece : {"hel", "lo\r", "\nrest"}) {
      client.Send(piece);
      PlatformSleepMs(100);
    }
  });
  CTernString line;
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5), 7);
  EXPECT_EQ(line.Str(), "hello\r\n");
  sender.join();
}

TEST_F(TcpPair, SecondLineOfAPacketComesFromTheBuffer) {
  ASSERT_EQ(client.Send("one\r\ntwo\r\n"), 10);
  ASSERT_TRUE(client.Close());
  CTernString line;
  ASSERT_EQ(server.ReceiveLine(line, "\r\n", 5), 5);
  EXPECT_EQ(line.Str(), "one\r\n");
  EXPECT_EQ(server.Buffered(), 5u);
  PlatformSleepMs(100);  // the close has arrived by now, but is not read
  ASSERT_EQ(server.ReceiveLine(line, "\r\n", 5), 5);
  EXPECT_EQ(line.Str(), "two\r\n");
  EXPECT_FALSE(server.Closed());  // the socket was not touched
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5), 0);
  EXPECT_TRUE(server.Closed());
}

TEST_F(TcpPair, LineWaitExpiresWithThePartialText) {
  ASSERT_EQ(client.Send("par"), 3);
  CTernString line;
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 1), 3);
  EXPECT_TRUE(server.TimedOut());
  EXPECT_FALSE(server.Closed());
  // Going on with the same text finds a terminator split across the two calls.
  ASSERT_EQ(client.Send("tial\r"), 5);
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 1, kTernLineLimit, true), 8);
  EXPECT_TRUE(server.TimedOut());
  ASSERT_EQ(client.Send("\nnext"), 5);
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 1, kTernLineLimit, true), 9);
  EXPECT_EQ(line.Str(), "partial\r\n");
  EXPECT_FALSE(server.TimedOut());
}

TEST_F(TcpPair, LongLinesStopAtTheLimit) {
  ASSERT_EQ(client.Send("abcdefgh\r\nxy\r\n"), 14);
  CTernString line;
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5, 5), 5);
  EXPECT_EQ(line.Str(), "abcde");
  EXPECT_TRUE(server.Overlong());
  // The rest stays to be read; a line of exactly the limit is whole.
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5, 5), 5);
  EXPECT_EQ(line.Str(), "fgh\r\n");
  EXPECT_FALSE(server.Overlong());
  EXPECT_EQ(server.ReceiveLine(line, "\r\n", 5, 3), 3);  // one byte short of its end
  EXPECT_EQ(line.Str(), "xy\r");
  EXPECT_TRUE(server.Overlong());
}

TEST_F(TcpPair, ReceiveByCountWaitsForTheRestOrTheTimeOut) {
  std::thread sender([this] {
    client.Send("0123");
    PlatformSleepMs(100);
    client.Send("456789");
  });
  char block[16] = {};
  EXPECT_EQ(server.Receive(block, 8, 5), 8);
  EXPECT_EQ(std::string(block, 8), "01234567");
  sender.join();
  EXPECT_EQ(server.Receive(block, 8, 1), 2);  // what there is when the wait expires
  EXPECT_TRUE(server.TimedOut());
  EXPECT_EQ(std::string(block, 2), "89");
}

TEST_F(TcpPair, ReceiveIntoTextUntilTheClose) {
  std::string big(10000, 'x');
  std::thread sender([&] {
    client.Send(big);
    client.Close();
  });
  CTernString text;
  EXPECT_EQ(server.Receive(text, 0, 5), 10000);
  EXPECT_EQ(text.Str(), big);
  EXPECT_TRUE(server.Closed());
  sender.join();
}

TEST_F(TcpPair, TakeOverMovesTheConnectionWithItsBufferedBytes) {
  ASSERT_EQ(client.Send("a\r\nb\r\n"), 6);
  CTernString line;
  ASSERT_EQ(server.ReceiveLine(line, "\r\n", 5), 3);
  CTernTcpEndpoint other;
  ASSERT_TRUE(other.TakeOver(server));
  EXPECT_EQ(server.State(), TernTcpState::Disconnected);
  EXPECT_EQ(other.State(), TernTcpState::Connected);
  EXPECT_EQ(other.ReceiveLine(line, "\r\n", 5), 3);
  EXPECT_EQ(line.Str(), "b\r\n");
  // A connected endpoint takes nothing over.
  CTernTcpEndpoint third;
  EXPECT_FALSE(other.TakeOver(third));
  EXPECT_TRUE(events.Has(115));
}

TEST_F(TcpPair, DestroyingAConnectedEndpointClosesIt) {
  auto accepted = std::make_unique<CTernTcpEndpoint>();
  ASSERT_TRUE(accepted->TakeOver(server));
  accepted.reset();
  char c;
  EXPECT_EQ(client.Receive(&c, 1, 5), 0);
  EXPECT_TRUE(client.Closed());
}

TEST_F(TcpPair, PeerNameIsTheClientAndAcceptGivesItAsTheAddress) {
  CTernNetAddress peer, local;
  ASSERT_TRUE(server.PeerName(peer));
  ASSERT_TRUE(client.LocalName(local));
  EXPECT_EQ(peer.Port(), local.Port());
  EXPECT_EQ(server.Address().Port(), local.Port());
  std::string text;
  ASSERT_TRUE(server.Address().GetFirstAddressText(text));
  EXPECT_EQ(text, "127.0.0.1");
}

TEST_F(TcpPair, WaitReadable) {
  EXPECT_TRUE(server.WaitReadable(0));  // no wait at all
  EXPECT_FALSE(server.WaitReadable(1));
  client.Send("x");
  EXPECT_TRUE(server.WaitReadable(5));
}

TEST(TcpEndpoint, ClosingTwiceReports113AndFails) {
  EventCapture events;
  CTernTcpEndpoint listener;
  ListenOnLoopback(listener);
  EXPECT_TRUE(listener.Close());
  EXPECT_FALSE(events.Has(113));
  EXPECT_FALSE(listener.Close());
  auto event = events.Find(113);
  EXPECT_EQ(event.kind, PlatformEventKind::Warning);
  EXPECT_EQ(event.text.rfind("Error: Already disconnected from [127.0.0.1].", 0), 0u) << event.text;
}

TEST(TcpEndpoint, ConnectTriesEachAddressUntilOneAnswers) {
  EventCapture events;
  CTernTcpEndpoint listener;
  uint16_t port = ListenOnLoopback(listener, 3);
  CTernNetAddress target(Loopback(1), port);
  target.AddAddress(Loopback(2));
  target.AddAddress(Loopback(3));
  CTernTcpEndpoint client;
  ASSERT_TRUE(client.Connect(target));
  EXPECT_EQ(events.Count(125), 2);
  auto first = events.Find(125);
  EXPECT_EQ(first.kind, PlatformEventKind::Warning);
  EXPECT_NE(first.text.find("[127.0.0.1]." + std::to_string(port)), std::string::npos);
  CTernNetAddress peer;
  ASSERT_TRUE(client.PeerName(peer));
  std::string text;
  peer.GetFirstAddressText(text);
  EXPECT_EQ(text, "127.0.0.3");
}

TEST(TcpEndpoint, ConnectFailsWhenNoAddressAnswersOrNoneIsFound) {
  EventCapture events;
  CTernTcpEndpoint probe;
  uint16_t port = ListenOnLoopback(probe, 4);
  probe.Close();  // a port nobody listens on now
  CTernTcpEndpoint client;
  EXPECT_FALSE(client.Connect(CTernNetAddress(Loopback(4), port)));
  EXPECT_EQ(client.State(), TernTcpState::Disconnected);
  EXPECT_EQ(events.Count(125), 1);
  EXPECT_FALSE(client.Connect(CTernNetAddress("no-such-host.invalid", 25)));
  EXPECT_TRUE(events.Has(122));
}

TEST(TcpEndpoint, AnAddressWithoutIPv4ListensEverywhere) {
  EventCapture events;
  CTernTcpEndpoint listener;
  ASSERT_TRUE(listener.Listen(CTernNetAddress("no-such-host.invalid", 0)));
  CTernNetAddress bound;
  ASSERT_TRUE(listener.LocalName(bound));
  std::string text;
  bound.GetFirstAddressText(text);
  EXPECT_EQ(text, "0.0.0.0");
  CTernTcpEndpoint client, accepted;
  ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(5), bound.Port())));
  EXPECT_TRUE(listener.Accept(accepted, 5));
  EXPECT_TRUE(events.Codes().empty());
}

TEST(TcpEndpoint, ListeningOnATakenPortReportsTheBind) {
  EventCapture events;
  CTernTcpEndpoint first, second;
  uint16_t port = ListenOnLoopback(first);
  EXPECT_FALSE(second.Listen(CTernNetAddress(Loopback(1), port)));
  EXPECT_EQ(events.Count(129), 1);
  EXPECT_EQ(second.State(), TernTcpState::Disconnected);
}

TEST(TcpEndpoint, MisuseIsReportedByCode) {
  EventCapture events;
  CTernTcpEndpoint listener, idle, accepted;
  uint16_t port = ListenOnLoopback(listener);
  char c;
  CTernString text;
  CTernNetAddress address;
  struct Case {
    const char* what;
    bool failed;
    int code;
    PlatformEventKind kind;
  } cases[] = {
      {"receive unconnected", idle.Receive(&c, 1, 1) == -1, 119, PlatformEventKind::Error},
      {"line unconnected", idle.ReceiveLine(text, "\r\n", 1) == -1, 119, PlatformEventKind::Error},
      {"send unconnected", idle.Send("x") == -1, 119, PlatformEventKind::Error},
      {"local name", !idle.LocalName(address), 118, PlatformEventKind::Error},
      {"accept not listening", !idle.Accept(accepted, 1), 120, PlatformEventKind::Error},
      {"listen twice", !listener.Listen(CTernNetAddress(Loopback(1), 0)), 114,
       PlatformEventKind::Warning},
      {"connect listening", !listener.Connect(CTernNetAddress(Loopback(1), port)), 116,
       PlatformEventKind::Error},
  };
  for (const auto& k : cases) {
    EXPECT_TRUE(k.failed) << k.what;
    auto event = events.Find(k.code);
    EXPECT_EQ(event.code, k.code) << k.what;
    EXPECT_EQ(event.kind, k.kind) << k.what;
  }

  CTernTcpEndpoint client;
  ASSERT_TRUE(client.Connect(CTernNetAddress(Loopback(1), port)));
  ASSERT_TRUE(listener.Accept(accepted, 5));
  events.Clear();
  EXPECT_EQ(accepted.Receive(nullptr, 1, 1), -1);
  EXPECT_EQ(accepted.Receive(&c, -1, 1), -1);
  EXPECT_EQ(events.Count(136), 2);
  EXPECT_EQ(accepted.ReceiveLine(text, "", 1), -1);
  EXPECT_TRUE(events.Has(137));
  EXPECT_EQ(accepted.Send(nullptr, 1), -1);
  EXPECT_TRUE(events.Has(138));
  EXPECT_FALSE(listener.Accept(accepted, 1));  // the target is in use
  EXPECT_TRUE(events.Has(121));
  EXPECT_FALSE(accepted.Listen(CTernNetAddress(Loopback(1), 0)));
  EXPECT_EQ(events.Find(117).kind, PlatformEventKind::Warning);
  EXPECT_FALSE(accepted.Connect());
  EXPECT_TRUE(events.Has(115));
}

TEST(TcpEndpoint, AcceptWithoutAPendingConnectionTimesOut) {
  CTernTcpEndpoint listener, target;
  ListenOnLoopback(listener);
  time_t start = PlatformNow();
  EXPECT_FALSE(listener.Accept(target, 1));
  EXPECT_TRUE(listener.TimedOut());
  EXPECT_LE(PlatformNow() - start, 3);
}
