// The servers' counts read from a real configuration's System object: the default
// and lower bound at start, and a reconfiguration after the System object changed.
#include "config/server_settings.h"

#include <gtest/gtest.h>

#include "config/config_object.h"
#include "net/tcp_server.h"
#include "tests/config/settings_fixture.h"

class ServerSettings : public SettingsFixture {};

TEST_F(ServerSettings, CountsComeFromTheSystemObjectInForce) {
  LoadConfig("DS,POPIncoming=0,HTTPIncoming=x,SMTPIncoming=3,SMTPOutgoing=2\r\n");
  TernSettingReader reader = SystemSettingReader();
  EXPECT_EQ(TernReadServerCounts(kTernPopProfile, reader).workers, 5);
  EXPECT_EQ(TernReadServerCounts(kTernHttpProfile, reader).workers, 5);
  TernServerCounts smtp = TernReadServerCounts(kTernSmtpProfile, SystemSettingReader(*m_Config));
  EXPECT_EQ(smtp.workers, 3);
  EXPECT_EQ(smtp.background, 2);
  Configuration::SetProcess(nullptr);
  EXPECT_EQ(TernReadServerCounts(kTernSmtpProfile, reader).workers, 5);  // nothing to read
}

TEST_F(ServerSettings, ReconfiguringSmtpWithAValueBelowOneAppliesFive) {
  LoadConfig("DS,SMTPIncoming=2,SMTPOutgoing=1\r\n");
  uint32_t loopback = 0;
  ASSERT_TRUE(ParseDotted("127.0.0.1", loopback));
  CTernTcpServer smtp("SMTP");
  TernServerCounts counts = TernReadServerCounts(kTernSmtpProfile, SystemSettingReader());
  ASSERT_TRUE(smtp.Start(counts.workers, counts.background, CTernNetAddress(loopback, 0)));
  EXPECT_EQ(smtp.RunningCount(kTernWorkerThread), 2);
  ASSERT_EQ(m_Config->SetAttribute(kTypeSystem, "", "SMTPIncoming", "0", false), 0);
  ASSERT_EQ(m_Config->SetAttribute(kTypeSystem, "", "SMTPOutgoing", "-2", false), 0);
  ASSERT_TRUE(TernReconfigureProtocolServer(smtp, kTernSmtpProfile, SystemSettingReader()));
  EXPECT_EQ(smtp.RunningCount(kTernWorkerThread), 5);
  EXPECT_EQ(smtp.RunningCount(kTernBackgroundThread), 5);
}
