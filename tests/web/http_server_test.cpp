// The HTTP server over real loopback connections with shortened waits: silent,
// idle and trickling clients are let go in time, and a stop ends a request read.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/socket_start.h"
#include "platform/clock.h"
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
