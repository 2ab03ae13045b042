// Test helper for delivery and notifications: a loaded configuration (local domain
// example.org), the activity log and a mail directory in a fresh directory, the
// fast queue, and queued messages made as the SMTP server makes them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "config/effective_settings.h"
#include "log/activity_log.h"
#include "message/clock.h"
#include "message/envelope.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "tests/support/activity.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

class DeliveryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CTernActivityLog::Configure(m_Dir.Path(), "OstrelLogging");
    CTernActivityLog::Reopen();
    CTernActivityLog::SetSettingReader(nullptr);
    m_MailDir = m_Dir.Path() + "/mail";
    ASSERT_EQ(::mkdir(m_MailDir.c_str(), 0755), 0);
    LoadConfig("");
    m_Fast = std::make_unique<CTernQueue>("fastq", m_MailDir);
  }

  void TearDown() override {
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
    m_Config = std::make_unique<Configuration>(m_Dir.File("shared-config"), m_Dir.File("local-config"),
                                               m_Dir.File("vendor-config"));
    ASSERT_EQ(m_Config->Load(true), 0);
    Configuration::SetProcess(m_Config.get());
    InstallLocalDomains(m_Config.get());
  }

  // A complete message in the mail directory, held, with recipients in the order
  // given (all waiting).
  std::unique_ptr<CTernQueuedMessage> Make(const std::string& sender, const std::vector<std::string>& to,
                                           const std::string& text, int kind = TernMessageKind::Ordinary) {
    std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Create(m_MailDir);
    EXPECT_TRUE(m && m->Hold());
    m->SetSender(sender);
    m->SetPeer("192.0.2.7");
    m->SetKind(kind);
    for (auto it = to.rbegin(); it != to.rend(); ++it) m->AddRecipient(*it);
    EXPECT_TRUE(m->OpenBodyForWriting(0));
    EXPECT_TRUE(m->WriteBody(text));
    EXPECT_TRUE(m->CloseBody());
    m->MarkComplete();
    EXPECT_TRUE(m->SaveEnvelope());
    return m;
  }

  // The messages waiting in the fast queue, opened (not held).
  std::vector<std::unique_ptr<CTernQueuedMessage>> Queued() {
    std::vector<std::unique_ptr<CTernQueuedMessage>> out;
    for (const TernQueueEntry& e : m_Fast->Entries()) {
      auto m = CTernQueuedMessage::Open(e.identifier, m_MailDir);
      if (m) out.push_back(std::move(m));
    }
    return out;
  }
  std::string BodyOf(const CTernQueuedMessage& m) { return TempDir::Read(m.BodyPath()); }

  std::vector<std::string> RecordsOf(int action) { return TodaysRecordsOf(m_Dir.Path(), action); }

  TempDir m_Dir;
  EventCapture m_Events;
  std::string m_MailDir;
  std::unique_ptr<Configuration> m_Config;
  std::unique_ptr<CTernQueue> m_Fast;
};
