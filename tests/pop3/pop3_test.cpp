// The POP3 conversation over a real loopback connection, on mailboxes filled
// through the store: replies byte for byte, sizes that match what RETR sends, byte
// stuffing, TOP, deletion only at QUIT, the held Inbox, the access rule, and
// activity records that never hold a password.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/accounts_file.h"
#include "log/activity_log.h"
#include "net/tcp_endpoint.h"
#include "net/tls_certificate.h"
#include "net/tls_context.h"
#include "pop3/pop3_server.h"
#include "store/mailbox_table.h"
#include "tests/net/loopback.h"
#include "tests/store/store_fixture.h"

namespace {

class PopClient {
 public:
  explicit PopClient(uint16_t port) { EXPECT_TRUE(m_End.Connect(CTernNetAddress(Loopback(1), port))); }
  std::string Line() {
    CTernString text;
    return m_End.ReceiveLine(text, "\r\n", 10) > 0 ? text.Str() : std::string();
  }
  std::string Cmd(const std::string& command) {
    m_End.Send(command + "\r\n");
    return Line();
  }
  // The lines of a multi-line answer after its first line, up to "." (stuffing kept).
  std::string Body() {
    std::string out;
    for (std::string line = Line(); !line.empty() && line != ".\r\n"; line = Line()) out += line;
    return out;
  }
  void Send(const std::string& text) { m_End.Send(text); }
  void Close() { m_End.Close(); }

 private:
  CTernTcpEndpoint m_End;
};

class Pop3Test : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    CTernActivityLog::Configure(m_Dir.Path(), "OstrelLogging");
    CTernActivityLog::Reopen();
    LoadConfig("DS,Domain=example.org\r\nDUjo,OstrelUser=1,RealAcct=jo\r\n"
               "DUbo,OstrelUser=1,RealAcct=bo,AllowPOP=0\r\nDUnomail,RealAcct=nomail\r\n");
    CTernAccountsFile::SetProcessPath(m_Dir.File("accounts"));
    std::string error;
    for (const char* account : {"jo", "bo", "nomail"})
      ASSERT_TRUE(CTernAccountsFile(m_Dir.File("accounts")).SetPassword(account, "secret", error));
    m_Table = std::make_unique<CTernMailboxTable>(Root());
    m_Server = std::make_unique<POP3>(m_Table.get());
    ASSERT_TRUE(m_Server->Start(2, 0, CTernNetAddress(Loopback(1), 0)));
  }
  void TearDown() override {
    m_Server.reset();
    m_Table.reset();
    CTernAccountsFile::SetProcessPath("");
    CTernActivityLog::Close();
    CTernActivityLog::Configure("", "");
    CTernActivityLog::Reopen();
    StoreFixture::TearDown();
  }

  void Deliver(const std::vector<std::string>& texts) {
    CTernOpenMailbox box = m_Table->OpenMailbox("jo", kTernInbox, 5);
    ASSERT_TRUE(box);
    for (const std::string& text : texts) ASSERT_EQ(Add(*box, text), TernAddResult::Added);
  }
  std::unique_ptr<PopClient> Login(const std::string& user = "jo") {
    auto c = std::make_unique<PopClient>(m_Server->Port());
    EXPECT_EQ(c->Line(), "+OK POP3 server " + m_Server->HostName() + " (Ostrel-1.0.2) ready\r\n");
    c->Cmd("USER " + user);
    m_LoginReply = c->Cmd("PASS secret");
    return c;
  }
  std::string ActivityText() {
    std::string all;
    long date = TernDateNumber(PlatformNow());
    CTernActivityReader reader(m_Dir.Path(), date, 0, date, 235959, {}, {}, {}, {});
    long d = 0, t = 0;
    CTernActivityRecord r;
    for (bool more = reader.First(d, t, r); more; more = reader.Next(d, t, r)) all += r.Line(d, t);
    return all;
  }

  std::unique_ptr<CTernMailboxTable> m_Table;
  std::unique_ptr<POP3> m_Server;
  std::string m_LoginReply;
};

TEST_F(Pop3Test, AuthorizationRepliesAndRecords) {
  PopClient c(m_Server->Port());
  c.Line();
  const std::pair<std::string, std::string> steps[] = {
      {"PASS secret", "-ERR need USER command first\r\n"},
      {"STAT", "-ERR command may only be given in TRANSACTION state\r\n"},
      {"RSET", "-ERR command may only be used in the transaction state\r\n"},
      {"user   ", "-ERR user not supplied\r\n"},
      {"STLS", "-ERR Command unknown\r\n"},  // no certificate: no encryption
      {"APOP jo 0123", "-ERR Command unknown\r\n"},
      {"XYZZY", "-ERR Command unknown\r\n"},
      {"noop", "+OK\r\n"},
      {"user nomail", "+OK send password for user nomail\r\n"},
      {"PASS secret", "-ERR invalid password\r\n"},   // no mail service: no password tried
      {"USER jo", "+OK send password for user jo\r\n"},
      {"PASS wrong-one", "-ERR invalid password\r\n"},
      {"PASS secret", "+OK jo's maildrop has 0 messages (0 octets)\r\n"},  // no new USER
      {"USER jo", "-ERR POP3 server not in authorization state\r\n"},
      {"QUIT", "+OK POP3 server " + m_Server->HostName() + " signing off\r\n"},
  };
  // CAPA lists what there is; STLS only with a certificate.
  EXPECT_EQ(c.Cmd("CAPA"), "+OK Capability list follows\r\n");
  EXPECT_EQ(c.Body(), "TOP\r\nUSER\r\nUIDL\r\n");
  for (const auto& [command, reply] : steps) EXPECT_EQ(c.Cmd(command), reply) << command;
  std::string log = ActivityText();
  EXPECT_EQ(log.find("secret"), std::string::npos) << log;
  EXPECT_EQ(log.find("wrong-one"), std::string::npos) << log;
  EXPECT_NE(log.find("No user provided."), std::string::npos);
  EXPECT_NE(log.find("Unknown command."), std::string::npos);
  // CAPA and APOP are no violations; XYZZY is.
  EXPECT_EQ(log.find("CAPA"), std::string::npos);
  EXPECT_NE(log.find("XYZZY"), std::string::npos);
}

TEST_F(Pop3Test, PasswordsInClearFollowTheServersRule) {
  using Rule = CTernTcpServer::ClearPasswords;
  const std::string refused = "-ERR [AUTH] encryption required: use STLS or the POP3S port\r\n";
  // The test's client is on loopback.
  for (const auto& [rule, reply] : {std::pair{Rule::Never, refused},
                                    std::pair{Rule::FromLoopback, std::string("+OK jo's maildrop")}}) {
    m_Server->SetClearPasswords(rule);
    auto c = Login();
    EXPECT_EQ(m_LoginReply.substr(0, reply.size()), reply);
    c->Cmd("QUIT");
  }
  std::string log = ActivityText();
  EXPECT_NE(log.find("Password refused on an unencrypted connection."), std::string::npos) << log;
  EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(Pop3Test, StlsIsOfferedWithACertificateBeforeTheLoginOnly) {
  std::string certificate, key, error;
  ASSERT_TRUE(TernMakeSelfSignedCertificate("example.org", certificate, key, error)) << error;
  auto context = CTernTlsContext::Load(m_Dir.Write("cert.pem", certificate), m_Dir.Write("key.pem", key), error);
  ASSERT_TRUE(context) << error;
  m_Server->SetTls(context, false);
  auto c = Login();
  EXPECT_EQ(c->Cmd("CAPA"), "+OK Capability list follows\r\n");
  EXPECT_EQ(c->Body(), "TOP\r\nUSER\r\nUIDL\r\nSTLS\r\n");
  EXPECT_EQ(c->Cmd("STLS"), "-ERR POP3 server not in authorization state\r\n");
  EXPECT_EQ(c->Cmd("NOOP"), "+OK\r\n");
}

TEST_F(Pop3Test, TransactionSizesStuffingTopAndDeletion) {
  std::string body = "line one\r\n.starts with a dot\r\n..two dots\r\nlast\r\n";
  Deliver({Mail("first", body), Mail("second", std::string(5000, 'x') + "\r\n.\r\n"),
           Mail("third", "no line end at the end")});
  auto c = Login();
  std::vector<std::string> stored = {Mail("first", body), Mail("second", std::string(5000, 'x') + "\r\n.\r\n"),
                                     Mail("third", "no line end at the end") + "\r\n"};
  long total = 0;
  for (const std::string& s : stored) total += static_cast<long>(s.size());
  EXPECT_EQ(m_LoginReply, "+OK jo's maildrop has 3 messages (" + std::to_string(total) + " octets)\r\n");
  EXPECT_EQ(c->Cmd("STAT"), "+OK 3 " + std::to_string(total) + "\r\n");
  EXPECT_EQ(c->Cmd("LIST"), "+OK 3 message (" + std::to_string(total) + " octets)\r\n");
  std::string listing = c->Body();
  EXPECT_EQ(listing, "1 " + std::to_string(stored[0].size()) + "\r\n2 " + std::to_string(stored[1].size()) +
                         "\r\n3 " + std::to_string(stored[2].size()) + "\r\n");
  // What RETR sends is the message after the separator line, its dots stuffed.
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(c->Cmd("RETR " + std::to_string(i + 1)), "+OK " + std::to_string(stored[i].size()) + " octets\r\n");
    std::string sent = c->Body(), unstuffed;
    for (size_t p = 0; p < sent.size();) {
      size_t end = sent.find("\r\n", p) + 2;
      std::string line = sent.substr(p, end - p);
      unstuffed += line[0] == '.' ? line.substr(1) : line;
      p = end;
    }
    EXPECT_EQ(unstuffed, stored[i]) << i;
  }
  EXPECT_EQ(c->Cmd("TOP 1 0"), "+OK " + std::to_string(stored[0].size()) + " octets\r\n");
  EXPECT_EQ(c->Body(), stored[0].substr(0, stored[0].find("\r\n\r\n") + 4));
  c->Cmd("TOP 1 2");
  EXPECT_EQ(c->Body(), stored[0].substr(0, stored[0].find("\r\n\r\n") + 4) + "line one\r\n..starts with a dot\r\n");
  EXPECT_EQ(c->Cmd("TOP 1"), "-ERR incorrect parameters (TOP message lines)\r\n");
  EXPECT_EQ(c->Cmd("TOP 1 -1"), "-ERR invalid number of lines to read\r\n");
  EXPECT_EQ(c->Cmd("UIDL 2").rfind("+OK 2 ", 0), 0u);
  EXPECT_EQ(c->Cmd("DELE 2"), "+OK message 2 deleted\r\n");
  for (const char* cmd : {"DELE 2", "LIST 2", "RETR 2", "TOP 2 1"})
    EXPECT_EQ(c->Cmd(cmd), "-ERR message 2 already deleted\r\n") << cmd;
  for (const char* cmd : {"DELE 0", "DELE 99", "RETR x", "TOP 4 1"})
    EXPECT_EQ(c->Cmd(cmd), "-ERR invalid message number\r\n") << cmd;
  long left = total - static_cast<long>(stored[1].size());
  EXPECT_EQ(c->Cmd("STAT"), "+OK 2 " + std::to_string(left) + "\r\n");
  c->Cmd("LIST");
  EXPECT_EQ(c->Body().find("2 "), std::string::npos);
  EXPECT_EQ(c->Cmd("RSET"), "+OK maildrop has 3 messages (" + std::to_string(total) + " octets)\r\n");
  c->Cmd("DELE 1");
  c->Cmd("DELE 3");
  // A dropped connection removes nothing.
  c->Close();
  c = Login();
  EXPECT_EQ(m_LoginReply, "+OK jo's maildrop has 3 messages (" + std::to_string(total) + " octets)\r\n");
  c->Cmd("DELE 1");
  c->Cmd("DELE 3");
  EXPECT_EQ(c->Cmd("QUIT"), "+OK POP3 server " + m_Server->HostName() + " signing off\r\n");
  c = Login();
  EXPECT_EQ(m_LoginReply, "+OK jo's maildrop has 1 messages (" + std::to_string(stored[1].size()) + " octets)\r\n");
  // Two deletions recorded, after the compaction made them real.
  std::string log = ActivityText();
  size_t deleted = 0;
  for (size_t p = 0; (p = log.find(",2=15,", p)) != std::string::npos; ++p) ++deleted;
  EXPECT_EQ(deleted, 2u) << log;
}

TEST_F(Pop3Test, HeldInboxAccessRuleAndOverlongLines) {
  Deliver({Mail("one")});
  {
    // A delivery holding the Inbox makes the login fail at once.
    CTernOpenMailbox held = m_Table->OpenMailbox("jo", kTernInbox, 5);
    ASSERT_TRUE(held);
    auto c = Login();
    EXPECT_EQ(m_LoginReply, "-ERR unable to lock maildrop\r\n");
    // Still in state 2: the next PASS, after the release, succeeds.
    held.Close();
    EXPECT_EQ(c->Cmd("PASS secret"), "+OK jo's maildrop has 1 messages (" +
                                         std::to_string(Mail("one").size()) + " octets)\r\n");
    // A second session meanwhile cannot have it either.
    auto other = Login();
    EXPECT_EQ(m_LoginReply, "-ERR unable to lock maildrop\r\n");
  }
  auto bo = Login("bo");
  EXPECT_EQ(m_LoginReply, "-ERR cannot lock maildrop, client or user not allowed access\r\n");
  // A command line over 600 characters is answered once and never run.
  PopClient c(m_Server->Port());
  c.Line();
  c.Send("NOOP " + std::string(700, 'a') + " QUIT\r\nNOOP\r\n");
  EXPECT_EQ(c.Line(), "-ERR command line too long\r\n");
  EXPECT_EQ(c.Line(), "+OK\r\n");
}

}  // namespace
