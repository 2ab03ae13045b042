// Message header rules: the classes of header names, the reading of one header
// line, and the header table of a message (with the union of the classes seen, the
// collected content headers and the count of "Received" headers).
//
// Header lines come from strangers: the table keeps at most kTernMaxHeaders headers
// and kTernMaxHeaderValue bytes of each value, whatever the input holds (the classes
// and the hop count still count every header). One table belongs to one message and
// is used under that message's lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Header class bits.
namespace TernHeaderClass {
enum : unsigned {
  Address = 1,     // From, Sender, To, CC, Reply-To and the Resent- forms
  Originator = 2,  // From, Sender
  Recipient = 4,   // To, Resent-To, CC, Resent-CC
  MessageId = 8,   // Message-Id
  Date = 16,       // Date, Resent-Date
  Content = 32,    // Content-Type, Content-Length, Content-Transfer-Encoding
};
}  // namespace TernHeaderClass

inline constexpr size_t kTernMaxHeaders = 1000;
inline constexpr size_t kTernMaxHeaderValue = 65536;

// The class bits of a header name (any case); 0 for other names.
unsigned TernHeaderClassOf(std::string_view name);

// Splits one header line: the name runs up to the first colon or the first byte at
// or below space; the value begins after the colon and any spaces, tabs and colons
// that follow, and loses its line end. False when the line has no name or no colon
// (blanks may stand between the name and the colon).
bool TernSplitHeaderLine(std::string_view line, std::string& name, std::string& value);

// True for a line that continues the header before it (begins with a space or tab).
inline bool TernIsContinuationLine(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// True for an empty line: "\r\n", "\n" or nothing.
inline bool TernIsEmptyLine(std::string_view line) {
  return line.empty() || line == "\n" || line == "\r\n";
}

class CTernHeaders {
 public:
  // Records one header: its class bits join the union, "Received" raises the hop
  // count, headers whose names begin with "Content-" join the content-header text
  // ("Name: value\r\n"), and the name and value go into the table.
  void Add(const std::string& name, const std::string& value);
  void Clear();

  // The value of the first header of that name (any case). False when absent.
  bool Find(std::string_view name, std::string& value) const;
  bool Has(std::string_view name) const;
  // Every header in the order seen (names as written, values unfolded).
  const std::vector<std::pair<std::string, std::string>>& All() const { return m_Headers; }
  unsigned Classes() const { return m_Classes; }
  const std::string& ContentHeaders() const { return m_Content; }
  int HopCount() const { return m_Hops; }

 private:
  std::vector<std::pair<std::string, std::string>> m_Headers;
  unsigned m_Classes = 0;
  std::string m_Content;
  int m_Hops = 0;
};

// Turns physical header lines into headers: a line that begins with a space or tab
// continues the header before it (unfolded by dropping the line break); any other
// line starts a new header. Lines that are not header lines are passed over.
class CTernHeaderCollector {
 public:
  explicit CTernHeaderCollector(CTernHeaders& headers) : m_Headers(headers) {}
  // One line, its line end included or not.
  void Line(std::string_view line);
  // Records the header still being collected.
  void Finish();
  // Drops the header still being collected.
  void Reset() { m_Pending = false; }

 private:
  CTernHeaders& m_Headers;
  bool m_Pending = false;
  std::string m_Name, m_Value;
};

// The value without its line end; with trailing CR and LF bytes removed.
std::string_view TernWithoutLineEnd(std::string_view line);
