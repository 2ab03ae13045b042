// The text string of the system: bytes (zero bytes allowed) under a lock of its own,
// with the edits, comparisons and splits the protocol and configuration code use.
// Letter case means ASCII letters only; other bytes compare as they are.
//
// An operation with a second string reads that string under its lock first and
// then works under its own, never holding both, so a.Append(a) is safe and two
// threads working crosswise on two strings cannot deadlock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/list.h"
#include "base/lock.h"

class CTernString {
 public:
  CTernString() = default;
  explicit CTernString(const char* text);
  CTernString(const char* text, size_t length);
  explicit CTernString(std::string_view text);
  explicit CTernString(const std::string& text);
  CTernString(const CTernString& other);
  CTernString(CTernString&& other) noexcept;
  CTernString& operator=(const CTernString& other);
  CTernString& operator=(CTernString&& other) noexcept;
  ~CTernString() = default;

  void Assign(std::string_view text);
  void Assign(const CTernString& other);
  void Append(std::string_view text);
  void Append(const CTernString& other);
  void Append(char c);
  void Clear();

  size_t Length() const;
  bool Empty() const;
  // The byte at a position; 0 outside the text.
  char CharAt(size_t position) const;
  // A copy of the text.
  std::string Str() const;
  // The text, zero-terminated, for C interfaces and the event writer. The pointer
  // is valid until the string next changes; a text with zero bytes ends early.
  const char* c_str() const;

  // 0 when equal, else -1 or 1 after the first differing byte (as unsigned values,
  // letters folded to lower case when ignoring case); a proper prefix sorts first.
  int Compare(std::string_view text, bool ignoreCase = false) const;
  int Compare(const CTernString& other, bool ignoreCase = false) const;
  bool Equals(std::string_view text, bool ignoreCase = false) const;
  bool Equals(const CTernString& other, bool ignoreCase = false) const;
  bool BeginsWith(std::string_view prefix, bool ignoreCase = false) const;
  // Whether the text occurs anywhere, without regard to case (the empty text does).
  bool Contains(std::string_view text) const;

  // Removes trailing bytes that are in the set.
  void TrimRight(std::string_view set = "\r\n");
  // Removes every occurrence of c.
  void Remove(char c);
  // Replaces every occurrence of from by to.
  void Replace(char from, char to);
  void ToUpper();
  void ToLower();
  // Keeps the last n bytes (all of a shorter text).
  void KeepRight(size_t n);
  // Removes a leading double quote and, after it, a trailing one; a text that does
  // not begin with a quote is left alone.
  void Unquote();

  // Splits at the first c: left gets what is before it, right what is after it.
  // Without c, left gets the whole text, right is emptied, and the result is false.
  // left or right may be this string itself.
  bool SplitAt(char c, CTernString& left, CTernString& right) const;
  // Appends the pieces between separators to out, in order. Empty pieces are kept,
  // except that an empty text gives no piece and a separator at the very end does
  // not begin another one ("a,,b," gives "a", "", "b"). With quotes, separators
  // between double quotes do not split (an unclosed quote runs to the end); the
  // quotes stay in the pieces.
  void Split(char separator, CTernList<CTernString>& out, bool quotes = false) const;

  // The decimal number at the start of the text (after spaces and tabs, with an
  // optional sign); 0 when there is none. Values beyond the range of long stop at
  // its limits.
  long Number() const;

  // Orders for ordered lists of strings: with and without regard to case.
  static int Order(const CTernString& a, const CTernString& b);
  static int OrderNoCase(const CTernString& a, const CTernString& b);

 private:
  mutable CTernLock m_Lock;
  std::string m_Text;
};
