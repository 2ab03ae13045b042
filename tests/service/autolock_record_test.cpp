// The activity record of an automatic lock, as the started program writes it: a
// tracker reporting through the host's writer puts one line in today's log.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "config/autolock.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "platform/clock.h"
#include "log/activity_log.h"
#include "service/host.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

TEST(AutoLockRecord, ALockWritesRealmActionAndUser) {
  TempDir dir;
  EventCapture events;
  CTernActivityLog::Configure(dir.Path(), "OstrelLogging");
  CTernActivityLog::Reopen();
  CTernActivityLog::SetSettingReader(nullptr);
  PlatformSetTime(1700000000);
  dir.Write("shared", "# 2 0\r\nDS,Domain=example.org,AutoLock=1,AutoLockX=2,AutoLockY=10\r\nDUJo,\r\n");
  dir.Write("local", "# 2 0\r\n");
  dir.Write("vendor", "# 2 0\r\n");
  auto config = std::make_unique<Configuration>(dir.File("shared"), dir.File("local"), dir.File("vendor"));
  ASSERT_EQ(config->Load(true), 0);
  Configuration::SetProcess(config.get());
  InstallLocalDomains(config.get());

  AutoLockTracker tracker(OstrelWriteAutoLockRecord);
  EXPECT_FALSE(tracker.RecordBlockedMessage("jo@example.org", "M1"));
  EXPECT_TRUE(tracker.RecordBlockedMessage("jo@example.org", "M2"));

  long date = TernDateNumber(PlatformNow());
  CTernActivityReader reader(dir.Path(), date, 0, date, 235959, {}, {}, {}, {});
  long d = 0, t = 0;
  CTernActivityRecord record;
  ASSERT_TRUE(reader.First(d, t, record));
  std::string value;
  EXPECT_TRUE(record.Get(kActRealm, value) && value == std::to_string(kRealmAdministration));
  EXPECT_TRUE(record.Get(kActAction, value) && value == std::to_string(kActionAutoLocked));
  EXPECT_TRUE(record.Get(kActUser, value) && value == "Jo");
  EXPECT_FALSE(reader.Next(d, t, record));

  InstallLocalDomains(nullptr);
  Configuration::SetProcess(nullptr);
  CTernActivityLog::Close();
  CTernActivityLog::Configure("", "");
  CTernActivityLog::Reopen();
  PlatformClearTime();
}
