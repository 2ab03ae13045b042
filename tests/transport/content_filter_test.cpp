// The content filter over a real configuration, lists file, dictionary files and
// queued messages: the filter modes and list answers, blocked MIME types, the
// dictionary threshold over chunks, the receive direction, and the message filter's
// dispositions, list expansion and duplicate removal.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/attribute_table.h"
#include "config/dictionaries.h"
#include "config/list_dict_file.h"
#include "config/lists.h"
#include "message/envelope.h"
#include "message/message.h"
#include "message/queued_message.h"
#include "tests/config/settings_fixture.h"
#include "transport/content_filter.h"

namespace {

// The lists file. blocked and friends are filter lists, staff and owner-news
// mailing lists (every list is also a list object, defined in kLocal).
const char kListsFile[] =
    "# 2 1000\r\n"
    "@x.example\x1Cstaff\x1C\r\n"
    "a@x.example\x1Cstaff\x1C\r\n"
    "b@x.example\x1Cstaff\x1Cowner-news\x1C\r\n"
    "bad@remote.example\x1C" "blocked\x1C\r\n"
    "bob\x1Cstaff\x1C\r\n"
    "carol@remote.example\x1C" "friends\x1C\r\n"
    "dave@remote.example\x1C" "friends\x1C" "blocked\x1C\r\n"
    "kim@\x1Cstaff\x1C\r\n";

const char kLocal[] =
    "DLblocked,L,N\r\n"
    "DLfriends,L,N\r\n"
    "DLstaff,L,N\r\n"
    "DLowner-news,L,N\r\n";

// Two dictionary words; filler text scores nothing.
const char kDictionaryFile[] =
    "# 2 1000\r\n"
    "spamword:N:Spam:english:30:0\r\n"
    "junkword:N:Spam:english:25:0\r\n";

std::string Filler(size_t bytes) {
  std::string line(70, '-');
  line += "\r\n";
  std::string out;
  while (out.size() + line.size() <= bytes) out += line;
  return out;
}

}  // namespace

class ContentFilter : public SettingsFixture {
 protected:
  void SetUp() override {
    m_Dir.Write("lists", kListsFile);
    m_Dir.Write("vendor-dictionaries", "# 2 1000" + TernSwappedCopy("\r\n"));
    m_Dir.Write("local-dictionaries", kDictionaryFile);
    ASSERT_EQ(m_Lists.Load(1), 0);
    ASSERT_EQ(m_Dictionaries.Load(1), 0);
    SetFilterObjects(&m_Lists, &m_Dictionaries);
  }
  void TearDown() override {
    SetFilterObjects(nullptr, nullptr);
    SettingsFixture::TearDown();
  }

  // The system (local domain example.org) with extra settings, users jo and ann.
  void Settings(const std::string& system, const std::string& jo = "") {
    LoadConfig("DS,Domain=example.org" + system + "\r\nDUjo," + jo + "\r\nDUann,\r\n", kLocal);
  }

  // A queued message with the body text, held open for reading as the checks use it.
  std::unique_ptr<CTernQueuedMessage> Message(const std::string& text,
                                              const std::string& sender = "jo@example.org") {
    std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Create(m_Dir.Path());
    EXPECT_TRUE(m);
    if (!m) return m;
    m->SetSender(sender);
    m->SetPeer("127.0.0.1");
    EXPECT_TRUE(m->OpenBodyForWriting(0));
    EXPECT_TRUE(m->WriteBody(text));
    EXPECT_TRUE(m->CloseBody());
    return m;
  }

  // CheckSend from jo to recipient over a message with the text (none: no body).
  int Send(const std::string& recipient, std::string* reason, const std::string* text = nullptr) {
    if (!text) return CheckSend("jo@example.org", recipient, "", nullptr, false, reason);
    std::unique_ptr<CTernQueuedMessage> m = Message(*text);
    if (!m || !m->OpenBodyForReading()) return -1;
    return CheckSend("jo@example.org", recipient, "", m->Body(), false, reason);
  }

  ListStore m_Lists{m_Dir.File("lists")};
  DictionaryStore m_Dictionaries{m_Dir.File("vendor-dictionaries"), m_Dir.File("local-dictionaries")};
};

TEST_F(ContentFilter, WithoutAFilterModeNothingIsChecked) {
  const std::string spam = "Subject: offer\r\n\r\nspamword junkword\r\n";
  std::string reason = "left over";
  Settings("", "SLblocked=D,BlockedMIMETypes=*/*,DictsToUse=Spam");
  EXPECT_EQ(Send("bad@remote.example", &reason, &spam), 0);
  EXPECT_EQ(reason, "");
  Settings(",FilterMode=Unfiltered", "SLblocked=D,BlockedMIMETypes=*/*,DictsToUse=Spam");
  EXPECT_EQ(Send("bad@remote.example", &reason, &spam), 0);
  // The same settings in mode F refuse.
  Settings(",FilterMode=Filtered", "SLblocked=D");
  EXPECT_EQ(Send("bad@remote.example", &reason), 1);
  EXPECT_EQ(reason, "Currently not allowed to send mail to bad@remote.example (denied list)\r\n");
  EXPECT_EQ(Send("carol@remote.example", &reason), 0);
  EXPECT_EQ(reason, "");
  EXPECT_EQ(CheckSend("jo@example.org", "", "", nullptr, false, &reason), 0);
}

TEST_F(ContentFilter, AllowOnlyRefusesUncoveredAddressesAndAllowSettingsDecideScoring) {
  const std::string spam = "Subject: offer\r\n\r\nspamword junkword\r\n";
  std::string reason;
  Settings(",FilterMode=Allow Only,DictsToUse=Spam", "SLfriends=A");
  EXPECT_EQ(Send("zed@remote.example", &reason), 1);
  EXPECT_EQ(reason, "Currently not allowed to send mail to zed@remote.example (allow only)\r\n");
  // An 'A' setting passes the address and spares the message the dictionaries.
  EXPECT_EQ(Send("carol@remote.example", &reason, &spam), 0);
  EXPECT_EQ(reason, "");
  // An 'a' setting passes the address, but the content is still scored (55 >= 50).
  Settings(",FilterMode=Allow Only,DictsToUse=Spam", "SLfriends=a");
  EXPECT_EQ(Send("carol@remote.example", &reason), 0);
  EXPECT_EQ(Send("carol@remote.example", &reason, &spam), 1);
  EXPECT_EQ(reason.rfind("Not allowed to send this content to carol@remote.example.\r\nFound: ", 0), 0u)
      << reason;
  // Without any lists object every address is uncovered in mode A.
  SetFilterObjects(nullptr, &m_Dictionaries);
  EXPECT_EQ(Send("carol@remote.example", &reason), 1);
}

TEST_F(ContentFilter, ADenyWinsInBothModes) {
  std::string reason;
  for (const char* mode : {"F", "A"}) {
    // dave is in friends (allowed) and in blocked (denied).
    Settings(std::string(",FilterMode=") + mode, "SLfriends=A,SLblocked=D");
    EXPECT_EQ(Send("dave@remote.example", &reason), 1) << mode;
    EXPECT_EQ(reason, "Currently not allowed to send mail to dave@remote.example (denied list)\r\n");
    EXPECT_EQ(Send("carol@remote.example", &reason), 0) << mode;
  }
}

TEST_F(ContentFilter, BlockedMimeTypesRefuseMatchingParts) {
  const std::string attachment =
      "Subject: files\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n"
      "preamble\r\n--XYZ\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--XYZ\r\nContent-Type: Application/Octet-Stream; name=\"a.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nAAAA\r\n--XYZ--\r\n";
  const std::string untyped =
      "Subject: parts\r\nContent-Type: multipart/mixed; boundary=XYZ\r\n\r\n"
      "--XYZ\r\nContent-Type: image/gif\r\n\r\nGIF\r\n--XYZ\r\n\r\nno type here\r\n--XYZ--\r\n";
  const std::string plain = "Subject: hi\r\n\r\nhello\r\n";
  std::string reason;
  Settings(",FilterMode=F", "BlockedMIMETypes=application/*");
  EXPECT_EQ(Send("carol@remote.example", &reason, &attachment), 1);
  EXPECT_EQ(reason, "Sender not allowed to send MIME type (Application/Octet-Stream)\r\n");
  EXPECT_EQ(Send("carol@remote.example", &reason, &untyped), 0);
  EXPECT_EQ(Send("carol@remote.example", &reason, &plain), 0);
  // A part without Content-Type, and a message without one, count as text/plain.
  Settings(",FilterMode=F", "BlockedMIMETypes=audio/*\x1Ctext/plain");
  EXPECT_EQ(Send("carol@remote.example", &reason, &untyped), 1);
  EXPECT_EQ(reason, "Sender not allowed to send MIME type (text/plain)\r\n");
  EXPECT_EQ(Send("carol@remote.example", &reason, &plain), 1);
  // Empty items of the value (a trailing separator) block nothing.
  Settings(",FilterMode=F", "BlockedMIMETypes=audio/*\x1C");
  EXPECT_EQ(Send("carol@remote.example", &reason, &plain), 0);
  // Without a body only the lists decide.
  Settings(",FilterMode=F", "BlockedMIMETypes=*");
  EXPECT_EQ(Send("carol@remote.example", &reason), 0);
}

TEST(MimeTypeMatch, TypesAndSubtypesAgreeOnWildcardsEmptinessAndCase) {
  EXPECT_TRUE(MimeTypeMatches("image/*", "image/gif"));
  EXPECT_TRUE(MimeTypeMatches("image", "image/gif"));
  EXPECT_TRUE(MimeTypeMatches("*/*", "video/mp4"));
  EXPECT_TRUE(MimeTypeMatches("text/plain", "TEXT/PLAIN"));
  EXPECT_TRUE(MimeTypeMatches("*/gif", "image/gif"));
  EXPECT_FALSE(MimeTypeMatches("image/*", "text/gif"));
  EXPECT_FALSE(MimeTypeMatches("text/plain", "text/html"));
  EXPECT_FALSE(MimeTypeMatches("application/octet", "application/octet-stream"));
}

TEST_F(ContentFilter, ScoresAddUpOverChunksToTheThreshold) {
  // The first chunk holds spamword (30), the second junkword (25).
  std::string first = "Subject: long\r\n\r\nspamword\r\n";
  first += Filler(kFilterChunkSize - first.size() - 100);
  first += std::string(kFilterChunkSize - first.size() - 2, '-') + "\r\n";
  ASSERT_EQ(first.size(), kFilterChunkSize);
  const std::string both = first + "junkword\r\n" + Filler(1000);
  const std::string one = first + Filler(1000);
  std::string reason;
  for (const char* threshold : {"", ",DDRThreshold=0", ",DDRThreshold=-3"}) {
    Settings(",FilterMode=F", std::string("DictsToUse=Spam") + threshold);
    EXPECT_EQ(Send("carol@remote.example", &reason, &one), 0) << threshold;
    EXPECT_EQ(Send("carol@remote.example", &reason, &both), 1) << threshold;
    EXPECT_EQ(reason,
              "Not allowed to send this content to carol@remote.example.\r\n"
              "Found: spamword\r\nFound: junkword\r\n");
  }
  Settings(",FilterMode=F", "DictsToUse=Spam,DDRThreshold=56");
  EXPECT_EQ(Send("carol@remote.example", &reason, &both), 0);
  Settings(",FilterMode=F", "DictsToUse=Spam,DDRThreshold=30");
  EXPECT_EQ(Send("carol@remote.example", &reason, &one), 1);
  // A word across the chunk boundary is still scored whole.
  std::string across = "Subject: cut\r\n\r\n";
  across += Filler(kFilterChunkSize - across.size() - 100);
  across += std::string(kFilterChunkSize - 5 - across.size() - 2, '-') + "\r\n";
  across += "xx spamword\r\n";  // spamword begins 2 bytes before the chunk's end
  ASSERT_EQ(across.find("spamword"), kFilterChunkSize - 2);
  Settings(",FilterMode=F", "DictsToUse=Spam,DDRThreshold=30");
  EXPECT_EQ(Send("carol@remote.example", &reason, &across), 1);
  // No dictionaries named, or no dictionaries object: no scoring.
  Settings(",FilterMode=F", "DictsToUse=,DDRThreshold=1");
  EXPECT_EQ(Send("carol@remote.example", &reason, &both), 0);
  Settings(",FilterMode=F", "DictsToUse=Spam,DDRThreshold=1");
  SetFilterObjects(&m_Lists, nullptr);
  EXPECT_EQ(Send("carol@remote.example", &reason, &both), 0);
}

TEST_F(ContentFilter, TheReceiveCheckUsesTheRecipientsSettingsAndQuotesTheSender) {
  std::string reason;
  Settings(",FilterMode=F", "RLblocked=D");
  EXPECT_EQ(CheckReceive("bad@remote.example", "jo@example.org", "", nullptr, true, &reason), 1);
  EXPECT_EQ(reason, "Currently not allowed to receive mail from bad@remote.example (denied list)\r\n");
  EXPECT_EQ(CheckReceive("bad@remote.example", "ann@example.org", "", nullptr, true, &reason), 0);
  EXPECT_EQ(CheckReceive("", "jo@example.org", "", nullptr, true, &reason), 0);
  // The send setting does not apply to receiving.
  Settings(",FilterMode=F", "SLblocked=D");
  EXPECT_EQ(CheckReceive("bad@remote.example", "jo@example.org", "", nullptr, true, &reason), 0);

  AttributeTable settings;
  settings.Set("FilterMode", "A");
  settings.Set("RLfriends", "a");
  EXPECT_EQ(CheckReceiveWith("carol@remote.example", settings, &reason), 0);
  EXPECT_EQ(CheckReceiveWith("zed@remote.example", settings, &reason), 1);
  EXPECT_EQ(reason, "Currently not allowed to receive mail from zed@remote.example (allow only)\r\n");
  settings.Set("FilterMode", "F");
  EXPECT_EQ(CheckReceiveWith("zed@remote.example", settings, &reason), 0);
  settings.Set("RLblocked", "D");
  EXPECT_EQ(CheckReceiveWith("bad@remote.example", settings, &reason), 1);
  settings.Remove("FilterMode");
  EXPECT_EQ(CheckReceiveWith("bad@remote.example", settings, &reason), 0);
}

namespace {

const TernRecipient* Find(CTernQueuedMessage& m, const std::string& address) {
  for (const TernRecipient& r : m.Recipients())
    if (r.address == address) return &r;
  return nullptr;
}

}  // namespace

TEST_F(ContentFilter, OnForbiddenGivesTheDispositionAndResult) {
  struct Case {
    const char* onForbidden;
    int status, notice;
  } cases[] = {{",OnForbidden=Dropped", 3, 2},
               {",OnForbidden=Send anyway", 1, 0},
               {",OnForbidden=Bounce", 2, 1},
               {"", 2, 1}};
  for (const Case& c : cases) {
    Settings(",FilterMode=F", std::string("SLblocked=D") + c.onForbidden);
    std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n");
    ASSERT_TRUE(m);
    m->AddRecipient("bad@remote.example");
    m->AddRecipient("carol@remote.example");
    EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
    ASSERT_EQ(m->Recipients().size(), 2u);
    const TernRecipient* bad = Find(*m, "bad@remote.example");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->reason, 5) << c.onForbidden;
    EXPECT_EQ(bad->status, c.status) << c.onForbidden;
    EXPECT_EQ(bad->notice, c.notice) << c.onForbidden;
    EXPECT_EQ(bad->reasonText,
              "Currently not allowed to send mail to bad@remote.example (denied list)\r\n");
    const TernRecipient* carol = Find(*m, "carol@remote.example");
    ASSERT_TRUE(carol);
    EXPECT_EQ(carol->reason, 0);
    EXPECT_EQ(carol->status, 1);
    EXPECT_EQ(carol->reasonText, "");
    // The marks survive the envelope's round trip.
    ASSERT_TRUE(m->SaveEnvelope());
    std::unique_ptr<CTernQueuedMessage> read = CTernQueuedMessage::Open(m->Identifier(), m_Dir.Path());
    ASSERT_TRUE(read);
    bad = Find(*read, "bad@remote.example");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, c.status);
    EXPECT_EQ(bad->reason, 5);
    EXPECT_EQ(bad->reasonText.rfind("Currently not allowed to send mail to bad@remote.example", 0), 0u);
  }
}

TEST_F(ContentFilter, ListsExpandOnceIntoMembersDeliveredOnce) {
  Settings("");
  std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n");
  ASSERT_TRUE(m);
  m->AddRecipient("a@x.example");
  m->AddRecipient("staff");
  m->AddRecipient("Staff@example.org");
  m->AddRecipient("owner-news@example.org");
  EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
  std::vector<std::pair<std::string, std::string>> got;
  for (const TernRecipient& r : m->Recipients()) got.emplace_back(r.address, r.secondAddress);
  // owner-news is not prefixed again; staff is expanded once; a@x.example, named
  // directly and as a member, once; patterns (@x.example, kim@) are no members.
  std::vector<std::pair<std::string, std::string>> want = {
      {"a@x.example", ""},
      {"b@x.example", "owner-news"},
      {"bob", "owner-staff"},
  };
  EXPECT_EQ(got, want);
  for (const TernRecipient& r : m->Recipients()) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.reason, 0);
  }
}

TEST_F(ContentFilter, ARefusedListStaysUnexpanded) {
  Settings(",FilterMode=F", "SLstaff=D,OnForbidden=Dropped");
  std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n");
  ASSERT_TRUE(m);
  m->AddRecipient("staff");
  EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
  ASSERT_EQ(m->Recipients().size(), 1u);
  EXPECT_EQ(m->Recipients()[0].address, "staff");
  EXPECT_EQ(m->Recipients()[0].status, 3);
  EXPECT_EQ(m->Recipients()[0].notice, 2);
  EXPECT_EQ(m->Recipients()[0].reasonText,
            "Currently not allowed to send mail to staff (denied list)\r\n");
  // Without the lists the entry is left to the delivery.
  Settings("");
  std::unique_ptr<CTernQueuedMessage> plain = Message("Subject: x\r\n\r\nhi\r\n");
  ASSERT_TRUE(plain);
  plain->AddRecipient("staff");
  EXPECT_EQ(FilterMessage(*plain, {nullptr, FilterDictionaries()}), 0);
  ASSERT_EQ(plain->Recipients().size(), 1u);
  EXPECT_EQ(plain->Recipients()[0].status, 1);
}

TEST_F(ContentFilter, AnUntraceableSenderIsCheckedOnlyOnItsWayOut) {
  // The system allows nothing: any send check refuses.
  Settings(",FilterMode=A");
  for (const char* sender : {"", "<>", "someone@remote.example"}) {
    std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n", sender);
    ASSERT_TRUE(m);
    m->AddRecipient("jo@example.org");
    m->AddRecipient("zed@remote.example");
    EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
    const TernRecipient* jo = Find(*m, "jo@example.org");
    ASSERT_TRUE(jo);
    EXPECT_EQ(jo->reason, 0) << sender;
    EXPECT_EQ(jo->status, 1) << sender;
    const TernRecipient* zed = Find(*m, "zed@remote.example");
    ASSERT_TRUE(zed);
    EXPECT_EQ(zed->reason, 5) << sender;
    EXPECT_EQ(zed->status, 2) << sender;
  }
  // A local sender is checked for its local recipients too.
  std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n");
  ASSERT_TRUE(m);
  m->AddRecipient("ann@example.org");
  EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
  EXPECT_EQ(m->Recipients()[0].reason, 5);
  EXPECT_EQ(m->Recipients()[0].reasonText,
            "Currently not allowed to send mail to ann@example.org (allow only)\r\n");
}

TEST_F(ContentFilter, AResubmittedMessageIsExpandedButNotChecked) {
  Settings(",FilterMode=A");
  std::unique_ptr<CTernQueuedMessage> m = Message("Subject: x\r\n\r\nhi\r\n");
  ASSERT_TRUE(m);
  m->SetKind(TernMessageKind::Resubmitted);
  m->AddRecipient("zed@remote.example");
  m->AddRecipient("staff");
  m->AddRecipient("zed@remote.example");
  EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
  std::vector<std::string> got;
  for (const TernRecipient& r : m->Recipients()) {
    got.push_back(r.address);
    EXPECT_EQ(r.reason, 0);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"zed@remote.example", "a@x.example", "b@x.example", "bob"}));
}

TEST_F(ContentFilter, TheMessageFilterChecksTheBodyAndClosesIt) {
  Settings(",FilterMode=F", "DictsToUse=Spam");
  std::unique_ptr<CTernQueuedMessage> m = Message("Subject: spamword junkword\r\n\r\nhi\r\n");
  ASSERT_TRUE(m);
  m->AddRecipient("carol@remote.example");
  EXPECT_EQ(FilterMessage(*m, {&m_Lists, FilterDictionaries()}), 0);
  EXPECT_EQ(m->Body(), nullptr);
  ASSERT_EQ(m->Recipients().size(), 1u);
  EXPECT_EQ(m->Recipients()[0].reason, 5);
  EXPECT_EQ(m->Recipients()[0].reasonText.rfind("Not allowed to send this content to carol", 0), 0u);
}
