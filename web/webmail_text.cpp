// The web mail pages' text work: replies, addresses, header lines, file names,
// mail text to show, and the mailbox view's arithmetic.
#include "web/webmail_text.h"

#include <algorithm>
#include <charconv>

#include "base/ascii.h"
#include "message/headers.h"
#include "message/mime_codec.h"

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text, std::string_view what = " \t\r\n") {
  size_t start = text.find_first_not_of(what);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(what) - start + 1);
}

bool EqualsAny(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (TernEqualsNoCase(name, n)) return true;
  return false;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// A character reference's text after "&" up to ";" as a code point; 0 when it is
// not one this reader knows.
uint32_t Reference(std::string_view name) {
  static constexpr std::pair<std::string_view, uint32_t> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xa0}};
  for (const auto& [n, code] : kNamed)
    if (name == n) return code;
  if (name.size() < 2 || name[0] != '#') return 0;
  bool hex = name[1] == 'x' || name[1] == 'X';
  std::string_view digits = name.substr(hex ? 2 : 1);
  uint32_t code = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
  if (error != std::errc() || end != digits.data() + digits.size()) return 0;
  // Control characters other than tab and line ends, surrogates and numbers past
  // Unicode are not shown.
  if ((code < 0x20 && code != '\t' && code != '\n' && code != '\r') || (code >= 0xd800 && code < 0xe000) ||
      code > 0x10ffff)
    return 0;
  return code;
}

// The lower-case name of the tag that begins at html[at] ("<" already passed), and
// whether it is a closing tag.
std::string TagName(std::string_view html, size_t at, bool& closing) {
  closing = at < html.size() && html[at] == '/';
  if (closing) ++at;
  size_t end = at;
  while (end < html.size() && ((html[end] >= 'a' && html[end] <= 'z') || (html[end] >= 'A' && html[end] <= 'Z') ||
                               (html[end] >= '0' && html[end] <= '9')))
    ++end;
  return TernLoweredAscii(html.substr(at, end - at));
}

bool BreaksLine(const std::string& tag) {
  static constexpr std::string_view kBreaking[] = {"br", "p", "div", "tr", "li", "h1", "h2", "h3", "h4", "h5",
                                                   "h6", "table", "ul", "ol", "blockquote", "pre", "hr", "title"};
  for (std::string_view b : kBreaking)
    if (tag == b) return true;
  return false;
}

// Runs of more than one blank line made one; trailing blanks of lines removed.
std::string TidyLines(const std::string& text) {
  std::string out;
  int newlines = 0;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
      if (++newlines <= 2 && !out.empty()) out += '\n';
      continue;
    }
    newlines = 0;
    out += c;
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// One encoded word's text ("charset?E?text") decoded; false when it is not one.
bool DecodeWord(std::string_view word, std::string& out) {
  size_t q1 = word.find('?');
  if (q1 == std::string_view::npos || q1 + 2 >= word.size() || word[q1 + 2] != '?') return false;
  std::string_view charset = word.substr(0, q1);
  charset = charset.substr(0, charset.find('*'));  // a language tag after "*"
  char encoding = TernLowerAscii(word[q1 + 1]);
  std::string text(word.substr(q1 + 3));
  std::string decoded;
  if (encoding == 'b') {
    CTernDecoder decoder("base64");
    decoder.Feed(text, decoded);
    decoder.Finish(decoded);
  } else if (encoding == 'q') {
    std::replace(text.begin(), text.end(), '_', ' ');
    CTernDecoder decoder("quoted-printable");
    decoder.Feed(text, decoded);
    decoder.Finish(decoded);
  } else {
    return false;
  }
  out += WebMailToUtf8(decoded, charset);
  return true;
}

}  // namespace

std::string WebMailTrimmed(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return "";
  return std::string(text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1));
}

std::string WebMailReplySubject(std::string_view subject) {
  if (TernBeginsNoCase(subject, "Re: ")) return std::string(subject);
  return "Re: " + std::string(subject);
}

std::string WebMailCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  if (!out.empty() && !out.ends_with("\r\n")) out += "\r\n";
  return out;
}

std::string WebMailQuote(std::string_view text) {
  std::string lines = WebMailCrLf(text), out;
  std::string_view rest = lines;
  while (!rest.empty()) {
    size_t end = rest.find("\r\n");
    out += "> ";
    out.append(rest.substr(0, end + 2));
    rest.remove_prefix(end + 2);
  }
  return out;
}

std::vector<std::string> WebMailSplitAddresses(std::string_view text) {
  std::vector<std::string> addresses;
  bool quoted = false;
  int angle = 0, comment = 0;
  size_t start = 0;
  auto take = [&](size_t end) {
    std::string_view piece = Trim(text.substr(start, end - start));
    if (!piece.empty()) addresses.emplace_back(piece);
    start = end + 1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && quoted) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(') {
      ++comment;
    } else if (!quoted && c == ')' && comment > 0) {
      --comment;
    } else if (!quoted && comment == 0 && c == '<') {
      ++angle;
    } else if (!quoted && comment == 0 && c == '>' && angle > 0) {
      --angle;
    } else if (!quoted && comment == 0 && angle == 0 && c == ',') {
      take(i);
    }
  }
  take(text.size());
  return addresses;
}

void WebMailSplitSender(std::string_view from, std::string& name, std::string& address) {
  from = Trim(from);
  name.clear();
  address.clear();
  size_t open = from.rfind('<');
  size_t close = open == std::string_view::npos ? open : from.find('>', open);
  if (close != std::string_view::npos) {
    address = std::string(Trim(from.substr(open + 1, close - open - 1)));
    name = std::string(Trim(from.substr(0, open)));
  } else if (size_t paren = from.find('('); paren != std::string_view::npos) {
    size_t end = from.rfind(')');
    address = std::string(Trim(from.substr(0, paren)));
    if (end != std::string_view::npos && end > paren) name = std::string(Trim(from.substr(paren + 1, end - paren - 1)));
  } else {
    address = std::string(from);
  }
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
}

bool WebMailHeaderName(std::string_view name) {
  if (name.empty() || name.size() > 76) return false;
  for (char c : name)
    if (c <= ' ' || c > '~' || c == ':') return false;
  return true;
}

bool WebMailHeaderValue(std::string_view value) {
  return value.size() <= kWebMailHeaderValueLimit &&
         value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool WebMailReservedHeader(std::string_view name) {
  return EqualsAny(name, {"From", "Sender", "Received", "Return-Path", "Date", "Message-Id", "MIME-Version",
                          "X-Message-Revision", "X-OldSMTP-ID"}) ||
         TernBeginsNoCase(name, "Resent-") || TernBeginsNoCase(name, "X-Notify-") ||
         TernBeginsNoCase(name, "Content-");
}

std::string WebMailHeaderLine(std::string_view name, std::string_view value) {
  std::string out(name);
  out += ": ";
  size_t lineLength = out.size();
  bool first = true;
  while (!value.empty()) {
    // The next piece runs up to and including a comma and the blanks after it.
    size_t comma = value.find(',');
    size_t end = comma == std::string_view::npos ? value.size() : value.find_first_not_of(kBlanks, comma + 1);
    if (end == std::string_view::npos) end = value.size();
    std::string_view piece = value.substr(0, end);
    if (!first && lineLength + piece.size() > kWebMailFoldWidth) {
      while (!out.empty() && out.back() == ' ') out.pop_back();
      out += "\r\n ";
      lineLength = 1;
    }
    out.append(piece);
    lineLength += piece.size();
    value.remove_prefix(end);
    first = false;
  }
  return out + "\r\n";
}

std::string WebMailEncodeHeader(std::string_view name, std::string_view value) {
  bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || (TernHeaderClassOf(name) & TernHeaderClass::Address)) return std::string(value);
  std::string out;
  while (!value.empty()) {
    // At most 45 bytes a word (60 in base64), never ending inside a character.
    size_t take = std::min<size_t>(45, value.size());
    while (take < value.size() && take > 1 && (static_cast<unsigned char>(value[take]) & 0xc0) == 0x80) --take;
    std::string encoded = TernBase64Encode(value.substr(0, take));
    std::erase_if(encoded, [](char c) { return c == '\r' || c == '\n'; });
    out += (out.empty() ? "" : " ") + ("=?UTF-8?B?" + encoded + "?=");
    value.remove_prefix(take);
  }
  return out;
}

std::string WebMailContentType(std::string_view type) {
  size_t slash = type.find('/');
  bool ok = slash != std::string_view::npos && slash > 0 && slash + 1 < type.size() && type.size() <= 100;
  for (size_t i = 0; ok && i < type.size(); ++i) {
    char c = type[i];
    ok = i == slash || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '+' || c == '_';
  }
  return ok ? TernLoweredAscii(type) : "application/octet-stream";
}

std::string WebMailFileName(std::string_view name) {
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') continue;
    out += c;
  }
  size_t start = out.find_first_not_of(". ");
  out = start == std::string::npos ? "" : out.substr(start);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > 120) {
    size_t cut = 120;
    // Not in the middle of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80) --cut;
    out.resize(cut);
  }
  return out.empty() ? "attachment" : out;
}

std::string WebMailAsciiFileName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_' || c == ' '))
      c = '_';
  return out;
}

std::string WebMailHtmlToText(std::string_view html) {
  std::string out;
  size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      if (html.substr(i, 4) == "<!--") {
        size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      bool closing = false;
      std::string tag = TagName(html, i + 1, closing);
      size_t end = html.find('>', i);
      if (end == std::string_view::npos) break;
      i = end + 1;
      if (!closing && (tag == "script" || tag == "style")) {
        // Everything up to the element's end tag goes.
        std::string lowered = TernLoweredAscii(html.substr(i));
        size_t close = lowered.find("</" + tag);
        size_t after = close == std::string::npos ? std::string::npos : lowered.find('>', close);
        i = after == std::string::npos ? html.size() : i + after + 1;
        continue;
      }
      if (BreaksLine(tag)) out += '\n';
      continue;
    }
    if (c == '&') {
      size_t semi = html.find(';', i);
      uint32_t code = semi != std::string_view::npos && semi - i <= 10 ? Reference(html.substr(i + 1, semi - i - 1)) : 0;
      if (code != 0) {
        AppendUtf8(out, code == 0xa0 ? ' ' : code);
        i = semi + 1;
        continue;
      }
    }
    // Line ends of the source are blanks in HTML.
    out += c == '\r' || c == '\n' ? ' ' : c;
    ++i;
  }
  return TidyLines(out);
}

std::string WebMailLatin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string WebMailToUtf8(std::string_view text, std::string_view charset) {
  if (EqualsAny(charset, {"iso-8859-1", "latin1", "iso_8859-1", "windows-1252", "cp1252"}))
    return WebMailLatin1ToUtf8(text);
  return std::string(text);
}

std::string WebMailDecodeHeader(std::string_view value) {
  std::string out;
  size_t pendingBlanks = std::string_view::npos;  // where blanks after an encoded word began
  size_t i = 0;
  while (i < value.size()) {
    if (value.substr(i, 2) == "=?") {
      // "=?" charset "?" encoding "?" text "?="
      size_t q1 = value.find('?', i + 2);
      size_t end = q1 != std::string_view::npos && q1 + 2 < value.size() && value[q1 + 2] == '?'
                       ? value.find("?=", q1 + 3)
                       : std::string_view::npos;
      std::string decoded;
      if (end != std::string_view::npos && DecodeWord(value.substr(i + 2, end - i - 2), decoded)) {
        // Blanks between two encoded words are not text.
        if (pendingBlanks != std::string_view::npos) out.resize(pendingBlanks);
        out += decoded;
        i = end + 2;
        pendingBlanks = out.size();
        continue;
      }
    }
    if (value[i] != ' ' && value[i] != '\t') pendingBlanks = std::string_view::npos;
    out += value[i++];
  }
  return out;
}

int32_t WebMailFirstShown(int32_t first, int32_t count) { return first < 1 || first > count ? 1 : first; }

int32_t WebMailPageBack(int32_t first, int32_t count) {
  first = WebMailFirstShown(first, count);
  if (first == 1) return std::max<int32_t>(1, count - (kWebMailPageSize - 1));
  if (first <= kWebMailPageSize) return 1;
  return first - kWebMailPageSize;
}

int32_t WebMailPageForward(int32_t first, int32_t count) {
  first = WebMailFirstShown(first, count);
  int32_t next = first + kWebMailPageSize;
  return next > count ? 1 : next;
}

int WebMailSortOrder(int ascending, int current) { return current == ascending ? ascending + 1 : ascending; }
