// Form variables of an HTTP request and the text codings around them: URL
// decoding of query strings and form bodies, percent decoding of paths, and HTML
// escaping of text that goes into a page.
//
// Form text comes from strangers: a request brings at most kHttpMaxVariables
// values, however it splits them. Plain values; no locking (a request belongs to
// one worker).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

// The byte that joins the values of a name given more than once.
inline constexpr char kHttpValueSeparator = '\x1c';
// The most values one request may bring (query, body and form parts together).
inline constexpr size_t kHttpMaxVariables = 1000;

// Form decoding: "+" becomes a space, "%" with two hexadecimal digits (either
// case) becomes that byte; a "%" not followed by two hexadecimal digits stays as
// it is, and every other byte passes unchanged.
std::string HttpUrlDecode(std::string_view text);
// The same for a path: only the "%" escapes, a "+" stays a "+".
std::string HttpPercentDecode(std::string_view text);
// text with &, <, >, " and ' written as character references.
std::string HtmlEscape(std::string_view text);

class HttpFormVariables {
 public:
  // Sets a variable; when the name has a value already, the new one is joined to
  // it after kHttpValueSeparator.
  void Set(const std::string& name, std::string_view value);
  // Sets a variable, dropping any value it had.
  void Replace(const std::string& name, std::string_view value);
  // A value that came with the request: as Set, but counted against
  // kHttpMaxVariables. False (and nothing set) once that many have come.
  [[nodiscard]] bool SetFromRequest(const std::string& name, std::string_view value);
  // The value of name (its joined values); false when it has none.
  bool Find(const std::string& name, std::string& value) const;
  // Removes name; false when it was not there.
  bool Remove(const std::string& name);
  void Clear();
  bool Empty() const { return m_Values.empty(); }
  // Every variable by name.
  const std::map<std::string, std::string>& All() const { return m_Values; }

 private:
  std::map<std::string, std::string> m_Values;
  size_t m_FromRequest = 0;
};

// Splits text at "&" into pieces and each piece at its first "=" into a name and
// a value, both URL-decoded, and sets them in arrival order (empty pieces are
// passed over). False when the request's quota of values ran out.
[[nodiscard]] bool HttpParseForm(std::string_view text, HttpFormVariables& variables);
