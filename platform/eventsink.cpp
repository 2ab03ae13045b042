// Event-log file and syslog writer behind the system's event reports.
#include "platform/eventsink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}

std::string& EventFile() {
  static std::string path = [] {
    const char* env = getenv("OSTREL_EVENTLOG");
    if (env) return std::string(env);
    return std::string(OSTREL_DEFAULT_DIR) + "/events.log";
  }();
  return path;
}

bool& SyslogOn() {
  static bool on = getenv("OSTREL_NOSYSLOG") == nullptr;
  return on;
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char n = text[++i];
    out += n == 'r' ? '\r' : n == 'n' ? '\n' : n == 't' ? '\t' : n;
  }
  return out;
}

// Creates the directory of path (one level) when it is missing.
void EnsureParent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  mkdir(path.substr(0, slash).c_str(), 0755);
}

bool AppendLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    EnsureParent(path);
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return false;
  // One write per line: appends of whole lines do not interleave between processes.
  ssize_t n = write(fd, line.data(), line.size());
  close(fd);
  return n == static_cast<ssize_t>(line.size());
}

}  // namespace

bool PlatformWriteEvent(PlatformEventKind kind, const std::string& source, int code,
                        const std::string& text, bool hasData, int32_t data) {
  struct tm tm = PlatformLocalTime(PlatformNow());
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  const char* kindText = kind == PlatformEventKind::Error ? "ERROR" : "WARNING";
  std::string line = std::string(when) + "\t" + kindText + "\t" + Escape(source) + "\t" +
                     std::to_string(code) + "\t" + Escape(text);
  if (hasData) line += "\t" + std::to_string(data);
  line += "\n";

  std::lock_guard<std::mutex> guard(SinkMutex());
  bool written = false;
  if (!EventFile().empty()) written = AppendLine(EventFile(), line);
  if (SyslogOn()) {
    // openlog keeps the ident pointer: keep the text alive for the call.
    static std::string ident;
    ident = source;
    openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(kind == PlatformEventKind::Error ? LOG_ERR : LOG_WARNING, "%d: %s", code,
           Escape(text).c_str());
    closelog();
    written = true;
  }
  return written;
}

void PlatformSetEventFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(SinkMutex());
  EventFile() = path;
}

std::string PlatformEventFile() {
  std::lock_guard<std::mutex> guard(SinkMutex());
  return EventFile();
}

void PlatformSetEventSyslog(bool on) {
  std::lock_guard<std::mutex> guard(SinkMutex());
  SyslogOn() = on;
}

bool PlatformParseEventLine(const std::string& line, PlatformEventLine& out) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (fields.size() < 5) return false;
  if (!fields.back().empty() && fields.back().back() == '\n') fields.back().pop_back();
  out.when = fields[0];
  out.kind = fields[1] == "WARNING" ? PlatformEventKind::Warning : PlatformEventKind::Error;
  out.source = Unescape(fields[2]);
  auto number = [](const std::string& field, auto& value) {
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return error == std::errc() && end == field.data() + field.size();
  };
  if (!number(fields[3], out.code)) return false;
  out.text = Unescape(fields[4]);
  out.hasData = fields.size() > 5;
  out.data = 0;
  if (out.hasData && !number(fields[5], out.data)) return false;
  return true;
}
