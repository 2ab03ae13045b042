// Writing and recognising mailbox separator lines.
#include "base/ascii.h"
#include "message/separator.h"

#include "message/date_parser.h"
#include "message/headers.h"

namespace {



// The first word after the prefix, and where the text after it begins.
std::string_view FirstWord(std::string_view line, size_t& rest) {
  size_t start = TernSeparatorPrefix(line);
  std::string_view text = TernWithoutLineEnd(line);
  size_t end = start;
  while (end < text.size() && text[end] != ' ') ++end;
  rest = end < text.size() ? end + 1 : text.size();
  return text.substr(start, end - start);
}

}  // namespace

std::string TernSeparatorLine(std::string_view envelopeSender, const CTernTime& when) {
  std::string sender(envelopeSender.find('@') != std::string_view::npos ? envelopeSender : "??@??");
  for (char& c : sender)
    if (static_cast<unsigned char>(c) <= ' ') c = '_';
  return ">From< " + sender + " " + when.MailDate() + "\r\n";
}

size_t TernSeparatorPrefix(std::string_view line) {
  for (std::string_view prefix : {">From< ", ">From ", "From "})
    if (TernBeginsNoCase(line, prefix)) return prefix.size();
  return 0;
}

bool TernIsSeparatorLine(std::string_view line) {
  if (TernSeparatorPrefix(line) == 0) return false;
  size_t rest;
  std::string_view word = FirstWord(line, rest);
  if (word.find('@') != std::string_view::npos) return true;
  time_t ignored;
  return TernParseDate(TernWithoutLineEnd(line).substr(rest), 0, ignored);
}

std::string TernSeparatorSender(std::string_view line) {
  if (TernSeparatorPrefix(line) == 0) return "";
  size_t rest;
  return std::string(FirstWord(line, rest));
}

bool TernLooksLikeHeaderLine(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] != ':' && line[i] > ' ' && line[i] < 0x7F) ++i;
  if (i == 0) return false;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i < line.size() && line[i] == ':';
}
