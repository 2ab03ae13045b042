// The accounts file and the password test: which account a name stands for, the
// DOMAIN\user forms, the length limits, the file's mode and replacement, and PAM's
// refusal of system accounts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "config/accounts_file.h"
#include "config/password_test.h"
#include "platform/accounts.h"
#include "tests/config/config_fixture.h"

namespace {

class PasswordTest : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    WriteFiles("DS,\r\nDUalice,RealAcct=alice\r\nDUrobert,RealAcct=.\\bob\r\n"
               "DUcarol,RealAcct=CORP\\carol\r\nDUnoacct,\r\n");
    Loaded();
    m_Accounts = m_Dir.File("accounts");
    CTernAccountsFile::SetProcessPath(m_Accounts);
    CTernAccountsFile file(m_Accounts);
    std::string error;
    for (const auto& [account, password] :
         {std::pair{"alice", "wonder land"}, {"bob", "b0b"}, {"CORP\\carol", "c"}, {"dave", "d"}})
      ASSERT_TRUE(file.SetPassword(account, password, error)) << error;
  }
  void TearDown() override {
    CTernAccountsFile::SetProcessPath("");
    ConfigFixture::TearDown();
  }
  std::string m_Accounts;
};

TEST_F(PasswordTest, NamesAccountsAndDomains) {
  std::string machine = PlatformMachineName();
  const struct {
    std::string name, password;
    bool ok;
  } cases[] = {
      {"alice", "wonder land", true},
      {"ALICE", "wonder land", true},   // user names are case-blind
      {"alice", "wonder", false},
      {"alice", "", false},
      {"robert", "b0b", true},          // ".\bob" is this machine's bob
      {"carol", "c", true},             // another domain's account, from the file
      {"noacct", "", false},            // a user without RealAcct never logs in
      {"dave", "d", true},              // no user object: the name is the account
      {"bob", "b0b", true},
      {".\\bob", "b0b", true},
      {"\\bob", "b0b", true},           // an empty domain is this machine
      {machine + "\\BOB", "b0b", true}, // so is the machine's own name
      {"OTHER\\bob", "b0b", false},     // another domain's bob is not listed
      {"CORP\\carol", "c", true},
      {"carol\\", "c", false},
      {"nobody-here", "x", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TernPasswordTest(*m_Config, c.name, c.password), c.ok) << c.name << " / " << c.password;
}

TEST_F(PasswordTest, LengthLimitsOfAccountAndPassword) {
  CTernAccountsFile file(m_Accounts);
  std::string error;
  // crypt(3) hashes pass phrases up to 511 bytes; longer ones cannot be stored,
  // and nothing of 1023 characters or more is ever tried.
  std::string longest(511, 'p');
  ASSERT_TRUE(file.SetPassword("erin", longest, error)) << error;
  EXPECT_TRUE(TernAccountLogon(m_Accounts, "erin", longest));
  EXPECT_FALSE(TernAccountLogon(m_Accounts, "erin", longest + "p"));
  EXPECT_FALSE(file.SetPassword("erin", longest + "p", error));
  EXPECT_FALSE(TernAccountLogon(m_Accounts, "erin", std::string(1023, 'p')));
  EXPECT_FALSE(TernAccountLogon(m_Accounts, std::string(1023, 'a'), "x"));
}

TEST_F(PasswordTest, FileIsPrivateAndReplacedWhole) {
  struct stat st{};
  ASSERT_EQ(stat(m_Accounts.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  CTernAccountsFile file(m_Accounts);
  std::string error;
  // A second setting replaces the first (any case of the name); others stay.
  ASSERT_TRUE(file.SetPassword("Alice", "new one", error));
  EXPECT_FALSE(TernAccountLogon(m_Accounts, "alice", "wonder land"));
  EXPECT_TRUE(TernAccountLogon(m_Accounts, "alice", "new one"));
  EXPECT_EQ(file.Accounts(), (std::vector<std::string>{"Alice", "bob", "CORP\\carol", "dave"}));
  std::string text = TempDir::Read(m_Accounts);
  EXPECT_EQ(text.find("new one"), std::string::npos);
  ASSERT_EQ(stat((m_Accounts + "_old").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Names and passwords that would break the file's lines are refused unchanged.
  for (const std::string& bad : std::vector<std::string>{"", "a:b", "a\nb", "a\\b\\c", "\\a", std::string(257, 'n')})
    EXPECT_FALSE(file.SetPassword(bad, "x", error)) << bad;
  EXPECT_FALSE(file.SetPassword("frank", "two\nlines", error));
  EXPECT_EQ(TempDir::Read(m_Accounts), text);
}

TEST(PlatformAccounts, HashesAndSystemAccounts) {
  std::string hash = PlatformHashPassword("secret");
  ASSERT_FALSE(hash.empty());
  EXPECT_EQ(hash[0], '$');
  EXPECT_NE(PlatformHashPassword("secret"), hash);  // a fresh salt each time
  EXPECT_TRUE(PlatformPasswordMatches("secret", hash));
  EXPECT_FALSE(PlatformPasswordMatches("Secret", hash));
  for (const char* locked : {"", "!", "*", "!$6$x$y", "*LK*"})
    EXPECT_FALSE(PlatformPasswordMatches("", locked)) << locked;
  // root and the service accounts are never asked of PAM.
  EXPECT_EQ(PlatformPamLogon("root", "anything"), PlatformPamResult::SystemAccount);
  EXPECT_EQ(PlatformPamLogon("no-such-account-here", "x"), PlatformPamResult::Refused);
  for (const std::string& name : PlatformLoginAccounts()) EXPECT_NE(name, "root");
}

// A real PAM logon, where the machine has a login account for it (CI makes one:
// OSTREL_TEST_PAM_ACCOUNT and OSTREL_TEST_PAM_PASSWORD).
TEST(PlatformAccounts, PamLogonOfALoginAccount) {
  const char* account = getenv("OSTREL_TEST_PAM_ACCOUNT");
  const char* password = getenv("OSTREL_TEST_PAM_PASSWORD");
  if (!account || !password) GTEST_SKIP() << "no PAM test account on this machine";
  EXPECT_EQ(PlatformPamLogon(account, password), PlatformPamResult::Ok);
  EXPECT_EQ(PlatformPamLogon(account, std::string(password) + "x"), PlatformPamResult::Refused);
  EXPECT_TRUE(TernAccountLogon("", std::string(".\\") + account, password));
  std::vector<std::string> listed = PlatformLoginAccounts();
  EXPECT_NE(std::find(listed.begin(), listed.end(), account), listed.end());
}

}  // namespace
