// Remote delivery against scripted peers on loopback, reached through RelayHost:
// transactions per domain and per 100 recipients, what each stage's reply does to
// the recipients, hosts passed over, and the records left behind.
#include "transport/remote_delivery.h"

#include <gtest/gtest.h>

#include "tests/transport/delivery_fixture.h"
#include "tests/transport/scripted_peer.h"

namespace {

class RemoteDeliveryTest : public DeliveryFixture {
 protected:
  TernRemoteConfig Config(uint16_t relayPort) {
    TernRemoteConfig config;
    config.heloName = "mx.example.org";
    config.relayHost = "[127.0.0.1]:" + std::to_string(relayPort);
    config.limits.replyMs = 2000;
    return config;
  }
  bool Deliver(CTernQueuedMessage& m, TernRemoteConfig config) {
    return CTernRemoteDelivery(m, std::move(config), nullptr).Run();
  }
};

TEST_F(RemoteDeliveryTest, OneTransactionPerDomainAndHundredRecipients) {
  ScriptedPeer peer;
  std::vector<std::string> to = {"a@far.example", "b@FAR.example", "x@other.example", "c@far.example"};
  for (int i = 0; i < 150; ++i) to.push_back("m" + std::to_string(i) + "@many.example");
  auto m = Make("ann@example.org", to, "Subject: hi\r\n\r\n.dot line\r\nbody\r\n");
  ASSERT_TRUE(Deliver(*m, Config(peer.Port())));

  for (const TernRecipient& r : m->Recipients()) EXPECT_EQ(r.status, TernRecipientStatus::Done) << r.address;
  // far.example (3 recipients, any letter case), other.example, then 100 and 50.
  EXPECT_EQ(peer.Connections(), 4);
  EXPECT_EQ(peer.Count("MAIL From:<ann@example.org>\r\n"), 4);
  EXPECT_EQ(peer.Count("HELO mx.example.org\r\n"), 4);
  std::vector<std::string> lines = peer.Lines();
  std::vector<int> perTransaction;
  for (const std::string& l : lines) {
    if (l.rfind("MAIL", 0) == 0) perTransaction.push_back(0);
    if (l.rfind("RCPT To:<", 0) == 0) ++perTransaction.back();
  }
  EXPECT_EQ(perTransaction, (std::vector<int>{3, 1, 100, 50}));
  ASSERT_EQ(peer.Data().size(), 4u);
  EXPECT_EQ(peer.Data()[0], "Subject: hi\r\n\r\n..dot line\r\nbody\r\n");
  EXPECT_EQ(RecordsOf(kActionMessageDelivered).size(), to.size());
  EXPECT_EQ(RecordsOf(kActionConnectedTo).size(), 4u);
  EXPECT_EQ(RecordsOf(kActionDisconnected).size(), 4u);
  // The envelope on disk holds the outcome.
  auto saved = CTernQueuedMessage::Open(m->Identifier(), m_MailDir);
  ASSERT_TRUE(saved);
  for (const TernRecipient& r : saved->Recipients()) EXPECT_EQ(r.status, TernRecipientStatus::Done);
}

TEST_F(RemoteDeliveryTest, WhatEachStageDoesToTheRecipients) {
  using Script = std::map<std::string, std::vector<std::string>>;
  struct Want {
    int status, reason, attempts;
    std::string text;
  };
  const Want done{TernRecipientStatus::Done, 0, 0, ""};
  const Want later{TernRecipientStatus::Waiting, 0, 1, ""};
  const struct {
    const char* label;
    Script script;
    std::vector<Want> want;  // for a@, b@, c@far.example
    size_t data;             // transactions whose data reached the peer
  } cases[] = {
      {"452 for one recipient", {{"RCPT", {"250 a\r\n", "452 full\r\n", "250 c\r\n"}}},
       {done, later, done}, 1},
      {"550 for one recipient", {{"RCPT", {"250 a\r\n", "550 no such user\r\n"}}},
       {done, {2, 2, 0, "550 no such user"}, done}, 1},
      {"greeting refused", {{"GREETING", {"554 go away\r\n"}}},
       {{2, 0, 0, "554 go away"}, {2, 0, 0, "554 go away"}, {2, 0, 0, "554 go away"}}, 0},
      {"greeting busy", {{"GREETING", {"421 busy\r\n"}}}, {later, later, later}, 0},
      {"MAIL deferred", {{"MAIL", {"451 later\r\n"}}}, {later, later, later}, 0},
      {"DATA without 354", {{"DATA", {"250 what data\r\n"}}}, {later, later, later}, 0},
      {"DATA refused", {{"DATA", {"554 no data\r\n"}}},
       {{2, 0, 0, "554 no data"}, {2, 0, 0, "554 no data"}, {2, 0, 0, "554 no data"}}, 0},
      {"data deferred", {{"END", {"452 disk full\r\n"}}}, {later, later, later}, 1},
      {"data refused", {{"END", {"550-spam\r\n550 really\r\n"}}},
       {{2, 0, 0, "550-spam 550 really"}, {2, 0, 0, "550-spam 550 really"}, {2, 0, 0, "550-spam 550 really"}}, 1},
      {"peer silent after MAIL", {{"MAIL", {""}}}, {later, later, later}, 0},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer(c.script);
    auto m = Make("ann@example.org", {"a@far.example", "b@far.example", "c@far.example"}, "Subject: s\r\n\r\nx\r\n");
    EXPECT_TRUE(Deliver(*m, Config(peer.Port()))) << c.label;
    ASSERT_EQ(m->Recipients().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TernRecipient& r = m->Recipients()[i];
      EXPECT_EQ(r.status, c.want[i].status) << c.label << " " << r.address;
      EXPECT_EQ(r.reason, c.want[i].reason) << c.label << " " << r.address;
      EXPECT_EQ(r.attempts, c.want[i].attempts) << c.label << " " << r.address;
      EXPECT_EQ(r.reasonText, c.want[i].text) << c.label << " " << r.address;
      if (r.status == TernRecipientStatus::GivenUp) {
        EXPECT_EQ(r.notice, 1) << c.label;
      }
    }
    EXPECT_EQ(peer.Data().size(), c.data) << c.label;
  }
  // A two-line final reply is recorded as both lines joined by one space.
  bool joined = false;
  for (const std::string& r : RecordsOf(kActionMessageDeliveryAttemptFailed))
    joined = joined || r.find("110=452 disk full;") != std::string::npos;
  EXPECT_TRUE(joined);
}

TEST_F(RemoteDeliveryTest, HostsPassedOverAndAddressesRefused) {
  ScriptedPeer peer;
  // A relay host that leads back to this server is never used.
  TernRemoteConfig self = Config(peer.Port());
  self.ownPort = peer.Port();
  auto m = Make("ann@example.org", {"a@far.example"}, "x\r\n");
  ASSERT_TRUE(Deliver(*m, self));
  EXPECT_EQ(m->Recipients()[0].status, TernRecipientStatus::Waiting);
  EXPECT_EQ(m->Recipients()[0].attempts, 1);
  EXPECT_EQ(peer.Count("HELO"), 0);
  EXPECT_NE(RecordsOf(kActionMessageDeliveryAttemptFailed).back().find("110=Could not contact server.;"),
            std::string::npos);

  // A relay host that cannot be resolved or read is the administrator's matter:
  // the mail waits.
  for (const char* relay : {"relay.invalid", "[127.0.0.1]:99999", "[127.0.0.1"}) {
    TernRemoteConfig config = Config(peer.Port());
    config.relayHost = relay;
    auto w = Make("ann@example.org", {"a@far.example"}, "x\r\n");
    ASSERT_TRUE(Deliver(*w, config));
    EXPECT_EQ(w->Recipients()[0].status, TernRecipientStatus::Waiting) << relay;
    EXPECT_EQ(w->Recipients()[0].attempts, 1) << relay;
  }

  // An address literal goes to its own address on the exchangers' port; an address
  // with a control character is refused for good; a recipient tried a moment ago
  // waits.
  TernRemoteConfig literal = Config(peer.Port());
  literal.relayHost.clear();
  literal.mxPort = peer.Port();
  auto l = Make("ann@example.org", {"jo@[127.0.0.1]", "bad\x01@far.example", "recent@[127.0.0.1]"}, "x\r\n");
  l->Recipients()[2].lastAttempt = CTernClock::Now() - kRecipientSpacing + 60;
  ASSERT_TRUE(Deliver(*l, literal));
  EXPECT_EQ(l->Recipients()[0].status, TernRecipientStatus::Done);
  EXPECT_EQ(l->Recipients()[1].status, TernRecipientStatus::GivenUp);
  EXPECT_EQ(l->Recipients()[1].reason, 3);
  EXPECT_EQ(l->Recipients()[2].status, TernRecipientStatus::Waiting);
  EXPECT_EQ(l->Recipients()[2].attempts, 0);
  EXPECT_EQ(peer.Count("RCPT"), 1);
}

TEST(RelayHost, Parsing) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"[127.0.0.1]:2526", true, "127.0.0.1", 2526}, {"[192.0.2.1]", true, "192.0.2.1", 25},
      {" relay.example.net ", true, "relay.example.net", 25}, {"relay.example.net:587", true, "relay.example.net", 587},
      {"relay:0", false, "", 0}, {"relay:65536", false, "", 0}, {"relay:", false, "", 0},
      {"[1.2.3.4]x", false, "", 0}, {"", false, "", 0}, {"[]", false, "", 0}, {"a\rb", false, "", 0},
  };
  for (const auto& c : cases) {
    std::string host;
    uint16_t port = 0;
    EXPECT_EQ(TernParseRelayHost(c.text, host, port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

}  // namespace
