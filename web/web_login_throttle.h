// Slows down password guessing: a client address that failed kWebThrottleFailures
// logins within kWebThrottleWindow seconds has each further login attempt held
// back before its password is looked at, whatever the outcome, so that the delay
// tells nothing about the password either.
//
// The table remembers at most kWebThrottleClients addresses (those whose failures
// are all old go first, then the quietest). Safe from any thread.
#pragma once

#include <ctime>
#include <deque>
#include <map>
#include <string>

#include "base/lock.h"

inline constexpr int kWebThrottleFailures = 5;
inline constexpr long kWebThrottleWindow = 300;
inline constexpr size_t kWebThrottleClients = 10000;

class WebLoginThrottle {
 public:
  WebLoginThrottle() = default;
  WebLoginThrottle(const WebLoginThrottle&) = delete;
  WebLoginThrottle& operator=(const WebLoginThrottle&) = delete;

  // Whether the client's next attempt is to be held back.
  bool Throttled(const std::string& client, time_t now);
  // Notes a failed login of client.
  void Failed(const std::string& client, time_t now);

 private:
  // Forgets failures older than the window. REQUIRES: m_Lock held.
  static void Age(std::deque<time_t>& failures, time_t now);
  void MakeRoomLocked(time_t now);

  CTernLock m_Lock;  // guards m_Failures
  std::map<std::string, std::deque<time_t>> m_Failures;  // by client, oldest first
};
