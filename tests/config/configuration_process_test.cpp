// Two processes that change one configuration at once: neither change is lost, and
// each sees the other's at its next check.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/clock.h"
#include "tests/config/config_fixture.h"

namespace {

constexpr int kChangesPerProcess = 10;

// In a child: makes its changes through a store of its own, each saved at once.
// Returns the exit status: 0 when every change succeeded.
int MakeChanges(const std::string& shared, const std::string& local, const std::string& vendor, int id) {
  Configuration config(shared, local, vendor);
  if (config.Load(true) != 0) return 10;
  std::string counter = "Counter" + std::to_string(id);
  for (int i = 0; i < kChangesPerProcess; ++i) {
    std::string user = "p" + std::to_string(id) + "u" + std::to_string(i);
    if (config.CreateObject('U', user) != 0) return 20;
    if (config.SetAttribute('U', user, "Cast", "Team" + std::to_string(id), true) != 0) return 30;
    if (config.SetAttribute('S', "", counter, std::to_string(i + 1), true) != 0) return 40;
    std::string event = "When=" + std::to_string(i % 7) + ",Date=0,Start=" + std::to_string(id * 10) +
                        ",End=" + std::to_string(id * 10 + 5) + ",Repeat=1";
    if (config.ReplaceEvent('U', user, "", event) != 0) return 50;
  }
  return 0;
}

pid_t Spawn(const std::string& shared, const std::string& local, const std::string& vendor, int id) {
  pid_t pid = fork();
  if (pid == 0) _exit(MakeChanges(shared, local, vendor, id));
  return pid;
}

}  // namespace

class ConfigProcessTest : public ConfigFixture {};

TEST_F(ConfigProcessTest, TwoProcessesChangingAtOnceLoseNothing) {
  PlatformClearTime();  // both processes on the real clock, as in service
  WriteFiles("DS,\r\n");
  std::vector<pid_t> children = {Spawn(SharedPath(), LocalPath(), VendorPath(), 1),
                                 Spawn(SharedPath(), LocalPath(), VendorPath(), 2)};
  for (pid_t pid : children) {
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  Configuration& c = Loaded();
  for (int id : {1, 2}) {
    std::string v;
    EXPECT_EQ(c.GetBaseAttribute('S', "", "Counter" + std::to_string(id), v), 0);
    EXPECT_EQ(v, std::to_string(kChangesPerProcess));
    for (int i = 0; i < kChangesPerProcess; ++i) {
      std::string user = "p" + std::to_string(id) + "u" + std::to_string(i);
      EXPECT_EQ(c.GetBaseAttribute('U', user, "Cast", v), 0) << user;
      EXPECT_EQ(v, "Team" + std::to_string(id)) << user;
      CTernList<CTernString> keys;
      c.EventKeys('U', user, keys);
      EXPECT_EQ(keys.Count(), 1u) << user;
    }
  }
  EXPECT_TRUE(m_Events.Codes().empty()) << EventTexts();
}

TEST_F(ConfigProcessTest, AChangeByAnotherProcessIsSeenAfterTheCheck) {
  WriteFiles("DS,\r\n");
  Configuration& c = Loaded();
  EXPECT_EQ(c.ObjectExists('U', "p7u0"), 0);
  pid_t pid = Spawn(SharedPath(), LocalPath(), VendorPath(), 7);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(c.ObjectExists('U', "p7u0"), 0);
  PlatformAdvance(kConfigCheckInterval);
  EXPECT_EQ(c.ObjectExists('U', "p7u0"), 1);
  EXPECT_EQ(c.ObjectExists('U', "p7u9"), 1);
}
