// Test helper for the SMTP server: a loaded configuration (local domain
// example.org), the activity log in a fresh directory, the fast and slow queues and
// a started server listening on loopback at a port the system chooses, and a client
// that speaks to it over a real connection.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "config/effective_settings.h"
#include "log/activity_log.h"
#include "message/queue.h"
#include "net/tcp_endpoint.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"
#include "transport/smtp_server.h"

// One client connection; every wait is bounded.
// An activity record's fields by key.
using ActivityFields = std::map<int, std::string>;

class SmtpClient {
 public:
  explicit SmtpClient(uint16_t port) {
    EXPECT_TRUE(m_End.Connect(CTernNetAddress(Loopback(1), port)));
  }
  // The next reply line (with its CR LF), empty when none comes within 10 seconds.
  std::string Line() {
    CTernString text;
    long n = m_End.ReceiveLine(text, "\r\n", 10);
    return n > 0 ? text.Str() : std::string();
  }
  void Send(std::string_view text) { EXPECT_EQ(m_End.Send(text), static_cast<long>(text.size())); }
  // Sends a command line and returns the reply.
  std::string Cmd(const std::string& command) {
    Send(command + "\r\n");
    return Line();
  }
  // True when the server closes the connection within seconds.
  bool ServerCloses(int seconds = 10) {
    CTernString text;
    long n = m_End.Receive(text, 0, seconds);
    return n >= 0 && m_End.Closed();
  }
  void Close() { m_End.Close(); }

 private:
  CTernTcpEndpoint m_End;
};

class SmtpFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CTernActivityLog::Configure(m_Dir.Path(), "OstrelLogging");
    CTernActivityLog::Reopen();
    CTernActivityLog::SetSettingReader(nullptr);
    m_MailDir = m_Dir.Path() + "/mail";
    ASSERT_EQ(::mkdir(m_MailDir.c_str(), 0755), 0);
    LoadConfig("");
    m_Fast = std::make_unique<CTernQueue>("fastq", m_MailDir);
    m_Slow = std::make_unique<CTernQueue>("slowq", m_MailDir);
    m_Server = std::make_unique<SMTP>(nullptr, m_Fast.get(), m_Slow.get(), m_MailDir);
    ASSERT_TRUE(m_Server->Start(3, 1, CTernNetAddress(Loopback(1), 0)));
    m_Port = m_Server->Port();
  }

  void TearDown() override {
    m_Server.reset();
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    m_Config.reset();
    CTernActivityLog::Close();
    CTernActivityLog::Configure("", "");
    CTernActivityLog::Reopen();
  }

  // System attributes beyond Domain=example.org (",name=value" each), and further
  // object lines.
  void LoadConfig(const std::string& systemAttributes, const std::string& objects = "") {
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    m_Config.reset();
    m_Dir.Write("shared-config",
                "# 2 0\r\nDS,Domain=example.org" + systemAttributes + "\r\n" + objects);
    m_Dir.Write("local-config", "# 2 0\r\n");
    m_Dir.Write("vendor-config", "# 2 0\r\n");
    m_Config = std::make_unique<Configuration>(m_Dir.File("shared-config"),
                                               m_Dir.File("local-config"),
                                               m_Dir.File("vendor-config"));
    ASSERT_EQ(m_Config->Load(true), 0);
    Configuration::SetProcess(m_Config.get());
    InstallLocalDomains(m_Config.get());
  }

  // Today's activity records.
  std::vector<CTernActivityRecord> Records() {
    std::vector<CTernActivityRecord> out;
    long date = TernDateNumber(PlatformNow());
    CTernActivityReader reader(m_Dir.Path(), date, 0, date, 235959, {}, {}, {}, {});
    long d = 0, t = 0;
    CTernActivityRecord record;
    for (bool more = reader.First(d, t, record); more; more = reader.Next(d, t, record))
      out.push_back(record);
    return out;
  }
  // The fields of today's records of an action, by key.
  std::vector<ActivityFields> RecordsOf(int action) {
    std::vector<ActivityFields> out;
    for (const CTernActivityRecord& r : Records()) {
      std::string value;
      if (r.Get(kActAction, value) && value == std::to_string(action)) out.push_back(r.Fields());
    }
    return out;
  }
  // The fields a record of an SMTP session from the loopback client holds: realm,
  // action and client, and more.
  static ActivityFields SessionRecord(int action, ActivityFields more = {}) {
    more[kActRealm] = std::to_string(kRealmSmtp);
    more[kActAction] = std::to_string(action);
    more[kActClient] = "127.0.0.1";
    return more;
  }

  // Greets and says HELO.
  std::unique_ptr<SmtpClient> Connect(bool helo = true) {
    auto client = std::make_unique<SmtpClient>(m_Port);
    std::string greeting = client->Line();
    EXPECT_EQ(greeting.rfind("220 ", 0), 0u) << greeting;
    if (helo) {
      EXPECT_EQ(client->Cmd("HELO client.example.net").substr(0, 4), "250 ");
    }
    return client;
  }

  // Sends one message; returns the final reply.
  std::string SendMessage(SmtpClient& client, const std::string& from,
                          const std::vector<std::string>& to, const std::string& data) {
    std::string reply = client.Cmd("MAIL FROM:" + from);
    if (reply.rfind("250", 0) != 0) return reply;
    for (const std::string& rcpt : to) {
      reply = client.Cmd("RCPT TO:" + rcpt);
      if (reply.rfind("250", 0) != 0) return reply;
    }
    reply = client.Cmd("DATA");
    if (reply.rfind("354", 0) != 0) return reply;
    client.Send(data);
    client.Send(".\r\n");
    return client.Line();
  }

  // The identifier of a "250 <id> Message accepted for delivery" reply.
  static std::string Identifier(const std::string& reply) {
    if (reply.rfind("250 ", 0) != 0) return "";
    size_t end = reply.find(' ', 4);
    return end == std::string::npos ? "" : reply.substr(4, end - 4);
  }

  std::string Body(const std::string& id) { return TempDir::Read(m_MailDir + "/" + id + ".mes"); }
  // Files of queued messages in MailDir (envelopes and bodies).
  int MessageFiles();

  TempDir m_Dir;
  EventCapture m_Events;
  std::string m_MailDir;
  std::unique_ptr<Configuration> m_Config;
  std::unique_ptr<CTernQueue> m_Fast, m_Slow;
  std::unique_ptr<SMTP> m_Server;
  uint16_t m_Port = 0;
};

#include <dirent.h>
#include <sys/stat.h>

inline int SmtpFixture::MessageFiles() {
  int count = 0;
  if (DIR* dir = opendir(m_MailDir.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 4 && (name.ends_with(".mes") || name.ends_with(".env"))) ++count;
    }
    closedir(dir);
  }
  return count;
}
