// Letter case of ASCII text, the way mail and configuration names compare: only
// A-Z and a-z change case, every other byte (UTF-8 included) compares as it is.
#pragma once

#include <string>
#include <string_view>

inline char TernLowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char TernUpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Lower-cases text in place.
inline void TernLowerAscii(std::string& text) {
  for (char& c : text) c = TernLowerAscii(c);
}

// A lower-cased copy.
inline std::string TernLoweredAscii(std::string_view text) {
  std::string out(text);
  TernLowerAscii(out);
  return out;
}

inline bool TernEqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (TernLowerAscii(a[i]) != TernLowerAscii(b[i])) return false;
  return true;
}

inline bool TernBeginsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && TernEqualsNoCase(text.substr(0, prefix.size()), prefix);
}
