// The web mail pages' text work: tables of inputs, hostile ones among them, and
// what each must come to.
#include "web/webmail_text.h"

#include <gtest/gtest.h>

#include "base/ascii.h"

TEST(WebMailText, RepliesQuoteEveryLineAndSayReOnce) {
  EXPECT_EQ(WebMailReplySubject("Lunch"), "Re: Lunch");
  EXPECT_EQ(WebMailReplySubject("RE: Lunch"), "RE: Lunch");
  EXPECT_EQ(WebMailReplySubject("Re:Lunch"), "Re: Re:Lunch");
  EXPECT_EQ(WebMailReplySubject(""), "Re: ");
  EXPECT_EQ(WebMailQuote("one\ntwo\r\n\r\nthree"), "> one\r\n> two\r\n> \r\n> three\r\n");
  EXPECT_EQ(WebMailQuote(""), "");
  EXPECT_EQ(WebMailCrLf("a\rb\nc\r\n"), "a\r\nb\r\nc\r\n");
}

TEST(WebMailText, AddressListsSplitOnlyAtCommasBetweenAddresses) {
  const struct {
    const char* text;
    std::vector<std::string> addresses;
  } cases[] = {
      {"a@x.org, b@y.org", {"a@x.org", "b@y.org"}},
      {"\"Bloggs, Jo\" <jo@x.org>,ann@y.org", {"\"Bloggs, Jo\" <jo@x.org>", "ann@y.org"}},
      {"jo@x.org (Jo, the boss), <odd,one@y.org>", {"jo@x.org (Jo, the boss)", "<odd,one@y.org>"}},
      {" , ,\t", {}},
      {"\"a \\\" , b\" <q@x.org>", {"\"a \\\" , b\" <q@x.org>"}},
      {"unclosed <a@x.org, b@y.org", {"unclosed <a@x.org, b@y.org"}},
  };
  for (const auto& c : cases) EXPECT_EQ(WebMailSplitAddresses(c.text), c.addresses) << c.text;

  const struct {
    const char *from, *name, *address;
  } senders[] = {
      {"Jo Bloggs <jo@x.org>", "Jo Bloggs", "jo@x.org"},
      {"\"Bloggs, Jo\" <jo@x.org>", "Bloggs, Jo", "jo@x.org"},
      {"jo@x.org (Jo Bloggs)", "Jo Bloggs", "jo@x.org"},
      {" jo@x.org ", "", "jo@x.org"},
      {"<jo@x.org>", "", "jo@x.org"},
  };
  for (const auto& s : senders) {
    std::string name, address;
    WebMailSplitSender(s.from, name, address);
    EXPECT_EQ(name, s.name) << s.from;
    EXPECT_EQ(address, s.address) << s.from;
  }
}

TEST(WebMailText, AFormWritesOnlyHeadersThatCannotInjectOrImpersonate) {
  for (const char* name : {"To", "CC", "X-Mailer", "In-Reply-To", "X-In-Response-To"}) {
    EXPECT_TRUE(WebMailHeaderName(name)) << name;
    EXPECT_FALSE(WebMailReservedHeader(name)) << name;
  }
  for (const char* name : {"", "Bad Name", "Bad:Name", "Tab\tName", "Caf\xc3\xa9"})
    EXPECT_FALSE(WebMailHeaderName(name)) << name;
  EXPECT_FALSE(WebMailHeaderName(std::string(77, 'X')));
  for (const char* name : {"from", "SENDER", "Received", "Return-Path", "Resent-To", "resent-from", "X-Notify-From",
                           "x-notify-signature", "X-OldSMTP-ID", "Date", "Message-ID", "Content-Type",
                           "content-transfer-encoding", "MIME-Version", "X-Message-Revision"})
    EXPECT_TRUE(WebMailReservedHeader(name)) << name;
  EXPECT_TRUE(WebMailHeaderValue("Hello \xe2\x80\x94 there\t!"));
  for (std::string value : {std::string("a\r\nBcc: x@y"), std::string("a\nb"), std::string("a\rb"),
                            std::string("a\0b", 3), std::string(kWebMailHeaderValueLimit + 1, 'a')})
    EXPECT_FALSE(WebMailHeaderValue(value));

  EXPECT_EQ(WebMailHeaderLine("Subject", "Short"), "Subject: Short\r\n");
  std::string to;
  for (int i = 0; i < 6; ++i) to += (i ? ", " : "") + std::string("person") + std::to_string(i) + "@example.org";
  EXPECT_EQ(WebMailHeaderLine("To", to),
            "To: person0@example.org, person1@example.org, person2@example.org,\r\n"
            " person3@example.org, person4@example.org, person5@example.org\r\n");
  // A value without commas stays on its line whatever its length.
  std::string longWord(200, 'w');
  EXPECT_EQ(WebMailHeaderLine("X-Long", longWord), "X-Long: " + longWord + "\r\n");
}

TEST(WebMailText, FileNamesLoseWhatCouldBreakAHeaderOrLeaveTheDirectory) {
  const struct {
    std::string name, clean, ascii;
  } cases[] = {
      {"report.pdf", "report.pdf", "report.pdf"},
      {"C:\\Users\\jo\\My file.txt", "My file.txt", "My file.txt"},
      {"../../etc/passwd", "passwd", "passwd"},
      {"a\"b\r\nContent-Type: x.txt", "abContent-Type: x.txt", "abContent-Type_ x.txt"},
      {"..", "attachment", "attachment"},
      {".hidden", "hidden", "hidden"},
      {"", "attachment", "attachment"},
      {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt", "caf__.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebMailFileName(c.name), c.clean) << c.name;
    EXPECT_EQ(WebMailAsciiFileName(WebMailFileName(c.name)), c.ascii) << c.name;
  }
  for (const char* type : {"Image/PNG", "application/vnd.ms-excel", "text/x-c++"})
    EXPECT_EQ(WebMailContentType(type), TernLoweredAscii(type)) << type;
  for (const char* type : {"", "text", "/plain", "text/", "text/html; charset=x", "text/html\r\nX: y", "a/b/c"})
    EXPECT_EQ(WebMailContentType(type), "application/octet-stream") << type;
  std::string longName = std::string(119, 'a') + "\xc3\xa9\xc3\xa9";
  EXPECT_EQ(WebMailFileName(longName), std::string(119, 'a'));
}

TEST(WebMailText, HtmlBecomesPlainTextWithoutScriptsOrTags) {
  const struct {
    const char *html, *text;
  } cases[] = {
      {"<p>Hello <b>there</b></p><p>Second&nbsp;line &amp; more</p>", "Hello there\n\nSecond line & more"},
      {"<script>alert('x')</script>Safe<SCRIPT type=x>document.cookie</SCRIPT >", "Safe"},
      {"<style>p{color:red}</style><!-- <b>hidden</b> -->Text", "Text"},
      {"a<br>b<br/>c", "a\nb\nc"},
      {"&lt;img src=x onerror=alert(1)&gt;", "<img src=x onerror=alert(1)>"},
      {"&#65;&#x42;&#0;&#xd800;&bogus;", "AB&#0;&#xd800;&bogus;"},
      {"<p>\r\n\r\n</p><p></p><p>x</p>", "x"},
      {"unclosed <a href=", "unclosed "},
      {"<script>never closed", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(WebMailHtmlToText(c.html), c.text) << c.html;
}

TEST(WebMailText, CharsetsAndEncodedWordsBecomeUtf8) {
  EXPECT_EQ(WebMailToUtf8("caf\xe9", "ISO-8859-1"), "caf\xc3\xa9");
  EXPECT_EQ(WebMailToUtf8("caf\xc3\xa9", "utf-8"), "caf\xc3\xa9");
  const struct {
    const char *value, *decoded;
  } cases[] = {
      {"=?UTF-8?B?Q2Fmw6k=?=", "Caf\xc3\xa9"},
      {"=?iso-8859-1?Q?caf=E9_au_lait?=", "caf\xc3\xa9 au lait"},
      {"=?utf-8?q?a?= =?utf-8?q?b?= c", "ab c"},
      {"plain =?bogus?X?abc?= text", "plain =?bogus?X?abc?= text"},
      {"=?utf-8?B?unterminated", "=?utf-8?B?unterminated"},
      {"x =?utf-8?Q?=3Cb=3E?= y", "x <b> y"},
  };
  for (const auto& c : cases) EXPECT_EQ(WebMailDecodeHeader(c.value), c.decoded) << c.value;
  // Written headers: ASCII and address headers as they are, other text in encoded
  // words of whole characters that read back the same.
  EXPECT_EQ(WebMailEncodeHeader("Subject", "Plain"), "Plain");
  EXPECT_EQ(WebMailEncodeHeader("To", "Caf\xc3\xa9 <c@x.org>"), "Caf\xc3\xa9 <c@x.org>");
  std::string subject;
  for (int i = 0; i < 30; ++i) subject += "caf\xc3\xa9 ";
  std::string encoded = WebMailEncodeHeader("Subject", subject);
  EXPECT_TRUE(encoded.starts_with("=?UTF-8?B?")) << encoded;
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(WebMailDecodeHeader(encoded), subject);
  for (size_t at = 0, end; at < encoded.size(); at = end + 1) {
    end = std::min(encoded.find(' ', at), encoded.size());
    EXPECT_LE(end - at, 75u);
  }
}

TEST(WebMailText, PagingWrapsAtBothEndsAndSortButtonsReverse) {
  const struct {
    int32_t first, count, shown, back, forward;
  } cases[] = {
      {1, 120, 1, 71, 51},   {51, 120, 51, 1, 101}, {101, 120, 101, 51, 1}, {71, 120, 71, 21, 1},
      {2, 120, 2, 1, 52},    {50, 120, 50, 1, 100}, {0, 120, 1, 71, 51},    {121, 120, 1, 71, 51},
      {1, 30, 1, 1, 1},      {1, 0, 1, 1, 1},       {-5, 10, 1, 1, 1},      {1, 50, 1, 1, 1},
      {1, 51, 1, 2, 51},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebMailFirstShown(c.first, c.count), c.shown) << c.first << "/" << c.count;
    EXPECT_EQ(WebMailPageBack(c.first, c.count), c.back) << c.first << "/" << c.count;
    EXPECT_EQ(WebMailPageForward(c.first, c.count), c.forward) << c.first << "/" << c.count;
  }
  EXPECT_EQ(WebMailSortOrder(7, 0), 7);
  EXPECT_EQ(WebMailSortOrder(7, 7), 8);
  EXPECT_EQ(WebMailSortOrder(7, 8), 7);
  EXPECT_EQ(WebMailSortOrder(1, 8), 1);
}
