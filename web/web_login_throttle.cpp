// The login throttle: recent failures per client address.
#include "web/web_login_throttle.h"

void WebLoginThrottle::Age(std::deque<time_t>& failures, time_t now) {
  while (!failures.empty() && now - failures.front() >= kWebThrottleWindow) failures.pop_front();
}

bool WebLoginThrottle::Throttled(const std::string& client, time_t now) {
  CTernLockGuard guard(m_Lock);
  auto it = m_Failures.find(client);
  if (it == m_Failures.end()) return false;
  Age(it->second, now);
  return it->second.size() >= static_cast<size_t>(kWebThrottleFailures);
}

void WebLoginThrottle::MakeRoomLocked(time_t now) {
  for (auto it = m_Failures.begin(); it != m_Failures.end();) {
    Age(it->second, now);
    it = it->second.empty() ? m_Failures.erase(it) : std::next(it);
  }
  while (m_Failures.size() >= kWebThrottleClients) {
    auto quietest = m_Failures.begin();
    for (auto it = m_Failures.begin(); it != m_Failures.end(); ++it)
      if (it->second.back() < quietest->second.back()) quietest = it;
    m_Failures.erase(quietest);
  }
}

void WebLoginThrottle::Failed(const std::string& client, time_t now) {
  CTernLockGuard guard(m_Lock);
  if (!m_Failures.count(client) && m_Failures.size() >= kWebThrottleClients) MakeRoomLocked(now);
  std::deque<time_t>& failures = m_Failures[client];
  Age(failures, now);
  failures.push_back(now);
  // More than the limit tells nothing new.
  if (failures.size() > static_cast<size_t>(kWebThrottleFailures)) failures.pop_front();
}
