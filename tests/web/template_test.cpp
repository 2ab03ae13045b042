// The template engine: tag reading, permissions, comparisons, the condition stack,
// escaping, and the engine's operations over a real configuration.
#include <gtest/gtest.h>

#include "base/message_codes.h"
#include "tests/config/config_fixture.h"
#include "web/template_engine.h"

namespace {

// A request held in memory.
class FakeRequest : public TemplateRequest {
 public:
  bool GetVariable(const std::string& name, std::string& value) const override {
    for (const auto& [n, v] : m_Vars)
      if (n == name) return value = v, true;
    return false;
  }
  void ReplaceVariable(const std::string& name, const std::string& value) override {
    for (auto& [n, v] : m_Vars)
      if (n == name) return void(v = value);
    m_Vars.emplace_back(name, value);
  }
  std::vector<std::pair<std::string, std::string>> Variables() const override { return m_Vars; }
  bool GetHeader(const std::string& name, std::string& value) const override {
    if (name != "User-Agent" || m_Agent.empty()) return false;
    value = m_Agent;
    return true;
  }
  long Write(std::string_view text) override {
    m_Out += text;
    return static_cast<long>(text.size());
  }
  bool ServerHtml(const std::string& name) const override { return name == m_ServerHtml; }
  std::vector<std::pair<std::string, std::string>> m_Vars;
  std::string m_Agent, m_Out, m_ServerHtml;
};

TEST(TemplateTag, WordsQuotesParenthesesAndBackslashes) {
  const struct {
    const char* tag;
    const char* name;
    TemplateParams params;
  } cases[] = {
      {"ShowVar a b", "ShowVar", {{"a", ""}, {"b", ""}}},
      {"If   varstmt=\"x EQ y z\"\tperms=AB", "If", {{"varstmt", "x EQ y z"}, {"perms", "AB"}}},
      {"Op k=(a (b c) d) m=a\\ b", "Op", {{"k", "(a (b c) d)"}, {"m", "a b"}}},
      {"Op k=\"a\\\"b\" e=x=y", "Op", {{"k", "a\\\"b"}, {"e", "x=y"}}},
      {"Op k=a\\\"b", "Op", {{"k", "a\"b"}}},
  };
  for (const auto& c : cases) {
    std::string name;
    TemplateParams params;
    EXPECT_TRUE(TemplateParseTag(c.tag, name, params)) << c.tag;
    EXPECT_EQ(name, c.name) << c.tag;
    EXPECT_EQ(params, c.params) << c.tag;
  }
  std::string name;
  TemplateParams params;
  EXPECT_FALSE(TemplateParseTag("  ", name, params));
}

TEST(TemplateTag, PermissionTest) {
  const struct {
    const char* code;
    const char* list;
    bool ok;
  } cases[] = {
      {"AB", "A:BC", true},  {"AC", "A:BC", true},  {"*B", "A:BC", true}, {"A*", "A:BC", true},
      {"BA", "A:BC", false}, {"**", "A:BC", true},  {"**", "", false},    {"ab", "XY,AB", true},
      {"AB", "XAB", false},  {"RS", "AU,RS", true}, {"*S", "AU", false},  {"*", "AU", false},
      {"AC", "AB:C", true},  {"BC", "AB:C", true}, {"CA", "AB:C", false},  {"", "AB", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TemplatePermissionTest(c.code, c.list), c.ok) << c.code << " in " << c.list;
}

TEST(TemplateTag, Comparisons) {
  using R = TemplateCompareResult;
  const struct {
    bool defined;
    const char *value, *op, *operand;
    R result;
  } cases[] = {
      {true, "", "DEF", "", R::True},        {false, "", "DEF", "", R::False},
      {true, "", "DEFWV", "", R::False},     {true, "x", "DEFWV", "", R::True},
      {true, "", "UNDEFNV", "", R::True},    {true, "", "UNDEF", "", R::False},
      {true, "Ab", "EQ", "Ab", R::True},     {true, "Ab", "EQ", "ab", R::False},
      {true, "Ab", "~EQ", "ab", R::True},    {true, "Ab", "~NE", "ab", R::False},
      {true, "Abc", "SW", "Ab", R::True},    {true, "Abc", "~SW", "aB", R::True},
      {true, "xyz", "CONTAIN", "zq", R::True}, {true, "xyz", "CONTAINS", "zq", R::False},
      {true, "10", "==", "010", R::True},    {true, "abc", "==", "0", R::True},
      {true, "", "LT", "5", R::False},       {true, "4", "LT", "5", R::True},
      {true, "5", "GE", "5", R::True},       {true, "6", "LE", "5", R::False},
      {true, "a", "BOGUS", "b", R::UnknownOperator},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TemplateCompare(c.defined, c.value, c.op, c.operand), c.result)
        << c.value << " " << c.op << " " << c.operand;
}

TEST(TemplateTag, EscapingAndNames) {
  EXPECT_EQ(TemplateEscape("<a href=\"x\">&amp;</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;");
  for (const char* good : {"admin_a.mhtml", "mailboxes_u_l.mhtml", "a-b.mhtml"})
    EXPECT_TRUE(TemplateValidName(good)) << good;
  for (const char* bad : {"../../etc/passwd", "x/admin_a.mhtml", ".mhtml", "a.html", "a b.mhtml",
                          "..%2fa.mhtml", "a.mhtml\\", ""})
    EXPECT_FALSE(TemplateValidName(bad)) << bad;
}

class TemplateEngineTest : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    WriteFiles("DS,\r\nDUann,OstrelPerms=A:UC,Cast=Sales\r\nDUbob,Cast=staff\r\nDUAdministrator,\r\n"
               "DGSales,\r\nDCmail.example,\r\n",
               "DLstaff,L,N,\r\nSUann,When=12345,Date=0,Start=90000,End=170000,Repeat=1,"
               "BlockedMIMETypes=application/*\r\n");
    Loaded();
  }

  // Runs a template given as text; returns the page.
  std::string Run(const std::string& text, std::vector<std::pair<std::string, std::string>> vars = {},
                  const std::string& perms = "A:UC") {
    m_Dir.Write("page_a.mhtml", text);
    m_Request.m_Vars = std::move(vars);
    m_Request.m_Vars.emplace_back("what", "page_a.mhtml");
    m_Request.m_Out.clear();
    TemplatePage page{m_Request, m_Dir.Path(), "ann", "127.0.0.1", perms, "", m_Config.get(), &m_App,
                      [this](TemplateRequest&, const std::string& text) { m_Error = text; }};
    TemplateProcess(page);
    return m_Request.m_Out;
  }

  FakeRequest m_Request;
  TemplateOperationTable m_App;
  std::string m_Error;
};

TEST_F(TemplateEngineTest, ConditionsNestAndOnlyShownSectionsRun) {
  int calls = 0;
  m_App.Register("Count", [&](const TemplateCall&) { return ++calls, kTemplateDone; });
  std::string page = Run(
      "a<X-If varstmt=\"v EQ 1\">b<X-If perms=BA>c<X-Count><X-Else>d<X-Fi><X-Else>e<X-Fi>f\r\n"
      "<X-If varstmt=\"v EQ 2\">g<X-If>h<X-Else>i<X-Count><X-Fi><X-Else>j<X-Fi>\r\n"
      "<X-If>k<X-Fi><X-If perms=** varstmt=\"w UNDEFNV\" platform=NT>l<X-Fi>\r\n",
      {{"v", "1"}, {"w", ""}});
  EXPECT_EQ(page, "abdf\r\nj\r\nkl\r\n");
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(m_Events.Events().empty()) << EventTexts();
}

TEST_F(TemplateEngineTest, BadSequencesAreLoggedAndPagesGoOn) {
  std::string page = Run("<X-Fi>x<X-Else>y\r\n<X-If><X-If><X-If><X-If><X-If><X-If>z<X-Fi>\r\n");
  EXPECT_EQ(page, "xy\r\nz\r\n");
  // Fi and Else at the top, the sixth If, and the levels left open at the end.
  EXPECT_EQ(m_Events.Count(kMsgBadIfElseFi), 4) << EventTexts();
}

TEST_F(TemplateEngineTest, TagsOnOneLineAndOperationsThatStop) {
  m_App.Register("Stop", [](const TemplateCall& c) { return c.page.request.Write("STOP"), kTemplateStop; });
  EXPECT_EQ(Run("a<X-ShowVar v\r\n>b <X-Unknown x=1> c<X-\r\n"), "a<X-ShowVar v\r\n>b  c<X-\r\n");
  EXPECT_EQ(Run("a<X-Stop>b\r\nc\r\n"), "aSTOP");
}

TEST_F(TemplateEngineTest, MissingAndForbiddenTemplates) {
  m_Request.m_Vars = {};
  TemplatePage page{m_Request, m_Dir.Path(), "", "", "", "", nullptr, nullptr,
                    [this](TemplateRequest&, const std::string& text) { m_Error = text; }};
  TemplateProcess(page);
  EXPECT_EQ(m_Error, "Error: Missing filename to display.");
  m_Dir.Write("secret", "nothing to see");
  // A name that is no template name is not repeated (it may be a path).
  const std::pair<const char*, const char*> cases[] = {
      {"../secret", ""}, {"secret", ""}, {"../../etc/passwd", ""}, {"missing_a.mhtml", "missing_a.mhtml"}};
  for (const auto& [what, named] : cases) {
    m_Request.m_Vars = {{"what", what}};
    TemplateProcess(page);
    EXPECT_EQ(m_Error, std::string("Error: Missing file ") + named);
    EXPECT_EQ(m_Request.m_Out, "");
  }
}

TEST_F(TemplateEngineTest, ValuesAreEscaped) {
  // noescape passes only the HTML the server built (h), never request text (v).
  m_Request.m_ServerHtml = "h";
  std::string page = Run("<X-ShowVar v usequotes>|<X-ShowVar v noescape><X-ShowVar h noescape>|"
                         "<X-PlaceHiddenVars>|<X-PlaceVars starts=HDR->|<X-ShowAttr Cast>|<X-ShowObjType>",
                         {{"v", "<b>\"x\""}, {"h", "<i>built</i>"}, {"HV-<n>", "a\"b<"}, {"HDR-To", "<t>"},
                          {"HDR-", "no"}, {"objtype", "User"}, {"objname", "ann"}});
  m_Request.m_ServerHtml.clear();
  EXPECT_EQ(page,
            "\"&lt;b&gt;&quot;x&quot;\"|&lt;b&gt;&quot;x&quot;<i>built</i>|"
            "<input type=\"hidden\" name=\"HV-&lt;n&gt;\" value=\"a&quot;b&lt;\">\r\n|"
            "<input type=\"hidden\" name=\"HDR-To\" value=\"&lt;t&gt;\">\r\n|Sales|User");
}

TEST_F(TemplateEngineTest, BlueBarEscapesAndLeavesColoursToTheStylesheet) {
  std::string bar = "<X-BlueBar caption=\"A<B\" size=3>";
  EXPECT_EQ(Run(bar), "<tr><td class=\"bluebar\" colspan=\"3\">A&lt;B<span class=\"spacer\"></span></td></tr>\r\n");
  m_Request.m_Agent = "Mozilla/2.02";
  EXPECT_EQ(Run(bar), "<tr><td class=\"bluebar\" colspan=\"3\">A&lt;B</td></tr>\r\n");
  m_Request.m_Agent.clear();
}

TEST_F(TemplateEngineTest, AttributeAndEventStatements) {
  std::vector<std::pair<std::string, std::string>> vars = {
      {"objtype", "U"}, {"objname", "ann"}, {"Event", "12345009000017000 0"}, {"x", "Sales"}};
  vars[2].second = "123450090000170000";
  EXPECT_EQ(Run("<X-If attrstmt=\"Cast EQ $x\">1<X-Fi><X-If attrstmt=\"Cast EQ $nothing\">2<X-Fi>"
                "<X-If eventstmt=\"BlockedMIMETypes SW application\">3<X-Fi>"
                "<X-If varEventChain=\"FilterMode UNDEF\">4<X-Fi>"
                "<X-If CanEditPerms>5<X-Fi><X-If objperms=**>6<X-Fi>",
                vars),
            "134");
  vars[1].second = "bob";
  EXPECT_EQ(Run("<X-If CanEditPerms>5<X-Fi><X-If attrstmt=\"Cast ~EQ STAFF\">7<X-Fi>", vars), "57");
}

TEST_F(TemplateEngineTest, ObjectBoxes) {
  std::string page = Run("<X-ObjBox objtype=User name=u insertblank useobjvalue excludeAuth>",
                         {{"objtype", "G"}, {"objname", "Sales"}});
  EXPECT_EQ(page,
            "<select name=\"u\">\r\n<option value=\"\"></option>\r\n"
            "<option value=\"Administrator\">Administrator</option>\r\n"
            "<option value=\"bob\">bob</option>\r\n</select>\r\n");
  // The current user's cast preselected, at the top; a mask on the attribute.
  page = Run("<X-ObjBox objtype=G name=Cast useobjvalue selectedAtTop multiple size=3>"
             "<X-ObjBox objtype=U name=x maskattr=\"Cast EQ staff\">",
             {{"objtype", "U"}, {"objname", "ann"}});
  EXPECT_NE(page.find("<select name=\"Cast\" size=\"3\" multiple>\r\n<option value=\"Sales\" selected>"),
            std::string::npos) << page;
  EXPECT_NE(page.find("<select name=\"x\">\r\n<option value=\"bob\">bob</option>\r\n</select>"),
            std::string::npos) << page;
}

TEST_F(TemplateEngineTest, EventTimesFromTheForm) {
  const struct {
    std::vector<std::pair<std::string, std::string>> form;
    const char* settings;  // empty: refused
  } cases[] = {
      {{{"When", "1\x1c" "2\x1c" "3"}, {"Start-hr", "9"}, {"Start-min", "00"}, {"Start-mer", "AM"},
        {"End-hr", "5"}, {"End-min", "05"}, {"End-mer", "PM"}},
       "When=123,Date=0,Start=90000,End=170500,Repeat=1"},
      {{{"When", "E"}, {"Date", "12/24/2026"}, {"Repeat", "3"}, {"Start-hr", "12"}, {"Start-mer", "AM"},
        {"End-hr", "12"}, {"End-mer", "PM"}},
       "When=E,Date=20261224,Start=0,End=120000,Repeat=3"},
      {{{"When", "D"}}, "When=D,Date=0,Start=0,End=0,Repeat=1"},
      {{{"When", "1"}, {"Start-hr", "5"}, {"Start-mer", "PM"}, {"End-hr", "9"}, {"End-mer", "AM"}}, ""},
      {{{"When", "E"}, {"Date", "13/1/2026"}, {"Start-hr", "1"}, {"End-hr", "2"}}, ""},
      {{{"When", "E"}, {"Date", "1/1/2026"}, {"Repeat", "0"}, {"Start-hr", "1"}, {"End-hr", "2"}}, ""},
      {{{"When", "9"}}, ""},
      {{{"When", "1"}, {"Start-hr", "13"}, {"End-hr", "2"}}, ""},
  };
  for (const auto& c : cases) {
    m_Error.clear();
    std::string page = Run("<X-ParseEventTime message=\"Bad time\">after", c.form);
    std::string settings;
    m_Request.GetVariable("newsettings", settings);
    if (*c.settings) {
      EXPECT_EQ(settings, c.settings);
      EXPECT_EQ(page, "after");
    } else {
      EXPECT_EQ(m_Error, "Bad time") << settings;
      EXPECT_EQ(page, "");
    }
  }
}

TEST_F(TemplateEngineTest, TimeAndDateBoxesArePreset) {
  std::string page = Run("<X-TimeBox name=Start preset=173700 text=From>");
  EXPECT_NE(page.find("<option value=\"5\" selected>"), std::string::npos) << page;
  EXPECT_NE(page.find("<option value=\"35\" selected>"), std::string::npos) << page;
  EXPECT_NE(page.find("<option value=\"PM\" selected>"), std::string::npos) << page;
  EXPECT_EQ(Run("<X-DateBox name=Date preset=20261224 text=On>"),
            "On<br><input type=\"text\" size=\"10\" name=\"Date\" value=\"12/24/2026\">\r\n");
}

TEST_F(TemplateEngineTest, RequiredPermsStopsAndRecords) {
  EXPECT_EQ(Run("<X-RequiredPerms AU message=\"No\">shown"), "shown");
  EXPECT_EQ(Run("<X-RequiredPerms AU RS message=\"No & way\">hidden"), "No &amp; way\r\n");
}

}  // namespace
