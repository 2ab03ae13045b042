// The content transfer encodings of MIME: streaming decoders for "base64" and
// "quoted-printable" (fed in pieces of any size, so a part is decoded as it is read)
// and the base64 encoder for attachments being written.
//
// Decoding is lenient, as mail from strangers needs: base64 passes over every byte
// outside its alphabet and starts afresh after padding; quoted-printable drops
// trailing blanks at line ends, joins soft line breaks, and keeps "=" sequences that
// are not two hexadecimal digits as they stand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CTernDecoder {
 public:
  // The encoding by its name (any case); any name other than "base64" and
  // "quoted-printable" passes bytes through unchanged.
  explicit CTernDecoder(std::string_view encoding);

  // Decodes in and appends the bytes to out.
  void Feed(std::string_view in, std::string& out);
  // Appends what is still held back at the end of the input.
  void Finish(std::string& out);

 private:
  enum class Kind { Identity, Base64, QuotedPrintable };
  // Quoted-printable: what is held back until the next byte tells what it is.
  enum class QpState { Text, Equals, EqualsHex, EqualsCr, EqualsBlank };

  void FeedBase64(std::string_view in, std::string& out);
  void FeedQp(char c, std::string& out);
  void QpText(char c, std::string& out);

  Kind m_Kind;
  uint32_t m_Bits = 0;
  int m_BitCount = 0;
  QpState m_Qp = QpState::Text;
  char m_QpHex = 0;
  std::string m_QpBlanks;  // spaces, tabs and a CR not yet known to be trailing
};

// base64 of data in lines of 76 characters, each ended by CR LF.
std::string TernBase64Encode(std::string_view data);
