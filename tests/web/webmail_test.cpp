// The web mail handlers through the real HTTP request cycle (in-memory
// connections) against real mailbox files, a real queue directory and activity
// log, with small templates that show what each page was given.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/accounts_file.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/queue.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"
#include "tests/web/web_fixture.h"
#include "transport/approval.h"
#include "web/http_form.h"
#include "web/web_operations.h"
#include "web/webmail.h"

namespace {

// A message from Ann to jo: the extra header lines, an empty line and the body.
std::string Mail(const std::string& subject, const std::string& body = "text\r\n", const std::string& extra = "") {
  return "From: Ann <ann@example.org>\r\nTo: jo@example.org\r\nSubject: " + subject +
         "\r\nDate: " + CTernTime(900000000).MailDate(0) + "\r\nMessage-Id: <" + subject + "@example.org>\r\n" +
         extra + "\r\n" + body;
}

class WebMailTest : public WebFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DirMake(m_Dir.File("boxes")));
    OpenActivityLog();
    LoadConfig("DS,Domain=example.org,AllowOstrelUI=1\r\nDUjo,RealAcct=jo,OstrelUser=1\r\n");
    CTernAccountsFile::SetProcessPath(m_Dir.File("accounts"));
    std::string error;
    ASSERT_TRUE(CTernAccountsFile(m_Dir.File("accounts")).SetPassword("jo", "pw", error)) << error;
    const std::pair<const char*, const char*> pages[] = {
        {"user_login_l.mhtml", "ULOGIN issued=<X-ShowVar issued>;"},
        {"mailboxes_u_l.mhtml", "BOXES[<X-ShowVar error>]"},
        {"view_mailbox_u_l.mhtml", "MAILBOX[<X-ShowVar error>]<X-SetSortBy><X-ShowVar SortBy>|<X-MessageTable>"},
        {"view_message_u_l.mhtml", "MESSAGE[<X-ShowVar error>]<X-ShowMessage>"},
        {"compose_u_l.mhtml",
         "COMPOSE[<X-ShowVar error>]To=<X-ShowHeader To>|CC=<X-ShowHeader CC>|Subject=<X-ShowHeader Subject>|"
         "Body=<X-ShowVar MessageBody>|<X-PlaceHeaders exclude=\"To,CC,Subject\">|Message=<X-ShowVar Message>|"
         "<X-AttachmentsBox name=DeleteAttached>"},
        {"compose_addrs_u_l.mhtml", "ADDRS[<X-ShowVar error>]"},
        {"edit_u_l.mhtml", "EDIT[<X-ShowVar error>]"},
        {"admin_error.mhtml", "ERROR[<X-ShowVar error>]"},
    };
    std::filesystem::create_directories(m_Dir.File("html/english"));
    std::filesystem::create_directories(m_Dir.File("mail"));
    for (const auto& [name, text] : pages) m_Dir.Write(std::string("html/english/") + name, text);
    m_Table = std::make_unique<CTernMailboxTable>(m_Dir.File("boxes"));
    CTernMailboxTable::SetProcess(m_Table.get());
    m_Queue = std::make_unique<CTernQueue>("fastq", m_Dir.File("mail"));
    m_Web = std::make_unique<WebContext>(m_Dir.File("html"), m_Dir.File("local"));
    WebAddFrameOperations(*m_Web);
    WebAddMail(*m_Web, {m_Dir.File("mail"), m_Queue.get(), "mx.example.org", [this] { ++m_Wakes; }});
    m_Server = std::make_unique<HttpServer>("OstrelHTTP", m_Dir.File("mail"));
    m_Web->RegisterRoutes(*m_Server);
    Reply page = Get("/Display?what=mailboxes_u_l.mhtml");
    Reply login = Post("/Authenticate", "username=jo&password=pw&issued=" + page.Issued(), page.Cookie());
    m_Cookie = login.Cookie();
    ASSERT_FALSE(m_Cookie.empty()) << login.body;
  }

  void TearDown() override {
    m_Server.reset();
    m_Web.reset();
    CTernMailboxTable::SetProcess(nullptr);
    m_Table.reset();
    CTernAccountsFile::SetProcessPath("");
    WebFixture::TearDown();
  }

  // The page a form answers with, and the reply to a GET.
  std::string Form(const std::string& path, const std::string& body) { return Post(path, body, m_Cookie).body; }
  std::string Page(const std::string& url) {
    Reply r = Get(url, m_Cookie);
    std::string head;
    for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
    return head + "\r\n" + r.body;
  }

  // Adds text to jo's mailbox name; its mailbox ID.
  std::string Deliver(const std::string& name, const std::string& text, uint32_t flags = 1) {
    CTernOpenMailbox box = m_Table->OpenMailbox("jo", name, 1);
    EXPECT_TRUE(box);
    CTernMessage source(m_Dir.Write("source" + std::to_string(++m_Sources), text), 0, 0,
                        TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
    EXPECT_TRUE(source.Open());
    EXPECT_EQ(box->Add(source, flags, "ann@example.org"), TernAddResult::Added);
    TernMailboxCounts counts;
    box->Counts(counts);
    TernTocEntry entry;
    box->Info(counts.messages, entry);
    return entry.id;
  }
  std::string Subjects(const std::string& name) {
    CTernOpenMailbox box = m_Table->OpenMailbox("jo", name, 1);
    std::string out;
    TernTocEntry entry;
    for (int32_t n = 1; box && box->Info(n, entry) == 0; ++n) out += (n > 1 ? " " : "") + entry.subject;
    return box ? out : "<none>";
  }
  uint32_t Flags(const std::string& name, const std::string& id) {
    CTernOpenMailbox box = m_Table->OpenMailbox("jo", name, 1);
    TernTocEntry entry;
    return box && box->Info(box->Find(id), entry) == 0 ? entry.flags : 0;
  }
  // The texts of the queued messages the web client made.
  std::vector<std::string> Queued() {
    std::vector<std::string> out;
    for (const auto& file : std::filesystem::directory_iterator(m_Dir.File("mail"))) {
      std::string text = TempDir::Read(file.path().string());
      if (text.find("Ostrel_Web_Client") != std::string::npos) out.push_back(text);
    }
    return out;
  }
  static std::string Field(const std::string& page, const std::string& name) {
    std::smatch m;
    return std::regex_search(page, m, std::regex(name + "=([^|]*)\\|")) ? m[1].str() : "<none>";
  }
  static std::string Hidden(const std::string& page, const std::string& name) {
    std::smatch m;
    return std::regex_search(page, m, std::regex("name=\"" + name + "\" value=\"([^\"]*)\"")) ? m[1].str() : "";
  }

  std::unique_ptr<CTernMailboxTable> m_Table;
  std::unique_ptr<CTernQueue> m_Queue;
  std::string m_Cookie;
  int m_Wakes = 0;
  int m_Sources = 0;
};

const std::string kAttached =
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "X-Notify-From: boss@example.org\r\nX-OldSMTP-ID: 77\r\n\r\n"
    "--b1\r\nContent-Type: text/plain\r\n\r\nSee the file.\r\nBye\r\n"
    "--b1\r\nContent-Type: application/pdf; name=\"r.pdf\"\r\nContent-Disposition: attachment; filename=\"r.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";

TEST_F(WebMailTest, RepliesAddressTheSenderOnceAndSendingQueuesFilesAndMarks) {
  std::string id = Deliver("Inbox", Mail("Re: Plans", "Line one\r\nLine two\r\n",
                                         "CC: jo@example.org, Kim <kim@example.org>\r\n"
                                         "Reply-To: Lists <list@example.org>\r\n"));
  std::string page = Form("/MessageDispatch", "Mailbox=Inbox&Message=" + HttpUrlEncode(id) + "&ReplyAll.x=1");
  EXPECT_EQ(Field(page, "To"), "Lists &lt;list@example.org&gt;") << page;
  EXPECT_EQ(Field(page, "CC"), "Kim &lt;kim@example.org&gt;") << "the user's own address is left out";
  EXPECT_EQ(Field(page, "Subject"), "Re: Plans");
  EXPECT_EQ(Field(page, "Body"), "&gt; Line one\r\n&gt; Line two\r\n");
  EXPECT_EQ(Hidden(page, "HDR-In-Reply-To"), "&lt;Re: Plans@example.org&gt;");
  EXPECT_EQ(Hidden(page, "HDR-X-In-Response-To"), id);

  // Sent as the form came back: one queued message, to every recipient, without
  // the internal headers; a copy in Sent-Mail, no draft left, the original marked.
  std::string form = "Mailbox=Inbox&Message=&HDR-To=list%40example.org&HDR-CC=kim%40example.org&HDR-BCC=hid%40x.org"
                     "&HDR-Subject=Re%3A+Plans&HDR-X-In-Response-To=" + HttpUrlEncode(id) +
                     "&MessageBody=Agreed.&Send.x=1";
  page = Form("/Compose", form);
  EXPECT_TRUE(page.starts_with("MESSAGE[Message Sent]")) << page;
  std::vector<std::string> queued = Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_TRUE(std::regex_search(queued[0], std::regex("Received: from Ostrel_Web_Client \\(\\[[0-9.]+\\]\\)\r\n"
                                                      " by mx\\.example\\.org \\(Ostrel 1\\.0\\.2\\) with HTTP id ")))
      << queued[0];
  for (const char* internal : {"X-In-Response-To", "X-Message-Revision", "BCC:", "hid@x.org\r\n"})
    EXPECT_EQ(queued[0].find(internal), std::string::npos) << internal;
  EXPECT_NE(queued[0].find("From: jo@example.org\r\n"), std::string::npos);
  EXPECT_NE(queued[0].find("\r\n\r\nAgreed.\r\n"), std::string::npos);
  EXPECT_EQ(m_Queue->Entries().size(), 1u);
  EXPECT_EQ(m_Wakes, 1);
  EXPECT_EQ(Subjects("Sent-Mail"), "Re: Plans");
  EXPECT_EQ(Subjects("Drafts"), "");
  EXPECT_TRUE(Flags("Inbox", id) & TernMailFlag::Replied);

  // A bad recipient sends nothing and keeps the draft.
  page = Form("/Compose", "Message=&HDR-To=kim%40example.org%2C+jo%40&HDR-Subject=Oops&Send.x=1");
  EXPECT_TRUE(page.starts_with("COMPOSE[Error: Invalid recipient specified. (jo@)]")) << page;
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Subjects("Drafts"), "Oops");
}

TEST_F(WebMailTest, ForwardsCarryAttachmentsAndRedirectsAddResentLines) {
  std::string id = Deliver("Inbox", Mail("Report", "", kAttached));
  std::string page = Form("/MessageDispatch", "Mailbox=Inbox&Message=" + HttpUrlEncode(id) + "&Forward.x=1");
  EXPECT_EQ(Field(page, "Subject"), "Report");
  EXPECT_NE(Field(page, "Body").find("See the file."), std::string::npos) << page;
  EXPECT_EQ(Field(page, "Body").find("X-Notify-From"), std::string::npos) << "the approval fields stay behind";
  EXPECT_NE(page.find("<option value=\"r.pdf\">r.pdf</option>"), std::string::npos) << page;
  std::string draft = Field(page, "Message");
  page = Form("/Compose", "Mailbox=Inbox&Message=" + HttpUrlEncode(draft) + "&HDR-To=kim%40example.org"
                          "&HDR-Subject=Fwd&HDR-X-Forwarded-To=" + HttpUrlEncode(id) + "&MessageBody=FYI&Send.x=1");
  EXPECT_TRUE(page.starts_with("MESSAGE[Message Sent]")) << page;
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_NE(Queued()[0].find("filename=\"r.pdf\""), std::string::npos);
  EXPECT_NE(Queued()[0].find("JVBERi0xLjQK"), std::string::npos);
  EXPECT_TRUE(Flags("Inbox", id) & TernMailFlag::Forwarded);

  // Redirect: the stored message as it is, after Resent- lines naming the user;
  // the server's own fields never leave.
  page = Form("/AddressCompose", "Mailbox=Inbox&Message=" + HttpUrlEncode(id) +
                                     "&Redirect=1&ADL-To-Other=lee%40example.org&Submit.x=1");
  EXPECT_TRUE(page.starts_with("MESSAGE[Message Sent]")) << page;
  std::vector<std::string> queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  std::string& resent = queued[0].find("Resent-From") != std::string::npos ? queued[0] : queued[1];
  EXPECT_TRUE(std::regex_search(resent, std::regex("\r\nResent-From: jo@example.org\r\nResent-To: lee@example.org\r\n"
                                                   "Resent-Date: [^\r]+\r\nFrom: Ann <ann@example.org>\r\n")))
      << resent;
  EXPECT_EQ(resent.find("X-Notify-From"), std::string::npos);
  EXPECT_EQ(resent.find("X-OldSMTP-ID"), std::string::npos);
}

TEST_F(WebMailTest, MessagesShowEscapedAndOnlyTheirOwnMailboxIsReached) {
  std::string html = Deliver("Inbox", Mail("<b>Hi</b>", "<p onclick=\"x()\">Dear &amp; <script>evil()</script>",
                                           "Content-Type: text/html\r\n"));
  std::string page = Page("/Display?what=view_message_u_l.mhtml&Mailbox=inbox&Message=" + HttpUrlEncode(html));
  EXPECT_NE(page.find("&lt;b&gt;Hi&lt;/b&gt;"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<p onclick"), std::string::npos);
  EXPECT_EQ(page.find("evil()"), std::string::npos) << "a script's text is not shown";
  EXPECT_NE(page.find("Dear &amp;"), std::string::npos);
  EXPECT_NE(page.find("Download the HTML"), std::string::npos);
  EXPECT_FALSE(Flags("Inbox", html) & TernMailFlag::Unread) << "shown means read";
  std::string part = Page("/GetAttachment?Mailbox=Inbox&PartNumber=0&Message=" + HttpUrlEncode(html));
  EXPECT_NE(part.find("Content-Disposition: attachment"), std::string::npos) << part;
  EXPECT_NE(part.find("Content-Security-Policy: sandbox"), std::string::npos);

  // A message only in its own mailbox; a path or another user's name is no mailbox.
  std::string approval = Form("/MessageDispatch", "Mailbox=Trash&Message=" + HttpUrlEncode(html) + "&Approve.x=1");
  EXPECT_TRUE(approval.starts_with("MAILBOX[Could not find message in mailbox (")) << approval;
  for (const char* box : {"../jo/Inbox", "Inbox/..", "mailboxes.mbs", "Nope"}) {
    std::string reply = Form("/MessageDispatch", std::string("Mailbox=") + HttpUrlEncode(box) + "&Message=" +
                                                     HttpUrlEncode(html) + "&Delete.x=1");
    EXPECT_TRUE(reply.starts_with("BOXES[Error: Could not open mailbox.]")) << box << reply;
  }
  // An ordinary message is no approval notice.
  approval = Form("/MessageDispatch", "Mailbox=Inbox&Message=" + HttpUrlEncode(html) + "&Bounce.x=1");
  EXPECT_TRUE(approval.starts_with("MESSAGE[Could not send the message.  It is not in correct notification form.]"))
      << approval;
}

TEST_F(WebMailTest, EditingKeepsTheSenderAndMovingSortsAndReports) {
  std::string id = Deliver("Inbox", Mail("Old words", "before\r\n"));
  std::string page = Form("/EditMessage", "Mailbox=Inbox&Message=" + HttpUrlEncode(id) +
                                              "&HDR-Subject=New+words&HDR-From=x%40evil.org&MessageBody=after"
                                              "&SaveDraft.x=1");
  EXPECT_TRUE(page.starts_with("MESSAGE[]")) << page;
  EXPECT_NE(page.find("New words"), std::string::npos);
  EXPECT_NE(page.find("Ann &lt;ann@example.org&gt;"), std::string::npos) << "From stays the stored one";
  EXPECT_EQ(page.find("evil.org"), std::string::npos);
  EXPECT_EQ(Subjects("Inbox"), "New words");

  Deliver("Inbox", Mail("Alpha"));
  std::string page2 = Form("/MoveMessages", "Mailbox=Inbox&SortBySubject.x=1");
  EXPECT_LT(page2.find("Alpha"), page2.find("New words")) << page2;
  std::string again = Form("/MoveMessages", "Mailbox=Inbox&SortBySubject.x=1");
  EXPECT_GT(again.find("Alpha"), again.find("New words")) << "the same button reverses";
  page = Form("/MoveMessages", "Mailbox=Inbox&NewBox=Trash&Move.x=1&Message=gone&Message=" +
                                   HttpUrlEncode(Hidden(again, "Message")));
  EXPECT_TRUE(page.starts_with("MAILBOX[Could not find message in mailbox (gone). ]")) << page;
  EXPECT_EQ(Subjects("Trash"), "New words");
}

// An approval notice as the delivery engine makes it, signed or not.
std::string Notice(const std::string& heldId, const std::string& from, const std::string& to, bool sign = true) {
  std::string signature = sign ? TernApprovalSignature(heldId, from, to) : std::string(64, 'a');
  return "From: Postmaster@example.org\r\nTo: jo@example.org\r\nSubject: Approval\r\nMessage-Id: <" + heldId + "@example.org>\r\n"
         "X-OldSMTP-ID: " + heldId + "\r\nX-Notify-From: " + from + "\r\nX-Notify-To: " + to +
         "\r\nX-Notify-Signature: " + signature + "\r\n\r\nHeld.\r\n\r\n--- " +
         CTernMessages().Text(kMsgOriginalFollows) + " ---\r\nFrom: " + from + "\r\nSubject: Held " + heldId +
         "\r\n\r\nHeld body " + heldId + "\r\n\r\n";
}

TEST_F(WebMailTest, ApprovalsActOnceOnlyOnSignedNoticesOfTheUser) {
  TernSetApprovalSecret(std::string(32, 's'));
  uint32_t waiting = TernMailFlag::Unread | TernMailFlag::AwaitingApproval;
  std::string good = Deliver("Inbox", Notice("H1", "ann@example.org", "kim@example.org"), waiting);
  std::string forged = Deliver("Inbox", Notice("H2", "ann@example.org", "kim@example.org", false), waiting);
  std::string plain = Deliver("Inbox", Notice("H3", "ann@example.org", "kim@example.org"));
  std::string bounce = Deliver("Inbox", Notice("H4", "ann@example.org", "kim@example.org"), waiting);
  auto answer = [this](const std::string& id, const char* button) {
    return Form("/MessageDispatch", "Mailbox=Inbox&Message=" + HttpUrlEncode(id) + "&" + button + "=1");
  };
  EXPECT_TRUE(answer(good, "Approve.x").starts_with("MESSAGE[Message Sent]"));
  EXPECT_TRUE(answer(good, "Approve.x").starts_with("MESSAGE[Error: This message has been approved or bounced"));
  EXPECT_TRUE(answer(good, "Bounce.x").starts_with("MESSAGE[Error: This message has been approved or bounced"));
  for (const std::string& id : {forged, plain})
    EXPECT_TRUE(answer(id, "Approve.x").starts_with("MESSAGE[Could not send the message.  It is not in correct"));
  EXPECT_TRUE(answer(bounce, "Bounce.x").starts_with("MESSAGE[Message Sent]"));
  EXPECT_EQ(Flags("Inbox", good) & (TernMailFlag::Approved | TernMailFlag::AwaitingApproval), TernMailFlag::Approved);
  EXPECT_TRUE(Flags("Inbox", bounce) & TernMailFlag::Bounced);
  std::vector<std::string> queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  for (const std::string& text : queued) {
    EXPECT_TRUE(text.ends_with("\r\n\r\nHeld body H1\r\n") || text.ends_with("\r\n\r\nHeld body H4\r\n")) << text;
    EXPECT_EQ(text.find("X-Notify"), std::string::npos) << text;
  }
  TernSetApprovalSecret("");
}

}  // namespace
