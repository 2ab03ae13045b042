// URL decoding and the form variables.
#include "web/http_form.h"

#include <algorithm>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    int high = c == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c == '+' && plusIsSpace ? ' ' : c;
    }
  }
  return out;
}

}  // namespace

std::string HttpUrlDecode(std::string_view text) { return Decode(text, true); }

std::string HttpPercentDecode(std::string_view text) { return Decode(text, false); }

std::string HttpUrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

void HttpFormVariables::Set(const std::string& name, std::string_view value) {
  auto [at, added] = m_Values.try_emplace(name, value);
  if (added) {
    m_Order.push_back(name);
  } else {
    at->second += kHttpValueSeparator;
    at->second += value;
  }
}

void HttpFormVariables::Replace(const std::string& name, std::string_view value) {
  auto [at, added] = m_Values.insert_or_assign(name, std::string(value));
  if (added) m_Order.push_back(name);
}

bool HttpFormVariables::SetFromRequest(const std::string& name, std::string_view value) {
  if (m_FromRequest >= kHttpMaxVariables) return false;
  ++m_FromRequest;
  Set(name, value);
  return true;
}

bool HttpFormVariables::Find(const std::string& name, std::string& value) const {
  auto at = m_Values.find(name);
  if (at == m_Values.end()) return false;
  value = at->second;
  return true;
}

bool HttpFormVariables::Remove(const std::string& name) {
  if (m_Values.erase(name) == 0) return false;
  m_Order.erase(std::find(m_Order.begin(), m_Order.end(), name));
  return true;
}

void HttpFormVariables::Clear() {
  m_Values.clear();
  m_Order.clear();
  m_FromRequest = 0;
}

std::vector<std::pair<std::string, std::string>> HttpFormVariables::InOrder() const {
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(m_Order.size());
  for (const std::string& name : m_Order) out.emplace_back(name, m_Values.at(name));
  return out;
}

bool HttpParseForm(std::string_view text, HttpFormVariables& variables) {
  while (!text.empty()) {
    size_t amp = text.find('&');
    std::string_view piece = text.substr(0, amp);
    text.remove_prefix(amp == std::string_view::npos ? text.size() : amp + 1);
    if (piece.empty()) continue;
    size_t equals = piece.find('=');
    std::string_view name = piece.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? "" : piece.substr(equals + 1);
    if (!variables.SetFromRequest(HttpUrlDecode(name), HttpUrlDecode(value))) return false;
  }
  return true;
}
