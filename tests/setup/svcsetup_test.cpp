// The installer library as the installer uses it: loaded with dlopen, its six
// functions looked up by name, driving the service manager with a private registry
// file and run directory and a small service program as the service.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "net/network_address.h"
#include "net/tcp_endpoint.h"
#include "platform/clock.h"
#include "platform/registry_file.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "tests/support/tempdir.h"

namespace {

using ServiceFunction = int (*)(void);

// The library and its exports.
struct Library {
  void* handle = nullptr;
  int (*InstallService)(const char*) = nullptr;
  ServiceFunction StopService = nullptr;
  ServiceFunction UninstallService = nullptr;
  int (*PortTaken)(int32_t) = nullptr;
  ServiceFunction UninstInitialize = nullptr;
  ServiceFunction UninstUnInitialize = nullptr;
};

template <typename F>
void Find(void* handle, const char* name, F& f) {
  f = reinterpret_cast<F>(dlsym(handle, name));
  ASSERT_NE(f, nullptr) << name;
}

// A private registry file with the product key, a private run directory and event
// log, shared with the library (which reads them from the environment) and with the
// service program it starts.
class SvcSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Registry = m_Dir.Write("registry", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\r\n");
    setenv("OSTREL_REGISTRY", m_Registry.c_str(), 1);
    setenv("OSTREL_RUNDIR", m_Dir.File("run").c_str(), 1);
    setenv("OSTREL_EVENTLOG", m_Dir.File("events.log").c_str(), 1);
    setenv("OSTREL_NOSYSLOG", "1", 1);
    unsetenv("OSTREL_TEST_SERVICE_MODE");
    unsetenv("OSTREL_SVCSETUP_STOP_WAITS");
    PlatformSetRegistryFile(m_Registry);
    // Kept mapped after dlclose: its process-wide objects stay reachable, as in an
    // installer that keeps the library until it exits.
    lib.handle = dlopen(OSTREL_SVCSETUP_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    Find(lib.handle, "InstallService", lib.InstallService);
    Find(lib.handle, "StopService", lib.StopService);
    Find(lib.handle, "UninstallService", lib.UninstallService);
    Find(lib.handle, "PortTaken", lib.PortTaken);
    Find(lib.handle, "UninstInitialize", lib.UninstInitialize);
    Find(lib.handle, "UninstUnInitialize", lib.UninstUnInitialize);
  }

  void TearDown() override {
    PlatformDeleteService("Ostrel");
    // A service program left running (the stubborn one, whose record is gone) is
    // ended by the pid it wrote, once it is sure to be that program.
    std::ifstream pidFile(m_Dir.File("run/Ostrel.pid"));
    long pid = 0;
    if (pidFile >> pid && pid > 0) {
      std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
      std::string program;
      std::getline(cmdline, program, '\0');
      if (program == OSTREL_TEST_SERVICE) kill(static_cast<pid_t>(pid), SIGKILL);
    }
    if (lib.handle) dlclose(lib.handle);
    PlatformSetRegistryFile("");
  }

  static uint32_t QueryState() {
    PlatformServiceStatus status;
    if (PlatformQueryServiceStatus("Ostrel", status) != 0) return kServiceStopped;
    return status.currentState;
  }

  static bool WaitForState(uint32_t state, int seconds = 10) {
    time_t end = PlatformNow() + seconds;
    while (QueryState() != state) {
      if (PlatformNow() > end) return false;
      PlatformSleepMs(20);
    }
    return true;
  }

  static std::string ImagePath() {
    std::string path;
    PlatformRegistryGetValue("SYSTEM\\CurrentControlSet\\Services\\Ostrel", "ImagePath", path);
    return path;
  }

  TempDir m_Dir;
  std::string m_Registry;
  Library lib;
};

}  // namespace

TEST_F(SvcSetup, AnEmptyPathReturns87AndChangesNothing) {
  std::string before = TempDir::Read(m_Registry);
  EXPECT_EQ(lib.InstallService(""), 87);
  EXPECT_EQ(lib.InstallService(nullptr), 87);
  EXPECT_EQ(TempDir::Read(m_Registry), before);
  EXPECT_EQ(PlatformOpenService("Ostrel"), kWinErrorServiceDoesNotExist);
}

TEST_F(SvcSetup, InstallRecordsAndStartsTheServiceAndStopStopsIt) {
  ASSERT_EQ(lib.InstallService(OSTREL_TEST_SERVICE), 0);
  EXPECT_EQ(ImagePath(), OSTREL_TEST_SERVICE);
  std::string start;
  PlatformRegistryGetValue("SYSTEM\\CurrentControlSet\\Services\\Ostrel", "Start", start);
  EXPECT_EQ(start, "2");
  ASSERT_TRUE(WaitForState(kServiceRunning));
  EXPECT_EQ(lib.StopService(), 0);
  EXPECT_EQ(QueryState(), kServiceStopped);
  EXPECT_EQ(PlatformOpenService("Ostrel"), 0);  // stopped, still installed
}

TEST_F(SvcSetup, InstallingOverAnExistingServiceReconfiguresAndStartsIt) {
  PlatformServiceConfig old;
  old.imagePath = m_Dir.File("old-program");
  old.displayName = "Old name";
  old.start = 3;  // on demand
  ASSERT_EQ(PlatformCreateService("Ostrel", old), 0);
  ASSERT_EQ(lib.InstallService(OSTREL_TEST_SERVICE), 0);
  EXPECT_EQ(ImagePath(), OSTREL_TEST_SERVICE);
  std::string display, start;
  PlatformRegistryGetValue("SYSTEM\\CurrentControlSet\\Services\\Ostrel", "DisplayName", display);
  PlatformRegistryGetValue("SYSTEM\\CurrentControlSet\\Services\\Ostrel", "Start", start);
  EXPECT_EQ(display, "Ostrel");
  EXPECT_EQ(start, "2");
  EXPECT_TRUE(WaitForState(kServiceRunning));
  EXPECT_EQ(lib.UninstallService(), 0);
  EXPECT_EQ(PlatformOpenService("Ostrel"), kWinErrorServiceDoesNotExist);
}

TEST_F(SvcSetup, StopServiceOfAMissingServiceReturns1060) {
  EXPECT_EQ(lib.StopService(), 1060);
  EXPECT_EQ(lib.UninstallService(), 1060);
  EXPECT_EQ(lib.UninstInitialize(), 0);  // whatever the removal gave
  EXPECT_EQ(lib.UninstUnInitialize(), 0);
}

TEST_F(SvcSetup, UninstallRemovesAServiceThatWillNotStop) {
  setenv("OSTREL_TEST_SERVICE_MODE", "stubborn", 1);
  setenv("OSTREL_SVCSETUP_STOP_WAITS", "2", 1);
  ASSERT_EQ(lib.InstallService(OSTREL_TEST_SERVICE), 0);
  ASSERT_TRUE(WaitForState(kServiceRunning));
  time_t start = PlatformNow();
  EXPECT_EQ(lib.UninstallService(), 0);
  EXPECT_LE(PlatformNow() - start, 6);  // gave up after the bounded waits
  EXPECT_EQ(PlatformOpenService("Ostrel"), kWinErrorServiceDoesNotExist);
}

TEST_F(SvcSetup, UninstallOfAStoppedServiceRemovesIt) {
  PlatformServiceConfig config;
  config.imagePath = OSTREL_TEST_SERVICE;
  ASSERT_EQ(PlatformCreateService("Ostrel", config), 0);
  EXPECT_EQ(lib.UninstInitialize(), 0);
  EXPECT_EQ(PlatformOpenService("Ostrel"), kWinErrorServiceDoesNotExist);
}

TEST_F(SvcSetup, PortTakenTellsAPortInUseFromAFreeOne) {
  CTernTcpEndpoint listener;
  uint32_t loopback = 0;
  ASSERT_TRUE(ParseDotted("127.0.0.1", loopback));
  ASSERT_TRUE(listener.Listen(CTernNetAddress(loopback, 0)));
  CTernNetAddress bound;
  ASSERT_TRUE(listener.LocalName(bound));
  EXPECT_EQ(lib.PortTaken(bound.Port()), 1);
  listener.Close();
  EXPECT_EQ(lib.PortTaken(bound.Port()), 0);
  // The test left nothing behind: the port can be listened on again.
  CTernTcpEndpoint again;
  EXPECT_TRUE(again.Listen(CTernNetAddress(loopback, bound.Port())));
  // Not TCP ports at all.
  EXPECT_EQ(lib.PortTaken(0), 1);
  EXPECT_EQ(lib.PortTaken(-1), 1);
  EXPECT_EQ(lib.PortTaken(65536 + 80), 1);
}
