// base64 and quoted-printable.
#include "base/ascii.h"
#include "message/mime_codec.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }


}  // namespace

CTernDecoder::CTernDecoder(std::string_view encoding)
    : m_Kind(TernEqualsNoCase(encoding, "base64")             ? Kind::Base64
             : TernEqualsNoCase(encoding, "quoted-printable") ? Kind::QuotedPrintable
                                                              : Kind::Identity) {}

void CTernDecoder::Feed(std::string_view in, std::string& out) {
  switch (m_Kind) {
    case Kind::Identity:
      out.append(in);
      break;
    case Kind::Base64:
      FeedBase64(in, out);
      break;
    case Kind::QuotedPrintable:
      for (char c : in) FeedQp(c, out);
      break;
  }
}

void CTernDecoder::FeedBase64(std::string_view in, std::string& out) {
  for (char c : in) {
    if (c == '=') {
      // Padding ends a group; bits short of a byte are dropped.
      m_Bits = 0;
      m_BitCount = 0;
      continue;
    }
    int v = Base64Value(c);
    if (v < 0) continue;
    m_Bits = (m_Bits << 6) | static_cast<uint32_t>(v);
    m_BitCount += 6;
    if (m_BitCount >= 8) {
      m_BitCount -= 8;
      out += static_cast<char>((m_Bits >> m_BitCount) & 0xFF);
      m_Bits &= (1u << m_BitCount) - 1;
    }
  }
}

void CTernDecoder::QpText(char c, std::string& out) {
  if (IsBlank(c) || c == '\r') {
    m_QpBlanks += c;
    return;
  }
  if (c == '\n') {
    // A hard line break: trailing blanks go, the break stays as it was written.
    out += !m_QpBlanks.empty() && m_QpBlanks.back() == '\r' ? "\r\n" : "\n";
    m_QpBlanks.clear();
    return;
  }
  out += m_QpBlanks;
  m_QpBlanks.clear();
  if (c == '=')
    m_Qp = QpState::Equals;
  else
    out += c;
}

void CTernDecoder::FeedQp(char c, std::string& out) {
  switch (m_Qp) {
    case QpState::Text:
      QpText(c, out);
      return;
    case QpState::Equals:
      if (HexValue(c) >= 0) {
        m_QpHex = c;
        m_Qp = QpState::EqualsHex;
      } else if (c == '\r') {
        m_Qp = QpState::EqualsCr;
      } else if (c == '\n') {
        m_Qp = QpState::Text;  // soft line break
      } else if (IsBlank(c)) {
        m_Qp = QpState::EqualsBlank;
      } else {
        out += '=';
        m_Qp = QpState::Text;
        QpText(c, out);
      }
      return;
    case QpState::EqualsHex:
      m_Qp = QpState::Text;
      if (HexValue(c) >= 0) {
        out += static_cast<char>(HexValue(m_QpHex) * 16 + HexValue(c));
      } else {
        out += '=';
        out += m_QpHex;
        QpText(c, out);
      }
      return;
    case QpState::EqualsCr:
      // "=" CR LF is a soft line break; "=" and a lone CR are taken as one too.
      m_Qp = QpState::Text;
      if (c != '\n') QpText(c, out);
      return;
    case QpState::EqualsBlank:
      // Blanks after a soft line break's "=" are padding added on the way.
      if (IsBlank(c)) return;
      if (c == '\r') {
        m_Qp = QpState::EqualsCr;
      } else if (c == '\n') {
        m_Qp = QpState::Text;
      } else {
        out += "= ";
        m_Qp = QpState::Text;
        QpText(c, out);
      }
      return;
  }
}

void CTernDecoder::Finish(std::string& out) {
  if (m_Kind != Kind::QuotedPrintable) return;
  // Trailing blanks at the very end are dropped like those at a line end; an "="
  // without its digits stays as written.
  if (m_Qp == QpState::Equals) out += '=';
  if (m_Qp == QpState::EqualsHex) {
    out += '=';
    out += m_QpHex;
  }
  m_Qp = QpState::Text;
  m_QpBlanks.clear();
}

std::string TernBase64Encode(std::string_view data) {
  std::string out;
  out.reserve(data.size() * 4 / 3 + data.size() / 38 + 8);
  size_t lineLength = 0;
  auto put = [&](char c) {
    out += c;
    if (++lineLength == 76) {
      out += "\r\n";
      lineLength = 0;
    }
  };
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16 | static_cast<uint8_t>(data[i + 1]) << 8 |
                 static_cast<uint8_t>(data[i + 2]);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < data.size()) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<uint8_t>(data[i + 1]) << 8;
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  if (lineLength > 0) out += "\r\n";
  return out;
}
