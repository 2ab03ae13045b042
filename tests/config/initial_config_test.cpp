// A fresh installation's configuration files and the shipped vendor configuration:
// together they load without a single event and give every system setting a value.
#include <gtest/gtest.h>

#include <string>

#include "base/file_ops.h"
#include "config/configuration.h"
#include "config/initial_config.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

// data/vendor/vendor-config of this source tree.
std::string ShippedVendorConfig() {
  std::string here = __FILE__;
  for (int i = 0; i < 3; ++i) here = PathSplit(here).directory;
  return PathJoin(here, "data/vendor/vendor-config");
}

}  // namespace

TEST(InitialConfig, AFreshInstallationLoadsWithTheShippedDefaultsAndNoEvent) {
  TempDir dir;
  EventCapture events;
  InitialConfigFiles files{dir.File("shared-config"), dir.File("local-config"), "example.org",
                           "mail.example.org\x1c" "localhost"};
  InitialConfigOutcome outcome = WriteInitialConfiguration(files);
  ASSERT_TRUE(outcome.Ok());
  EXPECT_EQ(outcome.shared, InitialFileResult::kWritten);
  EXPECT_EQ(outcome.local, InitialFileResult::kWritten);
  EXPECT_FALSE(FileExists(files.sharedPath + "_new", false));

  Configuration config(files.sharedPath, files.localPath, ShippedVendorConfig());
  ASSERT_EQ(config.Load(true), 0);
  std::string v;
  EXPECT_EQ(config.GetValue('S', "", "Domain", v), 0);
  EXPECT_EQ(v, "example.org");
  EXPECT_EQ(config.GetValue('S', "", "OtherDomains", v), 0);
  EXPECT_EQ(v, "mail.example.org\x1c" "localhost");
  // The first administrator can log in and administer everything.
  EXPECT_EQ(config.GetBaseAttribute('U', kFirstAdministrator, "RealAcct", v), 0);
  EXPECT_EQ(v, "Administrator");
  EXPECT_EQ(config.GetBaseAttribute('U', kFirstAdministrator, "OstrelPerms", v), 0);
  EXPECT_EQ(v, "ADMGSR:CDGLSU");
  // The postmaster has mail, read with the administrator's account.
  EXPECT_EQ(config.GetBaseAttribute('U', kPostmasterUser, "RealAcct", v), 0);
  EXPECT_EQ(v, "Administrator");
  EXPECT_EQ(config.GetBaseAttribute('U', kPostmasterUser, "OstrelUser", v), 0);
  EXPECT_EQ(v, "1");
  // Every system setting the system reads has a value from the vendor file.
  for (const char* name :
       {"OstrelLogging", "SMTPIncoming", "SMTPOutgoing", "POPIncoming", "HTTPIncoming",
        "HTTPUseKeepAlives", "RelayHost", "AllowSMTP", "AllowPOP", "AllowOstrelUI", "AuthTimeout",
        "AutoLock", "AutoLockX", "AutoLockY", "FilterMode", "BlockedMIMETypes", "DictsToUse",
        "DDRThreshold", "OnForbidden", "Notify", "NotifyAddr", "CourtesyBounce", "MailQuota"})
    EXPECT_EQ(config.GetValue('S', "", name, v), 0) << name;
  config.GetValue('S', "", "OstrelLogging", v);
  EXPECT_EQ(v, "3");
  config.GetValue('S', "", "AllowOstrelUI", v);
  EXPECT_EQ(v, "1");

  // A save writes the installation's own values only.
  ASSERT_EQ(config.SetAttribute('S', "", "RelayHost", "[192.0.2.1]", true), 0);
  std::string shared = TempDir::Read(files.sharedPath);
  EXPECT_NE(shared.find("RelayHost=[192.0.2.1]"), std::string::npos) << shared;
  EXPECT_EQ(shared.find("SMTPIncoming"), std::string::npos) << shared;
  ASSERT_EQ(config.Load(true), 0);
  EXPECT_TRUE(events.Codes().empty());
}

TEST(InitialConfig, ExistingFilesAreNeverReplaced) {
  TempDir dir;
  EventCapture events;
  std::string shared = dir.Write("shared-config", "# 2 5\r\nDS,Domain=kept.example\r\n");
  InitialConfigFiles files{shared, dir.File("local-config"), "example.org", ""};
  InitialConfigOutcome outcome = WriteInitialConfiguration(files);
  EXPECT_EQ(outcome.shared, InitialFileResult::kKept);
  EXPECT_EQ(outcome.local, InitialFileResult::kWritten);
  EXPECT_EQ(TempDir::Read(shared), "# 2 5\r\nDS,Domain=kept.example\r\n");
  std::string local = TempDir::Read(files.localPath);
  EXPECT_EQ(local.substr(0, 4), "# 2 ");
  outcome = WriteInitialConfiguration(files);
  EXPECT_EQ(outcome.local, InitialFileResult::kKept);
  EXPECT_EQ(TempDir::Read(files.localPath), local);
  EXPECT_TRUE(events.Codes().empty());
}

TEST(InitialConfig, ADomainTheFilesCannotHoldWritesNothing) {
  TempDir dir;
  EventCapture events;
  InitialConfigFiles files{dir.File("shared-config"), dir.File("local-config"), "bad\ndomain", ""};
  InitialConfigOutcome outcome = WriteInitialConfiguration(files);
  EXPECT_FALSE(outcome.Ok());
  EXPECT_FALSE(FileExists(files.sharedPath, false));
  // A directory that does not exist fails with a report.
  files = {dir.File("none/shared-config"), dir.File("none/local-config"), "example.org", ""};
  outcome = WriteInitialConfiguration(files);
  EXPECT_EQ(outcome.shared, InitialFileResult::kFailed);
  EXPECT_FALSE(events.Codes().empty());
}
