// The automatic lock: distinct blocked messages counted within the period, the lock
// as the user's Default Event, the 50 slots, and the settings that keep it off.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/attribute_table.h"
#include "config/autolock.h"
#include "config/effective_settings.h"
#include "tests/config/settings_fixture.h"

namespace {

const char kLockOn[] = "DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=10\r\nDUjo,\r\n";

std::string Id(int n) { return "M" + std::to_string(10000000 + n); }

}  // namespace

class AutoLock : public SettingsFixture {
 protected:
  void SetUp() override { PlatformSetTime(Local(2024, 3, 5, 10, 0, 0)); }

  AutoLockTracker m_Tracker{[this](const std::string& user) { m_Locked.push_back(user); }};
  std::vector<std::string> m_Locked;
};

TEST_F(AutoLock, ThirdDistinctMessageWithinThePeriodLocks) {
  PlatformSetTime(Local(2024, 3, 5, 7, 0, 0));  // before the daily event's hours
  LoadConfig(kLockOn, "SUjo,When=12345,Start=90000,End=170000,Date=0,Repeat=1,FilterMode=2\r\n");
  ASSERT_TRUE(AllowPOP("", "jo"));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(1)));
  PlatformAdvance(4 * 60);
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("Jo Bloggs <jo@example.org>", Id(2)));
  PlatformAdvance(5 * 60 + 59);
  EXPECT_TRUE(m_Tracker.RecordBlockedMessage("jo", Id(3)));
  EXPECT_EQ(m_Locked, std::vector<std::string>{"jo"});

  AttributeTable lock;
  ASSERT_EQ(Config().GetEventSettings('U', "jo", "D0000000000000", lock), 0);
  std::string v;
  EXPECT_TRUE(lock.Get("AllowPOP", v) && v == "0");
  EXPECT_TRUE(lock.Get("AllowSMTP", v) && v == "0");
  EXPECT_TRUE(lock.Get("AllowOstrelUI", v) && v == "0");
  EXPECT_TRUE(lock.Get("AutoLockX", v) && v == "3");  // settings in force are frozen on the user
  EXPECT_FALSE(AllowPOP("", "jo"));
  EXPECT_FALSE(AllowSMTP("", "jo"));
  EXPECT_FALSE(AllowOstrelUI("", "jo"));
  // The daily event is still there, and the lock was saved.
  CTernList<CTernString> keys;
  Config().EventKeys('U', "jo", keys);
  EXPECT_EQ(keys.Count(), 2u);
  ASSERT_EQ(Config().Load(true), 0);
  ASSERT_EQ(Config().GetEventSettings('U', "jo", "D0000000000000", lock), 0);
  EXPECT_FALSE(AllowPOP("", "jo"));
}

TEST_F(AutoLock, OneMessageBlockedForSeveralRecipientsCountsOnce) {
  LoadConfig(kLockOn);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(1)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(2)));
  EXPECT_TRUE(m_Locked.empty());
  EXPECT_TRUE(AllowPOP("", "jo"));
}

TEST_F(AutoLock, MessagesOlderThanThePeriodDoNotCount) {
  LoadConfig(kLockOn);
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(1)));
  PlatformAdvance(5 * 60);
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(2)));
  PlatformAdvance(5 * 60);  // the first is now exactly 10 minutes old
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(3)));
  EXPECT_TRUE(AllowPOP("", "jo"));
  PlatformAdvance(1);
  EXPECT_TRUE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(4)));
}

TEST_F(AutoLock, SettingsThatKeepTheLockOff) {
  const char* systems[] = {
      "DS,Domain=example.org,AutoLock=1,AutoLockX=0,AutoLockY=10\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLock=0,AutoLockX=3,AutoLockY=10\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLockX=3,AutoLockY=10\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLock=1,AutoLockX=3\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=-5\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLock=1,AutoLockX=51,AutoLockY=10\r\nDUjo,\r\n",
      "DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=10\r\nDUjo,AutoLock=0\r\n",
  };
  for (const char* system : systems) {
    LoadConfig(system);
    AutoLockTracker tracker;
    for (int i = 0; i < 60; ++i) EXPECT_FALSE(tracker.RecordBlockedMessage("jo@example.org", Id(i))) << system;
    EXPECT_TRUE(AllowPOP("", "jo")) << system;
  }
}

TEST_F(AutoLock, OnlyLocalSendersWithAUserObjectAreCounted) {
  LoadConfig(std::string(kLockOn) + "DUann,\r\n");
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.net", Id(i)));
    EXPECT_FALSE(m_Tracker.RecordBlockedMessage("nobody@example.org", Id(i)));
    EXPECT_FALSE(m_Tracker.RecordBlockedMessage("<>", Id(i)));
    EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@", Id(i)));
  }
  // Each user has a record of their own.
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(1)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("ann@example.org", Id(2)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(3)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("ann@example.org", Id(4)));
  EXPECT_TRUE(m_Locked.empty());
}

TEST_F(AutoLock, TheUserNameIsMatchedWithoutRegardToCase) {
  LoadConfig("DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=10\r\nDUJo,\r\n");
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo@example.org", Id(1)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("JO@example.org", Id(2)));
  EXPECT_TRUE(m_Tracker.RecordBlockedMessage("Jo@EXAMPLE.org", Id(3)));
  EXPECT_EQ(m_Locked, std::vector<std::string>{"Jo"});
  EXPECT_FALSE(AllowPOP("", "jo"));
}

TEST_F(AutoLock, The51stMessageOverwritesTheOldestSlot) {
  LoadConfig("DS,Domain=example.org,AutoLock=1,AutoLockX=50,AutoLockY=10\r\nDUjo,\r\n");
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(0)));
  PlatformAdvance(11 * 60);  // message 0 is out of the period, but still in its slot
  for (int i = 1; i < 50; ++i) EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(i)));
  // Blocked again, message 0 is still known: nothing new is counted.
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(0)));
  // The 51st distinct message takes the slot of message 0: 50 within the period.
  EXPECT_TRUE(m_Tracker.RecordBlockedMessage("jo", Id(50)));
}

TEST_F(AutoLock, EmptySlotsNeverCountEvenForAVeryLongPeriod) {
  LoadConfig("DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=99999999999999\r\nDUjo,\r\n");
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(1)));
  EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(2)));
  EXPECT_TRUE(m_Tracker.RecordBlockedMessage("jo", Id(3)));
}

TEST_F(AutoLock, ALockReplacesADefaultEventOfAnyTimes) {
  LoadConfig(kLockOn, "SUjo,When=D,Start=80000,End=170000,Date=0,Repeat=1,FilterMode=3\r\n");
  for (int i = 1; i <= 3; ++i) m_Tracker.RecordBlockedMessage("jo", Id(i));
  ASSERT_EQ(m_Locked.size(), 1u);
  CTernList<CTernString> keys;
  Config().EventKeys('U', "jo", keys);
  ASSERT_EQ(keys.Count(), 1u);
  EXPECT_EQ(keys.ItemAt(0).Str(), "D0000000000000");
  EXPECT_EQ([] { std::string v; GetEffectiveValue("", "jo", "FilterMode", v); return v; }(), "3");
  EXPECT_FALSE(AllowPOP("", "jo"));
}

TEST_F(AutoLock, AFailedLockIsNotReported) {
  LoadConfig(kLockOn);
  Config().Load(true);
  // A damaged shared file fails the next load: saves are refused from then on.
  WriteShared("DS,Domain=example.org,AutoLock=1,AutoLockX=3,AutoLockY=10\r\nDUjo,\r\nbroken\r\n");
  PlatformAdvance(2);
  ASSERT_NE(Config().Load(true), 0);
  for (int i = 1; i <= 3; ++i) EXPECT_FALSE(m_Tracker.RecordBlockedMessage("jo", Id(i)));
  EXPECT_TRUE(m_Locked.empty());
  EXPECT_TRUE(m_Events.Has(28));
}

TEST_F(AutoLock, TheProcessWideTrackerIsOptional) {
  LoadConfig(kLockOn);
  ASSERT_EQ(AutoLockTracker::Process(), nullptr);
  EXPECT_FALSE(RecordBlockedMessage("jo", Id(1)));
  AutoLockTracker::SetProcess(&m_Tracker);
  for (int i = 1; i <= 2; ++i) EXPECT_FALSE(RecordBlockedMessage("jo", Id(i)));
  EXPECT_TRUE(RecordBlockedMessage("jo", Id(3)));
  AutoLockTracker::SetProcess(nullptr);
}
