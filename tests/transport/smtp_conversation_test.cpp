// SMTP conversation over a real socket: replies byte for byte, states, the records
// of the activity log, time-outs and the end of a connection.
#include <gtest/gtest.h>

#include "message/mail_time.h"
#include "message/queued_message.h"
#include "tests/transport/smtp_fixture.h"

using SmtpConversation = SmtpFixture;

TEST_F(SmtpConversation, RepliesToEveryCommandInAnyCase) {
  auto c = Connect(false);
  std::string host = m_Server->HostName();
  EXPECT_EQ(c->Cmd("noop"), "250 OK\r\n");
  EXPECT_EQ(c->Cmd("HeLo mail.example.net"), "250 " + host + " Hello\r\n");
  EXPECT_EQ(c->Cmd("ehlo other"), "250 " + host + " Hello\r\n");
  EXPECT_EQ(c->Cmd("VRFY jo"), "250 <jo>\r\n");
  EXPECT_EQ(c->Cmd("vrfy   <nobody@nowhere.example>"), "250 <nobody@nowhere.example>\r\n");
  EXPECT_EQ(c->Cmd("EXPN staff"), "502 Sorry, we do not allow this operation\r\n");
  EXPECT_EQ(c->Cmd("turn"), "502 Sorry, we do not allow this operation\r\n");
  EXPECT_EQ(c->Cmd("BOGUS stuff"), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(c->Cmd(""), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(c->Cmd("RSET"), "250 Reset State\r\n");
  EXPECT_EQ(c->Cmd("QUIT"), host.empty() ? "221  closing connection.\r\n"
                                         : "221 " + host + " closing connection.\r\n");
  EXPECT_TRUE(c->ServerCloses());
  ASSERT_TRUE(WaitFor([&] { return RecordsOf(kActionDisconnected).size() == 1; }));
  EXPECT_EQ(RecordsOf(kActionDisconnected)[0],
            SessionRecord(kActionDisconnected, {{kActInfo, "No messages transferred."}}));
  EXPECT_EQ(RecordsOf(kActionConnectionFrom)[0], SessionRecord(kActionConnectionFrom));
  std::vector<ActivityFields> violations = RecordsOf(kActionProtocolViolation);
  ASSERT_EQ(violations.size(), 2u);
  EXPECT_EQ(violations[0],
            SessionRecord(kActionProtocolViolation,
                          {{kActInfo, "Unknown command."}, {kActLastCommand, "BOGUS stuff"}}));
}

TEST_F(SmtpConversation, GreetingNamesHostProductVersionAndDate) {
  SmtpClient c(m_Port);
  std::string greeting = c.Line();
  std::string start = "220 " + m_Server->HostName() + " SMTP Ostrel 1.0.2; ";
  ASSERT_EQ(greeting.substr(0, start.size()), start);
  CTernTime when;
  EXPECT_TRUE(when.Parse(greeting.substr(start.size(), greeting.size() - start.size() - 2)));
  EXPECT_LE(std::labs(static_cast<long>(when.Seconds() - PlatformNow())), 5);
}

TEST_F(SmtpConversation, OutOfOrderCommandsAreRefusedAndTheSessionGoesOn) {
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>"), "503 Need MAIL before RCPT\r\n");
  EXPECT_EQ(c->Cmd("DATA"), "503 Need MAIL command\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@example.net>"), "250 <a@example.net>... Sender ok\r\n");
  EXPECT_EQ(c->Cmd("DATA"), "503 Need RCPT (recipient)\r\n");
  EXPECT_EQ(c->Cmd("mail from:<b@example.net>"), "503 Nested MAIL command\r\n");
  EXPECT_EQ(c->Cmd("RCPT jo@example.org"), "501 Syntax error in parameters\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@>"), "501 Syntax error in parameters, no path found\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<>"), "553 Requested action not taken: mailbox name not allowed\r\n");
  EXPECT_EQ(c->Cmd("rcpt to:<Jo@Example.ORG>"), "250 <Jo@example.org>... Recipient ok\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM:<c@example.net>"), "503 Nested MAIL command\r\n");
  // RSET keeps the unfinished message until the next MAIL replaces it.
  EXPECT_EQ(MessageFiles(), 1);
  EXPECT_EQ(c->Cmd("RSET"), "250 Reset State\r\n");
  EXPECT_EQ(MessageFiles(), 1);
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>"), "503 Need MAIL before RCPT\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM: <d@example.net>"), "250 <d@example.net>... Sender ok\r\n");
  EXPECT_EQ(MessageFiles(), 1);
  EXPECT_EQ(c->Cmd("MAIL TO:<d@example.net>"), "503 Nested MAIL command\r\n");
  EXPECT_EQ(c->Cmd("QUIT").substr(0, 4), "221 ");
  EXPECT_TRUE(c->ServerCloses());
  // The unfinished message went with the connection.
  EXPECT_TRUE(WaitFor([&] { return MessageFiles() == 0; }));
  std::vector<ActivityFields> v = RecordsOf(kActionProtocolViolation);
  ASSERT_EQ(v.size(), 10u);
  EXPECT_EQ(v[0], SessionRecord(kActionProtocolViolation,
                                {{kActInfo, "Need MAIL command first."},
                                 {kActLastCommand, "RCPT TO:<jo@example.org>"}}));
  EXPECT_EQ(v[2],
            SessionRecord(kActionProtocolViolation,
                          {{kActInfo, "No RCPTS given for message."}, {kActLastCommand, "DATA"}}));
  EXPECT_EQ(v[3], SessionRecord(kActionProtocolViolation,
                                {{kActInfo, "Nested MAIL commands."},
                                 {kActLastCommand, "mail from:<b@example.net>"}}));
  EXPECT_EQ(v[4],
            SessionRecord(kActionProtocolViolation,
                          {{kActInfo, "Syntax error."}, {kActLastCommand, "RCPT jo@example.org"}}));
}

TEST_F(SmtpConversation, MailSyntaxAndMissingHelo) {
  auto c = Connect(false);
  EXPECT_EQ(c->Cmd("MAIL <a@example.net>"), "501 Syntax error in parameters\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@>"), "501 Syntax error in parameters, no path found\r\n");
  // Served although HELO never came; the violation is recorded.
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@example.net>"), "250 <a@example.net>... Sender ok\r\n");
  std::vector<ActivityFields> v = RecordsOf(kActionProtocolViolation);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[4], SessionRecord(kActionProtocolViolation,
                                {{kActInfo, "HELO command not sent."},
                                 {kActLastCommand, "MAIL FROM:<a@example.net>"}}));
}

TEST_F(SmtpConversation, EmptyReversePathInBothForms) {
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<>"), "250 <>... Sender ok\r\n");
  EXPECT_EQ(c->Cmd("RSET"), "250 Reset State\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM:"), "250 <>... Sender ok\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>"), "250 <jo@example.org>... Recipient ok\r\n");
  EXPECT_EQ(c->Cmd("DATA"), "354 Enter mail, end with \".\" on a line by itself\r\n");
  c->Send("Subject: bounce\r\n\r\nreturned\r\n.\r\n");
  std::string id = Identifier(c->Line());
  ASSERT_FALSE(id.empty());
  auto message = CTernQueuedMessage::Open(id, m_MailDir);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Sender(), "");
}

TEST_F(SmtpConversation, SilenceEndsTheConnectionAndRemovesTheMessage) {
  m_Server->SetTimeouts(1, 1);
  {
    auto c = Connect();
    EXPECT_TRUE(c->ServerCloses(10));
  }
  {
    auto c = Connect();
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@example.net>").substr(0, 3), "250");
    EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>").substr(0, 3), "250");
    EXPECT_EQ(c->Cmd("DATA").substr(0, 3), "354");
    c->Send("Subject: half\r\n\r\nno end");
    EXPECT_TRUE(c->ServerCloses(10));
  }
  EXPECT_TRUE(WaitFor([&] { return RecordsOf(kActionDisconnected).size() == 2; }));
  for (const ActivityFields& r : RecordsOf(kActionDisconnected))
    EXPECT_EQ(r, SessionRecord(kActionDisconnected,
                               {{kActWarning, "Connection terminated prematurely."}}));
  std::vector<ActivityFields> rejected = RecordsOf(kActionMessageRejected);
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0], SessionRecord(kActionMessageRejected,
                                       {{kActInfo, "Error receiving data from client."}}));
  EXPECT_TRUE(m_Events.Has(39));
  EXPECT_EQ(MessageFiles(), 0);
  EXPECT_TRUE(m_Fast->Entries().empty());
}

TEST_F(SmtpConversation, PeerGoneMidTransactionLeavesNothing) {
  {
    auto c = Connect();
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@example.net>").substr(0, 3), "250");
    EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>").substr(0, 3), "250");
    EXPECT_EQ(c->Cmd("DATA").substr(0, 3), "354");
    c->Send("Subject: cut\r\n\r\nsome text\r\n");
    c->Close();
  }
  EXPECT_TRUE(WaitFor([&] { return RecordsOf(kActionDisconnected).size() == 1; }));
  EXPECT_EQ(MessageFiles(), 0);
}

TEST_F(SmtpConversation, AnOverlongCommandIsRefusedAndTheSessionGoesOn) {
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO " + std::string(20000, 'h')), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(c->Cmd("NOOP"), "250 OK\r\n");
}

TEST_F(SmtpConversation, AllowSmtpZeroLocksTheClientOut) {
  LoadConfig("", "DC127.0.0.1,AllowSMTP=0\r\n");
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<jo@example.org>"),
            "451 Requested action aborted: client or user currently locked\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<jo@example.org>"), "503 Need MAIL before RCPT\r\n");
  EXPECT_EQ(MessageFiles(), 0);
  EXPECT_EQ(
      RecordsOf(kActionMessageRejected)[0],
      SessionRecord(kActionMessageRejected,
                    {{kActInfo, "User or client not allowed to use this service at this time."}}));
  EXPECT_EQ(
      RecordsOf(kActionAccessViolation)[0],
      SessionRecord(kActionAccessViolation,
                    {{kActUser, "jo"},
                     {kActInfo, "User or client not allowed to use this service at this time."}}));
}

TEST_F(SmtpConversation, AllowSmtpZeroOnTheUserOnly) {
  LoadConfig("", "DUjo,AllowSMTP=0\r\n");
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<jo@example.org>").substr(0, 4), "451 ");
  EXPECT_EQ(c->Cmd("MAIL FROM:<ann@example.org>"), "250 <ann@example.org>... Sender ok\r\n");
}
