// The session table: identifiers, waiting and logged-in sessions, checks and purge.
#include "web/web_session.h"

#include <algorithm>
#include <cstdint>

#include "base/hex.h"
#include "platform/random.h"

namespace {

constexpr size_t kIdBytes = 16;

bool IsWaiting(const WebSession& s) { return s.issued != 0; }

}  // namespace

std::string WebNewSessionId() {
  uint8_t bytes[kIdBytes];
  if (!PlatformRandomBytes(bytes, sizeof bytes)) return "";
  return TernHexLower(bytes, sizeof bytes);
}

bool WebValidSessionId(const std::string& text) {
  return text.size() == 2 * kIdBytes &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string WebSessionTable::UniqueIdLocked() const {
  for (;;) {
    std::string id = WebNewSessionId();
    if (id.empty() || !m_Sessions.count(id)) return id;
  }
}

void WebSessionTable::DropOldestWaitingLocked() {
  auto oldest = m_Sessions.end();
  for (auto it = m_Sessions.begin(); it != m_Sessions.end(); ++it)
    if (IsWaiting(it->second) && (oldest == m_Sessions.end() || it->second.issued < oldest->second.issued))
      oldest = it;
  if (oldest == m_Sessions.end()) return;
  m_Sessions.erase(oldest);
  --m_Waiting;
}

std::string WebSessionTable::NewWaiting(time_t now) {
  CTernLockGuard guard(m_Lock);
  std::string id = UniqueIdLocked();
  if (id.empty()) return id;
  while (m_Waiting >= kWebMaxWaiting) DropOldestWaitingLocked();
  WebSession& s = m_Sessions[id];
  // A session made at the epoch itself would not count as waiting.
  s.issued = std::max<time_t>(now, 1);
  s.lastSeen = now;
  ++m_Waiting;
  return id;
}

WebSessionTable::CheckResult WebSessionTable::Check(const std::string& id, time_t now,
                                                    WebSession& session) {
  CTernLockGuard guard(m_Lock);
  auto it = m_Sessions.find(id);
  if (id.empty() || it == m_Sessions.end()) return CheckResult::Unknown;
  WebSession& s = it->second;
  if (IsWaiting(s)) return CheckResult::Waiting;
  if (now - s.lastSeen > m_Timeout(s.user, s.client)) {
    session = s;
    m_Sessions.erase(it);
    return CheckResult::TimedOut;
  }
  s.lastSeen = now;
  ++s.uses;
  session = s;
  return CheckResult::LoggedIn;
}

bool WebSessionTable::MayLogInLocked(const std::string& id, time_t issued, time_t now) const {
  auto it = m_Sessions.find(id);
  if (id.empty() || it == m_Sessions.end() || !IsWaiting(it->second)) return false;
  const WebSession& s = it->second;
  return now - s.issued <= kWebWaitingLifetime && issued - s.issued >= 0 &&
         issued - s.issued <= kWebIssuedWindow;
}

bool WebSessionTable::MayLogIn(const std::string& id, time_t issued, time_t now) {
  CTernLockGuard guard(m_Lock);
  return MayLogInLocked(id, issued, now);
}

std::string WebSessionTable::LogIn(const std::string& id, time_t issued, const std::string& user,
                                   const std::string& client, time_t now) {
  CTernLockGuard guard(m_Lock);
  // Another request may have logged the session in since MayLogIn answered.
  if (!MayLogInLocked(id, issued, now)) return "";
  std::string fresh = UniqueIdLocked();
  if (fresh.empty()) return "";
  m_Sessions.erase(id);
  --m_Waiting;
  WebSession& s = m_Sessions[fresh];
  s.user = user;
  s.client = client;
  s.lastSeen = now;
  s.uses = 1;
  return fresh;
}

bool WebSessionTable::Remove(const std::string& id, WebSession* removed) {
  CTernLockGuard guard(m_Lock);
  auto it = m_Sessions.find(id);
  if (it == m_Sessions.end()) return false;
  if (removed) *removed = it->second;
  if (IsWaiting(it->second)) --m_Waiting;
  m_Sessions.erase(it);
  return true;
}

std::vector<WebSession> WebSessionTable::Purge(time_t now) {
  std::vector<WebSession> loggedOff;
  CTernLockGuard guard(m_Lock);
  if (m_LastPurge != 0 && now - m_LastPurge < kWebPurgeInterval) return loggedOff;
  m_LastPurge = now;
  for (auto it = m_Sessions.begin(); it != m_Sessions.end();) {
    const WebSession& s = it->second;
    bool expired;
    if (IsWaiting(s)) {
      expired = now - s.issued > kWebWaitingLifetime;
    } else {
      expired = now - s.lastSeen > std::max(kWebPurgeIdle, m_Timeout(s.user, s.client));
      if (expired) loggedOff.push_back(s);
    }
    if (!expired) {
      ++it;
      continue;
    }
    if (IsWaiting(s)) --m_Waiting;
    it = m_Sessions.erase(it);
  }
  return loggedOff;
}

size_t WebSessionTable::Count() const {
  CTernLockGuard guard(m_Lock);
  return m_Sessions.size();
}
