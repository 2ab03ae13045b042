// The session table and the login throttle, on a frozen clock.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "web/web_login_throttle.h"
#include "web/web_session.h"

namespace {

constexpr time_t kStart = 1700000000;
using Check = WebSessionTable::CheckResult;

// A table whose users time out after a minute (a user named "long" after an hour).
WebSessionTable MakeTable() {
  return WebSessionTable([](const std::string& user, const std::string&) { return user == "long" ? 3600L : 60L; });
}

// A session logged in at `at` for user; its identifier.
std::string LoggedIn(WebSessionTable& table, const std::string& user, time_t at) {
  std::string waiting = table.NewWaiting(at);
  return table.LogIn(waiting, at, user, "192.0.2.1", at);
}

}  // namespace

TEST(WebSession, IdentifiersAreRandomHexAndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string id = WebNewSessionId();
    EXPECT_TRUE(WebValidSessionId(id)) << id;
    EXPECT_TRUE(seen.insert(id).second);
  }
  for (const char* bad : {"", "123", "0123456789abcdef0123456789abcdeg", "0123456789abcdef0123456789abcdef0"})
    EXPECT_FALSE(WebValidSessionId(bad)) << bad;
}

TEST(WebSession, LoginNeedsAFreshIssuedTimeAndMovesToANewIdentifier) {
  WebSessionTable table = MakeTable();
  std::string id = table.NewWaiting(kStart);
  WebSession s;
  EXPECT_EQ(table.Check(id, kStart, s), Check::Waiting);
  // issued must lie 0 to 10 seconds after the session's own issued time, and the
  // session be at most 10 minutes old.
  const struct {
    time_t issued, now;
    bool ok;
  } cases[] = {{kStart, kStart + 5, true},      {kStart + 10, kStart, true},
               {kStart + 11, kStart, false},    {kStart - 1, kStart, false},
               {kStart, kStart + 600, true},    {kStart, kStart + 601, false}};
  for (const auto& c : cases) EXPECT_EQ(table.MayLogIn(id, c.issued, c.now), c.ok) << c.issued - kStart;
  EXPECT_FALSE(table.MayLogIn("", kStart, kStart));
  std::string fresh = table.LogIn(id, kStart, "ann", "192.0.2.1", kStart + 1);
  ASSERT_TRUE(WebValidSessionId(fresh));
  EXPECT_NE(fresh, id);
  // The login page's identifier is spent: neither checked nor logged in again.
  EXPECT_EQ(table.Check(id, kStart + 1, s), Check::Unknown);
  EXPECT_EQ(table.LogIn(id, kStart, "ann", "192.0.2.1", kStart + 1), "");
  ASSERT_EQ(table.Check(fresh, kStart + 2, s), Check::LoggedIn);
  EXPECT_EQ(s.user, "ann");
  EXPECT_EQ(s.client, "192.0.2.1");
  EXPECT_EQ(s.uses, 2);
}

TEST(WebSession, ChecksTimeOutAfterTheUsersTimeoutSinceLastSeen) {
  WebSessionTable table = MakeTable();
  std::string id = LoggedIn(table, "ann", kStart);
  WebSession s;
  // Exactly the time-out keeps the session, and each check starts it afresh.
  EXPECT_EQ(table.Check(id, kStart + 60, s), Check::LoggedIn);
  EXPECT_EQ(table.Check(id, kStart + 120, s), Check::LoggedIn);
  EXPECT_EQ(table.Check(id, kStart + 181, s), Check::TimedOut);
  EXPECT_EQ(s.user, "ann");
  EXPECT_EQ(table.Check(id, kStart + 181, s), Check::Unknown);
  EXPECT_EQ(table.Count(), 0u);
  // Removal, whatever the state.
  std::string other = LoggedIn(table, "bob", kStart);
  WebSession removed;
  EXPECT_TRUE(table.Remove(other, &removed));
  EXPECT_EQ(removed.user, "bob");
  EXPECT_FALSE(table.Remove(other));
}

TEST(WebSession, WaitingSessionsAreCappedOldestFirst) {
  WebSessionTable table = MakeTable();
  std::string loggedIn = LoggedIn(table, "ann", kStart);
  std::string first = table.NewWaiting(kStart);
  for (size_t i = 1; i < kWebMaxWaiting + 5; ++i) table.NewWaiting(kStart + 1);
  EXPECT_EQ(table.Count(), kWebMaxWaiting + 1);
  WebSession s;
  EXPECT_EQ(table.Check(first, kStart + 1, s), Check::Unknown);
  // Logged-in sessions are never pushed out by login pages.
  EXPECT_EQ(table.Check(loggedIn, kStart + 1, s), Check::LoggedIn);
}

TEST(WebSession, PurgeRemovesIdleSessionsAtMostEveryFiveMinutes) {
  WebSessionTable table = MakeTable();
  std::string ann = LoggedIn(table, "ann", kStart);
  std::string longer = LoggedIn(table, "long", kStart);
  std::string waiting = table.NewWaiting(kStart);
  EXPECT_TRUE(table.Purge(kStart).empty());
  // Within 300 seconds of a purge nothing is looked at.
  EXPECT_TRUE(table.Purge(kStart + 299).empty());
  EXPECT_EQ(table.Count(), 3u);
  // After 1801 seconds: ann (1,800 s rule) and the waiting session (10 minutes) go;
  // "long" has an hour.
  std::vector<WebSession> gone = table.Purge(kStart + 1801);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].user, "ann");
  WebSession s;
  EXPECT_EQ(table.Check(waiting, kStart + 1801, s), Check::Unknown);
  EXPECT_EQ(table.Count(), 1u);
  gone = table.Purge(kStart + 3601 + 300);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].user, "long");
  EXPECT_EQ(table.Check(longer, kStart + 4000, s), Check::Unknown);
  (void)ann;
}

TEST(WebLoginThrottle, FiveFailuresInFiveMinutesThrottleThatClientOnly) {
  WebLoginThrottle throttle;
  for (int i = 0; i < kWebThrottleFailures - 1; ++i) throttle.Failed("192.0.2.1", kStart + i);
  EXPECT_FALSE(throttle.Throttled("192.0.2.1", kStart + 10));
  throttle.Failed("192.0.2.1", kStart + 10);
  EXPECT_TRUE(throttle.Throttled("192.0.2.1", kStart + 10));
  EXPECT_FALSE(throttle.Throttled("192.0.2.2", kStart + 10));
  // The first failure leaves the window after 300 seconds.
  EXPECT_TRUE(throttle.Throttled("192.0.2.1", kStart + 299));
  EXPECT_FALSE(throttle.Throttled("192.0.2.1", kStart + 300));
  // Many clients: the table stays bounded and a busy client is still known.
  for (size_t i = 0; i < kWebThrottleClients + 10; ++i) throttle.Failed("c" + std::to_string(i), kStart + 400);
  for (int i = 0; i < kWebThrottleFailures; ++i) throttle.Failed("busy", kStart + 401);
  EXPECT_TRUE(throttle.Throttled("busy", kStart + 401));
}
