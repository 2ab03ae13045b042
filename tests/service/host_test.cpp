// The installation's directories read at start, with their defaults.
#include <gtest/gtest.h>

#include "platform/registry_file.h"
#include "service/host.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

TEST(HostPaths, EveryDirectoryTakesItsDefaultWithoutRegistryValues) {
  TempDir dir;
  EventCapture events;
  PlatformSetRegistryFile(dir.File("registry"));  // no such file: an empty registry
  COstrelPaths p = OstrelReadPaths();
  std::string def = OstrelDefaultDir();
  EXPECT_EQ(p.mailDir, def);
  EXPECT_EQ(p.boxDir, def);
  EXPECT_EQ(p.localDir, def);
  EXPECT_EQ(p.logDir, def);
  EXPECT_EQ(p.sharedConfigFile, def + "/shared-config");
  EXPECT_EQ(p.installDir, OstrelDataDir());
  EXPECT_EQ(p.localConfigFile, def + "/local-config");
  EXPECT_EQ(p.vendorConfigFile, OstrelDataDir() + "/vendor/vendor-config");
  EXPECT_EQ(p.listsFile, def + "/lists");
  // Defaults are not failures: nothing is reported.
  EXPECT_TRUE(events.Codes().empty());
  PlatformSetRegistryFile("");
}

TEST(HostPaths, ValuesUnderTheProductKeyAreUsed) {
  TempDir dir;
  PlatformSetRegistryFile(dir.Write("registry",
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin]\n"
                                    "SharedConfigFile=/srv/shared\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\n"
                                    "maildir=/srv/mail\n"
                                    "InstallDir=/opt/ostrel\n"));
  COstrelPaths p = OstrelReadPaths();
  EXPECT_EQ(p.mailDir, "/srv/mail");
  EXPECT_EQ(p.sharedConfigFile, "/srv/shared");
  EXPECT_EQ(p.templatesDir, "/opt/ostrel/html");
  EXPECT_EQ(p.vendorDictionaries, "/opt/ostrel/vendor/dictionaries");
  EXPECT_EQ(p.boxDir, OstrelDefaultDir());
  PlatformSetRegistryFile("");
}
