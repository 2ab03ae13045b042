// SMTP messages over a real socket: what an accepted message looks like on disk
// and in the fast queue, the Received header, dot removal and long lines, the hop
// limit, refused relaying, the size limit, and the relay networks themselves.
#include <gtest/gtest.h>

#include "message/queued_message.h"
#include "tests/transport/smtp_fixture.h"
#include "transport/smtp_relay.h"

using SmtpMessage = SmtpFixture;

namespace {

std::string Hops(int n) {
  std::string text;
  for (int i = 0; i < n; ++i)
    text += "Received: from hop" + std::to_string(i) + ".example.net by x; Mon, 1 Jan 2024 00:00:00 GMT\r\n";
  return text;
}

}  // namespace

TEST_F(SmtpMessage, AcceptedMessageIsOnDiskAndInTheFastQueue) {
  auto c = Connect();
  std::string reply = SendMessage(*c, "<Ann@example.net>", {"<jo@example.org>"},
                                  "Subject: hello there\r\nFrom: ann@example.net\r\n\r\nline one\r\n");
  std::string id = Identifier(reply);
  ASSERT_EQ(reply, "250 " + id + " Message accepted for delivery\r\n");
  EXPECT_TRUE(CTernQueuedMessage::IsValidIdentifier(id));
  std::vector<TernQueueEntry> entries = m_Fast->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].identifier, id);
  EXPECT_EQ(entries[0].lastTry, 0);
  // A second reader of the queue file (another process) sees it too.
  CTernQueue other("fastq", m_MailDir);
  ASSERT_EQ(other.Entries().size(), 1u);

  auto message = CTernQueuedMessage::Open(id, m_MailDir);
  ASSERT_TRUE(message);
  EXPECT_TRUE(message->Complete());
  EXPECT_EQ(message->Sender(), "Ann@example.net");
  EXPECT_EQ(message->Peer(), "127.0.0.1");
  ASSERT_EQ(message->Recipients().size(), 1u);
  EXPECT_EQ(message->Recipients()[0].address, "jo@example.org");
  EXPECT_EQ(message->Recipients()[0].status, 1);
  std::string body = Body(id);
  EXPECT_EQ(message->Size(), static_cast<long>(body.size()));
  std::string received = "Received: from client.example.net ([127.0.0.1])\r\n by " +
                         m_Server->HostName() + " (Ostrel 1.0.2) with SMTP id " + id +
                         "\r\n for <jo@example.org>; ";
  EXPECT_EQ(body.substr(0, received.size()), received);
  EXPECT_NE(body.find("Subject: hello there\r\n"), std::string::npos);
  EXPECT_TRUE(body.ends_with("\r\n\r\nline one\r\n")) << body;

  std::vector<ActivityFields> accepted = RecordsOf(kActionMessageAccepted);
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_EQ(accepted[0],
            SessionRecord(kActionMessageAccepted, {{kActFrom, "Ann@example.net"},
                                                   {kActTo, "jo@example.org"},
                                                   {kActSubject, "hello there"},
                                                   {kActSize, std::to_string(body.size())},
                                                   {kActSmtpId, id}}));
  EXPECT_EQ(m_Server->Accepted(), 1);
  EXPECT_EQ(c->Cmd("QUIT").substr(0, 4), "221 ");
  EXPECT_TRUE(c->ServerCloses());
  ASSERT_TRUE(WaitFor([&] { return RecordsOf(kActionDisconnected).size() == 1; }));
  EXPECT_EQ(RecordsOf(kActionDisconnected)[0], SessionRecord(kActionDisconnected));
}

TEST_F(SmtpMessage, ReceivedHeaderForms) {
  // Two recipients: no "for" part. No HELO: the second form with HELO_NOT_SENT.
  auto c = Connect(false);
  std::string id = Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>", "<ann@example.org>"},
                                          "Subject: two\r\n\r\nx\r\n"));
  ASSERT_FALSE(id.empty());
  std::string start = "Received: (from HELO_NOT_SENT [127.0.0.1])\r\n by " + m_Server->HostName() +
                      " (Ostrel 1.0.2) with SMTP id " + id + "\r\n ; ";
  EXPECT_EQ(Body(id).substr(0, start.size()), start);
  EXPECT_EQ(RecordsOf(kActionMessageAccepted)[0][kActTo], "jo@example.org, ann@example.org");
  // A HELO name without a dot also takes the second form.
  EXPECT_EQ(c->Cmd("HELO   laptop").substr(0, 4), "250 ");
  id = Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, "\r\nbody\r\n"));
  ASSERT_FALSE(id.empty());
  start = "Received: (from laptop [127.0.0.1])\r\n";
  EXPECT_EQ(Body(id).substr(0, start.size()), start);
  EXPECT_NE(Body(id).find(" for <jo@example.org>; "), std::string::npos);
}

TEST_F(SmtpMessage, DotsAreRemovedAndASingleDotEndsTheData) {
  auto c = Connect();
  std::string id = Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"},
                                          "Subject: dots\r\n\r\n..a\r\n...\r\n. \r\nmid.dle\r\n"));
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(Body(id).ends_with("\r\n\r\n.a\r\n..\r\n \r\nmid.dle\r\n")) << Body(id);
}

TEST_F(SmtpMessage, ApprovalFieldsFromOutsideAreDropped) {
  // Only this server writes the fields of an approval request: forged ones go, in
  // any letter case and with their folded lines, long ones included; the same
  // words in the body stay.
  auto c = Connect();
  std::string data = "Subject: approve me\r\nX-OldSMTP-ID: M1\r\nx-notify-from: boss@example.org\r\n"
                     "X-Notify-To:\r\n jo@example.org\r\n\tfolded\r\nX-Notify-Signature : " +
                     std::string(5000, 'f') + "\r\nX-Notify: also\r\nX-Notified-By: stays\r\n\r\n"
                     "X-Notify-From: in the body\r\n";
  std::string id = Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, data));
  ASSERT_FALSE(id.empty());
  std::string body = Body(id);
  std::string kept = "Subject: approve me\r\nX-Notify: also\r\nX-Notified-By: stays\r\n";
  EXPECT_NE(body.find(kept), std::string::npos) << body;
  EXPECT_TRUE(body.ends_with("\r\n\r\nX-Notify-From: in the body\r\n")) << body;
  for (const char* gone : {"X-OldSMTP", "notify-from: boss", "X-Notify-To", "folded", "Signature", "fff"})
    EXPECT_EQ(body.find(gone), std::string::npos) << gone;
}

TEST_F(SmtpMessage, LongLinesArriveWholeAndInOrder) {
  auto c = Connect();
  std::string a(8000, 'a'), b = "." + std::string(4095, 'b'), d(4094, 'd'), e(4096, 'e');
  for (size_t i = 0; i < a.size(); i += 97) a[i] = static_cast<char>('0' + i % 10);
  // A line of exactly 4094 bytes and CR LF fills the buffer to 4096; the end
  // marker after long lines is still found.
  std::string data = "Subject: long\r\n\r\n" + a + "\r\n" + b + "\r\n" + d + "\r\n" + e + "\r\n.x\r\n";
  std::string id = Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, data));
  ASSERT_FALSE(id.empty());
  std::string expected = "\r\n\r\n" + a + "\r\n" + b.substr(1) + "\r\n" + d + "\r\n" + e + "\r\nx\r\n";
  EXPECT_TRUE(Body(id).ends_with(expected));
  EXPECT_EQ(c->Cmd("NOOP"), "250 OK\r\n");
}

TEST_F(SmtpMessage, LineEndSplitBetweenTwoPiecesStillEndsTheData) {
  auto c = Connect();
  // 4095 bytes then CR: the first piece ends in CR, the LF comes with the marker.
  std::string line(4095, 'z');
  ASSERT_EQ(c->Cmd("MAIL FROM:<a@example.net>").substr(0, 3), "250");
  ASSERT_EQ(c->Cmd("RCPT TO:<jo@example.org>").substr(0, 3), "250");
  ASSERT_EQ(c->Cmd("DATA").substr(0, 3), "354");
  c->Send("\r\n" + line + "\r\n.\r\n");
  std::string id = Identifier(c->Line());
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(Body(id).ends_with("\r\n\r\n" + line + "\r\n"));
}

TEST_F(SmtpMessage, ThirtyReceivedFieldsAreRefusedTwentyNineAccepted) {
  auto c = Connect();
  std::string ok = SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, Hops(29) + "\r\nbody\r\n");
  EXPECT_FALSE(Identifier(ok).empty()) << ok;
  EXPECT_EQ(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, Hops(30) + "\r\nbody\r\n"),
            "554 Transaction failed -- too many hops\r\n");
  // Headers only, never ended by an empty line: still counted.
  EXPECT_EQ(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, Hops(30)),
            "554 Transaction failed -- too many hops\r\n");
  EXPECT_EQ(MessageFiles(), 2);  // the accepted one's envelope and body
  EXPECT_EQ(m_Fast->Entries().size(), 1u);
  EXPECT_EQ(RecordsOf(kActionMessageRejected).size(), 2u);
  EXPECT_EQ(
      RecordsOf(kActionMessageRejected)[0],
      SessionRecord(kActionMessageRejected, {{kActInfo, "Message has taken too many hops."}}));
  // State 1 again: a new transaction starts.
  EXPECT_EQ(c->Cmd("DATA"), "503 Need MAIL command\r\n");
}

TEST_F(SmtpMessage, RelayingOnlyForListedClients) {
  // Loopback relays when the setting is absent.
  {
    auto c = Connect();
    EXPECT_EQ(c->Cmd("MAIL FROM:<jo@example.org>").substr(0, 3), "250");
    EXPECT_EQ(c->Cmd("RCPT TO:<far@remote.example>"), "250 <far@remote.example>... Recipient ok\r\n");
  }
  LoadConfig(",RelayClients=10.0.0.0/8\x1c" "192.0.2.7");
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<jo@example.org>").substr(0, 3), "250");
  EXPECT_EQ(c->Cmd("RCPT TO:<far@remote.example>"), "550 <far@remote.example>... Relaying denied\r\n");
  EXPECT_EQ(c->Cmd("DATA"), "503 Need RCPT (recipient)\r\n");
  // Local recipients are still accepted.
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@EXAMPLE.org>"), "250 <jo@example.org>... Recipient ok\r\n");
  std::vector<ActivityFields> v = RecordsOf(kActionAccessViolation);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0],
            SessionRecord(kActionAccessViolation,
                          {{kActTo, "far@remote.example"},
                           {kActInfo, "Relaying denied."},
                           {kActLastCommand, "RCPT TO:<far@remote.example>"}}));
  LoadConfig(",RelayClients=127.0.0.1/32");
  EXPECT_EQ(c->Cmd("RCPT TO:<far@remote.example>").substr(0, 4), "250 ");
}

TEST_F(SmtpMessage, OversizedDataIsReadToItsEndRefusedAndRemoved) {
  LoadConfig(",MaxMessageSize=1000");
  auto c = Connect();
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 5000) big += std::string(70, 'q') + "\r\n";
  EXPECT_EQ(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, big),
            "552 Requested mail action aborted: exceeded storage allocation\r\n");
  EXPECT_EQ(MessageFiles(), 0);
  EXPECT_TRUE(m_Fast->Entries().empty());
  EXPECT_EQ(RecordsOf(kActionMessageRejected)[0],
            SessionRecord(kActionMessageRejected,
                          {{kActInfo, "Message exceeds the largest size accepted."}}));
  // The connection goes on, and a message within the limit is accepted.
  std::string ok = SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, "Subject: small\r\n\r\nhi\r\n");
  EXPECT_FALSE(Identifier(ok).empty()) << ok;
}

TEST_F(SmtpMessage, TheDeliveryEventIsSignalledPerMessage) {
  auto c = Connect();
  // The server's own delivery thread may take a signal first, so wait for the
  // count of accepted messages instead and make sure nothing blocks.
  for (int i = 0; i < 3; ++i)
    ASSERT_FALSE(Identifier(SendMessage(*c, "<a@example.net>", {"<jo@example.org>"}, "\r\nx\r\n")).empty());
  EXPECT_EQ(m_Server->Accepted(), 3);
  EXPECT_EQ(m_Fast->Entries().size(), 3u);
  EXPECT_EQ(m_Server->RunningCount(kTernBackgroundThread), 1);
  EXPECT_TRUE(m_Server->Stop());
  EXPECT_EQ(m_Server->RunningCount(kTernBackgroundThread), 0);
}

TEST(SmtpRelayNetworks, EntriesPrefixesAndTheLoopbackDefault) {
  CTernRelayNetworks none;
  EXPECT_TRUE(none.Allows("127.0.0.1"));
  EXPECT_TRUE(none.Allows("127.255.0.9"));
  EXPECT_FALSE(none.Allows("128.0.0.1"));
  EXPECT_FALSE(none.Allows("10.1.2.3"));
  EXPECT_FALSE(none.Allows("not an address"));
  CTernRelayNetworks junk("bogus, 10.0.0.0/33 1.2.3/8");
  EXPECT_TRUE(junk.Allows("127.0.0.1"));  // nothing valid: loopback only
  EXPECT_FALSE(junk.Allows("10.0.0.1"));
  CTernRelayNetworks list("10.0.0.0/8\x1c" "192.0.2.7, 198.51.100.0/25\t203.0.113.9/0x");
  EXPECT_TRUE(list.Allows("10.200.3.4"));
  EXPECT_TRUE(list.Allows("192.0.2.7"));
  EXPECT_FALSE(list.Allows("192.0.2.8"));
  EXPECT_TRUE(list.Allows("198.51.100.127"));
  EXPECT_FALSE(list.Allows("198.51.100.128"));
  EXPECT_FALSE(list.Allows("203.0.113.9"));  // malformed prefix skipped
  EXPECT_FALSE(list.Allows("127.0.0.1"));    // a list replaces the default
  CTernRelayNetworks all("0.0.0.0/0");
  EXPECT_TRUE(all.Allows("8.8.8.8"));
}
