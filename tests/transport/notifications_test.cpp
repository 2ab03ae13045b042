// The notification step on real queued messages: bounces of at most 100 lines with
// the postmaster's header-only copy, the cases that must not bounce, notifications
// by level and party, and approval requests whose fields verify.
#include "transport/notifications.h"

#include <gtest/gtest.h>

#include "base/file_ops.h"
#include "message/message.h"
#include "transport/approval.h"
#include "tests/transport/delivery_fixture.h"

namespace {

constexpr char kText[] = "Subject: the report\r\nFrom: ann@example.net\r\n\r\nThe body text.\r\n";

class NotificationsTest : public DeliveryFixture {
 protected:
  TernNoticeContext Context() {
    TernNoticeContext context;
    context.directory = m_MailDir;
    context.fastQueue = m_Fast.get();
    context.wake = [this] { ++m_Wakes; };
    return context;
  }
  static void SetAll(CTernQueuedMessage& m, int status, int reason, int notice, const std::string& text) {
    for (TernRecipient& r : m.Recipients()) {
      r.status = status;
      r.reason = reason;
      r.notice = notice;
      r.reasonText = text;
    }
  }
  // Queued notices addressed to one address.
  std::vector<std::unique_ptr<CTernQueuedMessage>> To(const std::string& address) {
    std::vector<std::unique_ptr<CTernQueuedMessage>> out;
    for (auto& m : Queued())
      if (m->Recipients().size() == 1 && m->Recipients()[0].address == address) out.push_back(std::move(m));
    return out;
  }
  int m_Wakes = 0;
};

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(NotificationsTest, BouncesOfAHundredAtATimeWithThePostmastersCopy) {
  std::vector<std::string> to;
  for (int i = 0; i < 150; ++i) to.push_back("r" + std::to_string(i) + "@far.example");
  auto m = Make("ann@example.net", to, kText);
  SetAll(*m, TernRecipientStatus::GivenUp, 0, 1, "550 no such user");
  EXPECT_EQ(TernNotificationStep(*m, Context()), 50);

  auto bounces = To("ann@example.net");
  auto copies = To("Postmaster@example.org");
  ASSERT_EQ(bounces.size(), 1u);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(bounces[0]->Kind(), TernMessageKind::Bounce);
  EXPECT_EQ(bounces[0]->Sender(), "");
  EXPECT_TRUE(bounces[0]->Complete());
  std::string bounce = BodyOf(*bounces[0]);
  EXPECT_EQ(bounce.find("From: Postmaster@example.org\r\nTo: ann@example.net\r\nSubject: Returned mail\r\n"), 0u);
  EXPECT_NE(bounce.find("\r\n\r\n--- The message cannot be delivered to the following addresses. ---\r\n\r\n"
                        "r0@far.example    Permanent error involving remote host.\r\n550 no such user\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(Occurrences(bounce, "    Permanent error involving remote host.\r\n"), 100u);
  EXPECT_TRUE(bounce.ends_with("\r\n--- Original message follows. ---\r\n" + std::string(kText))) << bounce;
  std::string copy = BodyOf(*copies[0]);
  EXPECT_EQ(Occurrences(copy, "    Permanent error involving remote host.\r\n"), 100u);
  EXPECT_TRUE(copy.ends_with("--- Original message follows. ---\r\nSubject: the report\r\nFrom: ann@example.net\r\n"))
      << copy;
  EXPECT_EQ(RecordsOf(kActionMessageBounced).size(), 100u);
  EXPECT_EQ(RecordsOf(kActionMessageAccepted).size(), 2u);
  EXPECT_EQ(m_Wakes, 2);

  // The next processing bounces the other 50, and the message is finished.
  EXPECT_EQ(TernNotificationStep(*m, Context()), 0);
  EXPECT_EQ(To("ann@example.net").size(), 2u);
  EXPECT_EQ(RecordsOf(kActionMessageBounced).size(), 150u);
  for (const TernRecipient& r : m->Recipients()) EXPECT_EQ(r.status, TernRecipientStatus::Closed);
}

TEST_F(NotificationsTest, CourtesyCopiesAndTheCasesThatMustNotBounce) {
  const struct {
    const char* courtesy;  // nullptr: the setting is absent
    const char* sender;
    int kind;
    bool bodyGone;
    size_t toSender, toPostmaster;
  } cases[] = {
      {nullptr, "ann@example.net", 0, false, 1, 1},
      {"", "ann@example.net", 0, false, 1, 1},
      {"1", "ann@example.net", 0, false, 1, 1},
      {"0", "ann@example.net", 0, false, 1, 0},
      // No bounce ever goes to the empty sender: the postmaster still hears of it.
      {"1", "", 0, false, 0, 1},
      {"0", "", 0, false, 0, 0},
      // Bounces are never bounced.
      {"1", "", TernMessageKind::Bounce, false, 0, 0},
      // A bounce whose original is gone goes out without the copy.
      {"1", "ann@example.net", 0, true, 1, 1},
  };
  for (const auto& c : cases) {
    LoadConfig(c.courtesy ? std::string(",CourtesyBounce=") + c.courtesy : std::string());
    m_Fast = std::make_unique<CTernQueue>("fastq" + std::to_string(&c - cases), m_MailDir);
    auto m = Make(c.sender, {"jo@far.example"}, kText, c.kind);
    SetAll(*m, TernRecipientStatus::GivenUp, 7, 1, "");
    if (c.bodyGone) {
      ASSERT_TRUE(FileRemove(m->BodyPath(), false));
    }
    EXPECT_EQ(TernNotificationStep(*m, Context()), 0) << (&c - cases);
    EXPECT_EQ(m->Recipients()[0].status, TernRecipientStatus::Closed);
    auto bounces = To("ann@example.net");
    EXPECT_EQ(bounces.size(), c.toSender) << (&c - cases);
    EXPECT_EQ(To("Postmaster@example.org").size(), c.toPostmaster) << (&c - cases);
    if (!bounces.empty()) {
      std::string bounce = BodyOf(*bounces[0]);
      EXPECT_NE(bounce.find("jo@far.example    Remote host not found.\r\n\r\n"), std::string::npos);
      EXPECT_EQ(bounce.find("The body text.") != std::string::npos, !c.bodyGone) << (&c - cases);
    }
  }
}

TEST_F(NotificationsTest, ListOwnersHearOfTheirMembers) {
  auto m = Make("ann@example.net", {"member@far.example", "refused@far.example"}, kText);
  SetAll(*m, TernRecipientStatus::GivenUp, 2, 1, "550 gone");
  m->Recipients()[0].secondAddress = "owner-staff";
  m->Recipients()[1].secondAddress = "owner-staff";
  m->Recipients()[1].reason = 5;  // a filter decision is the sender's to hear of
  EXPECT_EQ(TernNotificationStep(*m, Context()), 0);
  auto owner = To("owner-staff@example.org");
  auto sender = To("ann@example.net");
  ASSERT_EQ(owner.size(), 1u);
  ASSERT_EQ(sender.size(), 1u);
  EXPECT_NE(BodyOf(*owner[0]).find("member@far.example    Mailbox unknown"), std::string::npos);
  EXPECT_NE(BodyOf(*sender[0]).find("refused@far.example    Address or content not allowed."), std::string::npos);
}

TEST_F(NotificationsTest, PartiesLevelsAndOneNotificationPerAddress) {
  // The system tells boss@ of everything; the recipient's user object names the same
  // address in other letters (heard once); the client names watch@ for violations only.
  LoadConfig(",Notify=2,NotifyAddr=boss@example.org",
             "DUjo,Notify=2,NotifyAddr=BOSS@example.org\r\nDC192.0.2.7,Notify=1,NotifyAddr=watch@example.org\r\n");
  auto m = Make("ann@example.net", {"jo@example.org", "bo@example.org"}, kText);
  SetAll(*m, TernRecipientStatus::Done, 0, 0, "");
  EXPECT_EQ(TernNotificationStep(*m, Context()), 0);
  EXPECT_TRUE(m->Notified());
  auto told = To("BOSS@example.org");
  EXPECT_EQ(told.size(), 1u);  // about jo, from jo's user object (the first of the two)
  EXPECT_EQ(To("boss@example.org").size(), 1u);  // about bo, from the system
  EXPECT_TRUE(To("watch@example.org").empty());
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told[0]->Kind(), TernMessageKind::Notification);
  std::string text = BodyOf(*told[0]);
  EXPECT_NE(text.find("Subject: Ostrel Notification\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\n+++ Notification Information +++\r\n\r\n\r\nThe following message was delivered.\r\n"
                      "\r\n--- Original message follows. ---\r\n" + std::string(kText) + "\r\n"),
            std::string::npos)
      << text;
  // Bounces and notifications themselves make no notifications.
  auto n = Make("", {"jo@example.org"}, kText, TernMessageKind::Notification);
  SetAll(*n, TernRecipientStatus::Done, 0, 0, "");
  size_t before = Queued().size();
  EXPECT_EQ(TernNotificationStep(*n, Context()), 0);
  EXPECT_EQ(Queued().size(), before);
}

TEST_F(NotificationsTest, HeldMailMakesAnApprovalRequestThatVerifies) {
  TernSetApprovalSecret(std::string(32, 's'));
  LoadConfig(",Notify=1,NotifyAddr=approver@example.org");
  auto m = Make("ann@example.net", {"jo@example.org"}, kText);
  SetAll(*m, TernRecipientStatus::Done, 5, 2, "Currently not allowed to receive mail from ann@example.net (denied list)\r\n");
  EXPECT_EQ(TernNotificationStep(*m, Context()), 0);
  EXPECT_FALSE(m->Notified());
  auto requests = To("approver@example.org");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]->Kind(), TernMessageKind::ApprovalRequest);
  std::string text = BodyOf(*requests[0]);
  EXPECT_NE(text.find("Subject: Ostrel Notification (Approval Required)\r\nX-OldSMTP-ID: " + m->Identifier() +
                      "\r\nX-Notify-From: ann@example.net\r\nX-Notify-To: jo@example.org\r\nX-Notify-Signature: "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("+++\r\n\r\nThis message was flagged as a content violation:\r\n"
                      "Currently not allowed to receive mail from ann@example.net (denied list)\r\n"
                      "\r\nThis message must be approved prior to forwarding to recipient: jo@example.org\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(RecordsOf(kActionMessageDropped).size(), 1u);
  EXPECT_EQ(RecordsOf(kActionContentViolation).size(), 1u);

  // The request verifies; the same fields made up by anyone else do not.
  CTernMessage request(requests[0]->BodyPath(), 0, 0, TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
  ASSERT_TRUE(request.Open());
  EXPECT_TRUE(TernApprovalVerifies(request));
  request.Close();
  TempDir forged;
  for (const std::string& header :
       {"X-OldSMTP-ID: " + m->Identifier() + "\r\nX-Notify-From: ann@example.net\r\nX-Notify-To: boss@example.org\r\n"
            "X-Notify-Signature: " + TernApprovalSignature(m->Identifier(), "ann@example.net", "jo@example.org") + "\r\n",
        "X-OldSMTP-ID: " + m->Identifier() + "\r\nX-Notify-From: ann@example.net\r\nX-Notify-To: jo@example.org\r\n"}) {
    CTernMessage fake(forged.Write("fake", header + "\r\nbody\r\n"), 0, 0, TernMessageOption::NoSeparatorDetection,
                      TernMessageMode::Read);
    ASSERT_TRUE(fake.Open());
    EXPECT_FALSE(TernApprovalVerifies(fake));
  }
  TernSetApprovalSecret("");
}

}  // namespace
