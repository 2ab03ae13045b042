// Parsing, lookup, editing and writing of the registry file's text.
#include "platform/registry_file_text.h"

#include <algorithm>

namespace {

constexpr char kRootPrefix[] = "HKEY_LOCAL_MACHINE\\";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         PlatformRegistryNameEqual(text.substr(0, prefix.size()), prefix);
}

// Whether key lies below parent (at any depth).
bool IsBelow(const std::string& key, const std::string& parent) {
  return key.size() > parent.size() + 1 && key[parent.size()] == '\\' &&
         StartsWithNoCase(key, parent);
}

std::string DecodeValue(const std::string& text) {
  std::string value = Trim(text);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return value;
}

std::string EncodeValue(const std::string& value) {
  if (value.empty()) return value;
  if (IsBlank(value.front()) || IsBlank(value.back()) || value.front() == '"')
    return "\"" + value + "\"";
  return value;
}

}  // namespace

bool PlatformRegistryNameEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool PlatformRegistryText::ValidKeyName(const std::string& key) {
  if (key.empty() || IsBlank(key.front()) || IsBlank(key.back())) return false;
  if (key.front() == '\\' || key.back() == '\\' || key.find("\\\\") != std::string::npos)
    return false;
  return std::none_of(key.begin(), key.end(), IsControl);
}

bool PlatformRegistryText::ValidValueName(const std::string& name) {
  if (name.empty() || IsBlank(name.front()) || IsBlank(name.back())) return false;
  if (name.front() == '[' || name.front() == ';' || name.front() == '#') return false;
  if (name.find('=') != std::string::npos) return false;
  return std::none_of(name.begin(), name.end(), IsControl);
}

bool PlatformRegistryText::ValidValueData(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos;
}

PlatformRegistryText::Line PlatformRegistryText::ParseLine(const std::string& raw) {
  Line line;
  line.raw = raw;
  std::string text = Trim(raw);
  if (text.empty() || text.front() == ';' || text.front() == '#') return line;
  if (text.front() == '[') {
    line.kind = Kind::Header;
    if (text.back() != ']') return line;
    std::string path = Trim(text.substr(1, text.size() - 2));
    if (StartsWithNoCase(path, kRootPrefix)) {
      std::string key = path.substr(sizeof kRootPrefix - 1);
      if (ValidKeyName(key)) line.key = key;
    }
    return line;
  }
  size_t equals = text.find('=');
  if (equals == std::string::npos) return line;
  std::string name = Trim(text.substr(0, equals));
  if (name.empty()) return line;
  line.kind = Kind::Value;
  line.name = name;
  line.value = DecodeValue(text.substr(equals + 1));
  return line;
}

PlatformRegistryText::PlatformRegistryText(const std::string& text) {
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    bool ended = end != std::string::npos;
    if (!ended) end = text.size();
    std::string raw = text.substr(start, end - start);
    bool crlf = !raw.empty() && raw.back() == '\r';
    while (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (first && ended) m_CrLf = crlf;
    first = first && !ended;
    m_Lines.push_back(ParseLine(raw));
    start = end + 1;
  }
}

std::string PlatformRegistryText::Text() const {
  const char* eol = m_CrLf ? "\r\n" : "\n";
  std::string out;
  for (const Line& line : m_Lines) {
    out += line.raw;
    out += eol;
  }
  return out;
}

std::string PlatformRegistryText::RenderValue(const std::string& name, const std::string& value) {
  return name + "=" + EncodeValue(value);
}

size_t PlatformRegistryText::SectionEnd(size_t header) const {
  size_t end = header + 1;
  while (end < m_Lines.size() && m_Lines[end].kind != Kind::Header) ++end;
  return end;
}

std::vector<size_t> PlatformRegistryText::Sections(const std::string& key) const {
  std::vector<size_t> found;
  if (key.empty()) return found;
  for (size_t i = 0; i < m_Lines.size(); ++i)
    if (m_Lines[i].kind == Kind::Header && PlatformRegistryNameEqual(m_Lines[i].key, key))
      found.push_back(i);
  return found;
}

std::vector<size_t> PlatformRegistryText::ValueLines(const std::string& key,
                                                     const std::string& name) const {
  std::vector<size_t> found;
  for (size_t header : Sections(key)) {
    for (size_t i = header + 1; i < SectionEnd(header); ++i)
      if (m_Lines[i].kind == Kind::Value && PlatformRegistryNameEqual(m_Lines[i].name, name))
        found.push_back(i);
  }
  return found;
}

void PlatformRegistryText::EraseLines(std::vector<size_t> indexes) {
  std::sort(indexes.begin(), indexes.end());
  indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it)
    m_Lines.erase(m_Lines.begin() + static_cast<std::ptrdiff_t>(*it));
}

bool PlatformRegistryText::HasKey(const std::string& key) const { return !Sections(key).empty(); }

bool PlatformRegistryText::GetValue(const std::string& key, const std::string& name,
                                    std::string& value) const {
  std::vector<size_t> lines = ValueLines(key, name);
  if (lines.empty()) return false;
  value = m_Lines[lines.front()].value;
  return true;
}

bool PlatformRegistryText::ListValues(const std::string& key,
                                      std::vector<PlatformRegValue>& values) const {
  values.clear();
  std::vector<size_t> sections = Sections(key);
  for (size_t header : sections) {
    for (size_t i = header + 1; i < SectionEnd(header); ++i) {
      const Line& line = m_Lines[i];
      if (line.kind != Kind::Value) continue;
      bool seen = std::any_of(values.begin(), values.end(), [&line](const PlatformRegValue& v) {
        return PlatformRegistryNameEqual(v.name, line.name);
      });
      if (!seen) values.push_back({line.name, line.value});
    }
  }
  return !sections.empty();
}

bool PlatformRegistryText::ListSubkeys(const std::string& key,
                                       std::vector<std::string>& names) const {
  names.clear();
  bool found = false;
  for (const Line& line : m_Lines) {
    if (line.kind != Kind::Header || line.key.empty() || key.empty()) continue;
    if (PlatformRegistryNameEqual(line.key, key)) {
      found = true;
      continue;
    }
    if (!IsBelow(line.key, key)) continue;
    found = true;
    std::string rest = line.key.substr(key.size() + 1);
    std::string child = rest.substr(0, rest.find('\\'));
    bool seen = std::any_of(names.begin(), names.end(), [&child](const std::string& n) {
      return PlatformRegistryNameEqual(n, child);
    });
    if (!seen) names.push_back(child);
  }
  return found;
}

bool PlatformRegistryText::SetValue(const std::string& key, const std::string& name,
                                    const std::string& value) {
  std::vector<size_t> sections = Sections(key);
  if (sections.empty()) return false;
  std::vector<size_t> lines = ValueLines(key, name);
  if (!lines.empty()) {
    Line& line = m_Lines[lines.front()];
    line.value = value;
    line.raw = RenderValue(line.name, value);
    // A name written twice by hand would leave the later line stale: one line
    // must hold the value from now on.
    lines.erase(lines.begin());
    EraseLines(lines);
    return true;
  }
  size_t header = sections.front();
  size_t at = header + 1;
  for (size_t i = header + 1; i < SectionEnd(header); ++i)
    if (m_Lines[i].kind == Kind::Value) at = i + 1;
  Line line = ParseLine(RenderValue(name, value));
  m_Lines.insert(m_Lines.begin() + static_cast<std::ptrdiff_t>(at), line);
  return true;
}

bool PlatformRegistryText::DeleteValue(const std::string& key, const std::string& name) {
  std::vector<size_t> lines = ValueLines(key, name);
  EraseLines(lines);
  return !lines.empty();
}

void PlatformRegistryText::CreateKey(const std::string& key) {
  if (HasKey(key)) return;
  if (!m_Lines.empty() && !Trim(m_Lines.back().raw).empty()) m_Lines.push_back(Line());
  m_Lines.push_back(ParseLine("[" + std::string(kRootPrefix) + key + "]"));
}

bool PlatformRegistryText::DeleteKey(const std::string& key) {
  if (key.empty()) return false;
  std::vector<size_t> doomed;
  for (size_t i = 0; i < m_Lines.size(); ++i) {
    const Line& line = m_Lines[i];
    if (line.kind != Kind::Header || line.key.empty()) continue;
    if (!PlatformRegistryNameEqual(line.key, key) && !IsBelow(line.key, key)) continue;
    for (size_t j = i; j < SectionEnd(i); ++j) doomed.push_back(j);
  }
  EraseLines(doomed);
  return !doomed.empty();
}
