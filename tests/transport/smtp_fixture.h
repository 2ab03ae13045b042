// Test helper for the SMTP server: what the delivery fixture gives (a loaded
// configuration with the local domain example.org, the activity log in a fresh
// directory, the fast queue), the slow queue and a started server listening on
// loopback at a port the system chooses, and a client that speaks to it over a real
// connection.
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
#include "tests/transport/delivery_fixture.h"
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

class SmtpFixture : public DeliveryFixture {
 protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    m_Slow = std::make_unique<CTernQueue>("slowq", m_MailDir);
    m_Server = std::make_unique<SMTP>(nullptr, m_Fast.get(), m_Slow.get(), m_MailDir);
    ASSERT_TRUE(m_Server->Start(3, 1, CTernNetAddress(Loopback(1), 0)));
    m_Port = m_Server->Port();
  }

  void TearDown() override {
    m_Server.reset();
    DeliveryFixture::TearDown();
  }

  // Today's activity records.
  std::vector<CTernActivityRecord> Records() { return TodaysRecords(m_Dir.Path()); }
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

  std::unique_ptr<CTernQueue> m_Slow;
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
