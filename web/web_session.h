// The web sessions: which browser is logged in as which user. A session is made,
// waiting, when a login page goes out (its identifier travels in the cookie
// "Ostrel"), is logged in by a successful login under a new identifier, stays alive
// through each check within its user's time-out, and ends at logoff, at a check
// after the time-out, or when a purge finds it idle. Sessions live in memory only.
//
// An identifier is 128 bits from the system's random source as 32 hex digits, so it
// can be neither guessed nor chosen by a client: a login never keeps the identifier
// its login page carried. Waiting sessions are few (kWebMaxWaiting, the oldest go
// first) and last kWebWaitingLifetime seconds.
//
// One table per process, shared by the HTTP workers; every operation takes the
// table's lock. The time-out function is called under it (it may read the
// configuration, which never calls back here).
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/lock.h"

// The cookie that carries the session identifier.
inline constexpr char kWebCookieName[] = "Ostrel";
// Seconds a waiting session (a login page not yet answered) lives.
inline constexpr long kWebWaitingLifetime = 600;
// Waiting sessions held at most (a few MB); a new one beyond pushes out the oldest.
inline constexpr size_t kWebMaxWaiting = 10000;
// The login form must come back within this many seconds of the `issued` time the
// session's login page carried.
inline constexpr long kWebIssuedWindow = 10;
// A purge runs at most this often, and removes logged-in sessions idle for the
// larger of this many seconds and their user's time-out.
inline constexpr long kWebPurgeInterval = 300;
inline constexpr long kWebPurgeIdle = 1800;

struct WebSession {
  std::string client;   // the address the login came from
  std::string user;     // the configuration user logged in
  time_t issued = 0;    // when its login page went out; 0 once logged in
  time_t lastSeen = 0;  // made, logged in, or last checked
  long uses = 0;        // logins and successful checks
};

// A new identifier: 32 lower-case hex digits of 128 random bits. Empty when the
// random source fails.
std::string WebNewSessionId();
// Whether text has the form of an identifier (32 hex digits).
bool WebValidSessionId(const std::string& text);

class WebSessionTable {
 public:
  // The time-out of a user's session at a client, in seconds.
  using Timeout = std::function<long(const std::string& user, const std::string& client)>;

  explicit WebSessionTable(Timeout timeout) : m_Timeout(std::move(timeout)) {}
  WebSessionTable(const WebSessionTable&) = delete;
  WebSessionTable& operator=(const WebSessionTable&) = delete;

  // Makes a waiting session issued now; its identifier, or empty when none could
  // be made (the random source failed).
  std::string NewWaiting(time_t now);

  enum class CheckResult { LoggedIn, Unknown, Waiting, TimedOut };
  // Checks a session: LoggedIn (its last-seen time becomes now, its use count
  // grows, and session receives a copy) while now is at most the user's time-out
  // after it was last seen; TimedOut when later (the session is removed and
  // session receives what it was, for the logoff record); Unknown for an
  // identifier the table does not have; Waiting before its login.
  CheckResult Check(const std::string& id, time_t now, WebSession& session);

  // Whether a login form carrying issued may log in the session id: the session is
  // waiting, younger than kWebWaitingLifetime, and issued lies 0 to
  // kWebIssuedWindow seconds after the session's issued time.
  bool MayLogIn(const std::string& id, time_t issued, time_t now);
  // Logs the waiting session id in (MayLogIn must still hold): it is moved to a
  // new identifier, records user and client, and counts a use. The new
  // identifier, or empty when the session is gone or no identifier could be made.
  std::string LogIn(const std::string& id, time_t issued, const std::string& user,
                    const std::string& client, time_t now);

  // Removes a session; false when there was none. removed receives it when given.
  bool Remove(const std::string& id, WebSession* removed = nullptr);

  // At most once every kWebPurgeInterval seconds: removes waiting sessions past
  // their lifetime and logged-in sessions idle for longer than the larger of
  // kWebPurgeIdle and their time-out. The logged-in sessions removed (for their
  // logoff records).
  std::vector<WebSession> Purge(time_t now);

  // Sessions held (waiting and logged in).
  size_t Count() const;

 private:
  // A fresh identifier not in the table; empty when the random source fails.
  // REQUIRES: m_Lock held.
  std::string UniqueIdLocked() const;
  bool MayLogInLocked(const std::string& id, time_t issued, time_t now) const;
  void DropOldestWaitingLocked();

  const Timeout m_Timeout;
  mutable CTernLock m_Lock;  // guards everything below
  std::map<std::string, WebSession> m_Sessions;
  size_t m_Waiting = 0;  // sessions whose issued time is not 0
  time_t m_LastPurge = 0;
};
