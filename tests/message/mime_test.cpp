// MIME: content descriptions, attachments, the part scanner, decoding, and writing
// multipart messages.
#include <gtest/gtest.h>

#include <string>

#include "base/memory_file.h"
#include "message/message.h"
#include "message/mime.h"
#include "message/mime_codec.h"

namespace {

std::string Binary(size_t size) {
  std::string data;
  for (size_t i = 0; i < size; ++i) data += static_cast<char>((i * 131 + i / 256) % 256);
  return data;
}

// Quoted-printable of any bytes: everything but plain visible characters as =XX,
// with soft line breaks.
std::string QuotedPrintable(const std::string& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  size_t column = 0;
  for (unsigned char c : data) {
    std::string piece = c > 32 && c < 127 && c != '=' ? std::string(1, static_cast<char>(c))
                                                      : std::string{'=', kHex[c >> 4], kHex[c & 15]};
    if (column + piece.size() > 72) {
      out += "=\r\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  }
  return out;
}

std::string Decode(const char* encoding, const std::string& text, size_t step = 3) {
  CTernDecoder decoder(encoding);
  std::string out;
  for (size_t i = 0; i < text.size(); i += step) decoder.Feed(text.substr(i, step), out);
  decoder.Finish(out);
  return out;
}

// A message read from memory.
class Stored {
 public:
  explicit Stored(const std::string& text, uint32_t options = TernMessageOption::ParseMime)
      : m_Message(m_File, 0, 0, options, TernMessageMode::Read) {
    m_File.Open();
    m_File.Write(text);
    m_File.Close();
    m_Opened = m_Message.Open();
  }
  CTernMessage& operator*() { return m_Message; }
  CTernMessage* operator->() { return &m_Message; }
  bool Opened() const { return m_Opened; }

 private:
  CTernMemoryFile m_File;
  CTernMessage m_Message;
  bool m_Opened;
};

// Extracts part n of message into memory; "<failed>" when refused.
std::string Extracted(CTernMessage& message, int32_t n) {
  CTernMemoryFile file;
  CTernMessage target(file, 0, 0, TernMessageOption::BodyOnly, TernMessageMode::Write);
  target.Open();
  int result = message.Extract(n, target);
  target.Close();
  return result == 0 ? file.Contents() : "<failed>";
}

TEST(ContentDescription, FromHeaders) {
  TernContentDescription none = TernDescribeContent("");
  EXPECT_EQ(none.type, "text/plain");
  EXPECT_EQ(none.charset, "us-ascii");
  EXPECT_EQ(none.encoding, "7bit");
  EXPECT_EQ(none.delimiter, "");

  TernContentDescription d = TernDescribeContent(
      "Content-Type: Image/GIF; NAME=\"a; b.gif\" (a comment; with semicolon); charset=x\r\n"
      "Content-Disposition: attachment ; name=n.gif\r\n"
      "Content-Transfer-Encoding: base64 \r\n");
  EXPECT_EQ(d.type, "Image/GIF");
  EXPECT_EQ(d.name, "a; b.gif");
  EXPECT_EQ(d.charset, "x");
  EXPECT_EQ(d.disposition, "attachment");
  EXPECT_EQ(d.filename, "n.gif");  // no filename: the disposition's name
  EXPECT_EQ(d.encoding, "base64");

  // A quoted and an unquoted boundary give the same delimiter.
  TernContentDescription quoted =
      TernDescribeContent("Content-Type: multipart/mixed; boundary=\"=_b 1\"\r\n");
  TernContentDescription bare = TernDescribeContent("Content-Type: multipart/mixed;\r\n\tBOUNDARY==_b\r\n");
  EXPECT_EQ(quoted.delimiter, "--=_b 1");
  EXPECT_EQ(bare.delimiter, "--=_b");
  EXPECT_EQ(TernDescribeContent("Content-Type: multipart/mixed; boundary=abc\r\n").delimiter,
            TernDescribeContent("Content-Type: multipart/mixed; boundary=\"abc\"\r\n").delimiter);
  EXPECT_TRUE(quoted.IsMultipart());
  EXPECT_FALSE(TernDescribeContent("Content-Type: multipart/mixed\r\n").IsMultipart());
}

TEST(Attachments, SinglePartMessages) {
  struct {
    const char* headers;
    bool attachments;
  } cases[] = {
      {"Content-Type: image/gif\r\n", true},
      {"Content-Type: text/html\r\n", false},
      {"Content-Type: message/rfc822\r\n", false},
      {"Content-Type: application/pdf\r\nContent-Disposition: inline\r\n", true},
      {"Subject: none\r\n", false},
  };
  for (const auto& c : cases) {
    Stored message(std::string(c.headers) + "\r\nbody\r\n");
    ASSERT_TRUE(message.Opened());
    EXPECT_EQ(message->HasAttachments(), c.attachments) << c.headers;
    EXPECT_EQ(message->PartCount(), 0);
  }
}

TEST(Attachments, MultipartParts) {
  std::string head = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  Stored textOnly(head + "--b\r\n\r\none\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>\r\n--b--\r\n");
  EXPECT_FALSE(textOnly->HasAttachments());
  EXPECT_EQ(textOnly->PartCount(), 2);
  Stored disposed(head +
                  "--b\r\n\r\none\r\n--b\r\nContent-Type: text/plain\r\n"
                  "Content-Disposition: ATTACHMENT; filename=\"t.txt\"\r\n\r\ntwo\r\n--b--\r\n");
  EXPECT_TRUE(disposed->HasAttachments());
  TernContentDescription second;
  ASSERT_TRUE(disposed->Part(2, second));
  EXPECT_EQ(second.filename, "t.txt");
  EXPECT_FALSE(disposed->Part(3, second));
  EXPECT_FALSE(disposed->Part(0, second));
}

TEST(MimeScan, NestedPartsPreambleEpilogueAndExactRanges) {
  std::string text =
      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "preamble --outer is not a delimiter here\r\n"
      "--outer\r\n"
      "Content-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "inner preamble\r\n"
      "--inner\r\n\r\nplain text\r\n"
      "--inner-not\r\n"                     // not a delimiter: more follows it
      "--inner\r\nContent-Type: text/html\r\n\r\n<b>html</b>\r\n"
      "--inner--\r\n"
      "inner epilogue\r\n"
      "--outer \t\r\n"                      // transport padding is allowed
      "Content-Type: image/png\r\n\r\nPNGDATA\r\n\r\n"
      "--outer--\r\n"
      "epilogue\r\n";
  Stored message(text);
  ASSERT_TRUE(message.Opened());
  ASSERT_EQ(message->PartCount(), 3);
  struct {
    const char* type;
    std::string body;
  } expected[] = {
      {"text/plain", "plain text\r\n--inner-not"},
      {"text/html", "<b>html</b>"},
      {"image/png", "PNGDATA\r\n"},
  };
  for (int n = 1; n <= 3; ++n) {
    TernContentDescription d;
    ASSERT_TRUE(message->Part(n, d));
    EXPECT_EQ(d.type, expected[n - 1].type);
    EXPECT_EQ(Extracted(*message, n), expected[n - 1].body) << n;
  }
  EXPECT_TRUE(message->HasAttachments());
  EXPECT_EQ(Extracted(*message, 0), text.substr(text.find("preamble")));
  EXPECT_EQ(Extracted(*message, 4), "<failed>");
}

TEST(MimeScan, UnclosedAndEmptyParts) {
  Stored unclosed(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n--b\r\nContent-Type: image/gif\r\n"
      "\r\nGIF89a\r\nrest");
  ASSERT_EQ(unclosed->PartCount(), 2);
  EXPECT_EQ(Extracted(*unclosed, 1), "");
  EXPECT_EQ(Extracted(*unclosed, 2), "GIF89a\r\nrest");  // runs to the end

  // Deeper than the scanner follows: the innermost multipart counts as one part.
  std::string deep = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  for (size_t i = 1; i <= kTernMimeMaxDepth + 5; ++i)
    deep += "--b" + std::to_string(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=b" +
            std::to_string(i) + "\r\n\r\n";
  Stored nested(deep);
  EXPECT_EQ(nested->PartCount(), 1);
}

TEST(Decoding, Base64AndQuotedPrintableRoundTripBinary) {
  std::string data = Binary(5000);
  EXPECT_EQ(Decode("BASE64", TernBase64Encode(data)), data);
  EXPECT_EQ(Decode("quoted-printable", QuotedPrintable(data), 5), data);
  for (size_t size : {0, 1, 2, 3, 4, 57, 58}) {
    std::string piece = data.substr(0, size);
    EXPECT_EQ(Decode("base64", TernBase64Encode(piece), 1), piece) << size;
  }
  std::string encoded = TernBase64Encode(data);
  EXPECT_EQ(encoded.find('\n'), 77u);  // lines of 76 and CR LF
}

TEST(Decoding, LenientRules) {
  EXPECT_EQ(Decode("base64", "aGVs\r\n*bG8=\r\nIQ== ?\r\n"), "hello!");
  EXPECT_EQ(Decode("base64", "aGk=aGk="), "hihi");  // pieces glued together each decode
  EXPECT_EQ(Decode("quoted-printable", "a=3D=3db  \r\nsoft=\r\nbreak=  \r\n end=4\r\n=ZZ"),
            "a==b\r\nsoftbreak end=4\r\n=ZZ");
  EXPECT_EQ(Decode("quoted-printable", "trailing \t"), "trailing");
  EXPECT_EQ(Decode("7bit", "as =3D is"), "as =3D is");
}

TEST(MultipartWriting, BuildAndReadBack) {
  std::string data = Binary(3000);
  CTernMemoryFile file;
  CTernMessage writer(file, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(writer.Open());
  ASSERT_TRUE(writer.WriteHeader("Subject", "parts"));
  EXPECT_EQ(writer.BeginTextPart(), 1);  // header section still open
  ASSERT_EQ(writer.MakeMultipart(), 0);
  std::string delimiter = writer.Delimiter();
  ASSERT_EQ(delimiter.size(), 26u);  // "--" and the boundary of 24
  EXPECT_EQ(delimiter.substr(0, 16), std::string(16, '-'));
  EXPECT_EQ(delimiter.find_first_not_of("0123456789", 16), std::string::npos);
  EXPECT_EQ(writer.MakeMultipart(), 0);  // already multipart: nothing more
  EXPECT_EQ(writer.Delimiter(), delimiter);
  ASSERT_TRUE(writer.EndHeaders());
  EXPECT_EQ(writer.MakeMultipart(), 1);  // the section has ended
  ASSERT_EQ(writer.BeginTextPart(), 0);
  ASSERT_TRUE(writer.Write("Hello\r\nno line end"));
  ASSERT_EQ(writer.BeginAttachmentPart("", "we\"ird\r\n.bin", "attachment", "base64"), 0);
  ASSERT_TRUE(writer.Write(TernBase64Encode(data)));
  ASSERT_EQ(writer.DelimiterLine(true), 0);
  EXPECT_TRUE(writer.HasAttachments());
  ASSERT_TRUE(writer.Close());

  std::string text = file.Contents();
  EXPECT_NE(text.find("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" +
                      delimiter.substr(2) + "\"\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("no line end\r\n" + delimiter + "\r\n"), std::string::npos);
  EXPECT_NE(text.find(delimiter + "\r\nContent-Type: text/plain; charset=us-ascii\r\n"
                                  "Content-Transfer-Encoding: 7bit\r\n\r\nHello"),
            std::string::npos);

  Stored reread(text);
  ASSERT_EQ(reread->PartCount(), 2);
  TernContentDescription attachment;
  ASSERT_TRUE(reread->Part(2, attachment));
  EXPECT_EQ(attachment.type, "application/octet-stream");
  EXPECT_EQ(attachment.filename, "we\"ird  .bin");
  EXPECT_EQ(attachment.disposition, "attachment");
  EXPECT_EQ(Extracted(*reread, 1), "Hello\r\nno line end");
  EXPECT_EQ(Extracted(*reread, 2), data);
  EXPECT_TRUE(reread->HasAttachments());
}

TEST(MultipartWriting, Refusals) {
  CTernMemoryFile file;
  CTernMessage plain(file, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(plain.Open());
  ASSERT_TRUE(plain.WriteHeader("Content-Type", "text/plain"));
  EXPECT_EQ(plain.MakeMultipart(), 1);  // a second Content-Type would contradict the first
  ASSERT_TRUE(plain.EndHeaders());
  EXPECT_EQ(plain.BeginTextPart(), 1);  // not multipart
  EXPECT_EQ(plain.DelimiterLine(), 1);
  plain.Close();

  Stored reading("Content-Type: multipart/mixed; boundary=b\r\n\r\n");
  EXPECT_EQ(reading->MakeMultipart(), 1);
  EXPECT_EQ(reading->BeginAttachmentPart("a/b", "n", "", ""), 1);

  // A target whose header section is still open would take the content for headers.
  Stored source("Subject: x\r\n\r\nbody");
  CTernMemoryFile out;
  CTernMessage target(out, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(target.Open());
  EXPECT_EQ(source->Extract(0, target), 1);
  EXPECT_EQ(source->Extract(0, *source), 1);
  target.Close();
}

}  // namespace
