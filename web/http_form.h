// Form variables of an HTTP request and the text codings around them: URL
// decoding of query strings and form bodies, and percent decoding of paths.
//
// Form text comes from strangers: a request brings at most kHttpMaxVariables
// values, however it splits them. Plain values; no locking (a request belongs to
// one worker).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
// Form encoding for a query: letters, digits and "-", ".", "_", "~" stay, every
// other byte becomes "%" and two upper-case hexadecimal digits.
std::string HttpUrlEncode(std::string_view text);

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
  // Every variable as name and value, in the order in which the names first came.
  std::vector<std::pair<std::string, std::string>> InOrder() const;

 private:
  std::map<std::string, std::string> m_Values;
  std::vector<std::string> m_Order;  // the names, in the order they first came
  size_t m_FromRequest = 0;
};

// Splits text at "&" into pieces and each piece at its first "=" into a name and
// a value, both URL-decoded, and sets them in arrival order (empty pieces are
// passed over). False when the request's quota of values ran out.
[[nodiscard]] bool HttpParseForm(std::string_view text, HttpFormVariables& variables);
