// The registry file: parsing and rewriting its text, replacing the file, the TCP/IP
// parameters answered from the system, and writers in two processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "platform/registry_file.h"
#include "tests/support/tempdir.h"

namespace {

constexpr char kProduct[] = "SOFTWARE\\Kestrin\\Ostrel";

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_File = m_Dir.File("registry");
    PlatformSetRegistryFile(m_File);
    PlatformSetResolvConf(m_Dir.File("resolv.conf"));
  }
  void TearDown() override {
    PlatformSetRegistryFile("");
    PlatformSetResolvConf("");
  }
  std::string Value(const std::string& key, const std::string& name) {
    std::string value;
    PlatformRegResult r = PlatformRegistryGetValue(key, name, value);
    return r.Ok() ? value : "<" + std::to_string(static_cast<int>(r.status)) + ">";
  }

  TempDir m_Dir;
  std::string m_File;
};

// Waits at most a minute for a child; its exit status, or -1.
int WaitChild(pid_t pid) {
  for (int i = 0; i < 6000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

TEST(RegistryFileText, UneditedTextIsKeptByteForByte) {
  const std::string files[] = {
      "; comment\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n  Name = value \r\n# note\r\n",
      "[HKEY_CURRENT_USER\\X]\nv=1\n[broken\ngarbage line\n=no name\n\t\n[HKEY_LOCAL_MACHINE\\B]\n",
      "[HKEY_LOCAL_MACHINE\\A]\na=1\n[hkey_local_machine\\a]\nA=2\n",
  };
  for (const std::string& text : files) {
    PlatformRegistryText registry(text);
    EXPECT_EQ(registry.Text(), text);
  }
  // A last line without its line end gains one, in the file's own style.
  EXPECT_EQ(PlatformRegistryText("x\r\n[y]").Text(), "x\r\n[y]\r\n");
  EXPECT_EQ(PlatformRegistryText("x=1\r").Text(), "x=1\n");
}

TEST(RegistryFileText, Lookups) {
  const std::string text =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\n"
      "  InstallDir =  C:\\Program Files\\x  \r\n"
      "Quoted=\" padded \"\n"
      "Equals=a=b=c\n"
      "Empty=\n"
      "no equals sign\n"
      "=orphan\n"
      "Dup=first\n"
      "dup=second\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel\n"
      "Lost=under a broken header\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Kestrin\\Ostrel]\n"
      "Foreign=other root\n"
      "[ HKEY_LOCAL_MACHINE\\software\\kestrin\\OSTREL ]\n"
      "Second=section again\n";
  PlatformRegistryText registry(text);
  struct Case {
    const char* key;
    const char* name;
    bool found;
    const char* value;
  } cases[] = {
      {kProduct, "installdir", true, "C:\\Program Files\\x"},
      {"software\\KESTRIN\\ostrel", "INSTALLDIR", true, "C:\\Program Files\\x"},
      {kProduct, "Quoted", true, " padded "},
      {kProduct, "Equals", true, "a=b=c"},
      {kProduct, "Empty", true, ""},
      {kProduct, "Dup", true, "first"},
      {kProduct, "Lost", false, ""},
      {kProduct, "Foreign", false, ""},
      {kProduct, "Second", true, "section again"},
      {kProduct, "no equals sign", false, ""},
      {"SOFTWARE\\Kestrin", "InstallDir", false, ""},
      {"", "InstallDir", false, ""},
  };
  for (const Case& c : cases) {
    std::string value = "stale";
    bool found = registry.GetValue(c.key, c.name, value);
    EXPECT_EQ(found, c.found) << c.key << " " << c.name;
    if (found) {
      EXPECT_EQ(value, c.value) << c.name;
    }
  }
  std::vector<PlatformRegValue> values;
  ASSERT_TRUE(registry.ListValues(kProduct, values));
  std::vector<std::string> names;
  for (const auto& v : values) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"InstallDir", "Quoted", "Equals", "Empty", "Dup",
                                             "Second"}));
}

TEST(RegistryFileText, EveryStorableValueReadsBackExactly) {
  const std::string values[] = {"",     " lead",     "trail ", "\tboth\t", "\"quoted\"", "\"",
                                "\"\"", "a=b",       "x\"",    "#hash",    ";semi",      "[br",
                                "C:\\", "\x01\x7f\xff", std::string("nul\0in", 6)};
  PlatformRegistryText registry("[HKEY_LOCAL_MACHINE\\K]\n");
  for (size_t i = 0; i < std::size(values); ++i)
    ASSERT_TRUE(registry.SetValue("K", "v" + std::to_string(i), values[i]));
  PlatformRegistryText reread(registry.Text());
  for (size_t i = 0; i < std::size(values); ++i) {
    std::string value;
    ASSERT_TRUE(reread.GetValue("K", "v" + std::to_string(i), value));
    EXPECT_EQ(value, values[i]) << i;
  }
  EXPECT_FALSE(PlatformRegistryText::ValidValueData("two\nlines"));
  EXPECT_FALSE(PlatformRegistryText::ValidValueData("cr\r"));
  for (const char* name : {"", " x", "a=b", "[x", ";x", "#x", "a\nb"})
    EXPECT_FALSE(PlatformRegistryText::ValidValueName(name)) << name;
  for (const char* key : {"", "\\A", "A\\", "A\\\\B", " A", "A\nB"})
    EXPECT_FALSE(PlatformRegistryText::ValidKeyName(key)) << key;
}

TEST(RegistryFileText, EditsTouchOnlyTheirLines) {
  PlatformRegistryText registry(
      "# top\r\n"
      "[HKEY_LOCAL_MACHINE\\S\\Ostrel]\r\n"
      "ImagePath = /old\r\n"
      "dup=1\r\n"
      "Dup=2\r\n"
      "; end of Ostrel\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\S\\Ostrel\\Sub]\r\n"
      "[HKEY_LOCAL_MACHINE\\S\\Ostrel2]\r\n"
      "keep=yes\r\n");
  EXPECT_TRUE(registry.SetValue("s\\ostrel", "IMAGEPATH", "/new"));
  EXPECT_TRUE(registry.SetValue("S\\Ostrel", "DUP", "3"));
  EXPECT_TRUE(registry.SetValue("S\\Ostrel", "Start", "2"));
  EXPECT_FALSE(registry.SetValue("S\\Missing", "x", "y"));
  EXPECT_EQ(registry.Text(),
            "# top\r\n"
            "[HKEY_LOCAL_MACHINE\\S\\Ostrel]\r\n"
            "ImagePath=/new\r\n"
            "dup=3\r\n"
            "Start=2\r\n"
            "; end of Ostrel\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\S\\Ostrel\\Sub]\r\n"
            "[HKEY_LOCAL_MACHINE\\S\\Ostrel2]\r\n"
            "keep=yes\r\n");

  std::vector<std::string> subkeys;
  EXPECT_TRUE(registry.ListSubkeys("S", subkeys));
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Ostrel", "Ostrel2"}));
  EXPECT_FALSE(registry.ListSubkeys("T", subkeys));

  // Deleting a key takes the keys below it, not a sibling that shares its prefix.
  EXPECT_TRUE(registry.DeleteKey("S\\OSTREL"));
  EXPECT_FALSE(registry.HasKey("S\\Ostrel\\Sub"));
  EXPECT_EQ(registry.Text(), "# top\r\n[HKEY_LOCAL_MACHINE\\S\\Ostrel2]\r\nkeep=yes\r\n");
  EXPECT_FALSE(registry.DeleteKey("S\\Ostrel"));
  EXPECT_TRUE(registry.DeleteValue("S\\Ostrel2", "KEEP"));
  EXPECT_FALSE(registry.DeleteValue("S\\Ostrel2", "keep"));
  registry.CreateKey("S\\New");
  registry.CreateKey("s\\new");
  EXPECT_EQ(registry.Text(),
            "# top\r\n[HKEY_LOCAL_MACHINE\\S\\Ostrel2]\r\n\r\n[HKEY_LOCAL_MACHINE\\S\\New]\r\n");
}

TEST(RegistryFileText, GarbageNeverBreaksParsing) {
  std::mt19937 random(20240601);
  const char alphabet[] = "[]=\\;# \t\r\n\"aZ\0\xff";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    size_t length = random() % 400;
    for (size_t i = 0; i < length; ++i) text += alphabet[random() % (sizeof alphabet - 1)];
    text = "[HKEY_LOCAL_MACHINE\\K]\n" + text;
    PlatformRegistryText registry(text);
    std::string once = registry.Text();
    EXPECT_EQ(PlatformRegistryText(once).Text(), once);
    std::vector<PlatformRegValue> values;
    std::vector<std::string> names;
    registry.ListValues("K", values);
    registry.ListSubkeys("K", names);
    registry.SetValue("K", "Added", "v");
    std::string value;
    PlatformRegistryText reread(registry.Text());
    EXPECT_TRUE(reread.GetValue("K", "Added", value));
    EXPECT_EQ(value, "v");
  }
}

TEST_F(RegistryFileTest, MissingFileIsAnEmptyRegistryUntilAKeyIsCreated) {
  EXPECT_EQ(PlatformRegistryHasKey(kProduct).status, PlatformRegStatus::NoKey);
  EXPECT_EQ(PlatformRegistrySetValue(kProduct, "MailDir", "/x").status, PlatformRegStatus::NoKey);
  EXPECT_NE(access(m_File.c_str(), F_OK), 0);

  ASSERT_TRUE(PlatformRegistryCreateKey(kProduct).Ok());
  EXPECT_EQ(TempDir::Read(m_File), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\n");
  EXPECT_TRUE(PlatformRegistrySetValue(kProduct, "MailDir", "/x").Ok());
  EXPECT_EQ(Value("software\\kestrin\\ostrel", "maildir"), "/x");
  std::string value;
  EXPECT_EQ(PlatformRegistryGetValue(kProduct, "LogDir", value).status, PlatformRegStatus::NoValue);
}

TEST_F(RegistryFileTest, ReplacementKeepsOldContentsAndOtherKeys) {
  const std::string before =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\r\nSharedConfigFile=/s\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\nLogDir=/log\r\n";
  m_Dir.Write("registry", before);
  chmod(m_File.c_str(), 0600);
  ASSERT_TRUE(PlatformRegistrySetValue(kProduct, "LogDir", "/var/log").Ok());
  EXPECT_EQ(TempDir::Read(m_File + "_old"), before);
  EXPECT_EQ(TempDir::Read(m_File),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\r\nSharedConfigFile=/s\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\nLogDir=/var/log\r\n");
  EXPECT_NE(access((m_File + "_new").c_str(), F_OK), 0);
  struct stat info;
  ASSERT_EQ(stat(m_File.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A change that changes nothing leaves the file and its _old alone.
  std::string current = TempDir::Read(m_File);
  ASSERT_TRUE(PlatformRegistrySetValue(kProduct, "logdir", "/var/log").Ok());
  EXPECT_EQ(TempDir::Read(m_File + "_old"), before);

  // Failed edits write nothing.
  EXPECT_EQ(PlatformRegistrySetValue("SOFTWARE\\Other", "x", "y").status,
            PlatformRegStatus::NoKey);
  EXPECT_EQ(PlatformRegistrySetValue(kProduct, "x", "a\nb").status, PlatformRegStatus::BadData);
  EXPECT_EQ(PlatformRegistrySetValue(kProduct, "x=y", "a").status, PlatformRegStatus::BadName);
  EXPECT_EQ(PlatformRegistryDeleteValue(kProduct, "Nothing").status, PlatformRegStatus::NoValue);
  EXPECT_EQ(PlatformRegistryDeleteKey("SOFTWARE\\Other").status, PlatformRegStatus::NoKey);
  EXPECT_EQ(TempDir::Read(m_File), current);
  EXPECT_EQ(TempDir::Read(m_File + "_old"), before);
}

TEST_F(RegistryFileTest, FailuresOfTheFileItself) {
  m_Dir.Write("registry", "[HKEY_LOCAL_MACHINE\\K]\nv=1\n");
  // The replacement cannot be written: the file stays as it was.
  ASSERT_EQ(mkdir((m_File + "_new").c_str(), 0700), 0);
  PlatformRegResult r = PlatformRegistrySetValue("K", "v", "2");
  EXPECT_EQ(r.status, PlatformRegStatus::WriteFailed);
  EXPECT_EQ(r.error, EISDIR);
  EXPECT_EQ(Value("K", "v"), "1");
  rmdir((m_File + "_new").c_str());

  // A stale _new from a writer that died is simply replaced.
  m_Dir.Write("registry_new", "[HKEY_LOCAL_MACHINE\\K]\nv=stale\n");
  ASSERT_TRUE(PlatformRegistrySetValue("K", "v", "3").Ok());
  EXPECT_EQ(Value("K", "v"), "3");

  // A registry path that is not a file cannot be read.
  PlatformSetRegistryFile(m_Dir.Path());
  std::string value;
  EXPECT_EQ(PlatformRegistryGetValue("K", "v", value).status, PlatformRegStatus::ReadFailed);
  EXPECT_EQ(PlatformRegistryCreateKey("K").status, PlatformRegStatus::ReadFailed);
}

TEST_F(RegistryFileTest, EnvironmentNamesTheFileUnlessSet) {
  PlatformSetRegistryFile("");
  std::string env = m_Dir.File("from-env");
  setenv("OSTREL_REGISTRY", env.c_str(), 1);
  EXPECT_EQ(PlatformRegistryFile(), env);
  unsetenv("OSTREL_REGISTRY");
  EXPECT_EQ(PlatformRegistryFile(), kPlatformRegistryDefaultFile);
}

TEST_F(RegistryFileTest, WritersInTwoProcessesLoseNothing) {
  m_Dir.Write("registry", "[HKEY_LOCAL_MACHINE\\K]\n[HKEY_LOCAL_MACHINE\\Other]\nx=1\n");
  constexpr int kEach = 25;
  auto work = [](const char* prefix) {
    int failed = 0;
    for (int i = 0; i < kEach; ++i)
      failed += !PlatformRegistrySetValue("K", prefix + std::to_string(i), "v").Ok();
    return failed;
  };
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(work("child") == 0 ? 0 : 1);
  EXPECT_EQ(work("parent"), 0);
  EXPECT_EQ(WaitChild(pid), 0);
  std::vector<PlatformRegValue> values;
  ASSERT_TRUE(PlatformRegistryListValues("K", values).Ok());
  EXPECT_EQ(values.size(), 2u * kEach);
  EXPECT_EQ(Value("Other", "x"), "1");
}

TEST(ResolvConf, Parsing) {
  PlatformResolverConf conf = PlatformParseResolvConf(
      "# generated\n"
      "nameserver 192.0.2.1\n"
      "nameserver 2001:db8::1\n"
      "  nameserver\t198.51.100.7  # second\n"
      "nameserver not-an-address\n"
      "nameserver 127.0.0.1:5353\n"
      "nameserver 127.0.0.1:0\n"
      "nameserver 127.0.0.1:65536\n"
      "nameserver 127.0.0.1:\n"
      "nameserver\n"
      "; nameserver 203.0.113.9\n"
      "domain example.org.\n"
      "search old.example\n"
      "search a.example b.example. ; tail\n"
      "options ndots:2\n");
  EXPECT_EQ(conf.nameServers,
            (std::vector<std::string>{"192.0.2.1", "198.51.100.7", "127.0.0.1:5353"}));
  EXPECT_EQ(conf.domain, "example.org");
  EXPECT_EQ(conf.search, (std::vector<std::string>{"a.example", "b.example"}));
}

TEST_F(RegistryFileTest, TcpipParametersFromTheSystemUnlessTheFileHasThem) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string label = std::string(host).substr(0, std::string(host).find('.'));
  m_Dir.Write("registry", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\n");

  // No resolv.conf: the host name only.
  EXPECT_EQ(Value(kPlatformTcpipKey, "Hostname"), label);
  EXPECT_EQ(Value(kPlatformTcpipKey, "NameServer"), "");

  m_Dir.Write("resolv.conf",
              "nameserver 192.0.2.1\nnameserver 192.0.2.2\ndomain example.org\n"
              "search example.org example.net\n");
  std::string key = "system\\currentcontrolset\\services\\tcpip\\parameters";
  EXPECT_TRUE(PlatformRegistryHasKey(key).Ok());
  EXPECT_EQ(Value(key, "hostname"), label);
  EXPECT_EQ(Value(key, "Domain"), "example.org");
  EXPECT_EQ(Value(key, "NameServer"), "192.0.2.1 192.0.2.2");
  EXPECT_EQ(Value(key, "SearchList"), "example.org example.net");
  std::vector<PlatformRegValue> values;
  ASSERT_TRUE(PlatformRegistryListValues(key, values).Ok());
  EXPECT_EQ(values.size(), 4u);
  // The system's parameters are not written through the registry.
  EXPECT_EQ(PlatformRegistrySetValue(key, "NameServer", "127.0.0.1").status,
            PlatformRegStatus::NoKey);

  // A section in the file stands in for all of them.
  ASSERT_TRUE(PlatformRegistryCreateKey(kPlatformTcpipKey).Ok());
  ASSERT_TRUE(PlatformRegistrySetValue(key, "NameServer", "127.0.0.1").Ok());
  EXPECT_EQ(Value(key, "NameServer"), "127.0.0.1");
  std::string value;
  EXPECT_EQ(PlatformRegistryGetValue(key, "Hostname", value).status, PlatformRegStatus::NoValue);
}
