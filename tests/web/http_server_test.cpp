// The HTTP server over real loopback connections with shortened waits: silent,
// idle and trickling clients are let go in time, and a stop ends a request read.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/socket_start.h"
#include "platform/clock.h"
#include "tests/config/settings_fixture.h"
#include "tests/net/loopback.h"
#include "tests/support/tempdir.h"
#include "web/http_server.h"

namespace {

// Reads until the server closes (at most seconds); what came.
std::string UntilClosed(CTernTcpEndpoint& client, int seconds) {
  CTernString text;
  client.Receive(text, 0, seconds);
  return text.Str();
}

}  // namespace

TEST(HttpServer, SilentIdleAndTricklingClientsAreLetGoInTime) {
  TernStartSockets();
  TempDir dir;
  HttpServer server("OstrelHTTP", dir.Path());
  server.AddPageRoute("", [](HttpRequest& r) { r.Write("Content-Length: 2\r\n\r\nok"); });
  // 2 seconds of silence, 4 for a whole head.
  server.SetTimeouts(2, 4, 2);
  ASSERT_TRUE(server.Start(5, 0, CTernNetAddress(Loopback(1), 0)));
  CTernNetAddress address(Loopback(1), server.Port());
  CTernTcpEndpoint silent, kept, trickling, body;
  for (CTernTcpEndpoint* c : {&silent, &kept, &trickling, &body}) ASSERT_TRUE(c->Connect(address));
  time_t start = PlatformNow();
  kept.Send("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  body.Send("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc");
  // A byte a second: never silent for 2 seconds, but over the budget of 4.
  std::string trickleReply;
  std::thread trickle([&trickling, &trickleReply] {
    for (char c : std::string("GET / HTTP/1.0\r\nX: ") + std::string(40, 'a'))
      if (trickling.Send(std::string(1, c)) != 1 || trickling.WaitReadable(1)) break;
    trickleReply = UntilClosed(trickling, 10);
  });
  std::string silentReply = UntilClosed(silent, 10);
  std::string keptReply = UntilClosed(kept, 10);
  std::string bodyReply = UntilClosed(body, 10);
  trickle.join();
  EXPECT_LE(PlatformNow() - start, 7);
  // The first request never came: the 400 page.
  EXPECT_TRUE(silentReply.starts_with("HTTP/1.0 400 Bad Request\r\n")) << silentReply;
  // The kept connection got its answer and was then closed without another word.
  EXPECT_TRUE(keptReply.starts_with("HTTP/1.0 200 OK\r\n")) << keptReply;
  EXPECT_TRUE(keptReply.ends_with("\r\n\r\nok")) << keptReply;
  EXPECT_TRUE(trickleReply.starts_with("HTTP/1.0 400 Bad Request\r\n")) << trickleReply;
  // A body that stops coming ends the connection without an answer.
  EXPECT_EQ(bodyReply, "");
  // A stop cuts short a head being read: the 400 page, and the stop does not wait
  // out the client's silence.
  CTernTcpEndpoint late;
  ASSERT_TRUE(late.Connect(address));
  late.Send("GET / HTTP/1.0\r\n");
  PlatformSleepMs(300);
  time_t stopping = PlatformNow();
  server.Stop();
  EXPECT_LE(PlatformNow() - stopping, 2);
  EXPECT_TRUE(UntilClosed(late, 5).starts_with("HTTP/1.0 400 Bad Request\r\n"));
}

class HttpStressTest : public SettingsFixture {};

TEST_F(HttpStressTest, AStressedServerLetsAKeptConnectionGoSooner) {
  LoadConfig("DS,HTTPUseKeepAlives=1\r\n");
  TernStartSockets();
  TempDir dir;
  HttpServer server("OstrelHTTP", dir.Path());
  server.AddPageRoute("", [](HttpRequest& r) { r.Write("Content-Length: 2\r\n\r\nok"); });
  TernLoadLimits limits;
  limits.ceiling = 4;
  limits.perClient = 0;
  server.SetLoadLimits(limits);
  ASSERT_TRUE(server.Start(1, 0, CTernNetAddress(Loopback(1), 0)));
  CTernNetAddress address(Loopback(1), server.Port());
  CTernTcpEndpoint kept, busy[3];
  ASSERT_TRUE(kept.Connect(address));
  kept.Send("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  CTernString reply;
  ASSERT_GT(kept.Receive(reply, 200, 5), 0);
  ASSERT_NE(reply.Str().find("Connection: Keep-Alive"), std::string::npos) << reply.Str();
  // Three silent clients more make four of the four workers busy: stressed.
  for (CTernTcpEndpoint& c : busy) ASSERT_TRUE(c.Connect(address));
  time_t start = PlatformNow();
  std::string rest = UntilClosed(kept, 20);
  // The stressed wait of 2 seconds, not the 15 of silence; and quietly.
  EXPECT_TRUE(kept.Closed());
  EXPECT_LE(PlatformNow() - start, 4);
  EXPECT_TRUE((reply.Str() + rest).ends_with("\r\n\r\nok")) << rest;
  server.Stop();
}
