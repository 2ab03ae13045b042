// Reading and writing the text of "mailboxes.mbs".
#include "store/mailbox_list.h"

#include <charconv>

#include "message/headers.h"

namespace {

template <class T>
bool ParseCount(std::string_view text, T& value) {
  if (text.empty() || text[0] == '-') return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseRecord(std::string_view line, TernMailboxListLine& out) {
  size_t first = line.find(',');
  size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
  size_t third = second == std::string_view::npos ? second : line.find(',', second + 1);
  if (third == std::string_view::npos) return false;
  out.name = std::string(line.substr(1, first - 1));
  return ParseCount(line.substr(first + 1, second - first - 1), out.messages) &&
         ParseCount(line.substr(second + 1, third - second - 1), out.unread) &&
         ParseCount(line.substr(third + 1), out.bytes);
}

}  // namespace

std::string TernMailboxListText(const std::vector<TernMailboxListLine>& lines, time_t now) {
  std::string text = "# 1 " + std::to_string(lines.size()) + " 0 " +
                     std::to_string(static_cast<long>(now)) + "\r\n";
  for (const TernMailboxListLine& l : lines)
    text += "B" + l.name + "," + std::to_string(l.messages) + "," + std::to_string(l.unread) +
            "," + std::to_string(l.bytes) + "\r\n";
  return text;
}

bool TernParseMailboxList(std::string_view text, std::vector<TernMailboxListLine>& lines) {
  lines.clear();
  if (text.substr(0, 4) != "# 1 ") return false;
  size_t end = text.find('\n');
  std::string_view rest = end == std::string_view::npos ? "" : text.substr(end + 1);
  while (!rest.empty()) {
    end = rest.find('\n');
    std::string_view line = TernWithoutLineEnd(rest.substr(0, end));
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
    if (line.empty() || line[0] == '#' || line[0] == 'L') continue;
    TernMailboxListLine record;
    if (line[0] != 'B' || !ParseRecord(line, record)) return false;
    lines.push_back(std::move(record));
  }
  return true;
}
