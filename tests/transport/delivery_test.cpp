// The delivery engine on real queues and mailboxes, with a scripted peer as the
// relay host: a turn of a message from the fast queue to the mailbox and the peer,
// the move to the slow queue and the retry 15 minutes on, the age limit, local
// outcomes, recovery of messages no queue lists, and a burst drained without pauses.
#include "transport/delivery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/file_ops.h"
#include "base/message_codes.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "store/mailbox_table.h"
#include "store/toc_entry.h"
#include "transport/local_delivery.h"
#include "tests/transport/delivery_fixture.h"
#include "tests/transport/scripted_peer.h"

namespace {

constexpr char kUsers[] = "DUjo,OstrelUser=1\r\nDUbo,OstrelUser=1\r\n";
constexpr char kText[] = "Subject: to the inbox\r\nFrom: ann@example.net\r\n\r\n.a dot line\r\nend\r\n";

class DeliveryTest : public DeliveryFixture {
 protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    ASSERT_TRUE(DirMake(m_Dir.File("boxes")));
    m_Slow = std::make_unique<CTernQueue>("slowq", m_MailDir);
    m_Table = std::make_unique<CTernMailboxTable>(m_Dir.File("boxes"));
  }
  void TearDown() override {
    m_Engine.reset();
    m_Table.reset();
    PlatformClearTime();
    DeliveryFixture::TearDown();
  }
  // The configuration with the users and the relay host on the peer's port.
  void Configure(uint16_t relayPort, const std::string& objects = kUsers, const std::string& system = "") {
    LoadConfig(",RelayHost=[127.0.0.1]:" + std::to_string(relayPort) + system, objects);
    CTernDelivery::Setup setup;
    setup.fastQueue = m_Fast.get();
    setup.slowQueue = m_Slow.get();
    setup.directory = m_MailDir;
    setup.mailboxes = m_Table.get();
    setup.remote.heloName = "mx.example.org";
    setup.remote.limits.replyMs = 2000;
    setup.wake = [this] { m_Event.Set(); };
    m_Engine = std::make_unique<CTernDelivery>(setup);
  }
  // A message made and put in the fast queue as the SMTP server does.
  std::string Queue(const std::vector<std::string>& to, const std::string& text = kText) {
    auto m = Make("ann@example.net", to, text);
    EXPECT_TRUE(m_Fast->Enqueue(m->Identifier(), CTernClock::Now(), 0, true));
    return m->Identifier();
  }
  // The messages of a user's Inbox as stored after their separator lines.
  std::vector<std::string> Inbox(const std::string& user) {
    std::vector<std::string> out;
    CTernOpenMailbox box = m_Table->OpenMailbox(user, "Inbox", 5);
    if (!box) return out;
    TernMailboxCounts counts;
    box->Counts(counts);
    for (int32_t n = 1; n <= counts.messages; ++n) {
      std::unique_ptr<CTernMessage> m = box->OpenMessage(n);
      std::string text, line;
      while (m && m->ReadLine(line) > 0) text += line;
      out.push_back(text);
    }
    return out;
  }
  uint32_t InboxFlags(const std::string& user) {
    CTernOpenMailbox box = m_Table->OpenMailbox(user, "Inbox", 5);
    TernTocEntry entry;
    return box && box->Info(1, entry) == 0 ? entry.flags : 0;
  }
  bool Step() { return m_Engine->TakeAndHandle([] { return false; }); }

  std::unique_ptr<CTernQueue> m_Slow;
  std::unique_ptr<CTernMailboxTable> m_Table;
  std::unique_ptr<CTernDelivery> m_Engine;
  PlatformEvent m_Event{false};
};

TEST_F(DeliveryTest, FromTheFastQueueToTheInboxThePeerAndTheSlowQueue) {
  ScriptedPeer peer({{"RCPT", {"250 ok\r\n", "452 try later\r\n"}}});
  Configure(peer.Port());
  std::string done = Queue({"jo@example.org", "far@far.example"});
  std::string later = Queue({"far@far.example"});

  // Local and remote recipients in one processing; the finished message leaves
  // its queue with its files.
  ASSERT_TRUE(Step());
  EXPECT_EQ(Inbox("jo"), std::vector<std::string>{kText});
  ASSERT_EQ(peer.Data().size(), 1u);
  EXPECT_FALSE(FileExists(PathJoin(m_MailDir, done + ".env"), false));
  EXPECT_FALSE(FileExists(PathJoin(m_MailDir, done + ".mes"), false));
  EXPECT_EQ(RecordsOf(kActionMessageProcessingCompleted).size(), 1u);
  EXPECT_NE(RecordsOf(kActionMessageDelivered)[0].find("50=Inbox;"), std::string::npos);

  // A 452 moves the message to the slow queue, both times now.
  ASSERT_TRUE(Step());
  EXPECT_TRUE(m_Fast->Entries().empty());
  ASSERT_EQ(m_Slow->Entries().size(), 1u);
  TernQueueEntry entry = m_Slow->Entries()[0];
  EXPECT_EQ(entry.identifier, later);
  EXPECT_EQ(entry.queued, entry.lastTry);
  EXPECT_NE(entry.lastTry, 0);
  EXPECT_TRUE(FileExists(PathJoin(m_MailDir, later + ".env"), false));

  // Nothing is due until 15 minutes have passed; then the retry delivers it.
  EXPECT_FALSE(Step());
  PlatformSetTime(CTernClock::Now() + kTernQueueSpacing + 1);
  ASSERT_TRUE(Step());
  EXPECT_TRUE(m_Slow->Entries().empty());
  EXPECT_EQ(peer.Data().size(), 2u);
  EXPECT_FALSE(FileExists(PathJoin(m_MailDir, later + ".env"), false));
  EXPECT_EQ(m_Engine->SlowThreads(), 0);
}

TEST_F(DeliveryTest, TheAgeLimitGivesUpOnlyRecipientsStillWaiting) {
  ScriptedPeer peer;
  Configure(peer.Port());
  auto m = Make("ann@example.net", {"jo@example.org", "far@far.example"}, kText);
  m->Recipients()[0].status = TernRecipientStatus::Done;  // delivered, not yet recorded
  ASSERT_TRUE(m->SaveEnvelope());
  PlatformSetTime(m->Created() + kDeliveryGiveUpAge);
  EXPECT_FALSE(m_Engine->ProcessMessage(*m, [] { return false; }));
  EXPECT_EQ(peer.Connections(), 0);
  EXPECT_EQ(m->Recipients()[1].reason, 1);
  std::vector<std::string> bounced = RecordsOf(kActionMessageBounced);
  ASSERT_EQ(bounced.size(), 1u);
  EXPECT_NE(bounced[0].find("21=far@far.example;"), std::string::npos);
  bool sent = false;
  for (auto& q : Queued()) {
    if (q->Recipients()[0].address != "ann@example.net") continue;
    sent = true;
    std::string text = BodyOf(*q);
    EXPECT_NE(text.find("far@far.example    Could not deliver in a reasonable time.\r\n"), std::string::npos);
    EXPECT_EQ(text.find("jo@example.org    "), std::string::npos);
  }
  EXPECT_TRUE(sent);
}

TEST_F(DeliveryTest, LocalOutcomes) {
  // jo refuses application parts; what happens then is jo's OnForbidden.
  const std::string attachment =
      "Subject: parts\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n--b\r\nContent-Type: application/octet-stream\r\n\r\nxx\r\n--b--\r\n";
  const struct {
    const char* label;
    std::string to, onForbidden, text;
    int kind;
    bool bodyGone, busy;
    int status, reason, notice, attempts;
    uint32_t flags;  // of the message in the Inbox; 0 when none arrived
  } cases[] = {
      {"plain", "jo@example.org", "B", kText, 0, false, false, 3, 0, 0, 0, TernMailFlag::Unread},
      {"no such user", "nobody@example.org", "B", kText, 0, false, false, 2, 2, 1, 0, 0},
      {"control character", "j\x01o@example.org", "B", kText, 0, false, false, 2, 3, 1, 0, 0},
      {"refused, bounced", "jo@example.org", "B", attachment, 0, false, false, 2, 5, 1, 0, 0},
      {"refused, held", "jo@example.org", "D", attachment, 0, false, false, 3, 5, 2, 0, 0},
      {"refused, delivered", "jo@example.org", "S", attachment, 0, false, false, 3, 5, 0, 0,
       TernMailFlag::Unread | TernMailFlag::Attachments},
      {"bounces are not filtered", "jo@example.org", "B", attachment, TernMessageKind::Bounce, false, false, 3, 0, 0, 0,
       TernMailFlag::Unread | TernMailFlag::Attachments},
      {"approval request", "jo@example.org", "B", kText, TernMessageKind::ApprovalRequest, false, false, 3, 0, 0, 0,
       TernMailFlag::Unread | TernMailFlag::AwaitingApproval},
      {"body gone", "jo@example.org", "B", kText, 0, true, false, 2, 6, 1, 0, 0},
      {"mailbox busy", "jo@example.org", "B", kText, 0, false, true, 1, 0, 0, 1, 0},
  };
  for (const auto& c : cases) {
    LoadConfig("", "DUjo,OstrelUser=1,FilterMode=F,BlockedMIMETypes=application/*,OnForbidden=" + c.onForbidden + "\r\n");
    ASSERT_EQ(m_Table->DeleteUserMailboxes("jo"), 0) << c.label;
    auto m = Make("ann@example.net", {c.to}, c.text, c.kind);
    if (c.bodyGone) {
      ASSERT_TRUE(FileRemove(m->BodyPath(), false));
    }
    // Another thread holds jo's Inbox for the whole delivery.
    PlatformEvent held{true}, done{true};
    std::thread holder;
    if (c.busy) {
      holder = std::thread([&] {
        CTernOpenMailbox box = m_Table->OpenMailbox("jo", "Inbox", 5);
        held.Set();
        done.Wait(kPlatformInfinite);
      });
      held.Wait(kPlatformInfinite);
    }
    EXPECT_TRUE(CTernLocalDelivery(*m, m_Table.get(), nullptr, 0).Run()) << c.label;
    done.Set();
    if (holder.joinable()) holder.join();
    const TernRecipient& r = m->Recipients()[0];
    EXPECT_EQ(r.status, c.status) << c.label;
    EXPECT_EQ(r.reason, c.reason) << c.label;
    EXPECT_EQ(r.notice, c.notice) << c.label;
    EXPECT_EQ(r.attempts, c.attempts) << c.label;
    EXPECT_EQ(InboxFlags("jo"), c.flags) << c.label;
  }
  // The refusal quotes the rule; an unknown user's text is the table's.
  auto m = Make("ann@example.net", {"nobody@example.org"}, kText);
  CTernLocalDelivery(*m, m_Table.get(), nullptr, 0).Run();
  EXPECT_EQ(m->Recipients()[0].reasonText, "User cannot accept mail.");
}

TEST_F(DeliveryTest, QuotaCountsOrdinaryMailOnly) {
  LoadConfig("", "DUjo,OstrelUser=1,MailQuota=1\r\n");
  std::string big = "Subject: big\r\n\r\n" + std::string(700 * 1024, 'x') + "\r\n";
  auto first = Make("ann@example.net", {"jo@example.org"}, big);
  auto second = Make("ann@example.net", {"jo@example.org"}, big);
  auto bounce = Make("", {"jo@example.org"}, big, TernMessageKind::Bounce);
  for (auto* m : {first.get(), second.get(), bounce.get()}) CTernLocalDelivery(*m, m_Table.get(), nullptr, 0).Run();
  EXPECT_EQ(first->Recipients()[0].status, TernRecipientStatus::Done);
  EXPECT_EQ(second->Recipients()[0].status, TernRecipientStatus::GivenUp);
  EXPECT_EQ(second->Recipients()[0].reason, 4);
  EXPECT_EQ(bounce->Recipients()[0].status, TernRecipientStatus::Done);
}

TEST_F(DeliveryTest, RecoveryQueuesWhatNoQueueListsAndSetsAsideWhatCannotBeRead) {
  ScriptedPeer peer;
  Configure(peer.Port());
  auto lost = Make("ann@example.net", {"jo@example.org"}, kText);
  auto listed = Make("ann@example.net", {"jo@example.org"}, kText);
  ASSERT_TRUE(m_Slow->Enqueue(listed->Identifier(), CTernClock::Now(), CTernClock::Now(), true));
  auto unfinished = CTernQueuedMessage::Create(m_MailDir);  // a message being received
  ASSERT_TRUE(unfinished);
  m_Dir.Write("mail/M2026010100000000001.env", "# 1 0\r\nnot an envelope\r\n");
  m_Dir.Write("mail/M2026010100000000001.mes", "kept beside the broken envelope\r\n");
  m_Dir.Write("mail/M2026010100000000002.mes", "its envelope was removed\r\n");
  lost.reset();
  listed.reset();

  EXPECT_EQ(m_Engine->Recover(), 1);
  ASSERT_EQ(m_Fast->Entries().size(), 1u);
  EXPECT_EQ(m_Slow->Entries().size(), 1u);
  EXPECT_TRUE(FileExists(PathJoin(m_MailDir, "M2026010100000000001.env.bad"), false));
  EXPECT_TRUE(m_Events.Has(kMsgEnvelopeMovedAside));
  EXPECT_TRUE(FileExists(unfinished->EnvelopePath(), false));
  EXPECT_TRUE(FileExists(PathJoin(m_MailDir, "M2026010100000000001.mes"), false));
  EXPECT_FALSE(FileExists(PathJoin(m_MailDir, "M2026010100000000002.mes"), false));
  EXPECT_EQ(m_Engine->Recover(), 0);  // nothing twice
  ASSERT_TRUE(Step());
  EXPECT_EQ(Inbox("jo").size(), 1u);
}

TEST_F(DeliveryTest, ABurstDrainsWithoutWaitingBetweenMessages) {
  ScriptedPeer peer;
  Configure(peer.Port());
  constexpr int kMessages = 40;
  for (int i = 0; i < kMessages; ++i) Queue({i % 2 ? "jo@example.org" : "bo@example.org"});
  std::atomic<bool> stop{false};
  // Two threads, and no wake-up at all: each must go on to the next message by
  // itself. A thread that waited for the event between messages would take a minute
  // a message.
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] { m_Engine->Thread(m_Event, [&] { return stop.load(); }, [] { return false; }); });
  bool drained = WaitFor([&] { return m_Fast->Entries().empty(); }, 50);
  stop = true;
  m_Event.Set();
  m_Event.Set();
  for (auto& t : threads) t.join();
  EXPECT_TRUE(drained);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(55));
  EXPECT_EQ(Inbox("jo").size() + Inbox("bo").size(), static_cast<size_t>(kMessages));
}

}  // namespace
