// Content descriptions, header parameters and the multipart scanner.
#include "base/ascii.h"
#include "message/mime.h"

#include <algorithm>
#include <utility>

namespace {




bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A header value cut at the semicolons that stand outside quotes and comments,
// with comments dropped and quoted strings kept with their quotes.
std::vector<std::string> Segments(std::string_view value) {
  std::vector<std::string> segments(1);
  bool quoted = false;
  int comment = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quoted) {
      segments.back() += c;
      if (c == '\\' && i + 1 < value.size())
        segments.back() += value[++i];
      else if (c == '"')
        quoted = false;
    } else if (comment > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++comment;
      else if (c == ')') --comment;
    } else if (c == '"') {
      quoted = true;
      segments.back() += c;
    } else if (c == '(') {
      comment = 1;
    } else if (c == ';') {
      segments.emplace_back();
    } else {
      segments.back() += c;
    }
  }
  return segments;
}

// A parameter value: surrounding quotes removed and backslash escapes undone.
std::string Unquote(std::string_view value) {
  value = Trim(value);
  if (value.empty() || value.front() != '"') return std::string(value);
  std::string out;
  for (size_t i = 1; i < value.size(); ++i) {
    char c = value[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < value.size()) c = value[++i];
    out += c;
  }
  return out;
}

std::string FirstWord(std::string_view value) {
  std::vector<std::string> segments = Segments(value);
  std::string_view first = Trim(segments.front());
  size_t end = 0;
  while (end < first.size() && !IsBlank(first[end])) ++end;
  return std::string(first.substr(0, end));
}

// type/subtype with any blanks inside removed ("text / plain" is text/plain).
std::string TypeOf(std::string_view value) {
  std::string type;
  std::vector<std::string> segments = Segments(value);
  for (char c : segments.front())
    if (!IsBlank(c)) type += c;
  return type;
}

int BreakLength(std::string_view piece) {
  if (piece.size() >= 2 && piece.substr(piece.size() - 2) == "\r\n") return 2;
  return !piece.empty() && piece.back() == '\n' ? 1 : 0;
}

}  // namespace

bool TernContentDescription::IsMultipart() const {
  return TernBeginsNoCase(type, "multipart/") && !delimiter.empty();
}

bool TernContentDescription::IsAttachment() const {
  return (!TernBeginsNoCase(type, "text/") && !TernBeginsNoCase(type, "message/rfc822")) ||
         TernEqualsNoCase(disposition, "attachment");
}

bool TernContentParameter(std::string_view headerValue, std::string_view name, std::string& value) {
  std::vector<std::string> segments = Segments(headerValue);
  for (size_t i = 1; i < segments.size(); ++i) {
    std::string_view segment = segments[i];
    size_t equals = segment.find('=');
    if (equals == std::string_view::npos) continue;
    if (!TernEqualsNoCase(Trim(segment.substr(0, equals)), name)) continue;
    value = Unquote(segment.substr(equals + 1));
    return true;
  }
  return false;
}

TernContentDescription TernDescribeContent(std::string_view contentHeaders) {
  TernContentDescription d;
  CTernHeaders headers;
  CTernHeaderCollector collector(headers);
  while (!contentHeaders.empty()) {
    size_t end = contentHeaders.find('\n');
    end = end == std::string_view::npos ? contentHeaders.size() : end + 1;
    collector.Line(contentHeaders.substr(0, end));
    contentHeaders.remove_prefix(end);
  }
  collector.Finish();
  std::string value;
  if (headers.Find("Content-Type", value)) {
    d.type = TypeOf(value);
    d.typeGiven = true;
    TernContentParameter(value, "charset", d.charset);
    std::string boundary;
    if (TernContentParameter(value, "boundary", boundary) && !boundary.empty())
      d.delimiter = "--" + boundary;
    TernContentParameter(value, "name", d.name);
  }
  if (headers.Find("Content-Disposition", value)) {
    d.disposition = FirstWord(value);
    TernContentParameter(value, "name", d.fieldName);
    d.hasFileParameter = TernContentParameter(value, "filename", d.filename);
    if (!d.hasFileParameter) d.filename = d.fieldName;
  }
  if (headers.Find("Content-Transfer-Encoding", value)) d.encoding = FirstWord(value);
  return d;
}

bool TernHasAttachments(const TernContentDescription& message, const std::vector<TernMimePart>& parts) {
  if (message.IsMultipart()) {
    for (const TernMimePart& part : parts)
      if (part.description.IsAttachment()) return true;
    return false;
  }
  return !message.type.empty() && !TernBeginsNoCase(message.type, "text/") &&
         !TernBeginsNoCase(message.type, "message/rfc822");
}

CTernMimeScanner::CTernMimeScanner(const TernContentDescription& top) {
  if (!top.IsMultipart()) return;
  m_Stack.push_back(top.delimiter);
  m_State = State::Preamble;
}

int CTernMimeScanner::MatchDelimiter(std::string_view line, bool& closing) const {
  line = TernWithoutLineEnd(line);
  for (size_t level = m_Stack.size(); level-- > 0;) {
    const std::string& delimiter = m_Stack[level];
    if (line.size() < delimiter.size() || line.substr(0, delimiter.size()) != delimiter) continue;
    std::string_view rest = line.substr(delimiter.size());
    closing = rest.size() >= 2 && rest.substr(0, 2) == "--";
    if (closing) rest.remove_prefix(2);
    bool padding = true;  // only blanks may follow a delimiter
    for (char c : rest) padding = padding && (c == ' ' || c == '\t');
    if (padding) return static_cast<int>(level);
  }
  return -1;
}

void CTernMimeScanner::StartPart() {
  m_Collector.Reset();
  m_PartHeaders.Clear();
  m_State = State::Headers;
}

void CTernMimeScanner::EndHeaders(int32_t bodyStart) {
  m_Collector.Finish();
  TernContentDescription d = TernDescribeContent(m_PartHeaders.ContentHeaders());
  if (d.IsMultipart() && m_Stack.size() < kTernMimeMaxDepth) {
    m_Stack.push_back(d.delimiter);
    m_State = State::Preamble;
    return;
  }
  m_Current = std::move(d);
  m_BodyStart = bodyStart;
  m_State = State::Body;
}

void CTernMimeScanner::EndPart(int32_t end, bool beforeDelimiter) {
  if (m_State == State::Headers) EndHeaders(end);  // a part without a blank line: empty
  if (m_State != State::Body) return;
  int32_t length = end - m_BodyStart;
  if (beforeDelimiter && length > 0) length -= std::min<int32_t>(length, m_LastBreak);
  m_Parts.push_back(TernMimePart{std::move(m_Current), m_BodyStart, length});
  m_Current = TernContentDescription();
  m_State = m_Parts.size() >= kTernMimeMaxParts ? State::Done : State::Epilogue;
}

void CTernMimeScanner::Piece(std::string_view piece, int32_t offset, bool atLineStart) {
  if (m_State == State::Done) return;
  bool closing = false;
  int level = atLineStart ? MatchDelimiter(piece, closing) : -1;
  if (level >= 0) {
    EndPart(offset, true);
    if (m_State != State::Done) {
      m_Stack.resize(static_cast<size_t>(level) + 1);
      if (closing) {
        m_Stack.pop_back();
        m_State = m_Stack.empty() ? State::Done : State::Epilogue;
      } else {
        StartPart();
      }
    }
  } else if (m_State == State::Headers && atLineStart) {
    if (TernIsEmptyLine(piece))
      EndHeaders(offset + static_cast<int32_t>(piece.size()));
    else
      m_Collector.Line(piece);
  }
  m_LastBreak = BreakLength(piece);
}

void CTernMimeScanner::End(int32_t end) {
  if (m_State == State::Done) return;
  EndPart(end, false);
  m_State = State::Done;
}
