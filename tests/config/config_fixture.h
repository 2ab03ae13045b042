// Test helper for the configuration store: the three configuration files in a fresh
// directory, a store over them, captured events, and a clock frozen at a known
// Wednesday noon (local time) for the life of the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/configuration.h"
#include "config/schedule_event.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

class ConfigFixture : public ::testing::Test {
 protected:
  // Wednesday 12 June 2024, 12:00:00 local time.
  static time_t Noon() { return EventLocalMoment(20240612, 120000); }

  void SetUp() override { PlatformSetTime(Noon()); }
  void TearDown() override {
    m_Config.reset();
    PlatformClearTime();
  }

  // Writes the three files; each gets the header line "# 2 0" unless raw.
  void WriteFiles(const std::string& shared, const std::string& local = "",
                  const std::string& vendor = "", bool raw = false) {
    std::string header = raw ? "" : "# 2 0\r\n";
    m_Dir.Write("shared-config", header + shared);
    m_Dir.Write("local-config", header + local);
    m_Dir.Write("vendor-config", header + vendor);
  }

  // A new store over the files (not loaded).
  Configuration& Make() {
    m_Config = std::make_unique<Configuration>(SharedPath(), LocalPath(), VendorPath());
    return *m_Config;
  }
  // A new store, loaded; the load must succeed.
  Configuration& Loaded() {
    Make();
    EXPECT_EQ(m_Config->Load(true), 0) << EventTexts();
    return *m_Config;
  }

  std::string SharedPath() const { return m_Dir.File("shared-config"); }
  std::string LocalPath() const { return m_Dir.File("local-config"); }
  std::string VendorPath() const { return m_Dir.File("vendor-config"); }
  std::string Shared() const { return TempDir::Read(SharedPath()); }
  std::string Local() const { return TempDir::Read(LocalPath()); }

  // The events so far, one a line, for failure messages.
  std::string EventTexts() const {
    std::string texts;
    for (const PlatformEventLine& e : m_Events.Events())
      texts += std::to_string(e.code) + " " + e.text + "\n";
    return texts;
  }

  TempDir m_Dir;
  EventCapture m_Events;
  std::unique_ptr<Configuration> m_Config;
};
