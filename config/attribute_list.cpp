// Reading and writing the attribute lists of configuration file lines.
#include "config/attribute_list.h"

#include <vector>

namespace {

// The separator scan over an attribute list, one character at a time.
class SeparatorScan {
 public:
  // Whether the character at position p of text separates two items.
  bool Separates(std::string_view text, size_t p) {
    char c = text[p];
    if (c == ',') return !m_Quoted && !m_InParens && !(p > 0 && text[p - 1] == '\\');
    if (c == '"' && !m_InParens) {
      m_Quoted = !m_Quoted;
    } else if (c == '(' && !m_Quoted) {
      m_InParens = true;
    } else if (c == ')' && !m_Quoted) {
      m_InParens = false;
    }
    return false;
  }
  bool Neutral() const { return !m_Quoted && !m_InParens; }

 private:
  bool m_Quoted = false;
  bool m_InParens = false;
};

std::string Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == ',') continue;
    out += value[i];
  }
  return out;
}

std::string Escape(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 4);
  for (char c : value) {
    if (c == ',') out += '\\';
    out += c;
  }
  return out;
}

// Whether an item's text, standing between two separators, is read back as itself:
// no separator inside, the scan neutral at its end, and no backslash before the
// separator that follows.
bool ClosesCleanly(std::string_view item) {
  SeparatorScan scan;
  for (size_t p = 0; p < item.size(); ++p)
    if (scan.Separates(item, p)) return false;
  return scan.Neutral() && (item.empty() || item.back() != '\\');
}

std::string ItemText(const std::string& name, const std::string& value) {
  return name + "=" + Escape(value);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

bool ParseAttributeList(std::string_view text, AttributeTable& table) {
  SeparatorScan scan;
  size_t start = 0;
  for (size_t p = 0; p <= text.size(); ++p) {
    bool end = p == text.size();
    if (!end && !scan.Separates(text, p)) continue;
    // The end of an empty text, or a separator at the very end, ends the list.
    if (end && start == text.size()) break;
    std::string_view item = text.substr(start, p - start);
    size_t equals = item.find('=');
    if (equals == std::string_view::npos) return false;
    table.Set(item.substr(0, equals), Unescape(item.substr(equals + 1)));
    start = p + 1;
  }
  return true;
}

std::string FormatAttributeList(const AttributeTable& table) {
  std::vector<std::string> clean;
  std::vector<std::string> runOn;
  table.ForEach([&](const std::string& name, const std::string& value) {
    std::string item = ItemText(name, value);
    (ClosesCleanly(item) ? clean : runOn).push_back(std::move(item));
  });
  std::string out;
  bool first = true;
  for (auto* items : {&clean, &runOn}) {
    for (const std::string& item : *items) {
      if (!first) out += ',';
      out += item;
      first = false;
    }
  }
  // Reading removes CR at the end of a line: a last value that ends with CR keeps
  // it behind a final ',', which ends the list.
  if (!out.empty() && out.back() == '\r') out += ',';
  return out;
}

bool ValidAttributeName(std::string_view name) {
  if (name.empty()) return false;
  // A list setting carries a list's name, which may hold '.' and ' ' as well.
  bool listSetting = name.size() > 2 && (name[0] == 'S' || name[0] == 'R') && name[1] == 'L';
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-';
    if (!plain && !(listSetting && i > 2 && (c == '.' || c == ' '))) return false;
  }
  return true;
}

bool WritableAttribute(std::string_view name, std::string_view value) {
  if (!ValidAttributeName(name)) return false;
  // A line break would start a new line of the file (a new object, or an empty
  // line that marks the file corrupt); a NUL would cut the value short.
  if (HasLineBreak(value) || value.find('\0') != std::string_view::npos) return false;
  return ClosesCleanly(ItemText(std::string(name), std::string(value)));
}
