// Writing and reading envelope files.
#include "message/envelope.h"

#include <algorithm>
#include <cstdio>

#include "base/number.h"

namespace {

std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// Whole numbers separated by blanks, exactly count of them.
bool Numbers(std::string_view line, long* values, size_t count) {
  size_t found = 0;
  const char* p = line.data();
  const char* end = line.data() + line.size();
  for (;;) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p == end) break;
    if (found == count) return false;
    size_t used = 0;
    if (!TernParseNumberPrefix(std::string_view(p, static_cast<size_t>(end - p)), values[found],
                               used))
      return false;
    const char* next = p + used;
    if (next < end && *next != ' ' && *next != '\t') return false;
    ++found;
    p = next;
  }
  return found == count;
}

bool Number(std::string_view line, long& value) { return Numbers(line, &value, 1); }

}  // namespace

std::string TernEnvelopeText(const TernEnvelope& e, time_t now) {
  std::string text;
  char line[128];
  std::snprintf(line, sizeof line, "# %d %ld\r\n%d\r\n%ld\r\n%ld\r\n%ld\r\n%d\r\n%d\r\n", 1,
                static_cast<long>(now), e.complete ? 1 : 0, static_cast<long>(e.created),
                static_cast<long>(e.lastChange), e.size, e.kind, e.notified ? 1 : 0);
  text += line;
  text += OneLine(e.sender) + "\r\n" + OneLine(e.peer) + "\r\n";
  for (const TernRecipient& r : e.recipients) {
    std::snprintf(line, sizeof line, "%d %d %d %ld %d\r\n", r.status, r.reason, r.attempts,
                  static_cast<long>(r.lastAttempt), r.notice);
    text += line;
    text += OneLine(r.address) + "\r\n" + OneLine(r.secondAddress) + "\r\n" +
            OneLine(r.reasonText) + "\r\n";
  }
  return text;
}

bool TernParseEnvelope(std::string_view text, TernEnvelope& envelope) {
  std::vector<std::string_view> lines = Lines(text);
  if (lines.size() < 9) return false;
  TernEnvelope e;
  long complete, created, changed, size, kind, notified;
  if (!Number(lines[1], complete) || !Number(lines[2], created) || !Number(lines[3], changed) ||
      !Number(lines[4], size) || !Number(lines[5], kind) || !Number(lines[6], notified))
    return false;
  e.complete = complete != 0;
  e.created = created;
  e.lastChange = changed;
  e.size = size;
  e.kind = static_cast<int>(kind);
  e.notified = notified != 0;
  e.sender = lines[7];
  e.peer = lines[8];
  for (size_t i = 9; i < lines.size(); i += 4) {
    long n[5];
    if (!Numbers(lines[i], n, 5) || i + 3 >= lines.size()) return false;
    TernRecipient r;
    r.status = static_cast<int>(n[0]);
    r.reason = static_cast<int>(n[1]);
    r.attempts = static_cast<int>(n[2]);
    r.lastAttempt = n[3];
    r.notice = static_cast<int>(n[4]);
    r.address = lines[i + 1];
    r.secondAddress = lines[i + 2];
    r.reasonText = lines[i + 3];
    e.recipients.push_back(std::move(r));
  }
  // Each entry read goes to the front, as a new recipient does.
  std::reverse(e.recipients.begin(), e.recipients.end());
  envelope = std::move(e);
  return true;
}
