// The administration handlers through the real HTTP request cycle, against a real
// configuration, lists and dictionary files, mailbox root, registry file and
// activity log: every change is read back from the files (a fresh load), every
// refusal leaves them as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/registry.h"
#include "config/accounts_file.h"
#include "config/dictionaries.h"
#include "config/list_dict_file.h"
#include "config/lists.h"
#include "platform/registry_file.h"
#include "store/mailbox_table.h"
#include "tests/web/web_fixture.h"
#include "web/admin.h"
#include "web/web_operations.h"

namespace {

namespace fs = std::filesystem;

std::string Encode(const std::string& text) {
  std::string out;
  const char* hex = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.') out += static_cast<char>(c);
    else out += std::string("%") + hex[c >> 4] + hex[c & 15];
  }
  return out;
}

class AdminTest : public WebFixture {
 protected:
  void SetUp() override {
    OpenActivityLog();
    LoadConfig("DS,Domain=example.org,AllowOstrelUI=1\r\n"
               "DUAdministrator,RealAcct=Administrator,OstrelPerms=ADMGSR:SUCGLD\r\n"
               "DUann,RealAcct=ann,OstrelPerms=AMDG:UL\r\n"
               "DUrita,RealAcct=rita,OstrelPerms=R:SUCGLD\r\n"
               "DUtaken,RealAcct=OTHER\\taken\r\nDUjo,RealAcct=jo,Cast=Sales\r\nDGSales,\r\nDC192.0.2.9,\r\n",
               "DLstaff,L,N\r\nDLowner-staff,L,N\r\nDDSpam,L,N\r\nDDHam,L,N\r\n");
    m_Dir.Write("lists", "# 2 1000\r\n");
    m_Dir.Write("dict-vendor", "# 2 1000" + TernSwappedCopy("\r\n"));
    m_Dir.Write("dict-local", "# 2 1000\r\n");
    m_Lists = std::make_unique<ListStore>(m_Dir.File("lists"));
    ASSERT_EQ(m_Lists->Load(1), 0);
    m_Dicts = std::make_unique<DictionaryStore>(m_Dir.File("dict-vendor"), m_Dir.File("dict-local"));
    ASSERT_EQ(m_Dicts->Load(1), 0);
    fs::create_directories(m_Dir.File("boxes"));
    m_Boxes = std::make_unique<CTernMailboxTable>(m_Dir.File("boxes"));
    PlatformSetRegistryFile(m_Dir.Write("registry", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\nHTTPPort=8003\r\n"));
    CTernAccountsFile::SetProcessPath(m_Dir.File("accounts"));
    CTernAccountsFile accounts(m_Dir.File("accounts"));
    std::string error;
    for (const char* name : {"Administrator", "ann", "rita"})
      ASSERT_TRUE(accounts.SetPassword(name, std::string("pw-") + name, error)) << error;
    const std::pair<const char*, const char*> pages[] = {
        {"admin_login.mhtml", "LOGIN issued=<X-ShowVar issued>;"},
        {"admin_error.mhtml", "ERROR[<X-ShowVar error>]<X-ShowVar errordetail noescape>"},
        {"admin_success.mhtml", "OK[<X-ShowVar note>]"},
        {"list_mod2_a.mhtml", "LISTEDIT <X-ShowVar objname>|<X-ListBox list name=m>|<X-ListBox ownerlist name=o>"},
        {"portchange_success.mhtml", "PORT <X-ShowVar newport>"},
        {"sched3_a_l.mhtml", "SENDING <X-ShowVar SendDeny> <X-ShowVar HV-newsettings>"},
        {"report_a.mhtml", "<X-ShowVar report noescape>"},
        {"boxes_a.mhtml", "<X-WordBox name=w dictionary=Spam>|<X-PermsBox kind=method name=p>|"
                          "<X-PermsBox kind=object name=q>|<X-CastMemberBox name=c>|<X-ObjBar>|"
                          "<X-EventTable radio>|<X-OtherMIME>"},
    };
    fs::create_directories(m_Dir.File("html/english"));
    for (const auto& [name, text] : pages) m_Dir.Write(std::string("html/english/") + name, text);
    for (const char* report : {"access_rep2_a.mhtml", "list_rep2_a.mhtml", "dict_rep2_a.mhtml",
                               "settings_rep2_a.mhtml", "diag_a.mhtml"})
      m_Dir.Write(std::string("html/english/") + report, "REPORT <X-ShowVar report noescape>");
    m_Web = std::make_unique<WebContext>(m_Dir.File("html"), m_Dir.Path());
    WebAddFrameOperations(*m_Web);
    WebAdminServices services;
    services.lists = m_Lists.get();
    services.dictionaries = m_Dicts.get();
    services.mailboxes = m_Boxes.get();
    services.product = "Ostrel";
    services.localDir = m_Dir.Path();
    services.logDir = m_Dir.Path();
    services.sharedConfigFile = m_Dir.File("shared-config");
    services.reconfigureServers = [this] { ++m_Reconfigured; };
    services.moveHttpServer = [this] { return m_MoveWorks; };
    WebAddAdministration(*m_Web, services);
    m_Server = std::make_unique<HttpServer>("OstrelHTTP", m_Dir.Path());
    m_Web->RegisterRoutes(*m_Server);
    m_Admin = Session("Administrator");
  }

  void TearDown() override {
    WebFixture::TearDown();
    m_Boxes.reset();
    CTernAccountsFile::SetProcessPath("");
    PlatformSetRegistryFile("");
  }

  // A form sent by the administrator (or by session).
  std::string Form(const std::string& path, const std::string& body, const std::string& session = "") {
    return Post(path, body, session.empty() ? m_Admin : session).body;
  }

  // An attribute as the files hold it now.
  std::string FromFiles(char type, const std::string& name, const std::string& attribute) {
    Configuration fresh(m_Dir.File("shared-config"), m_Dir.File("local-config"), m_Dir.File("vendor-config"));
    EXPECT_EQ(fresh.Load(true), 0);
    std::string value;
    if (fresh.GetBaseAttribute(type, name, attribute, value) != 0) return "(none)";
    return value;
  }
  bool ExistsInFiles(char type, const std::string& name) {
    Configuration fresh(m_Dir.File("shared-config"), m_Dir.File("local-config"), m_Dir.File("vendor-config"));
    EXPECT_EQ(fresh.Load(true), 0);
    return fresh.ObjectExists(type, name) == 1;
  }
  std::string FileText(const std::string& name) {
    std::ifstream in(m_Dir.File(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::unique_ptr<ListStore> m_Lists;
  std::unique_ptr<DictionaryStore> m_Dicts;
  std::unique_ptr<CTernMailboxTable> m_Boxes;
  std::string m_Admin;
  int m_Reconfigured = 0;
  bool m_MoveWorks = true;
};

}  // namespace

TEST_F(AdminTest, AddingUsersFromAccountsReportsEachNameThatFailed) {
  std::string body = Form("/AddObj", "objtype=User&realuser=" + Encode("DOMAIN\\alice\x1c bob ") +
                                         "&realusert=" + Encode("taken") + "&realusert=" + Encode("x\\bad/name"));
  EXPECT_NE(body.find("ERROR[Error: One or more of the additions failed:]<table border=0>"), std::string::npos)
      << body;
  EXPECT_NE(body.find("<tr><td>taken</td><td>An object of that name already exists in configuration</td></tr>"),
            std::string::npos);
  EXPECT_NE(body.find("<tr><td>bad/name</td><td>Invalid (or no) object name specified</td></tr>"),
            std::string::npos);
  EXPECT_EQ(FromFiles('U', "alice", "RealAcct"), "DOMAIN\\alice");
  EXPECT_EQ(FromFiles('U', "bob", "RealAcct"), "bob");
  EXPECT_EQ(FromFiles('U', "bob", "OstrelUser"), "1");
  EXPECT_EQ(FromFiles('U', "taken", "RealAcct"), "OTHER\\taken");
  EXPECT_TRUE(fs::is_directory(m_Dir.File("boxes/alice")));
  std::string records = Records();
  EXPECT_NE(records.find("9/1/Administrator/System Account DOMAIN\\alice"), std::string::npos) << records;
  EXPECT_NE(records.find("9/2/Administrator/An object of that name already exists"), std::string::npos);
  // A user with mail service is reserved; a list comes with its owner list and
  // is edited next.
  EXPECT_NE(Form("/AddObj", "objtype=User&realuser=bob").find("That name is reserved."), std::string::npos);
  EXPECT_EQ(Form("/AddObj", "objtype=List&objname=%20team%20"),
            "LISTEDIT team|<select name=\"m\">\r\n</select>\r\n|<select name=\"o\">\r\n</select>\r\n");
  EXPECT_TRUE(ExistsInFiles('L', "owner-team"));
  std::string again = Form("/AddObj", "objtype=G&objname=Sales");
  EXPECT_NE(again.find("already exists"), std::string::npos) << again;
  EXPECT_EQ(Form("/AddObj", "objtype=Client&objname=192.0.2.10"), "OK[]");
  EXPECT_TRUE(ExistsInFiles('C', "192.0.2.10"));
}

TEST_F(AdminTest, ModifyObjChangesAttributesAndRefusesWhatWouldHarm) {
  const std::string ann = Session("ann");
  const struct {
    const char* body;
    std::string session;
    const char* reply;  // the start of the reply
  } cases[] = {
      {"objtype=User&objname=jo&UseQuota=Yes&QuotaVal=0&ATTR-AllowPOP=0", "",
       "ERROR[Error: Quota must be specified and be greater than 0.]"},
      {"objtype=User&objname=jo&ATTR-AllowPOP=0&ATTR-Note=a%0D%0ADUevil", "",
       "ERROR[Error: Could not modify the object's attributes]"},
      {"objtype=User&objname=jo&ATTR-A%0Db=1", "", "ERROR[Error: Could not modify the object's attributes]"},
      {"objtype=User&objname=nobody&ATTR-AllowPOP=0", "", "ERROR[Error: Object nobody does not exist]"},
      {"objtype=Xyz&objname=jo", "", "ERROR[Error: Object type not passed or invalid]"},
      {"objtype=User&ATTR-AllowPOP=0", "", "ERROR[Error: No object name selected or provided.]"},
      // ann may grant on users and lists only what she holds herself.
      {"objtype=User&objname=jo&NewMethodPerms=M&NewObjectPerms=S", ann.c_str(),
       "ERROR[Error: Your account does not have permission"},
      {"objtype=G&objname=Sales&ATTR-AllowPOP=0", ann.c_str(), "ERROR[Error: Your account does not have permission"},
  };
  for (const auto& c : cases) {
    std::string body = Form("/ModifyObj", c.body, c.session);
    EXPECT_TRUE(body.starts_with(c.reply)) << c.body << "\n" << body;
  }
  // Nothing of the refused forms reached the files.
  EXPECT_EQ(FromFiles('U', "jo", "AllowPOP"), "(none)");
  EXPECT_EQ(FromFiles('U', "jo", "Note"), "(none)");
  EXPECT_FALSE(ExistsInFiles('U', "evil"));

  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=jo&UseQuota=Yes&QuotaVal=20&ATTR-AllowOstrelUI=1"
                               "&ATTR-Cast=--delete--&ATTR-OstrelPerms=ADMGSR:SUCGLD"
                               "&NewMethodPerms=M&NewMethodPerms=D&NewObjectPerms=U&NewObjectPerms=C"),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "jo", "MailQuota"), "20");
  EXPECT_EQ(FromFiles('U', "jo", "AllowOstrelUI"), "1");
  EXPECT_EQ(FromFiles('U', "jo", "Cast"), "(none)");
  EXPECT_EQ(FromFiles('U', "jo", "OstrelPerms"), "MD:UC");
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=jo&UseQuota=No"), "OK[]");
  EXPECT_EQ(FromFiles('U', "jo", "MailQuota"), "0");
  // ann modifies users but may not take over Administrator's account, move her
  // own, or raise her own rights; her other changes still go through.
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=Administrator&ATTR-RealAcct=ann&ATTR-AllowPOP=1", ann),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "Administrator", "RealAcct"), "Administrator");
  EXPECT_EQ(FromFiles('U', "Administrator", "AllowPOP"), "1");
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=ann&NewMethodPerms=ADMGSR&NewObjectPerms=SUCGLD", ann),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "ann", "OstrelPerms"), "AMDG:UL");
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=jo&ATTR-RealAcct=DOMAIN%5Cjo&NewMethodPerms=A&NewObjectPerms=L",
                 ann),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "jo", "RealAcct"), "DOMAIN\\jo");
  EXPECT_EQ(FromFiles('U', "jo", "OstrelPerms"), "A:L");
  // A forged selection gives only the letters it names, each once.
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=jo&NewMethodPerms=" + Encode("m,*:x") + "&NewMethodPerms=M" +
                                   "&NewObjectPerms=" + Encode("U:*,S")),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "jo", "OstrelPerms"), "M:US");
  // A list of several items comes back from the page as the letters it showed,
  // which leave it as it was instead of granting every pair of them.
  ASSERT_EQ(Config().SetAttribute('U', "jo", "OstrelPerms", "A:U,R:L", true), 0);
  EXPECT_EQ(Form("/ModifyObj", "objtype=User&objname=jo&UseQuota=Yes&QuotaVal=30&PermsShown=1"
                               "&NewMethodPerms=R&NewMethodPerms=A&NewObjectPerms=U&NewObjectPerms=L"),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "jo", "MailQuota"), "30");
  EXPECT_EQ(FromFiles('U', "jo", "OstrelPerms"), "A:U,R:L");
  // Cast membership: members join and leave; a user of another cast stays in it.
  EXPECT_EQ(Form("/ModifyCastMembership", "objtype=G&objname=Sales&AddTo=1&UsersToAdd=ann&ClientsToAdd=192.0.2.9"),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "ann", "Cast"), "Sales");
  EXPECT_EQ(FromFiles('C', "192.0.2.9", "Cast"), "Sales");
  ASSERT_EQ(Config().SetAttribute('U', "rita", "Cast", "Other", true), 0);
  EXPECT_EQ(Form("/ModifyCastMembership", "objtype=G&objname=Sales&RemoveFrom=1&MembersToRemove=" +
                                              Encode("U:ann\x1c" "C:192.0.2.9\x1c" "U:rita")),
            "OK[]");
  EXPECT_EQ(FromFiles('U', "ann", "Cast"), "(none)");
  EXPECT_EQ(FromFiles('C', "192.0.2.9", "Cast"), "(none)");
  EXPECT_EQ(FromFiles('U', "rita", "Cast"), "Other");
  // A user with report rights only is refused, and the attempt recorded.
  std::string rita = Session("rita");
  EXPECT_TRUE(Form("/ModifyObj", "objtype=User&objname=jo&ATTR-AllowPOP=0", rita).starts_with("ERROR[Error: Your"));
  EXPECT_NE(Records().find("16//rita/Attempted to modify object."), std::string::npos) << Records();
  EXPECT_EQ(m_Reconfigured, 0);
}

TEST_F(AdminTest, SystemChangesReachTheServersAndTheHttpPort) {
  EXPECT_EQ(Form("/ModifyObj", "objtype=System&objname=System&ATTR-SMTPIncoming=7&ATTR-Domain=%20example.net%09"
                               "&ATTR-OtherDomains=a.example%0D%0A%20b.example%20%0D%0A%0D%0A"),
            "OK[]");
  EXPECT_EQ(m_Reconfigured, 1);
  EXPECT_EQ(FromFiles('S', "", "SMTPIncoming"), "7");
  EXPECT_EQ(FromFiles('S', "", "Domain"), "example.net");
  EXPECT_EQ(FromFiles('S', "", "OtherDomains"), "a.example\x1c" "b.example");
  auto port = [] { return RegistryReadSetting("Ostrel", "HTTPPort", "?"); };
  EXPECT_EQ(Form("/ModifyObj", "objtype=System&ATTR-HTTPPort=80x"), "ERROR[Error: Invalid port number supplied.]");
  EXPECT_EQ(Form("/ModifyObj", "objtype=System&ATTR-HTTPPort=%208003"), "OK[]");
  EXPECT_EQ(Form("/ModifyObj", "objtype=System&ATTR-HTTPPort=8123"), "PORT 8123");
  EXPECT_EQ(port(), "8123");
  m_MoveWorks = false;
  EXPECT_EQ(Form("/ModifyObj", "objtype=System&ATTR-HTTPPort=8124"),
            "ERROR[Error: Could not change to new HTTP port number.]");
  EXPECT_EQ(port(), "8123");
}

TEST_F(AdminTest, DeletingKeepsMailAsideAndNeverTheActorOrAdministrator) {
  ASSERT_EQ(Form("/AddObj", "objtype=User&realuser=bob"), "OK[]");
  m_Dir.Write("boxes/bob/addressbook.bok", "kept");
  ASSERT_EQ(m_Lists->AddToList("bob", "staff"), 0);
  ASSERT_EQ(m_Lists->Save(), 0);
  // Without the confirmation nothing goes.
  EXPECT_EQ(Form("/DeleteObj", "objtype=User&objname=bob"), "OK[]");
  EXPECT_TRUE(ExistsInFiles('U', "bob"));
  std::string body = Form("/DeleteObj", "objtype=User&objname=bob&wipeout=1");
  EXPECT_TRUE(body.starts_with("OK[The mail of bob was moved to " + m_Dir.File("boxes/_deleted/bob-"))) << body;
  EXPECT_FALSE(ExistsInFiles('U', "bob"));
  EXPECT_EQ(m_Lists->ListsOf("bob"), "");
  EXPECT_FALSE(fs::exists(m_Dir.File("boxes/bob")));
  int kept = 0;
  for (const auto& entry : fs::directory_iterator(m_Dir.File("boxes/_deleted")))
    kept += fs::exists(entry.path() / "addressbook.bok");
  EXPECT_EQ(kept, 1);
  // A new bob starts with nothing of the old one's.
  ASSERT_EQ(Form("/AddObj", "objtype=User&realuser=bob"), "OK[]");
  EXPECT_FALSE(fs::exists(m_Dir.File("boxes/bob/addressbook.bok")));
  body = Form("/DeleteObj", "objtype=User&objname=Administrator%1Cjo&wipeout=1");
  EXPECT_TRUE(body.starts_with("ERROR[Error: One or more of the deletions failed:]Administrator (")) << body;
  EXPECT_TRUE(ExistsInFiles('U', "Administrator"));
  EXPECT_FALSE(ExistsInFiles('U', "jo"));
  // A list goes with its owner list and its members' lines.
  ASSERT_EQ(m_Lists->AddToList("carol@remote.example", "owner-staff"), 0);
  EXPECT_EQ(Form("/DeleteObj", "objtype=List&objname=staff&wipeout=1"), "OK[]");
  EXPECT_FALSE(ExistsInFiles('L', "owner-staff"));
  EXPECT_EQ(m_Lists->ListsOf("carol@remote.example"), "");
}

TEST_F(AdminTest, ListsAndDictionariesAreEditedAndReported) {
  EXPECT_EQ(Form("/ModifyList", "objtype=List&objname=staff&AddToList=1&UsersToAdd=jo&AddressToAdd=Carol%40Remote.example"),
            "OK[]");
  EXPECT_EQ(Form("/ModifyList", "objtype=List&objname=staff&AddToOwners=1&UsersToAdd=ann&what=list_mod2_a.mhtml"),
            "LISTEDIT staff|<select name=\"m\">\r\n<option value=\"carol@remote.example\">carol@remote.example</option>"
            "\r\n<option value=\"jo\">jo</option>\r\n</select>\r\n|<select name=\"o\">\r\n<option value=\"ann\">ann</option>"
            "\r\n</select>\r\n");
  ListStore fresh(m_Dir.File("lists"));
  ASSERT_EQ(fresh.Load(1), 0);
  EXPECT_EQ(fresh.ListsOf("jo"), "staff\x1c");
  EXPECT_EQ(Form("/ModifyList", "objtype=List&objname=staff&RemoveFrom=1&ListMembers=jo"), "OK[]");
  EXPECT_NE(Records().find("12/1/Administrator/Removed -- jo <-- staff"), std::string::npos);

  EXPECT_EQ(Form("/ModifyDict", "objtype=Dictionary&objname=Spam&AddTo=1&NewWord=Free%20%20Money&Score=40&Replace=1"),
            "OK[]");
  EXPECT_NE(FileText("dict-local").find("free money"), std::string::npos);
  // Removing through another dictionary's page leaves the word where it is.
  EXPECT_EQ(Form("/ModifyDict", "objtype=Dictionary&objname=Ham&RemoveFrom=1&Words=free%20money"), "OK[]");
  EXPECT_NE(FileText("dict-local").find("free money"), std::string::npos);
  EXPECT_EQ(Form("/ModifyDict", "objtype=Dictionary&objname=Spam&AddTo=1&NewWord=a%3Cb&Score=4"),
            "ERROR[Error: Invalid (or no) word/phrase supplied.  Valid word/phrase must contain only letters, numbers "
            "and spaces.]");
  EXPECT_EQ(Form("/ModifyDict", "objtype=Dictionary&objname=Spam&AddTo=1&NewWord=ok&Score=9999999"),
            "ERROR[Error: Could not modify the object's attributes]");

  std::string report = Form("/ListReport", "objtype=List&Lists=staff");
  EXPECT_NE(report.find("<h2>List staff</h2>\r\n<ul>\r\n<li>carol@remote.example</li>"), std::string::npos) << report;
  EXPECT_NE(report.find("<h2>List owner-staff</h2>\r\n<ul>\r\n<li>ann</li>"), std::string::npos);
  EXPECT_EQ(Form("/ListReport", "objtype=List"), "REPORT <p>Nothing selected.</p>\r\n");
  report = Form("/DictionaryReport", "objtype=Dictionary&Dictionaries=Spam%1CNone");
  EXPECT_NE(report.find("<tr><td>free money</td><td>40</td></tr>"), std::string::npos) << report;
  EXPECT_NE(report.find("<h2>Dictionary None</h2>\r\n<p><i>No matching records found.</i></p>"), std::string::npos);
  EXPECT_NE(Form("/Display", "what=boxes_a.mhtml&objname=jo").find("<option value=\"free money\">free money (40, masked)"),
            std::string::npos);
}

TEST_F(AdminTest, ScheduleWizardBuildsEventsAndRefusesPastAndConflicts) {
  const std::string base = "objtype=User&objname=jo&Event=&Step3=1&Step5=1&newsettings=" +
                           Encode("When=12345,Date=0,Start=90000,End=170000,Repeat=1");
  EXPECT_EQ(Form("/SchedJunc4", base + "&Submit=1&FilterMode=F&HV-SendDeny=staff&MIME=application%2F*"
                                       "&MIME=image%2F*&OtherMIMETypes=text%2Fx-a%20%20text%2Fx-b&DD-Spam=1&DD-Other=0"),
            "OK[]");
  std::string key = "12345" "0" "090000" "170000";
  Configuration fresh(m_Dir.File("shared-config"), m_Dir.File("local-config"), m_Dir.File("vendor-config"));
  ASSERT_EQ(fresh.Load(true), 0);
  std::string value;
  ASSERT_EQ(fresh.GetEventValue('U', "jo", key, "BlockedMIMETypes", value), 0) << FileText("local-config");
  EXPECT_EQ(value, "application/*\x1cimage/*\x1ctext/x-a\x1ctext/x-b");
  fresh.GetEventValue('U', "jo", key, "SLstaff", value);
  EXPECT_EQ(value, "D");
  fresh.GetEventValue('U', "jo", key, "DictsToUse", value);
  EXPECT_EQ(value, "Spam");
  // A second event at the same hours conflicts; one in the past is refused, and
  // the event it was to replace stays.
  EXPECT_EQ(Form("/SchedJunc4", base + "&Submit=1"), "ERROR[Error: This event will conflict with an existing event.]");
  EXPECT_EQ(Form("/SchedJunc4", "objtype=User&objname=jo&Submit=1&Event=" + key +
                                    "&newsettings=" + Encode("When=E,Date=20000101,Start=0,End=10000,Repeat=1")),
            "ERROR[Error: Time entered has already passed.]");
  std::string page = Form("/Display", "what=boxes_a.mhtml&objtype=User&objname=jo&Event=" + key);
  EXPECT_NE(page.find("Mon Tue Wed Thu Fri, 09:00 to 17:00"), std::string::npos) << page;
  EXPECT_NE(page.find("|text/x-a text/x-b"), std::string::npos);
  // The junctions: without Submit the same step again; the choices travel on
  // without control characters.
  EXPECT_EQ(Form("/SchedJunc2", "objtype=User&objname=jo&SendDeny=a%1Cb&newsettings=x"), "SENDING a,b x");
  EXPECT_EQ(Form("/EditEvent", "objtype=User&objname=jo"), "ERROR[Error: No event selected.]");
  EXPECT_EQ(Form("/DeleteEvent", "objtype=User&objname=jo&Event=" + key), "OK[]");
  EXPECT_EQ(FileText("local-config").find("SLstaff"), std::string::npos);
  EXPECT_NE(Records().find("11/1/Administrator/Deleted event -- " + key), std::string::npos);
}

TEST_F(AdminTest, ReportsEscapeWhatTheyShow) {
  WebWriteRecord(1, 14, 2, "<b>evil</b>", "192.0.2.66", "\"quoted\" & <script>");
  std::string today;
  {
    time_t now = PlatformNow();
    struct tm t = {};
    localtime_r(&now, &t);
    today = std::to_string(t.tm_mon + 1) + "%2F" + std::to_string(t.tm_mday) + "%2F" + std::to_string(t.tm_year + 1900);
  }
  std::string range = "objtype=System&FromDate=" + today + "&ToDate=" + today;
  std::string report = Form("/AccessReport", range + "&Search=script");
  EXPECT_NE(report.find("&lt;b&gt;evil&lt;/b&gt;"), std::string::npos) << report;
  EXPECT_NE(report.find("&quot;quoted&quot; &amp; &lt;script&gt;"), std::string::npos);
  EXPECT_EQ(report.find("<script"), std::string::npos);
  EXPECT_NE(report.find("<font color=\"#DD0000\">Protocol Violation</font>"), std::string::npos);
  EXPECT_NE(Form("/AccessReport", range + "&Search=nothing-like-it").find("<i>No matching records found.</i>"),
            std::string::npos);
  EXPECT_EQ(Form("/AccessReport", "objtype=System&FromDate=2%2F1%2F2026&ToDate=1%2F1%2F2026"),
            "ERROR[Error: Invalid (or no) time range specified.]");
  std::string settings = Form("/ShowSettings", "objtype=User&User=jo&Client=192.0.2.9");
  EXPECT_NE(settings.find("<th scope=\"row\">User's Cast</th><td>Sales</td>"), std::string::npos) << settings;
  EXPECT_NE(settings.find("<th scope=\"row\">Quota</th><td>No Quota</td>"), std::string::npos);
  m_Dir.Write("lists", "# 2 1000\r\n<x>\x1cstaff\x1c\r\n");
  std::string diag = Form("/Diag", "objtype=User");
  EXPECT_NE(diag.find("Cached Messages: 0"), std::string::npos) << diag;
  EXPECT_NE(diag.find("<tr><td>&lt;x&gt;\x1cstaff\x1c</td></tr>"), std::string::npos);
  EXPECT_NE(diag.find("File <b>" + m_Dir.File("dictionaries") + "</b>:<br>\r\n<i>Cannot open</i>"), std::string::npos);
  // Report rights only: reports yes, Diag needs RS which rita has; ann has none.
  EXPECT_TRUE(Form("/ListReport", "objtype=List&Lists=staff", Session("ann")).starts_with("ERROR[Error: Your"));
  // Each report needs R for what it shows, whatever type the form names.
  ASSERT_EQ(Config().SetAttribute('U', "rita", "OstrelPerms", "R:U", true), 0);
  std::string rita = Session("rita");
  for (const char* form : {"/DictionaryReport?objtype=User&Dictionaries=Spam", "/ListReport?objtype=User&Lists=staff",
                           "/AccessReport?objtype=User&FromDate=1%2F1%2F2026&ToDate=1%2F2%2F2026",
                           "/Diag?objtype=User"}) {
    std::string path(form);
    size_t mark = path.find('?');
    EXPECT_TRUE(Form(path.substr(0, mark), path.substr(mark + 1), rita).starts_with("ERROR[Error: Your")) << form;
  }
  EXPECT_TRUE(Form("/ShowSettings", "objtype=List&User=jo", rita).starts_with("REPORT "));
}
