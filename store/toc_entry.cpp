// Table-of-contents lines, the mailbox ID, and the sort orders of a mailbox.
#include "store/toc_entry.h"

#include <charconv>
#include <cstdio>

#include "base/ascii.h"
#include "message/address_rewrite.h"
#include "message/headers.h"
#include "message/mail_time.h"
#include "message/message.h"

namespace {

constexpr std::string_view kHeaderPrefix = "# 1 ";

bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

template <class T>
bool ParseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseUnsigned(std::string_view text, uint32_t& value) {
  return !text.empty() && text[0] != '-' && ParseNumber(text, value);
}

bool ParseOffset(std::string_view text, int32_t& value) {
  return !text.empty() && text[0] != '-' && ParseNumber(text, value);
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(TernLowerAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(TernLowerAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

template <class T>
int CompareNumber(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

std::string TernTocHeader(int sortOrder, bool lf) {
  return std::string(kHeaderPrefix) + std::to_string(sortOrder) + (lf ? "\n" : "\r\n");
}

bool TernParseTocHeader(std::string_view line, int& sortOrder) {
  line = TernWithoutLineEnd(line);
  if (line.substr(0, kHeaderPrefix.size()) != kHeaderPrefix) return false;
  return ParseNumber(line.substr(kHeaderPrefix.size()), sortOrder);
}

std::string TernTocText(std::string_view text) {
  std::string out(TernWithoutLineEnd(text).substr(0, kTernTocTextLimit));
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0' || c == kTernTocFieldSeparator) c = ' ';
  return out;
}

std::string TernTocLine(const TernTocEntry& e) {
  const char fs = kTernTocFieldSeparator;
  std::string line;
  line.reserve(128 + e.sender.size() + e.recipient.size() + e.subject.size());
  line += std::to_string(e.flags) + fs;
  line += TernTocText(e.sender) + fs;
  line += TernTocText(e.envelopeSender) + fs;
  line += TernTocText(e.recipient) + fs;
  line += TernTocText(e.dateText) + fs;
  line += TernTocText(e.subject) + fs;
  line += std::to_string(e.date) + fs;
  line += TernTocText(e.id) + fs;
  line += std::to_string(e.offset) + fs;
  line += std::to_string(e.size) + fs;
  line += std::to_string(e.internal) + "\r\n";
  return line;
}

bool TernParseTocLine(std::string_view line, TernTocEntry& e) {
  line = TernWithoutLineEnd(line);
  std::string_view fields[kTernTocFields];
  size_t count = 0, start = 0;
  for (;;) {
    size_t end = line.find(kTernTocFieldSeparator, start);
    if (count == kTernTocFields) return false;  // a twelfth field
    fields[count++] = line.substr(start, end == std::string_view::npos ? end : end - start);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (count != kTernTocFields) return false;
  e.sender = fields[1];
  e.envelopeSender = fields[2];
  e.recipient = fields[3];
  e.dateText = fields[4];
  e.subject = fields[5];
  e.id = fields[7];
  return ParseUnsigned(fields[0], e.flags) && ParseNumber(fields[6], e.date) &&
         ParseOffset(fields[8], e.offset) && ParseOffset(fields[9], e.size) && e.size > 0 &&
         ParseUnsigned(fields[10], e.internal);
}

std::string TernMailboxId(const std::vector<std::string_view>& texts, int64_t size) {
  char buffer[kTernMailboxIdLength];
  size_t position = 0, written = 0;
  auto put = [&](char c) {
    buffer[position] = c;
    position = (position + 1) % kTernMailboxIdLength;
    if (written < kTernMailboxIdLength) ++written;
  };
  for (std::string_view text : texts) {
    for (char c : text) {
      if (!IsLetterOrDigit(c)) continue;
      char moved = static_cast<char>(c + static_cast<char>(position % 8));
      put(IsLetterOrDigit(moved) ? moved : c);
    }
  }
  for (char digit : std::to_string(size)) put(digit);
  return std::string(buffer, written);
}

std::string TernRecipientText(std::string_view to) {
  std::vector<std::string_view> items = TernAddressListItems(to);
  std::string_view first;
  size_t named = 0;
  for (std::string_view item : items) {
    if (item.empty()) continue;
    if (named++ == 0) first = item;
  }
  if (named < 2) return std::string(to);
  return std::string(first) + " ...";
}

bool TernTocEntryFromMessage(CTernMessage& message, TernTocEntry& e) {
  int32_t size = message.Size();
  if (size <= 0) return false;
  e.offset = message.Offset();
  e.size = size;
  e.sender = message.Header("From");
  e.recipient = TernRecipientText(message.Header("To"));
  e.dateText = message.Header("Date");
  e.subject = message.Header("Subject");
  CTernTime date(0);
  e.date = !e.dateText.empty() && date.Parse(e.dateText) ? date.Seconds() : 0;
  e.envelopeSender = message.SeparatorSender();
  std::string messageId;
  std::vector<std::string_view> texts;
  std::string subject, dateText, revision;
  if (message.FindHeader("Message-Id", messageId)) {
    texts.push_back(messageId);
  } else {
    if (message.FindHeader("Subject", subject)) texts.push_back(subject);
    if (message.FindHeader("Date", dateText)) texts.push_back(dateText);
    if (message.FindHeader("X-Message-Revision", revision)) texts.push_back(revision);
  }
  e.id = TernMailboxId(texts, size - message.SeparatorLength());
  e.flags = TernMailFlag::Unread | (message.HasAttachments() ? uint32_t{TernMailFlag::Attachments} : 0u);
  e.internal = 0;
  return true;
}

int TernCompareTocEntries(const TernTocEntry& a, const TernTocEntry& b, int order) {
  int key = order >= 1 && order <= 12 ? (order + 1) / 2 : 4;
  bool descending = order >= 1 && order <= 12 && order % 2 == 0;
  int result;
  switch (key) {
    case 1: result = CompareText(a.subject, b.subject); break;
    case 2: result = CompareNumber(a.flags, b.flags); break;
    case 3: result = CompareText(a.sender, b.sender); break;
    case 5: result = CompareNumber(a.size, b.size); break;
    case 6: result = CompareText(a.recipient, b.recipient); break;
    default: result = CompareNumber(a.date, b.date); break;
  }
  return descending ? -result : result;
}

bool TernOppositeOrders(int a, int b) {
  return a != b && a >= 1 && a <= 12 && b >= 1 && b <= 12 && (a + 1) / 2 == (b + 1) / 2;
}

size_t TernTocInsertPosition(const std::vector<TernTocEntry>& list, const TernTocEntry& entry,
                             int order) {
  if (list.empty() || TernCompareTocEntries(entry, list.back(), order) >= 0) return list.size();
  for (size_t i = 0; i < list.size(); ++i)
    if (TernCompareTocEntries(entry, list[i], order) <= 0) return i;
  return list.size();
}
