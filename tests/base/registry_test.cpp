// Registry reads, writes and deletions: their results, their events, and what they
// leave in the registry file.
#include "base/registry.h"

#include <gtest/gtest.h>

#include "platform/registry_file.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

constexpr TernHKey kHklm = kTernHKeyLocalMachine;
constexpr char kProductKey[] = "SOFTWARE\\Kestrin\\Ostrel";
constexpr char kInitial[] =
    "; settings\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\r\n"
    "SharedConfigFile=/srv/shared-config\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\n"
    "MailDir=/var/spool/ostrel\r\n";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_File = m_Dir.Write("registry", kInitial);
    PlatformSetRegistryFile(m_File);
  }
  void TearDown() override { PlatformSetRegistryFile(""); }
  std::string Contents() const { return TempDir::Read(m_File); }

  TempDir m_Dir;
  std::string m_File;
  EventCapture m_Events;
};

}  // namespace

TEST_F(RegistryTest, ReadsUpToTheBufferSize) {
  std::string result;
  ASSERT_EQ(RegistryWrite(kHklm, kProductKey, "Fits", std::string(1023, 'a')), 0);
  ASSERT_EQ(RegistryWrite(kHklm, kProductKey, "TooLong", std::string(1024, 'b')), 0);
  EXPECT_EQ(RegistryRead(kHklm, kProductKey, "Fits", result), 0);
  EXPECT_EQ(result, std::string(1023, 'a'));
  EXPECT_TRUE(m_Events.Codes().empty());

  EXPECT_EQ(RegistryRead(kHklm, kProductKey, "TooLong", result), 1);
  EXPECT_EQ(result, "");
  auto events = m_Events.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, 46);
  EXPECT_EQ(events[0].kind, PlatformEventKind::Error);
  EXPECT_EQ(events[0].text,
            "Error: Looking for key SOFTWARE\\Kestrin\\Ostrel value TooLong (QueryValue failed)");
  EXPECT_FALSE(events[0].hasData);
}

TEST_F(RegistryTest, FailedReadsAreReportedAndLeaveTheResultEmpty) {
  struct Case {
    TernHKey root;
    const char* key;
    const char* name;
    int event;
  } cases[] = {
      {kHklm, "SOFTWARE\\Kestrin\\Missing", "MailDir", 45},
      {kHklm, kProductKey, "LogDir", 46},
      {0x80000001u, kProductKey, "MailDir", 45},  // only HKEY_LOCAL_MACHINE exists
      {kHklm, "SOFTWARE\\Kestrin\\", "SharedConfigFile", 45},
  };
  for (const Case& c : cases) {
    m_Events.Clear();
    std::string result = "stale";
    EXPECT_EQ(RegistryRead(c.root, c.key, c.name, result), 1) << c.key << " " << c.name;
    EXPECT_EQ(result, "");
    EXPECT_EQ(m_Events.Codes(), std::vector<int>{c.event}) << c.key << " " << c.name;
    EXPECT_NE(m_Events.Find(c.event).text.find(c.name), std::string::npos);
  }
}

TEST_F(RegistryTest, NoKeyOrValueNameFailsQuietly) {
  std::string result = "stale";
  EXPECT_EQ(RegistryRead(kHklm, "", "MailDir", result), 1);
  EXPECT_EQ(result, "");
  EXPECT_EQ(RegistryRead(kHklm, kProductKey, "", result), 1);
  EXPECT_EQ(RegistryRead(kHklm, nullptr, "MailDir", result), 1);
  EXPECT_EQ(RegistryRead(kHklm, kProductKey, nullptr, result), 1);
  EXPECT_EQ(RegistryWrite(kHklm, "", "MailDir", "x"), 1);
  EXPECT_EQ(RegistryWrite(kHklm, kProductKey, "", "x"), 1);
  EXPECT_EQ(RegistryWrite(kHklm, nullptr, "MailDir", "x"), 1);
  EXPECT_EQ(RegistryWrite(kHklm, kProductKey, nullptr, nullptr), 1);
  EXPECT_EQ(RegistryDelete(kHklm, "", "MailDir"), 1);
  EXPECT_EQ(RegistryDelete(kHklm, kProductKey, nullptr), 1);
  EXPECT_TRUE(m_Events.Codes().empty());
  EXPECT_EQ(Contents(), kInitial);
}

TEST_F(RegistryTest, WritesNeverCreateKeysAndFailWithoutChange) {
  struct Case {
    TernHKey root;
    const char* key;
    const char* name;
    const char* text;
    int event;
  } cases[] = {
      {kHklm, "SOFTWARE\\Kestrin\\Other", "MailDir", "/x", 47},
      {kHklm, "SOFTWARE\\Kestrin\\Ostrel\\Sub", "MailDir", "/x", 47},
      {0x80000001u, kProductKey, "MailDir", "/x", 47},
      {kHklm, kProductKey, "MailDir", "two\r\nlines", 48},
      {kHklm, kProductKey, "Bad=Name", "/x", 48},
      {kHklm, kProductKey, "MailDir", nullptr, 48},
  };
  for (const Case& c : cases) {
    m_Events.Clear();
    EXPECT_EQ(RegistryWrite(c.root, c.key, c.name, c.text), 1) << c.key << " " << c.name;
    EXPECT_EQ(m_Events.Codes(), std::vector<int>{c.event}) << c.key << " " << c.name;
    EXPECT_EQ(Contents(), kInitial);
  }
  m_Events.Clear();
  EXPECT_EQ(RegistryWrite(kHklm, "SOFTWARE\\Kestrin\\Other", "MailDir", "/x"), 1);
  EXPECT_EQ(m_Events.Find(47).text,
            "Error: Setting key SOFTWARE\\Kestrin\\Other value MailDir failed (OpenKey failed)");
  EXPECT_FALSE(m_Events.Find(47).hasData);
}

TEST_F(RegistryTest, NamesAreCaseBlindAndWritesKeepTheRest) {
  ASSERT_EQ(RegistryWrite(kHklm, "software\\KESTRIN\\ostrel", "maildir", "/srv/mail"), 0);
  ASSERT_EQ(RegistryWrite(kHklm, kProductKey, "LogDir", "/var/log/ostrel"), 0);
  std::string result;
  EXPECT_EQ(RegistryRead(kHklm, "SOFTWARE\\kestrin\\OSTREL", "MAILDIR", result), 0);
  EXPECT_EQ(result, "/srv/mail");
  EXPECT_EQ(Contents(),
            "; settings\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\r\n"
            "SharedConfigFile=/srv/shared-config\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\n"
            "MailDir=/srv/mail\r\n"
            "LogDir=/var/log/ostrel\r\n");
  EXPECT_NE(TempDir::Read(m_File + "_old").find("MailDir=/srv/mail"), std::string::npos);
  // Text ends at its first zero byte, as it would for a caller's C string.
  ASSERT_EQ(RegistryWrite(kHklm, kProductKey, "BoxDir", std::string("/box\0junk", 9)), 0);
  EXPECT_EQ(RegistryRead(kHklm, kProductKey, "BoxDir", result), 0);
  EXPECT_EQ(result, "/box");
  EXPECT_TRUE(m_Events.Codes().empty());
}

TEST_F(RegistryTest, Deleting) {
  EXPECT_EQ(RegistryDelete(kHklm, "SOFTWARE\\Kestrin\\Other", "MailDir"), 1);
  EXPECT_EQ(RegistryDelete(kHklm, kProductKey, "LogDir"), 1);
  EXPECT_EQ(m_Events.Codes(), (std::vector<int>{49, 50}));
  EXPECT_EQ(Contents(), kInitial);
  EXPECT_EQ(RegistryDelete(kHklm, kProductKey, "maildir"), 0);
  std::string result;
  EXPECT_EQ(RegistryRead(kHklm, kProductKey, "MailDir", result), 1);
  EXPECT_TRUE(PlatformRegistryHasKey(kProductKey).Ok());
}

TEST_F(RegistryTest, SettingsWithDefaults) {
  EXPECT_EQ(RegistryProductKey("Ostrel"), "SOFTWARE\\Kestrin\\Ostrel");
  EXPECT_EQ(RegistryProductKey("Ostrel\\\\"), "SOFTWARE\\Kestrin\\Ostrel");
  EXPECT_EQ(RegistryProductKey(""), "SOFTWARE\\Kestrin");
  EXPECT_EQ(RegistryReadSetting("Ostrel", "MailDir", "/tmp"), "/var/spool/ostrel");
  EXPECT_EQ(RegistryReadSetting("Ostrel\\", "MailDir", "/tmp"), "/var/spool/ostrel");
  EXPECT_EQ(RegistryReadSetting("", "SharedConfigFile", "/d"), "/srv/shared-config");
  EXPECT_EQ(RegistryReadSetting("Ostrel", "HTTPPort", "8003"), "8003");
  EXPECT_EQ(RegistryReadSetting("Other", "MailDir", "/tmp"), "/tmp");
  EXPECT_TRUE(m_Events.Codes().empty());
}
