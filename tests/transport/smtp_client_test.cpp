// The SMTP client against scripted peers on loopback: how replies are read, joined
// and classed, the bounds on hostile replies, waits that a stop ends, refused
// control characters, and the body as it goes on the wire.
#include "transport/smtp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "message/message.h"
#include "tests/support/tempdir.h"
#include "tests/transport/scripted_peer.h"

namespace {

TernSmtpClientLimits Short() {
  TernSmtpClientLimits limits;
  limits.replyMs = 2000;
  limits.sendMs = 2000;
  limits.conversationMs = 20000;
  return limits;
}

TEST(SmtpClient, RepliesAreJoinedClassedAndBounded) {
  std::string longContinued;
  for (int i = 0; i < kSmtpReplyLineCount; ++i) longContinued += "250-line\r\n";
  const struct {
    const char* label;
    std::string reply;
    TernReplyClass outcome;
    int code;
    std::string text;
    bool broken;
  } cases[] = {
      {"one line", "250 ok\r\n", TernReplyClass::Accepted, 250, "250 ok", false},
      {"continued", "250-first\r\n250-second\r\n250 last\r\n", TernReplyClass::Accepted, 250,
       "250-first 250-second 250 last", false},
      {"354 accepts", "354 go\r\n", TernReplyClass::Accepted, 354, "354 go", false},
      {"4xx", "452 too many\r\n", TernReplyClass::Temporary, 452, "452 too many", false},
      {"5xx", "550 no such user\r\n", TernReplyClass::Permanent, 550, "550 no such user", false},
      {"no code", "hello\r\n", TernReplyClass::Temporary, 0, "hello", false},
      {"bare LF", "250 ok\n", TernReplyClass::Accepted, 250, "250 ok", false},
      {"control bytes", std::string("550 a\x01") + "b\r\n", TernReplyClass::Permanent, 550, "550 a b", false},
      {"line at the limit", "250 " + std::string(kSmtpReplyLineLimit - 6, 'x') + "\r\n",
       TernReplyClass::Accepted, 250, "250 " + std::string(kSmtpReplyLineLimit - 6, 'x'), false},
      {"line over the limit", "250 " + std::string(kSmtpReplyLineLimit, 'x') + "\r\n",
       TernReplyClass::Temporary, 0, "", true},
      {"too many lines", longContinued + "250 end\r\n", TernReplyClass::Temporary, 0, "", true},
      {"closed mid-reply", "250-more to come\r\n", TernReplyClass::Temporary, 0, "250-more to come", true},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer({{"GREETING", {c.reply}}, {"HELO", {"250 again\r\n"}}});
    CTernSmtpClient client(nullptr, Short());
    ASSERT_TRUE(client.Connect(Loopback(1), peer.Port())) << c.label;
    TernSmtpReply reply = client.ReadReply();
    EXPECT_EQ(reply.outcome, c.outcome) << c.label;
    EXPECT_EQ(reply.broken, c.broken) << c.label;
    if (!c.broken) {
      EXPECT_EQ(reply.code, c.code) << c.label;
      EXPECT_EQ(reply.text, c.text) << c.label;
      // The conversation goes on after a good reply.
      EXPECT_EQ(client.Command("HELO me").text, "250 again") << c.label;
    } else {
      EXPECT_FALSE(client.Connected()) << c.label;
    }
  }
}

TEST(SmtpClient, SilenceEndsAtTheLimitAndAStopEndsItAtOnce) {
  ScriptedPeer peer({{"GREETING", {"", ""}}});
  CTernSmtpClient patient(nullptr, Short());
  ASSERT_TRUE(patient.Connect(Loopback(1), peer.Port()));
  TernSmtpReply reply = patient.ReadReply();
  EXPECT_TRUE(reply.broken);
  EXPECT_EQ(reply.outcome, TernReplyClass::Temporary);

  std::atomic<bool> stop{false};
  TernSmtpClientLimits longWait;  // 300 seconds a line: only the stop can end this
  CTernSmtpClient client([&stop] { return stop.load(); }, longWait);
  ASSERT_TRUE(client.Connect(Loopback(1), peer.Port()));
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.ReadReply().broken);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(SmtpClient, UnreachableAndControlCharacters) {
  // A port nobody listens on.
  uint16_t closed;
  {
    CTernTcpEndpoint listener;
    closed = ListenOnLoopback(listener);
  }
  CTernSmtpClient client(nullptr, Short());
  EXPECT_FALSE(client.Connect(Loopback(1), closed));

  ScriptedPeer peer;
  ASSERT_TRUE(client.Connect(Loopback(1), peer.Port()));
  client.ReadReply();
  const std::string bad[] = {"RCPT To:<a@b.example>\r\nDATA",
                             std::string("RCPT To:<a\0@b>", sizeof("RCPT To:<a\0@b>") - 1),
                             "MAIL From:<\x1b@x>"};
  for (const std::string& text : bad) {
    TernSmtpReply reply = client.Command(text);
    EXPECT_EQ(reply.outcome, TernReplyClass::Permanent);
    EXPECT_EQ(reply.code, 0);
  }
  EXPECT_EQ(client.Command("NOOP").code, 250);
  client.Quit();
  EXPECT_EQ(peer.Count("RCPT"), 0);
  EXPECT_EQ(peer.Count("MAIL"), 0);
  EXPECT_EQ(peer.Count("QUIT"), 1);
}

TEST(SmtpClient, TheBodyOnTheWire) {
  const struct {
    std::vector<std::string> pieces;
    std::string wire;
  } cases[] = {
      {{".hidden\r\n", "..two\r\n", "plain\r\n"}, "..hidden\r\n...two\r\nplain\r\n"},
      {{"bare\n", "\n", ".\n"}, "bare\r\n\r\n..\r\n"},
      {{"no end"}, "no end\r\n"},
      {{"cr at end\r"}, "cr at end\r\n"},
      // A long line comes in pieces: a dot inside it is not at a line start, and a
      // CR LF split between two pieces stays one line end.
      {{"abc", ".def\r", "\n", ".x\r\n"}, "abc.def\r\n..x\r\n"},
      {{}, ""},
  };
  for (const auto& c : cases) {
    bool atLineStart = true, afterCR = false;
    std::string wire;
    for (const std::string& p : c.pieces) wire += CTernSmtpClient::Transparent(p, atLineStart, afterCR);
    if (!atLineStart) wire += afterCR ? "\n" : "\r\n";
    EXPECT_EQ(wire, c.wire);
  }

  // The same through a real transaction, end marker included.
  TempDir dir;
  std::string path = dir.Write("body", "Subject: dots\r\n\r\n.hidden\r\nbare\nlast line");
  CTernMessage message(path, 0, 0, TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
  ASSERT_TRUE(message.Open());
  ScriptedPeer peer;
  CTernSmtpClient client(nullptr, Short());
  ASSERT_TRUE(client.Connect(Loopback(1), peer.Port()));
  client.ReadReply();
  ASSERT_EQ(client.Command("DATA").code, 354);
  EXPECT_EQ(client.SendBody(message).code, 250);
  client.Quit();
  ASSERT_EQ(peer.Data().size(), 1u);
  EXPECT_EQ(peer.Data()[0], "Subject: dots\r\n\r\n..hidden\r\nbare\r\nlast line\r\n");
}

}  // namespace
