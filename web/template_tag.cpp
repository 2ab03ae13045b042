// Tag reading, permission test, comparisons and escaping of the template engine.
#include "web/template_tag.h"

#include <charconv>
#include <vector>

#include "base/ascii.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

std::string Upper(std::string text) {
  for (char& c : text) c = TernUpperAscii(c);
  return text;
}

// Splits a tag into words by the quoting rules (backslashes are kept in the words:
// a parameter's value is unquoted later).
std::vector<std::string> SplitWords(std::string_view tag) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  int depth = 0;
  for (size_t i = 0; i < tag.size(); ++i) {
    char c = tag[i];
    if (c == '\\' && i + 1 < tag.size()) {
      word += c;
      word += tag[++i];
      inWord = true;
      continue;
    }
    if (!quoted && depth == 0 && IsSeparator(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    if (c == '"' && depth == 0) quoted = !quoted;
    else if (!quoted && c == '(') ++depth;
    else if (!quoted && c == ')' && depth > 0) --depth;
    word += c;
    inWord = true;
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

// Removes double quotes; outside them a backslash is dropped and the next
// character kept as it is.
std::string Unquote(std::string_view text) {
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      // Outside quotes the backslash goes; inside them it stays with the character
      // it protects (an escaped quote does not end the quoted stretch).
      if (quoted) out += c;
      out += text[++i];
    } else if (c == '"') {
      quoted = !quoted;
    } else {
      out += c;
    }
  }
  return out;
}

long Number(const std::string& text) {
  long value = 0;
  const char* begin = text.data();
  while (begin < text.data() + text.size() && IsSeparator(*begin)) ++begin;
  if (begin < text.data() + text.size() && *begin == '+') ++begin;
  auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  (void)end;
  return error == std::errc() ? value : 0;
}

// ",AB,CD," from "AB,C:DE" (C:DE gives CD and CE, by the letter after the colon
// first), upper-cased.
std::string Expand(std::string_view list) {
  std::string out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string_view item = list.substr(start, comma == std::string_view::npos ? list.npos : comma - start);
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) {
      if (!item.empty()) out += "," + std::string(item) + ",";
    } else {
      for (char second : item.substr(colon + 1))
        for (char first : item.substr(0, colon)) out += std::string(",") + first + second + ",";
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return Upper(out);
}

}  // namespace

bool TemplateParseTag(std::string_view tag, std::string& name, TemplateParams& params) {
  std::vector<std::string> words = SplitWords(tag);
  params.clear();
  if (words.empty()) return false;
  name = Unquote(words[0]);
  for (size_t i = 1; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos) params[Unquote(words[i])] = "";
    else params[Unquote(words[i].substr(0, eq))] = Unquote(words[i].substr(eq + 1));
  }
  return !name.empty();
}

bool TemplatePermissionTest(std::string_view required, std::string_view list) {
  std::string expansion = Expand(list);
  std::string code = Upper(std::string(required));
  if (code.find('*') == std::string::npos)
    return !code.empty() && expansion.find("," + code + ",") != std::string::npos;
  if (code == "**") return !expansion.empty();
  if (code.size() != 2) return false;
  // Each permission sits between commas: ",XY,".
  for (size_t i = 0; i + 3 < expansion.size(); i += 4) {
    char first = expansion[i + 1], second = expansion[i + 2];
    if ((code[0] == '*' && code[1] == second) || (code[1] == '*' && code[0] == first)) return true;
  }
  return false;
}

TemplateCompareResult TemplateCompare(bool defined, const std::string& value, std::string_view op,
                                      const std::string& operand) {
  auto result = [](bool b) { return b ? TemplateCompareResult::True : TemplateCompareResult::False; };
  bool bothSet = !value.empty() && !operand.empty();
  if (op == "DEF") return result(defined);
  if (op == "DEFWV") return result(defined && !value.empty());
  if (op == "UNDEF") return result(!defined);
  if (op == "UNDEFNV") return result(!defined || value.empty());
  if (op == "EQ") return result(value == operand);
  if (op == "NE") return result(value != operand);
  if (op == "~EQ") return result(TernEqualsNoCase(value, operand));
  if (op == "~NE") return result(!TernEqualsNoCase(value, operand));
  if (op == "SW") return result(value.compare(0, operand.size(), operand) == 0);
  if (op == "~SW") return result(TernBeginsNoCase(value, operand));
  if (op == "CONTAIN") return result(!operand.empty() && value.find(operand[0]) != std::string::npos);
  if (op == "CONTAINS") return result(value.find(operand) != std::string::npos);
  if (op == "==") return result(Number(value) == Number(operand));
  if (op == "!=") return result(Number(value) != Number(operand));
  if (op == "LT") return result(bothSet && Number(value) < Number(operand));
  if (op == "GT") return result(bothSet && Number(value) > Number(operand));
  if (op == "LE") return result(bothSet && Number(value) <= Number(operand));
  if (op == "GE") return result(bothSet && Number(value) >= Number(operand));
  return TemplateCompareResult::UnknownOperator;
}

TemplateStatement TemplateSplitStatement(std::string_view text) {
  TemplateStatement s;
  std::string* parts[] = {&s.name, &s.op, &s.operand};
  size_t index = 0, i = 0;
  while (i < text.size() && index < 3) {
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size()) break;
    size_t end = index == 2 ? text.size() : text.find(' ', i);
    if (end == std::string_view::npos) end = text.size();
    *parts[index++] = std::string(text.substr(i, end - i));
    i = end;
  }
  s.hasOperand = index == 3;
  return s;
}

std::string TemplateEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string TemplateEscapeQuotes(std::string_view text) {
  std::string out;
  for (char c : text) out += c == '"' ? std::string("&quot;") : std::string(1, c);
  return out;
}

std::vector<std::string> TemplateSplit(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}
