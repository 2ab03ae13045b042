// Test helper for the settings in force, the automatic lock and the local domains:
// a real configuration loaded from files in a fresh directory, installed as the
// process-wide configuration and as the source of the local domains for the life
// of the test; the clock is returned to real time afterwards.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "config/configuration.h"
#include "config/effective_settings.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

class SettingsFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    m_Config.reset();
    PlatformClearTime();
  }

  // Writes the shared and local files (the header line is added) and an empty
  // vendor file, then loads them.
  void LoadConfig(const std::string& shared, const std::string& local = "") {
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    m_Config.reset();
    WriteShared(shared);
    m_Dir.Write("local-config", "# 2 0\r\n" + local);
    m_Dir.Write("vendor-config", "# 2 0\r\n");
    m_Config = std::make_unique<Configuration>(m_Dir.File("shared-config"),
                                               m_Dir.File("local-config"),
                                               m_Dir.File("vendor-config"));
    ASSERT_EQ(m_Config->Load(true), 0) << EventTexts();
    Configuration::SetProcess(m_Config.get());
    InstallLocalDomains(m_Config.get());
  }

  // The events written so far, one a line, for failure messages.
  std::string EventTexts() const {
    std::string texts;
    for (const PlatformEventLine& e : m_Events.Events()) texts += std::to_string(e.code) + " " + e.text + "\n";
    return texts;
  }

  // Replaces the shared file as another process would.
  void WriteShared(const std::string& shared) { m_Dir.Write("shared-config", "# 2 0\r\n" + shared); }

  // A moment in local time.
  static time_t Local(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
  }

  Configuration& Config() { return *m_Config; }

  TempDir m_Dir;
  EventCapture m_Events;
  std::unique_ptr<Configuration> m_Config;
};
