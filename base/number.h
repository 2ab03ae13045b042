// The one checked reader of decimal numbers: every number that comes from a file,
// the network, a setting or the command line goes through it. It is std::from_chars
// with the checks that are easy to forget: the whole text must be the number (or,
// for the prefix form, at least one digit must be there), the value must fit the
// type and any range asked for, and a leading '+' is taken as most writers of such
// texts allow. Nothing is reported; the caller knows what the number was for.
// Header-only, so that build tools can use it without the foundation library.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

namespace ternnumber {
// Skips one '+' that stands before a digit; from_chars takes only '-'.
inline const char* SkipPlus(const char* first, const char* last) {
  if (last - first >= 2 && first[0] == '+' && first[1] >= '0' && first[1] <= '9') return first + 1;
  return first;
}
}  // namespace ternnumber

// Reads the decimal number at the start of text ('-' or '+' allowed before its
// digits). used receives the number of bytes it took. False, with value and used
// unchanged, when there is no digit or the number is outside [low, high].
template <std::integral T>
[[nodiscard]] bool TernParseNumberPrefix(std::string_view text, T& value, size_t& used,
                                         T low = std::numeric_limits<T>::min(),
                                         T high = std::numeric_limits<T>::max()) {
  const char* first = text.data();
  const char* last = first + text.size();
  T parsed{};
  auto [end, error] = std::from_chars(ternnumber::SkipPlus(first, last), last, parsed);
  if (error != std::errc() || parsed < low || parsed > high) return false;
  value = parsed;
  used = static_cast<size_t>(end - first);
  return true;
}

// Reads text as a whole decimal number: nothing may stand before or after it.
// False, with value unchanged, for an empty text, any other byte, or a number
// outside [low, high].
template <std::integral T>
[[nodiscard]] bool TernParseNumber(std::string_view text, T& value,
                                   T low = std::numeric_limits<T>::min(),
                                   T high = std::numeric_limits<T>::max()) {
  size_t used = 0;
  T parsed{};
  if (!TernParseNumberPrefix(text, parsed, used, low, high) || used != text.size()) return false;
  value = parsed;
  return true;
}
