// Starting and reconfiguring the protocol servers from their settings: counts read
// from the System object with their default and lower bound, ports from the
// product key, and the HTTP server's retry on its default port.
#include "net/server_start.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/registry_file.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

// A System object held in a table; names missing from it cannot be read.
TernSettingReader Settings(std::map<std::string, std::string> values) {
  return [values](const std::string& name, std::string& value) {
    auto it = values.find(name);
    if (it == values.end()) return false;
    value = it->second;
    return true;
  };
}

// A private registry file with the product key holding the given lines.
class ServerStartTest : public ::testing::Test {
 protected:
  void UseProductValues(const std::string& lines) {
    PlatformSetRegistryFile(m_Dir.Write("registry",
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\n" + lines));
  }
  void TearDown() override { PlatformSetRegistryFile(""); }

  // A port on 127.0.0.n that nothing listens on just now.
  static uint16_t FreePort(int n) {
    CTernTcpEndpoint probe;
    return ListenOnLoopback(probe, n);
  }

  TempDir m_Dir;
  EventCapture m_Events;
};

}  // namespace

TEST(ServerCounts, MissingUnreadableOrSmallValuesCountAsFive) {
  struct Case {
    const char* value;  // null: missing
    int expected;
  } cases[] = {{nullptr, 5}, {"0", 5}, {"x", 5},  {"-3", 5},  {"", 5},
               {"7", 7},     {" 12", 12}, {"3 threads", 3}, {"99999999999999", 5}};
  for (const auto& c : cases) {
    std::map<std::string, std::string> values;
    if (c.value) values["POPIncoming"] = c.value;
    EXPECT_EQ(TernReadServerCount(Settings(values), "POPIncoming"), c.expected)
        << (c.value ? c.value : "(missing)");
  }
  EXPECT_EQ(TernReadServerCount(nullptr, "POPIncoming"), 5);
}

TEST(ServerCounts, SmtpReadsBothCountsAndThePopNoBackground) {
  auto reader = Settings({{"SMTPIncoming", "2"}, {"SMTPOutgoing", "0"}, {"POPIncoming", "4"}});
  TernServerCounts smtp = TernReadServerCounts(kTernSmtpProfile, reader);
  EXPECT_EQ(smtp.workers, 2);
  EXPECT_EQ(smtp.background, 5);
  TernServerCounts pop = TernReadServerCounts(kTernPopProfile, reader);
  EXPECT_EQ(pop.workers, 4);
  EXPECT_EQ(pop.background, 0);
}

TEST(ServerLoadLimits, SettingsWithTheirDefaultsAndBounds) {
  struct Case {
    std::map<std::string, std::string> values;
    int workers;
    TernLoadLimits expected;
  } cases[] = {
      {{}, 5, {200, 20, 10, 10}},
      {{{"POPMaxIncoming", "50"}, {"MaxClientConnections", "0"}, {"StressTimeout", "3"},
        {"SurplusWorkerIdle", "0"}},
       5, {50, 0, 3, 0}},
      // Out of range or not numbers: the defaults; a ceiling below the workers: them.
      {{{"POPMaxIncoming", "0"}, {"MaxClientConnections", "-1"}, {"StressTimeout", "0"},
        {"SurplusWorkerIdle", "x"}},
       5, {200, 20, 10, 10}},
      {{{"POPMaxIncoming", "3"}}, 8, {8, 20, 10, 10}},
      {{{"SMTPMaxIncoming", "7"}}, 5, {200, 20, 10, 10}},  // another server's ceiling
  };
  for (const auto& c : cases) {
    TernLoadLimits got = TernReadLoadLimits(kTernPopProfile, Settings(c.values), c.workers);
    std::string label = c.values.empty() ? "(none)" : c.values.begin()->first + "=" + c.values.begin()->second;
    EXPECT_EQ(got.ceiling, c.expected.ceiling) << label;
    EXPECT_EQ(got.perClient, c.expected.perClient) << label;
    EXPECT_EQ(got.stressedWait, c.expected.stressedWait) << label;
    EXPECT_EQ(got.surplusIdle, c.expected.surplusIdle) << label;
  }
}

TEST_F(ServerStartTest, PortsComeFromTheProductKeyWithTheirDefaults) {
  UseProductValues("SMTPPort=2525\r\nPOPPort=x\r\nHTTPPort=65536\r\n");
  EXPECT_EQ(TernReadServerPort(kTernSmtpProfile, "Ostrel"), 2525);
  EXPECT_EQ(TernReadServerPort(kTernPopProfile, "Ostrel"), 110);
  EXPECT_EQ(TernReadServerPort(kTernHttpProfile, "Ostrel"), 8003);
  UseProductValues("HTTPPort=0\r\n");
  EXPECT_EQ(TernReadServerPort(kTernHttpProfile, "Ostrel"), 8003);
  UseProductValues("");
  EXPECT_EQ(TernReadServerPort(kTernSmtpProfile, "Ostrel"), 25);
  EXPECT_TRUE(m_Events.Codes().empty());  // a setting left out is no error
}

TEST_F(ServerStartTest, PopIncomingZeroOrNonNumericStartsFiveWorkers) {
  for (const char* value : {"0", "x"}) {
    uint16_t port = FreePort(6);
    UseProductValues("POPPort=" + std::to_string(port) + "\r\n");
    CTernTcpServer pop("POP");
    TernServerCounts applied;
    ASSERT_TRUE(TernStartProtocolServer(pop, kTernPopProfile, "Ostrel",
                                        Settings({{"POPIncoming", value}}), &applied, "127.0.0.6"))
        << value;
    EXPECT_EQ(applied.workers, 5);
    EXPECT_EQ(pop.RunningCount(kTernWorkerThread), 5) << value;
    EXPECT_EQ(pop.RunningCount(kTernBackgroundThread), 0);
    EXPECT_EQ(pop.Port(), port);
  }
}

TEST_F(ServerStartTest, ReconfiguringAppliesTheNewCountsWithTheSameBounds) {
  uint16_t port = FreePort(6);
  UseProductValues("SMTPPort=" + std::to_string(port) + "\r\n");
  CTernTcpServer smtp("SMTP");
  ASSERT_TRUE(TernStartProtocolServer(smtp, kTernSmtpProfile, "Ostrel",
                                      Settings({{"SMTPIncoming", "2"}, {"SMTPOutgoing", "3"}}),
                                      nullptr, "127.0.0.6"));
  EXPECT_EQ(smtp.RunningCount(kTernBackgroundThread), 3);
  TernServerCounts applied;
  ASSERT_TRUE(TernReconfigureProtocolServer(
      smtp, kTernSmtpProfile, Settings({{"SMTPIncoming", "-1"}, {"SMTPOutgoing", "0"}}), &applied));
  EXPECT_EQ(applied.workers, 5);
  EXPECT_EQ(applied.background, 5);
  EXPECT_EQ(smtp.RunningCount(kTernWorkerThread), 5);
  EXPECT_EQ(smtp.RunningCount(kTernBackgroundThread), 5);
  EXPECT_EQ(smtp.LoadLimits().perClient, 20);
  // The load limits follow the settings as well.
  ASSERT_TRUE(TernReconfigureProtocolServer(
      smtp, kTernSmtpProfile, Settings({{"SMTPMaxIncoming", "9"}, {"MaxClientConnections", "4"}})));
  EXPECT_EQ(smtp.LoadLimits().ceiling, 9);
  EXPECT_EQ(smtp.LoadLimits().perClient, 4);
}

TEST_F(ServerStartTest, HttpOnATakenPortFallsBackToItsDefault) {
  CTernTcpEndpoint taken;
  uint16_t busy = ListenOnLoopback(taken, 7);
  CTernTcpEndpoint probe;
  if (!probe.Listen(CTernNetAddress("127.0.0.7", 8003))) GTEST_SKIP() << "port 8003 is in use here";
  probe.Close();
  m_Events.Clear();
  UseProductValues("HTTPPort=" + std::to_string(busy) + "\r\n");
  CTernTcpServer http("OstrelHTTP");
  ASSERT_TRUE(TernStartProtocolServer(http, kTernHttpProfile, "Ostrel", Settings({}), nullptr,
                                      "127.0.0.7"));
  EXPECT_EQ(http.Port(), 8003);
  EXPECT_TRUE(m_Events.Has(146));  // the first try
  // POP3 has no such retry.
  CTernTcpServer pop("POP");
  UseProductValues("POPPort=" + std::to_string(busy) + "\r\n");
  EXPECT_FALSE(TernStartProtocolServer(pop, kTernPopProfile, "Ostrel", Settings({}), nullptr,
                                       "127.0.0.7"));
}
