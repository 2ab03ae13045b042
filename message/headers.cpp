// The header class table, header line splitting and the header table.
#include "base/ascii.h"
#include "message/headers.h"

namespace {

struct HeaderClassEntry {
  const char* name;
  unsigned bits;
};
constexpr HeaderClassEntry kClasses[] = {
    {"From", TernHeaderClass::Address | TernHeaderClass::Originator},
    {"Sender", TernHeaderClass::Address | TernHeaderClass::Originator},
    {"To", TernHeaderClass::Address | TernHeaderClass::Recipient},
    {"Resent-To", TernHeaderClass::Address | TernHeaderClass::Recipient},
    {"CC", TernHeaderClass::Address | TernHeaderClass::Recipient},
    {"Resent-CC", TernHeaderClass::Address | TernHeaderClass::Recipient},
    {"Reply-To", TernHeaderClass::Address},
    {"Resent-Reply-To", TernHeaderClass::Address},
    {"Resent-From", TernHeaderClass::Address},
    {"Resent-Sender", TernHeaderClass::Address},
    {"Message-Id", TernHeaderClass::MessageId},
    {"Date", TernHeaderClass::Date},
    {"Resent-Date", TernHeaderClass::Date},
    {"Content-Type", TernHeaderClass::Content},
    {"Content-Length", TernHeaderClass::Content},
    {"Content-Transfer-Encoding", TernHeaderClass::Content},
};




void AppendCapped(std::string& to, std::string_view text) {
  if (to.size() >= kTernMaxHeaderValue) return;
  to.append(text.substr(0, kTernMaxHeaderValue - to.size()));
}

}  // namespace

std::string_view TernWithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

unsigned TernHeaderClassOf(std::string_view name) {
  for (const HeaderClassEntry& entry : kClasses)
    if (TernEqualsNoCase(name, entry.name)) return entry.bits;
  return 0;
}

bool TernSplitHeaderLine(std::string_view line, std::string& name, std::string& value) {
  line = TernWithoutLineEnd(line);
  size_t end = 0;
  while (end < line.size() && line[end] != ':' && static_cast<unsigned char>(line[end]) > ' ') ++end;
  if (end == 0) return false;
  size_t colon = end;
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  if (colon == line.size() || line[colon] != ':') return false;
  size_t start = colon;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t' || line[start] == ':'))
    ++start;
  name.assign(line.substr(0, end));
  value.assign(line.substr(start, kTernMaxHeaderValue));
  return true;
}

void CTernHeaders::Add(const std::string& name, const std::string& value) {
  m_Classes |= TernHeaderClassOf(name);
  if (TernEqualsNoCase(name, "Received")) ++m_Hops;
  if (TernBeginsNoCase(name, "Content-") && m_Content.size() < kTernMaxHeaderValue) {
    m_Content += name;
    m_Content += ": ";
    m_Content += value;
    m_Content += "\r\n";
  }
  if (m_Headers.size() < kTernMaxHeaders) m_Headers.emplace_back(name, value);
}

void CTernHeaders::Clear() {
  m_Headers.clear();
  m_Classes = 0;
  m_Content.clear();
  m_Hops = 0;
}

bool CTernHeaders::Find(std::string_view name, std::string& value) const {
  for (const auto& [n, v] : m_Headers) {
    if (TernEqualsNoCase(n, name)) {
      value = v;
      return true;
    }
  }
  return false;
}

bool CTernHeaders::Has(std::string_view name) const {
  std::string ignored;
  return Find(name, ignored);
}

void CTernHeaderCollector::Line(std::string_view line) {
  if (TernIsContinuationLine(line)) {
    if (m_Pending) AppendCapped(m_Value, TernWithoutLineEnd(line));
    return;
  }
  Finish();
  m_Pending = TernSplitHeaderLine(line, m_Name, m_Value);
}

void CTernHeaderCollector::Finish() {
  if (!m_Pending) return;
  m_Pending = false;
  m_Headers.Add(m_Name, m_Value);
}
