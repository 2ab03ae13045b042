// Safe filling of printf-style message texts. Message texts name their arguments
// with %s, %d, %ld, %c, %x and %u; the caller passes texts and numbers in the order
// the text names them. Each conversion takes the next argument and renders it as the
// conversion asks, whatever its kind, so a mismatched or missing argument never
// reads a wrong pointer: a missing one renders as nothing (or 0 for a number).
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>

class TernArg {
 public:
  TernArg(const char* text) : m_IsText(true), m_Text(text ? text : ""), m_IsNull(!text) {}
  TernArg(const std::string& text) : m_IsText(true), m_Text(text) {}
  template <typename S>
    requires requires(const S& s) { { s.c_str() } -> std::convertible_to<const char*>; } &&
             (!std::same_as<S, std::string>)
  TernArg(const S& text) : TernArg(static_cast<const char*>(text.c_str())) {}
  template <std::integral N>
  TernArg(N number) : m_IsText(false), m_Number(static_cast<long long>(number)) {}

  bool IsText() const { return m_IsText; }
  bool IsNull() const { return m_IsNull; }
  const std::string& Text() const { return m_Text; }
  long long Number() const { return m_Number; }

 private:
  bool m_IsText;
  std::string m_Text;
  bool m_IsNull = false;
  long long m_Number = 0;
};

std::string TernFormat(const char* format, std::initializer_list<TernArg> args);
