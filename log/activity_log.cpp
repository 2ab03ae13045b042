// Activity log writer, day-file roll-over with retention, and the reader.
#include "log/activity_log.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "base/directory.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/number.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace {

constexpr long kDefaultRetention = 3;
constexpr long kSecondsPerRetentionUnit = 2678400;  // 31 days

struct LogState {
  CTernLock lock;
  std::string logDir;
  std::string retentionSetting;
  CTernActivityLog::SettingReader reader;
  std::unique_ptr<CTernDiskFile> file;
  long fileDate = 0;
  long retention = kDefaultRetention;
  bool closed = false;
};

LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

// True when text has a comma that is not between double quotes.
bool HasBareComma(const std::string& text) {
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) return true;
  }
  return false;
}

// Splits at commas outside double quotes.
std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> parts;
  std::string part;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string LogPath(const std::string& dir, long date) {
  return PathJoin(dir, "kslog" + std::to_string(date));
}

// Removes day files whose modification time is before the cut-off.
void RemoveOldFiles(const std::string& dir, time_t cutoff) {
  CTernDirectory listing;
  if (!listing.Read(dir)) return;
  for (int i = listing.Count() - 1; i >= 0; --i) {
    std::string name = listing.Entry(i);
    if (strncasecmp(name.c_str(), "kslog", 5) != 0) continue;
    std::string path = PathJoin(dir, name);
    PlatformFileInfo info;
    if (PlatformPathInfo(path, info) == 0 && info.modified < cutoff) FileRemove(path, false);
  }
}

void RollOver(LogState& s, long date) {
  s.file.reset();
  auto file = std::make_unique<CTernDiskFile>(LogPath(s.logDir, date), TernFileMode::Append | TernFileMode::Create | TernFileMode::NoLock);
  if (!file->Open()) return;  // records are dropped until the next write tries again
  s.file = std::move(file);
  s.fileDate = date;
  RemoveOldFiles(s.logDir, PlatformNow() - s.retention * kSecondsPerRetentionUnit);
}

}  // namespace

void CTernActivityRecord::Add(int key, long number) { m_Fields[key] = std::to_string(number); }

void CTernActivityRecord::Add(int key, const std::string& text) { m_Fields[key] = text; }

void CTernActivityRecord::AddStandard(long realm, long action, long result, const std::string& user,
                                      const std::string& client) {
  if (realm) Add(kActRealm, realm);
  if (action) Add(kActAction, action);
  if (result) Add(kActResult, result);
  if (!user.empty()) Add(kActUser, user);
  if (!client.empty()) Add(kActClient, client);
}

bool CTernActivityRecord::Get(int key, std::string& value) const {
  auto it = m_Fields.find(key);
  if (it == m_Fields.end()) return false;
  value = it->second;
  return true;
}

std::string CTernActivityRecord::Line(long date, long time) const {
  std::string line = std::to_string(date) + "," + std::to_string(time);
  for (const auto& [key, raw] : m_Fields) {
    std::string value;
    for (char c : raw)
      if (c != '\r' && c != '\n') value += c;
    if (value.empty()) continue;
    line += "," + std::to_string(key) + "=";
    line += HasBareComma(value) ? "\"" + value + "\"" : value;
  }
  return line + "\r\n";
}

namespace {
// The number a field begins with (its key, or the date and time); 0 when it begins
// with none or one out of range, as a damaged line is still read.
long LeadingNumber(const std::string& text, long low = LONG_MIN, long high = LONG_MAX) {
  long value = 0;
  size_t used = 0;
  return TernParseNumberPrefix(text, value, used, low, high) ? value : 0;
}
}  // namespace

bool CTernActivityRecord::ParseLine(const std::string& text, long& date, long& time,
                                    CTernActivityRecord& record) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::vector<std::string> parts = SplitFields(line);
  if (parts.size() < 3) return false;
  date = LeadingNumber(parts[0]);
  time = LeadingNumber(parts[1]);
  record.Clear();
  for (size_t i = 2; i < parts.size(); ++i) {
    size_t eq = parts[i].find('=');
    if (eq == std::string::npos) continue;
    std::string value = parts[i].substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    record.Add(static_cast<int>(LeadingNumber(parts[i], INT32_MIN, INT32_MAX)), value);
  }
  return true;
}

long TernDateNumber(time_t t) {
  struct tm tm = PlatformLocalTime(t);
  return tm.tm_year * 10000L + (tm.tm_mon + 1) * 100L + tm.tm_mday;
}

long TernTimeNumber(time_t t) {
  struct tm tm = PlatformLocalTime(t);
  return tm.tm_hour * 10000L + tm.tm_min * 100L + tm.tm_sec;
}

long TernNextDateNumber(long date) {
  struct tm tm {};
  tm.tm_year = static_cast<int>(date / 10000);
  tm.tm_mon = static_cast<int>(date / 100 % 100) - 1;
  tm.tm_mday = static_cast<int>(date % 100) + 1;
  tm.tm_hour = 12;  // away from daylight-saving edges
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return TernDateNumber(t);
}

void CTernActivityLog::Configure(const std::string& logDir, const std::string& retentionSetting) {
  LogState& s = State();
  CTernLockGuard guard(s.lock);
  s.logDir = logDir;
  s.retentionSetting = retentionSetting;
  s.file.reset();
  s.fileDate = 0;
}

void CTernActivityLog::SetSettingReader(SettingReader reader) {
  LogState& s = State();
  CTernLockGuard guard(s.lock);
  s.reader = std::move(reader);
}

void CTernActivityLog::Write(const CTernActivityRecord& record) {
  time_t now = PlatformNow();
  long date = TernDateNumber(now);
  long time = TernTimeNumber(now);
  LogState& s = State();
  CTernLockGuard guard(s.lock);
  long retention = kDefaultRetention;
  if (!s.reader || !s.reader(s.retentionSetting, retention)) retention = kDefaultRetention;
  s.retention = retention;
  if (s.closed || retention < 1 || s.logDir.empty()) return;
  if (!s.file || s.fileDate != date) RollOver(s, date);
  if (!s.file) return;
  s.file->Write(record.Line(date, time));
  s.file->Flush();
}

void CTernActivityLog::Close() {
  LogState& s = State();
  CTernLockGuard guard(s.lock);
  s.file.reset();
  s.closed = true;
}

void CTernActivityLog::Reopen() {
  LogState& s = State();
  CTernLockGuard guard(s.lock);
  s.closed = false;
}

CTernActivityReader::CTernActivityReader(const std::string& logDir, long startDate, long startTime,
                                         long endDate, long endTime, std::vector<Filter> users,
                                         std::vector<Filter> clients, std::vector<Filter> realms,
                                         std::vector<Filter> actions)
    : m_LogDir(logDir),
      m_StartDate(startDate),
      m_StartTime(startTime),
      m_EndDate(endDate),
      m_EndTime(endTime),
      m_Filters{std::move(users), std::move(clients), std::move(realms), std::move(actions)},
      m_CurrentDate(startDate) {}

bool CTernActivityReader::First(long& date, long& time, CTernActivityRecord& record) {
  m_File.reset();
  m_CurrentDate = m_StartDate;
  return Next(date, time, record);
}

bool CTernActivityReader::OpenNextFile() {
  // Bounded by the date range; a range that runs backwards opens nothing.
  while (m_CurrentDate <= m_EndDate) {
    std::string path = LogPath(m_LogDir, m_CurrentDate);
    if (FileExists(path, false)) {
      auto file = std::make_unique<CTernDiskFile>(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
      if (file->Open()) {
        m_File = std::move(file);
        return true;
      }
    }
    m_CurrentDate = TernNextDateNumber(m_CurrentDate);
  }
  return false;
}

bool CTernActivityReader::Passes(const CTernActivityRecord& record) const {
  for (const auto& list : m_Filters) {
    if (list.empty()) continue;
    bool matched = false;
    for (const Filter& f : list) {
      for (const auto& [key, value] : record.Fields()) {
        if (f.key != 0 && f.key != key) continue;
        std::string v = Lower(value), t = Lower(f.text);
        switch (f.mode) {
          case kContains: matched = v.find(t) != std::string::npos; break;
          case kBeginsWith: matched = v.compare(0, t.size(), t) == 0; break;
          case kEquals: matched = v == t; break;
          default: matched = true; break;
        }
        if (matched) break;
      }
      if (matched) break;
    }
    if (!matched) return false;
  }
  return true;
}

bool CTernActivityReader::Next(long& date, long& time, CTernActivityRecord& record) {
  for (;;) {
    if (!m_File && !OpenNextFile()) return false;
    std::string line;
    int n = m_File->ReadLine(line, "\r\n");
    if (n <= 0) {
      m_File.reset();
      m_CurrentDate = TernNextDateNumber(m_CurrentDate);
      continue;
    }
    long d = 0, t = 0;
    if (!CTernActivityRecord::ParseLine(line, d, t, record)) continue;
    if (d <= m_StartDate && t < m_StartTime) continue;
    if (d >= m_EndDate && t > m_EndTime) continue;
    if (!Passes(record)) continue;
    date = d;
    time = t;
    return true;
  }
}

namespace {
struct Label {
  int key;
  int code;
};
constexpr Label kLabels[] = {
    {kActRealm, kMsgRealm},
    {kActAction, kMsgAction},
    {kActResult, kMsgResult},
    {kActUser, kMsgUser},
    {kActClient, kMsgClient},
    {kActServer, kMsgServer},
    {kActFrom, kMsgFrom},
    {kActTo, kMsgTo},
    {kActSubject, kMsgSubject},
    {kActSize, kMsgSize},
    {kActType, kMsgType},
    {kActName, kMsgName},
    {kActMailbox, kMsgMailbox},
    {kActMailboxId, kMsgMailboxId},
    {kActSmtpId, kMsgSmtpId},
    {kActInfo, kMsgInfo},
    {kActInfo2, kMsgInfo2},
    {kActWarning, kMsgWarning},
    {kActLastResponse, kMsgLastResponse},
    {kActLastCommand, kMsgLastCommand},
};
constexpr int kRealmWords[] = {kMsgSmtp, kMsgPop, kMsgAdministration, kMsgWebClient};
constexpr int kActionWords[] = {kMsgLogin,
                                kMsgLogoff,
                                kMsgConnectedTo,
                                kMsgDisconnected,
                                kMsgMessageAccepted,
                                kMsgMessageDelivered,
                                kMsgMessageBounced,
                                kMsgMessageDropped,
                                kMsgObjectAdded,
                                kMsgObjectDeleted,
                                kMsgObjectScheduled,
                                kMsgObjectModified,
                                kMsgConnectionFrom,
                                kMsgProtocolViolation,
                                kMsgMessageDeleted,
                                kMsgAccessViolation,
                                kMsgMessageRead,
                                kMsgContentViolation,
                                kMsgMessageRejected,
                                kMsgProcessingCompleted,
                                kMsgDeliveryAttemptFailed,
                                kMsgObjectRenamed,
                                kMsgMessageMoved,
                                kMsgMessageEdited,
                                kMsgMessageApproval,
                                kMsgAutoLocked};
constexpr int kResultWords[] = {kMsgSucceeded, kMsgFailed, kMsgApproved, kMsgBounced};
}  // namespace

bool CTernActivityReader::Decode(int key, const CTernActivityRecord& record, std::string& label,
                                 std::string& value) {
  if (!record.Get(key, value)) return false;
  CTernMessages messages;
  label = std::to_string(key);
  for (const Label& l : kLabels)
    if (l.key == key) label = messages.Text(l.code);
  auto word = [&](const int* words, size_t count) {
    size_t n = 0;
    if (TernParseNumber(value, n, size_t{1}, count)) value = messages.Text(words[n - 1]);
  };
  if (key == kActRealm) word(kRealmWords, std::size(kRealmWords));
  if (key == kActAction) word(kActionWords, std::size(kActionWords));
  if (key == kActResult) word(kResultWords, std::size(kResultWords));
  if (key == kActType && value.size() == 1) {
    static const std::pair<char, int> types[] = {{'C', kMsgClient}, {'D', kMsgDictionary},
                                                 {'G', kMsgCast},   {'L', kMsgList},
                                                 {'S', kMsgSystem}, {'U', kMsgUser}};
    for (const auto& [letter, code] : types)
      if (value[0] == letter) value = messages.Text(code);
  }
  return true;
}
