// CTernString: the locked text string.
#include "base/ascii.h"
#include "base/string.h"

#include <algorithm>
#include <climits>

namespace {


int CompareBytes(std::string_view a, std::string_view b, bool ignoreCase) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (ignoreCase) {
      x = TernLowerAscii(x);
      y = TernLowerAscii(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameBytes(std::string_view a, std::string_view b, bool ignoreCase) {
  return a.size() == b.size() && CompareBytes(a, b, ignoreCase) == 0;
}

}  // namespace

CTernString::CTernString(const char* text) : m_Text(text ? text : "") {}

CTernString::CTernString(const char* text, size_t length)
    : m_Text(text ? std::string(text, length) : std::string()) {}

CTernString::CTernString(std::string_view text) : m_Text(text) {}

CTernString::CTernString(const std::string& text) : m_Text(text) {}

CTernString::CTernString(const CTernString& other) : m_Text(other.Str()) {}

CTernString::CTernString(CTernString&& other) noexcept {
  CTernLockGuard guard(other.m_Lock);
  m_Text = std::move(other.m_Text);
  other.m_Text.clear();
}

CTernString& CTernString::operator=(const CTernString& other) {
  Assign(other);
  return *this;
}

CTernString& CTernString::operator=(CTernString&& other) noexcept {
  if (&other == this) return *this;
  std::string text;
  {
    CTernLockGuard guard(other.m_Lock);
    text = std::move(other.m_Text);
    other.m_Text.clear();
  }
  CTernLockGuard guard(m_Lock);
  m_Text = std::move(text);
  return *this;
}

void CTernString::Assign(std::string_view text) {
  CTernLockGuard guard(m_Lock);
  m_Text.assign(text);
}

void CTernString::Assign(const CTernString& other) {
  if (&other == this) return;
  std::string text = other.Str();
  CTernLockGuard guard(m_Lock);
  m_Text = std::move(text);
}

void CTernString::Append(std::string_view text) {
  CTernLockGuard guard(m_Lock);
  m_Text.append(text);
}

void CTernString::Append(const CTernString& other) {
  std::string text = other.Str();
  CTernLockGuard guard(m_Lock);
  m_Text.append(text);
}

void CTernString::Append(char c) {
  CTernLockGuard guard(m_Lock);
  m_Text.push_back(c);
}

void CTernString::Clear() {
  CTernLockGuard guard(m_Lock);
  m_Text.clear();
}

size_t CTernString::Length() const {
  CTernLockGuard guard(m_Lock);
  return m_Text.size();
}

bool CTernString::Empty() const {
  CTernLockGuard guard(m_Lock);
  return m_Text.empty();
}

char CTernString::CharAt(size_t position) const {
  CTernLockGuard guard(m_Lock);
  return position < m_Text.size() ? m_Text[position] : '\0';
}

std::string CTernString::Str() const {
  CTernLockGuard guard(m_Lock);
  return m_Text;
}

const char* CTernString::c_str() const {
  CTernLockGuard guard(m_Lock);
  return m_Text.c_str();
}

int CTernString::Compare(std::string_view text, bool ignoreCase) const {
  CTernLockGuard guard(m_Lock);
  return CompareBytes(m_Text, text, ignoreCase);
}

int CTernString::Compare(const CTernString& other, bool ignoreCase) const {
  if (&other == this) return 0;
  std::string text = other.Str();
  return Compare(std::string_view(text), ignoreCase);
}

bool CTernString::Equals(std::string_view text, bool ignoreCase) const {
  CTernLockGuard guard(m_Lock);
  return SameBytes(m_Text, text, ignoreCase);
}

bool CTernString::Equals(const CTernString& other, bool ignoreCase) const {
  if (&other == this) return true;
  std::string text = other.Str();
  return Equals(std::string_view(text), ignoreCase);
}

bool CTernString::BeginsWith(std::string_view prefix, bool ignoreCase) const {
  CTernLockGuard guard(m_Lock);
  return m_Text.size() >= prefix.size() &&
         SameBytes(std::string_view(m_Text).substr(0, prefix.size()), prefix, ignoreCase);
}

bool CTernString::Contains(std::string_view text) const {
  CTernLockGuard guard(m_Lock);
  auto equal = [](char a, char b) {
    return TernLowerAscii(a) == TernLowerAscii(b);
  };
  return std::search(m_Text.begin(), m_Text.end(), text.begin(), text.end(), equal) !=
         m_Text.end() || text.empty();
}

void CTernString::TrimRight(std::string_view set) {
  CTernLockGuard guard(m_Lock);
  size_t end = m_Text.size();
  while (end > 0 && set.find(m_Text[end - 1]) != std::string_view::npos) end--;
  m_Text.resize(end);
}

void CTernString::Remove(char c) {
  CTernLockGuard guard(m_Lock);
  m_Text.erase(std::remove(m_Text.begin(), m_Text.end(), c), m_Text.end());
}

void CTernString::Replace(char from, char to) {
  CTernLockGuard guard(m_Lock);
  std::replace(m_Text.begin(), m_Text.end(), from, to);
}

void CTernString::ToUpper() {
  CTernLockGuard guard(m_Lock);
  for (char& c : m_Text) c = static_cast<char>(TernUpperAscii(c));
}

void CTernString::ToLower() {
  CTernLockGuard guard(m_Lock);
  for (char& c : m_Text) c = static_cast<char>(TernLowerAscii(c));
}

void CTernString::KeepRight(size_t n) {
  CTernLockGuard guard(m_Lock);
  if (n < m_Text.size()) m_Text.erase(0, m_Text.size() - n);
}

void CTernString::Unquote() {
  CTernLockGuard guard(m_Lock);
  if (m_Text.empty() || m_Text.front() != '"') return;
  m_Text.erase(0, 1);
  if (!m_Text.empty() && m_Text.back() == '"') m_Text.pop_back();
}

bool CTernString::SplitAt(char c, CTernString& left, CTernString& right) const {
  std::string text = Str();
  size_t at = text.find(c);
  if (at == std::string::npos) {
    left.Assign(std::string_view(text));
    right.Clear();
    return false;
  }
  std::string_view view(text);
  left.Assign(view.substr(0, at));
  right.Assign(view.substr(at + 1));
  return true;
}

void CTernString::Split(char separator, CTernList<CTernString>& out, bool quotes) const {
  std::string text = Str();
  if (text.empty()) return;
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quotes && c == '"') {
      quoted = !quoted;
    } else if (c == separator && !quoted) {
      out.Append(CTernString(std::string_view(text).substr(start, i - start)));
      start = i + 1;
    }
  }
  if (start < text.size()) out.Append(CTernString(std::string_view(text).substr(start)));
}

long CTernString::Number() const {
  CTernLockGuard guard(m_Lock);
  size_t i = 0;
  while (i < m_Text.size() && (m_Text[i] == ' ' || m_Text[i] == '\t')) i++;
  bool negative = false;
  if (i < m_Text.size() && (m_Text[i] == '+' || m_Text[i] == '-')) negative = m_Text[i++] == '-';
  // Accumulate towards the sign so that LONG_MIN itself can be read.
  long value = 0;
  for (; i < m_Text.size() && m_Text[i] >= '0' && m_Text[i] <= '9'; ++i) {
    int digit = m_Text[i] - '0';
    if (negative) {
      if (value < (LONG_MIN + digit) / 10) return LONG_MIN;
      value = value * 10 - digit;
    } else {
      if (value > (LONG_MAX - digit) / 10) return LONG_MAX;
      value = value * 10 + digit;
    }
  }
  return value;
}

int CTernString::Order(const CTernString& a, const CTernString& b) { return a.Compare(b); }

int CTernString::OrderNoCase(const CTernString& a, const CTernString& b) {
  return a.Compare(b, true);
}
