// MIME structure: the content description of a message or part (taken from its
// content headers), whether a message has attachments, and the scanner that finds
// the parts of a multipart message.
//
// The scanner reads what strangers send. It is fed the body line by line, keeps a
// stack of open multiparts (at most kTernMimeMaxDepth deep; a deeper multipart counts
// as one part) and records at most kTernMimeMaxParts parts, so no input makes it
// recurse without end or grow without bound. Nested multiparts are replaced by
// their parts; preambles and epilogues belong to no part; the line break before a
// delimiter line belongs to the delimiter, not to the part before it. A part whose
// multipart is never closed runs to the end of the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "message/headers.h"

inline constexpr size_t kTernMimeMaxDepth = 32;
inline constexpr size_t kTernMimeMaxParts = 10000;

struct TernContentDescription {
  std::string type = "text/plain";  // type/subtype as written
  bool typeGiven = false;           // a Content-Type header gave the type
  std::string charset = "us-ascii";
  std::string delimiter;            // "--" + boundary, or empty
  std::string name;                 // Content-Type's "name"
  std::string disposition;          // first word of Content-Disposition
  std::string filename;             // its "filename" (or "name") parameter
  std::string fieldName;            // its "name" parameter alone (a form field's name)
  bool hasFileParameter = false;    // it has a "filename" parameter (a form's file part)
  std::string encoding = "7bit";    // first word of Content-Transfer-Encoding

  // Type "multipart/..." (any case) with a boundary.
  bool IsMultipart() const;
  // As a part of a multipart: a type that begins neither with "text/" nor with
  // "message/rfc822", or the disposition "attachment" (any case).
  bool IsAttachment() const;
};

// The description from content headers collected as "Name: value\r\n" lines.
TernContentDescription TernDescribeContent(std::string_view contentHeaders);

// The value of parameter name (any case) in a header value such as
// "text/plain; charset=\"us-ascii\"", its quotes removed. False when absent.
bool TernContentParameter(std::string_view headerValue, std::string_view name, std::string& value);

// A part of a multipart message: its description and where its body lies in the
// file (absolute offset, length in bytes).
struct TernMimePart {
  TernContentDescription description;
  int32_t offset = 0;
  int32_t length = 0;
};

// Whether a message has attachments: when multipart, as soon as one part is an
// attachment; otherwise when its type is not empty and begins neither with "text/"
// nor with "message/rfc822".
bool TernHasAttachments(const TernContentDescription& message, const std::vector<TernMimePart>& parts);

class CTernMimeScanner {
 public:
  // top: the description of the whole message. Nothing is found unless it is
  // multipart.
  explicit CTernMimeScanner(const TernContentDescription& top);
  CTernMimeScanner(const CTernMimeScanner&) = delete;
  CTernMimeScanner& operator=(const CTernMimeScanner&) = delete;

  // One piece of the body that starts at file position offset: a whole line with its
  // line end, or a piece of a longer line (atLineStart false for all but the first
  // piece of a line).
  void Piece(std::string_view piece, int32_t offset, bool atLineStart);
  // The body ends at file position end.
  void End(int32_t end);

  const std::vector<TernMimePart>& Parts() const { return m_Parts; }

 private:
  enum class State { Preamble, Headers, Body, Epilogue, Done };

  // The level (index in m_Stack) of the delimiter this line is, or -1.
  int MatchDelimiter(std::string_view line, bool& closing) const;
  void EndPart(int32_t end, bool beforeDelimiter);
  void EndHeaders(int32_t bodyStart);
  void StartPart();

  std::vector<std::string> m_Stack;  // delimiters of the open multiparts, outermost first
  State m_State = State::Done;
  CTernHeaders m_PartHeaders;
  CTernHeaderCollector m_Collector{m_PartHeaders};
  TernContentDescription m_Current;
  int32_t m_BodyStart = 0;
  int m_LastBreak = 0;  // bytes of line break that ended the previous piece
  std::vector<TernMimePart> m_Parts;
};
