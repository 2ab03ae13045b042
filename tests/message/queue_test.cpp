// Queued message files (identifiers, envelopes, bodies, durability steps) and the
// queues (due rules, reload across processes, rewrites, broken entries).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/file_ops.h"
#include "message/clock.h"
#include "message/envelope.h"
#include "base/message_codes.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

constexpr time_t kJune15 = 897939005;

// A complete message in dir with one recipient; returns its identifier.
std::string MakeMessage(const std::string& dir, const std::string& subject = "s") {
  std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Create(dir);
  EXPECT_TRUE(m);
  if (!m) return "";
  EXPECT_TRUE(m->Hold());
  m->SetSender("from@example.org");
  m->AddRecipient("to@example.net");
  EXPECT_TRUE(m->OpenBodyForWriting());
  EXPECT_TRUE(m->WriteBody("Subject: " + subject + "\r\n\r\nbody\r\n"));
  EXPECT_TRUE(m->CloseBody());
  EXPECT_TRUE(m->SaveEnvelope());
  return m->Identifier();
}

TEST(Identifier, FormFromTheLocalDateAndTime) {
  PlatformSetTime(kJune15);
  struct tm local = PlatformLocalTime(kJune15);
  char expected[32];
  std::snprintf(expected, sizeof expected, "M%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  for (int i = 0; i < 200; ++i) {
    std::string id = CTernQueuedMessage::NewIdentifier();
    ASSERT_EQ(id.size(), 20u);
    EXPECT_EQ(id.substr(0, 15), expected);
    EXPECT_EQ(id.find_first_not_of("0123456789", 1), std::string::npos);
    EXPECT_LT(std::stoi(id.substr(15)), 32678);
  }
  PlatformClearTime();
  EXPECT_TRUE(CTernQueuedMessage::IsValidIdentifier("M1998061514300512345"));
  for (const char* bad : {"", "../M1", "M1/x", "M 1", "M1.env"})
    EXPECT_FALSE(CTernQueuedMessage::IsValidIdentifier(bad)) << bad;
}

TEST(Envelope, FileTextAndReadingBack) {
  TernEnvelope e;
  e.complete = true;
  e.created = 100;
  e.lastChange = 200;
  e.size = 300;
  e.kind = TernMessageKind::Bounce;
  e.sender = "a@b\r\n1 0 0 0 0";  // a line break must not add a recipient
  e.peer = "10.0.0.1";
  e.recipients.push_back({2, 5, 3, 400, 1, "new@x", "", "refused"});
  e.recipients.push_back({1, 0, 0, 0, 0, "old@x", "second@x", ""});
  std::string text = TernEnvelopeText(e, 999);
  EXPECT_EQ(text,
            "# 1 999\r\n1\r\n100\r\n200\r\n300\r\n2\r\n0\r\na@b  1 0 0 0 0\r\n10.0.0.1\r\n"
            "2 5 3 400 1\r\nnew@x\r\n\r\nrefused\r\n1 0 0 0 0\r\nold@x\r\nsecond@x\r\n\r\n");
  TernEnvelope back;
  ASSERT_TRUE(TernParseEnvelope(text, back));
  EXPECT_EQ(back.sender, "a@b  1 0 0 0 0");
  EXPECT_EQ(back.kind, 2);
  EXPECT_TRUE(back.complete);
  EXPECT_FALSE(back.notified);
  ASSERT_EQ(back.recipients.size(), 2u);
  // Reading puts each entry at the front: the order is reversed.
  EXPECT_EQ(back.recipients[0].address, "old@x");
  EXPECT_EQ(back.recipients[0].secondAddress, "second@x");
  EXPECT_EQ(back.recipients[1].address, "new@x");
  EXPECT_EQ(back.recipients[1].lastAttempt, 400);
  EXPECT_EQ(back.recipients[1].reasonText, "refused");
}

TEST(Envelope, MalformedTextsFail) {
  std::string head = "# 1 9\r\n0\r\n1\r\n2\r\n3\r\n0\r\n0\r\ns@x\r\npeer\r\n";
  TernEnvelope e;
  EXPECT_TRUE(TernParseEnvelope(head, e));  // no recipients is fine
  EXPECT_TRUE(e.recipients.empty());
  const std::string bad[] = {
      "",
      "# 1 9\r\n0\r\n1\r\n2\r\n3\r\n0\r\n0\r\ns@x\r\n",        // line 9 missing
      "# 1 9\r\n0\r\nx\r\n2\r\n3\r\n0\r\n0\r\ns@x\r\npeer\r\n",  // not a number
      head + "1 0 0 0\r\nto@x\r\n\r\n\r\n",                      // four numbers
      head + "1 0 0 0 0 0\r\nto@x\r\n\r\n\r\n",                  // six numbers
      head + "1 0 0 0 0\r\nto@x\r\n",                            // cut short
  };
  for (const std::string& text : bad) {
    TernEnvelope unchanged;
    unchanged.sender = "kept";
    EXPECT_FALSE(TernParseEnvelope(text, unchanged)) << text;
    EXPECT_EQ(unchanged.sender, "kept");
  }
}

TEST(QueuedMessage, WhatIsOnDiskAtEachStep) {
  TempDir dir;
  std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Create(dir.Path());
  ASSERT_TRUE(m);
  // Created: an empty envelope only, which does not open.
  EXPECT_EQ(TempDir::Read(m->EnvelopePath()), "");
  EXPECT_FALSE(FileExists(m->BodyPath(), false));
  EXPECT_FALSE(CTernQueuedMessage::Open(m->Identifier(), dir.Path()));
  ASSERT_TRUE(m->Hold());
  m->SetSender("from@example.org");
  m->SetPeer("192.0.2.7");
  m->AddRecipient("first@example.net");
  m->AddRecipient("second@example.net", "alias@example.net", "", TernRecipientStatus::Waiting);
  ASSERT_TRUE(m->OpenBodyForWriting());
  EXPECT_TRUE(FileExists(m->BodyPath(), false));
  std::string body = "Received: one\r\nreceived: two\r\nSubject: hello\r\n\r\nFrom a@b\r\nX: y\r\n";
  ASSERT_TRUE(m->WriteBody(body));
  EXPECT_EQ(m->HopCount(), 2);
  EXPECT_EQ(m->HeaderValue("Subject"), "hello");
  {
    // Saving the envelope now would name a half-written body: refused, nothing changes.
    EventCapture events;
    EXPECT_FALSE(m->SaveEnvelope());
    EXPECT_TRUE(events.Has(29));
    EXPECT_EQ(TempDir::Read(m->EnvelopePath()), "");
  }
  ASSERT_TRUE(m->CloseBody(true));
  std::string stored = TempDir::Read(m->BodyPath());
  EXPECT_EQ(stored.substr(0, body.find("\r\n\r\n")), body.substr(0, body.find("\r\n\r\n")));
  EXPECT_NE(stored.find("Date: "), std::string::npos);  // completed
  EXPECT_NE(stored.find("Message-Id: <" + m->Identifier() + ">"), std::string::npos);
  EXPECT_EQ(m->Size(), static_cast<long>(stored.size()));
  EXPECT_EQ(TempDir::Read(m->EnvelopePath()), "");  // the envelope is still empty
  m->MarkComplete();
  ASSERT_TRUE(m->SaveEnvelope());
  EXPECT_FALSE(FileExists(m->EnvelopePath() + "_new", false));

  std::unique_ptr<CTernQueuedMessage> back = CTernQueuedMessage::Open(m->Identifier(), dir.Path());
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->Complete());
  EXPECT_EQ(back->Sender(), "from@example.org");
  EXPECT_EQ(back->Peer(), "192.0.2.7");
  EXPECT_EQ(back->Size(), m->Size());
  ASSERT_EQ(back->Recipients().size(), 2u);
  EXPECT_EQ(back->Recipients()[0].address, "first@example.net");
  EXPECT_EQ(back->Recipients()[1].secondAddress, "alias@example.net");
  // The body reads back whole: a "From " line is no separator in a queued body.
  ASSERT_TRUE(back->OpenBodyForReading());
  EXPECT_EQ(back->Body()->Size(), static_cast<int32_t>(stored.size()));
  EXPECT_EQ(back->HeaderValue("subject"), "hello");
  EXPECT_TRUE(back->CloseBody());

  ASSERT_TRUE(m->Remove());
  EXPECT_FALSE(FileExists(m->EnvelopePath(), false));
  EXPECT_FALSE(FileExists(m->BodyPath(), false));
}

TEST(QueuedMessage, SaveReplacesTheEnvelopeWhole) {
  TempDir dir;
  std::string id = MakeMessage(dir.Path());
  std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Open(id, dir.Path());
  ASSERT_TRUE(m);
  m->Recipients()[0].status = TernRecipientStatus::Done;
  m->MarkNotified();
  ASSERT_TRUE(m->SaveEnvelope());
  std::unique_ptr<CTernQueuedMessage> again = CTernQueuedMessage::Open(id, dir.Path());
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->Notified());
  EXPECT_EQ(again->Recipients()[0].status, TernRecipientStatus::Done);
  EXPECT_FALSE(CTernQueuedMessage::Open("../" + id, dir.Path()));
}

class QueueTest : public ::testing::Test {
 protected:
  void TearDown() override { PlatformClearTime(); }
  std::string QueueText() { return TempDir::Read(m_Dir.File("testq")); }
  TempDir m_Dir;
  CTernQueue m_Queue{"testq", m_Dir.Path()};
};

TEST_F(QueueTest, EnqueueTakeFinish) {
  PlatformSetTime(kJune15);
  std::string id = MakeMessage(m_Dir.Path());
  EXPECT_EQ(m_Queue.Take(), nullptr);
  ASSERT_TRUE(m_Queue.Enqueue(id, 0, 0));
  EXPECT_EQ(QueueText(), "897939005 0 " + id + "\r\n");
  ASSERT_TRUE(m_Queue.Enqueue(id, 5, 0));  // already queued: not twice
  EXPECT_EQ(m_Queue.Entries().size(), 1u);
  std::unique_ptr<CTernQueuedMessage> m = m_Queue.Take();
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->Held());
  EXPECT_EQ(m->Identifier(), id);
  EXPECT_EQ(m_Queue.Take(), nullptr);  // taken already
  EXPECT_EQ(m_Queue.Entries()[0].state, TernQueueEntry::Taken);
  ASSERT_TRUE(m_Queue.Finish(std::move(m), true));
  EXPECT_EQ(QueueText(), "");
  EXPECT_EQ(TempDir::Read(m_Dir.File("testq_old")), "897939005 0 " + id + "\r\n");
  EXPECT_FALSE(FileExists(m_Dir.File(id + ".env"), false));
  EXPECT_FALSE(FileExists(m_Dir.File(id + ".mes"), false));
}

TEST_F(QueueTest, GivenBackIsNotTakenBeforeTheSpacing) {
  PlatformSetTime(kJune15);
  std::string id = MakeMessage(m_Dir.Path());
  ASSERT_TRUE(m_Queue.Enqueue(id, 0, 0));
  ASSERT_TRUE(m_Queue.GiveBack(m_Queue.Take()));
  EXPECT_EQ(QueueText(), "897939005 897939005 " + id + "\r\n");
  PlatformAdvance(900);
  EXPECT_EQ(m_Queue.Take(), nullptr);
  PlatformAdvance(1);
  std::unique_ptr<CTernQueuedMessage> m = m_Queue.Take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Identifier(), id);
}

TEST_F(QueueTest, MovingToAnotherQueueKeepsTheFiles) {
  std::string id = MakeMessage(m_Dir.Path());
  CTernQueue slow("slowtestq", m_Dir.Path());
  ASSERT_TRUE(m_Queue.Enqueue(id, 0, 0));
  std::unique_ptr<CTernQueuedMessage> m = m_Queue.Take();
  ASSERT_TRUE(m);
  time_t now = CTernClock::Now();
  ASSERT_TRUE(slow.Enqueue(id, now, now, true));
  ASSERT_TRUE(m_Queue.Finish(std::move(m), false));
  EXPECT_TRUE(FileExists(m_Dir.File(id + ".env"), false));
  EXPECT_EQ(slow.Take(), nullptr);  // last try just now
  PlatformSetTime(now + 901);
  EXPECT_TRUE(slow.Take());
}

TEST_F(QueueTest, FinishedLinesWaitForTheNextRewriteAndAreNeverTakenAgain) {
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(MakeMessage(m_Dir.Path()));
    ASSERT_TRUE(m_Queue.Enqueue(ids.back(), 10 + i, 0, true));
  }
  // A finished message's line stays while others wait...
  std::unique_ptr<CTernQueuedMessage> first = m_Queue.Take();
  ASSERT_TRUE(first);
  ASSERT_TRUE(m_Queue.Finish(std::move(first), true));
  EXPECT_NE(QueueText().find(ids[0]), std::string::npos);
  // ... and a reload (another process appended) does not bring it back.
  std::string later = MakeMessage(m_Dir.Path());
  CTernQueue other("testq", m_Dir.Path());
  ASSERT_TRUE(other.Enqueue(later, 20, 0, true));
  std::vector<TernQueueEntry> entries = m_Queue.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].identifier, ids[1]);
  EXPECT_EQ(entries.back().identifier, later);
  // A message that moves on to another queue leaves the file at once, taking the
  // finished lines with it; so does the last one.
  std::unique_ptr<CTernQueuedMessage> second = m_Queue.Take();
  ASSERT_TRUE(m_Queue.Finish(std::move(second), false));
  EXPECT_EQ(QueueText().find(ids[0]), std::string::npos);
  for (std::unique_ptr<CTernQueuedMessage> m; (m = m_Queue.Take());) ASSERT_TRUE(m_Queue.Finish(std::move(m), true));
  EXPECT_EQ(QueueText(), "");
  EXPECT_EQ(other.Entries().size(), 0u);
}

TEST_F(QueueTest, BrokenEnvelopeLosesItsEntryAndIsSetAsideWithAnEvent) {
  std::string good = MakeMessage(m_Dir.Path());
  std::string broken = MakeMessage(m_Dir.Path());
  std::string envelope = m_Dir.File(broken + ".env");
  std::string text = TempDir::Read(envelope);
  text.replace(text.find("1 0 0 0 0\r\n"), 11, "1 0 0 0\r\n");  // four numbers
  m_Dir.Write(broken + ".env", text);
  EXPECT_FALSE(CTernQueuedMessage::Open(broken, m_Dir.Path()));
  ASSERT_TRUE(m_Queue.Enqueue(broken, 10, 0));
  ASSERT_TRUE(m_Queue.Enqueue("M00000000000000nofile", 11, 0));
  ASSERT_TRUE(m_Queue.Enqueue(good, 12, 0));
  EventCapture events;
  std::unique_ptr<CTernQueuedMessage> m = m_Queue.Take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Identifier(), good);
  EXPECT_EQ(QueueText(), "12 0 " + good + "\r\n");
  EXPECT_FALSE(FileExists(envelope, false));
  EXPECT_EQ(TempDir::Read(envelope + ".bad"), text);
  EXPECT_TRUE(events.Has(kMsgEnvelopeMovedAside));
  EXPECT_TRUE(FileExists(m_Dir.File(broken + ".mes"), false));
}

TEST_F(QueueTest, UnreadableLinesAreSkipped) {
  std::string id = MakeMessage(m_Dir.Path());
  // A time of 20 digits does not fit and is no number (it used to overflow).
  m_Dir.Write("testq", "100 " + id + "\r\n\r\ngarbage\r\n1 2 ../etc/passwd\r\nx 0 " + id +
                           "\r\n99999999999999999999 0 " + id + "\r\n200 0 " + id + "\r\n");
  std::vector<TernQueueEntry> entries = m_Queue.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].queued, 200);
  EXPECT_TRUE(m_Queue.Take());
}

TEST_F(QueueTest, AppendAfterAnUnfinishedLineStartsAFreshLine) {
  m_Dir.Write("testq", "100 0 M1\r\n200 0 M2");  // cut short by a crash
  ASSERT_TRUE(m_Queue.Enqueue("M3", 300, 0));
  EXPECT_EQ(QueueText(), "100 0 M1\r\n200 0 M2\r\n300 0 M3\r\n");
  ASSERT_EQ(m_Queue.Entries().size(), 3u);
}

TEST_F(QueueTest, ChangesByAnotherQueueObjectAreSeen) {
  // Another object on the same file stands in for another process: each sees the
  // other's additions, and what the other finished disappears.
  CTernQueue other("testq", m_Dir.Path());
  std::string a = MakeMessage(m_Dir.Path()), b = MakeMessage(m_Dir.Path());
  ASSERT_TRUE(m_Queue.Enqueue(a, 1, 0));
  ASSERT_TRUE(other.Enqueue(b, 2, 0));
  EXPECT_EQ(m_Queue.Entries().size(), 2u);
  std::unique_ptr<CTernQueuedMessage> taken = other.Take();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->Identifier(), a);
  ASSERT_TRUE(other.Finish(std::move(taken), false));
  std::vector<TernQueueEntry> left = m_Queue.Entries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].identifier, b);
}

TEST_F(QueueTest, MessageHeldElsewhereIsPassedOver) {
  std::string a = MakeMessage(m_Dir.Path()), b = MakeMessage(m_Dir.Path());
  CTernQueue other("testq", m_Dir.Path());
  ASSERT_TRUE(m_Queue.Enqueue(a, 1, 0));
  ASSERT_TRUE(m_Queue.Enqueue(b, 2, 0));
  std::unique_ptr<CTernQueuedMessage> first = m_Queue.Take();
  ASSERT_TRUE(first);
  std::string seen;
  std::thread([&] {
    std::unique_ptr<CTernQueuedMessage> m = other.Take();
    seen = m ? m->Identifier() : "none";
    if (m) other.GiveBack(std::move(m));
  }).join();
  EXPECT_EQ(seen, b);
  ASSERT_TRUE(m_Queue.Finish(std::move(first), true));
}

TEST_F(QueueTest, ThreadsShareTheQueueAndTakeEachMessageOnce) {
  constexpr int kThreads = 4, kEach = 15;
  std::vector<std::string> ids;
  for (int i = 0; i < kThreads * kEach; ++i) ids.push_back(MakeMessage(m_Dir.Path()));
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  std::mutex seenLock;
  std::multiset<std::string> seen;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(m_Queue.Enqueue(ids[t * kEach + i], 0, 0));
      for (int tries = 0; tries < 1000 && finished < kThreads * kEach; ++tries) {
        std::unique_ptr<CTernQueuedMessage> m = m_Queue.Take();
        if (!m) continue;
        {
          std::lock_guard<std::mutex> guard(seenLock);
          seen.insert(m->Identifier());
        }
        ASSERT_TRUE(m_Queue.Finish(std::move(m), true));
        ++finished;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(finished, kThreads * kEach);
  EXPECT_EQ(seen.size(), ids.size());
  for (const std::string& id : ids) EXPECT_EQ(seen.count(id), 1u) << id;
  EXPECT_EQ(QueueText(), "");
}

// The other process of the test below: enqueues its message, must see the first
// process's entry at its Take, and gives that message back.
TEST(QueueProcess, Helper) {
  const char* dir = std::getenv("OSTREL_QUEUE_TEST_DIR");
  if (!dir) GTEST_SKIP() << "run by QueueProcess.BothSeeEachOther";
  CTernQueue queue("sharedq", dir);
  ASSERT_TRUE(queue.Enqueue(std::getenv("OSTREL_QUEUE_TEST_OWN"), 0, 0));
  std::unique_ptr<CTernQueuedMessage> m = queue.Take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Identifier(), std::getenv("OSTREL_QUEUE_TEST_OTHER"));
  ASSERT_TRUE(queue.GiveBack(std::move(m)));
}

TEST(QueueProcess, BothSeeEachOther) {
  TempDir dir;
  std::string mine = MakeMessage(dir.Path()), theirs = MakeMessage(dir.Path());
  CTernQueue queue("sharedq", dir.Path());
  ASSERT_TRUE(queue.Enqueue(mine, 0, 0));
  EXPECT_EQ(queue.Entries().size(), 1u);
  std::string command = "OSTREL_QUEUE_TEST_DIR='" + dir.Path() + "' OSTREL_QUEUE_TEST_OWN=" +
                        theirs + " OSTREL_QUEUE_TEST_OTHER=" + mine +
                        " '" + std::filesystem::read_symlink("/proc/self/exe").string() +
                        "' --gtest_filter=QueueProcess.Helper >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  // Mine was given back just now by the other process; theirs is due.
  std::unique_ptr<CTernQueuedMessage> m = queue.Take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Identifier(), theirs);
  std::vector<TernQueueEntry> entries = queue.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_GT(entries[0].lastTry, 0);
}

}  // namespace
