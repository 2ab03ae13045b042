// The message object: header reading and completion, the separator line, reading
// with and without a known size, block copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/memory_file.h"
#include "message/message.h"
#include "message/separator.h"
#include "platform/clock.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

namespace {

constexpr time_t kJune15 = 897939005;  // Mon, 15 Jun 1998 19:30:05 GMT

CTernMemoryFile& Fill(CTernMemoryFile& file, const std::string& text) {
  file.Open();
  file.Write(text);
  file.Close();
  return file;
}

// Writes input through a message writer, in pieces of step bytes, and returns the
// file's contents.
std::string Written(uint32_t options, const std::string& input, const std::string& sender = "",
                    const std::string& id = "", size_t step = 7) {
  CTernMemoryFile file;
  CTernMessage message(file, 0, 0, options, TernMessageMode::Write);
  EXPECT_TRUE(message.Open(sender, id));
  for (size_t i = 0; i < input.size(); i += step) EXPECT_TRUE(message.Write(input.substr(i, step)));
  EXPECT_TRUE(message.Close());
  return file.Contents();
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::vector<std::string> Lines(CTernMessage& message) {
  std::vector<std::string> lines;
  std::string line;
  while (message.ReadLine(line) > 0) lines.push_back(line);
  return lines;
}

class MessageWriting : public ::testing::Test {
 protected:
  void SetUp() override { PlatformSetTime(kJune15); }
  void TearDown() override { PlatformClearTime(); }
};

TEST_F(MessageWriting, CompletionAddsOneDateBeforeTheBlankLine) {
  std::string out = Written(TernMessageOption::Complete, "Subject: hi\r\n\r\nbody\r\n");
  EXPECT_EQ(Occurrences(out, "Date: "), 1u);
  size_t date = out.find("Date: ");
  size_t blank = out.find("\r\n\r\n");
  ASSERT_NE(blank, std::string::npos);
  EXPECT_LT(date, blank);
  EXPECT_EQ(out.substr(blank + 4), "body\r\n");
  EXPECT_EQ(out.substr(0, 13), "Subject: hi\r\n");
}

TEST_F(MessageWriting, CompletionKeepsWhatIsThereAndAddsIdentifierAndFrom) {
  std::string with = "Date: Mon, 1 Jan 2001 00:00:00 GMT\r\nMessage-Id: <x@y>\r\nFrom: a@b\r\n\r\n";
  EXPECT_EQ(Written(TernMessageOption::Complete, with, "s@t", "M1"), with);

  std::string out = Written(TernMessageOption::Complete, "Subject: s\r\n\r\nx", "s@t", "M1");
  std::string expected = "Subject: s\r\nDate: " + CTernTime(kJune15).MailDate() +
                         "\r\nMessage-Id: <M1>\r\nFrom: s@t\r\n\r\nx";
  EXPECT_EQ(out, expected);

  // Resent-Date counts as a date; Sender as an originator.
  out = Written(TernMessageOption::Complete, "Resent-Date: x\r\nSender: q@r\r\n\r\n", "s@t", "");
  EXPECT_EQ(out, "Resent-Date: x\r\nSender: q@r\r\n\r\n");
}

TEST_F(MessageWriting, HeadersEndedByCloseOrEndHeaders) {
  // Without a blank line the completion ends the section at Close.
  std::string out = Written(TernMessageOption::Complete, "Subject: no end");
  EXPECT_EQ(out, "Subject: no end\r\nDate: " + CTernTime(kJune15).MailDate() + "\r\n\r\n");
  // Without completion Close adds nothing, and the unfinished line is still a header.
  EXPECT_EQ(Written(0, "Subject: no end"), "Subject: no end");
  {
    CTernMemoryFile unfinished;
    CTernMessage writer(unfinished, 0, 0, 0, TernMessageMode::Write);
    ASSERT_TRUE(writer.Open());
    ASSERT_TRUE(writer.Write("To: a@b\r\nContent-Type: image/gif"));
    ASSERT_TRUE(writer.Close());
    EXPECT_EQ(writer.Header("Content-Type"), "image/gif");
    EXPECT_EQ(unfinished.Contents(), "To: a@b\r\nContent-Type: image/gif");
  }

  CTernMemoryFile file;
  CTernMessage message(file, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(message.Open());
  EXPECT_TRUE(message.WriteHeader("To", "a@b"));
  EXPECT_TRUE(message.HeadersOpen());
  EXPECT_TRUE(message.EndHeaders());
  EXPECT_FALSE(message.HeadersOpen());
  EXPECT_TRUE(message.EndHeaders());  // once only
  EXPECT_TRUE(message.Write("Subject: not a header\r\n"));
  EXPECT_TRUE(message.Close());
  EXPECT_EQ(file.Contents(), "To: a@b\r\n\r\nSubject: not a header\r\n");
  EXPECT_FALSE(message.Write("more"));  // closed
}

TEST_F(MessageWriting, HeaderTableFromWrittenText) {
  CTernMemoryFile file;
  CTernMessage message(file, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(message.Open());
  std::string text =
      "Received: from a\r\n by b\r\nRECEIVED: x\r\nSubject: folded\r\n\tsecond half\r\n"
      "Content-Type: text/plain;\r\n charset=latin1\r\nTo: jo@example.net\r\n\r\n"
      "Received: in the body\r\n";
  for (size_t i = 0; i < text.size(); ++i) {
    ASSERT_TRUE(message.Write(text.substr(i, 1)));  // one byte at a time
    // A header whose continuation lines may still come already counts.
    if (text.compare(0, i + 1, "Received: from a\r\n") == 0) {
      EXPECT_EQ(message.HopCount(), 1);
    }
  }
  EXPECT_EQ(message.HopCount(), 2);
  EXPECT_EQ(message.Header("subject"), "folded\tsecond half");
  EXPECT_EQ(message.Header("Received"), "from a by b");
  EXPECT_EQ(message.HeaderClasses(), TernHeaderClass::Content | TernHeaderClass::Address |
                                         TernHeaderClass::Recipient);
  EXPECT_EQ(message.ContentHeaders(), "Content-Type: text/plain; charset=latin1\r\n");
  EXPECT_EQ(message.Description().charset, "latin1");
  ASSERT_TRUE(message.Close());
  EXPECT_EQ(file.Contents(), text);  // the bytes go through unchanged
  EXPECT_EQ(message.Size(), static_cast<int32_t>(text.size()));
}

TEST_F(MessageWriting, OverlongHeaderLinePassesThrough) {
  std::string longValue(200000, 'x');
  std::string text = "X-Long: " + longValue + "\r\nSubject: after\r\n\r\nbody";
  EXPECT_EQ(Written(0, text, "", "", 5000), text);
  CTernMemoryFile file;
  CTernMessage message(Fill(file, text), 0, 0, 0, TernMessageMode::Read);
  ASSERT_TRUE(message.Open());
  EXPECT_EQ(message.Header("Subject"), "after");
  EXPECT_EQ(message.Size(), static_cast<int32_t>(text.size()));
}

TEST_F(MessageWriting, SeparatorLine) {
  std::string out = Written(TernMessageOption::Separator, "Subject: s\r\n\r\n", "jo@example.org");
  std::string date = CTernTime(kJune15).MailDate();
  EXPECT_EQ(out, ">From< jo@example.org " + date + "\r\nSubject: s\r\n\r\n");
  out = Written(TernMessageOption::Separator, "\r\n", "postmaster");
  EXPECT_EQ(out, ">From< ??@?? " + date + "\r\n\r\n");
  out = Written(TernMessageOption::Separator, "\r\n", "a b@c\r\n");
  EXPECT_EQ(out.substr(0, 17), ">From< a_b@c__ Mo");
}

TEST(SeparatorLines, Recognised) {
  struct {
    const char* line;
    bool separator;
  } cases[] = {
      {">From< jo@example.org Mon, 15 Jun 1998 14:30:05 -0500\r\n", true},
      {">From jo@example.org whatever\r\n", true},
      {"from jo@example.org\r\n", true},
      {"From MAILER-DAEMON Mon Jun 15 19:30:05 1998\r\n", true},  // no "@": a date follows
      {"From here on we talk\r\n", false},
      {"From: jo@example.org\r\n", false},
      {"Fro jo@example.org\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TernIsSeparatorLine(c.line), c.separator) << c.line;
  EXPECT_EQ(TernSeparatorSender(">From< jo@x Mon\r\n"), "jo@x");
  EXPECT_TRUE(TernLooksLikeHeaderLine("Subject: x\r\n"));
  EXPECT_TRUE(TernLooksLikeHeaderLine("X-A \t: x"));
  EXPECT_FALSE(TernLooksLikeHeaderLine(" Subject: x"));
  EXPECT_FALSE(TernLooksLikeHeaderLine("Two words: x"));
  EXPECT_FALSE(TernLooksLikeHeaderLine(": x"));
}

TEST(MessageReading, HeaderLinesAsStored) {
  std::string text =
      "Subject :: spaced\r\nTo:\tjo\r\nnot a header line\r\n Folded: orphan\r\n"
      "X-Empty:\r\nContent-Transfer-Encoding: BASE64 (comment)\r\n\r\nSubject: body\r\n";
  CTernMemoryFile file;
  CTernMessage message(Fill(file, text), 0, 0, 0, TernMessageMode::Read);
  ASSERT_TRUE(message.Open());
  EXPECT_EQ(message.Header("Subject"), "spaced");
  EXPECT_EQ(message.Header("to"), "jo");
  std::string value;
  EXPECT_TRUE(message.FindHeader("X-Empty", value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(message.FindHeader("not", value));
  EXPECT_EQ(message.Headers().size(), 4u);
  EXPECT_EQ(message.Description().encoding, "BASE64");
  EXPECT_EQ(message.BodyOffset(), static_cast<int32_t>(text.find("Subject: body")));
  // Lines come from the first byte, whole.
  std::vector<std::string> lines = Lines(message);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Subject :: spaced\r\n");
  EXPECT_EQ(lines[7], "Subject: body\r\n");
  EXPECT_TRUE(message.SeekBody());
  std::string line;
  EXPECT_GT(message.ReadLine(line), 0);
  EXPECT_EQ(line, "Subject: body\r\n");
}

TEST(MessageReading, GivenSizeBoundsTheMessage) {
  std::string text = "junk before\r\nSubject: one\r\n\r\nline\r\nSubject: next\r\n";
  int32_t offset = static_cast<int32_t>(text.find("Subject: one"));
  int32_t size = static_cast<int32_t>(text.find("Subject: next")) - offset;
  CTernMemoryFile file;
  CTernMessage message(Fill(file, text), offset, size - 3, 0, TernMessageMode::Read);
  ASSERT_TRUE(message.Open());
  EXPECT_EQ(message.Offset(), offset);
  EXPECT_EQ(message.Size(), size - 3);
  std::vector<std::string> lines = Lines(message);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "lin");  // cut at offset + size
  char buffer[100];
  ASSERT_TRUE(message.Rewind());
  EXPECT_EQ(message.Read(buffer, sizeof buffer), size - 3);
  EXPECT_EQ(message.Read(buffer, sizeof buffer), 0);
}

TEST(MessageReading, SeparatorsEndMessagesOfUnknownSize) {
  std::string first =
      ">From< a@b Mon, 15 Jun 1998 14:30:05 -0500\r\nSubject: one\r\n\r\n"
      "From x@y is not a separator here\r\nas no header follows\r\n"
      "From z@w followed by\r\n>From< q@r Mon, 15 Jun 1998 14:30:05 -0500\r\nSubject: x\r\n";
  std::string second = ">From< c@d Mon, 15 Jun 1998 14:30:05 -0500\r\nSubject: two\r\n\r\nbody\r\n";
  // The last body line of the first message looks like a separator but is followed by
  // another separator; the one after that is followed by a header, so it ends it.
  std::string text = first + second;
  size_t firstEnd = text.find(">From< q@r");
  CTernMemoryFile file;
  Fill(file, text);
  {
    CTernMessage message(file, 0, 0, 0, TernMessageMode::Read);
    ASSERT_TRUE(message.Open());
    EXPECT_EQ(message.SeparatorSender(), "a@b");
    EXPECT_EQ(message.Header("Subject"), "one");
    std::vector<std::string> lines = Lines(message);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], "From z@w followed by\r\n");
    EXPECT_EQ(message.Size(), static_cast<int32_t>(firstEnd));
    ASSERT_TRUE(message.Rewind(true));
    std::string line;
    message.ReadLine(line);
    EXPECT_EQ(line, "Subject: one\r\n");
  }
  {
    // Size first, then reading: the same end.
    CTernMessage message(file, 0, 0, 0, TernMessageMode::Read);
    ASSERT_TRUE(message.Open());
    EXPECT_EQ(message.Size(), static_cast<int32_t>(firstEnd));
    EXPECT_EQ(Lines(message).size(), 6u);
  }
  {
    CTernMessage message(file, static_cast<int32_t>(firstEnd), 0, 0, TernMessageMode::Read);
    ASSERT_TRUE(message.Open());
    EXPECT_EQ(message.SeparatorSender(), "q@r");
    EXPECT_EQ(message.Size(), static_cast<int32_t>(text.find(">From< c@d") - firstEnd));
  }
  {
    CTernMessage message(file, 0, 0, TernMessageOption::NoSeparatorDetection,
                         TernMessageMode::Read);
    ASSERT_TRUE(message.Open());
    EXPECT_EQ(message.Size(), static_cast<int32_t>(text.size()));
  }
}

TEST(MessageReading, LongLinesComeInPieces) {
  std::string text = "Subject: s\r\n\r\n" + std::string(10000, 'a') + "\r\nFrom a@b\r\nX: y\r\n";
  CTernMemoryFile file;
  CTernMessage message(Fill(file, text), 0, 0, 0, TernMessageMode::Read);
  ASSERT_TRUE(message.Open());
  std::vector<std::string> lines = Lines(message);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].size(), 4096u);
  EXPECT_EQ(lines[4].size(), 10002u - 8192u);
  EXPECT_EQ(message.Size(), static_cast<int32_t>(text.find("From a@b")));
}

TEST(MessageCopy, BlocksInAndOutByteExact) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += static_cast<char>((i * 7919) % 256);
  std::string text = "Subject: binary\r\n\r\n" + body;
  TempDir dir;
  std::string path = dir.Write("source", "prefix" + text);
  CTernMessage source(path, 6, static_cast<int32_t>(text.size()), 0, TernMessageMode::Read);
  ASSERT_TRUE(source.Open());
  CTernMemoryFile copy;
  CTernMessage target(copy, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(target.Open());
  ASSERT_TRUE(target.CopyFrom(source));
  ASSERT_TRUE(target.Close());
  EXPECT_EQ(copy.Contents(), text);
  EXPECT_EQ(target.Header("Subject"), "binary");

  // Out, from the body on, into a disk file appended to.
  ASSERT_TRUE(source.SeekBody());
  CTernMemoryFile out;
  ASSERT_TRUE(out.Open());
  ASSERT_TRUE(source.CopyTo(out));
  out.Close();
  EXPECT_EQ(out.Contents(), body);

  // A writer by path appends after what the file holds.
  CTernMessage appended(path, 0, 0, 0, TernMessageMode::Write);
  ASSERT_TRUE(appended.Open());
  EXPECT_EQ(appended.Offset(), static_cast<int32_t>(text.size() + 6));
  ASSERT_TRUE(appended.Write("Subject: two\r\n\r\n"));
  ASSERT_TRUE(appended.Close());
  EXPECT_EQ(TempDir::Read(path), "prefix" + text + "Subject: two\r\n\r\n");
}

TEST(MessageRewriting, AddressHeadersThroughTheParser) {
  std::string text =
      "To: \"Bloggs, Jo\" <jo @ example.net>, a@b.org,c@d.org\r\n"
      "Cc: (nothing parseable) ,@relay.example.com\r\nSubject: a @ b, c\r\n\r\n";
  std::string out = Written(TernMessageOption::RewriteAddresses, text);
  EXPECT_EQ(out,
            "To: \"Bloggs, Jo\" <jo@example.net>, a@b.org,c@d.org\r\n"
            "Cc: (nothing parseable),@relay.example.com\r\nSubject: a @ b, c\r\n\r\n");
}

TEST(MessageObject, RefusesWhatItsModeDoesNotAllow) {
  CTernMemoryFile file;
  CTernMessage reader(Fill(file, "Subject: x\r\n\r\n"), 0, 0, 0, TernMessageMode::Read);
  std::string line;
  EXPECT_EQ(reader.ReadLine(line), -1);  // not open
  ASSERT_TRUE(reader.Open());
  EXPECT_FALSE(reader.Open());
  EXPECT_FALSE(reader.Write("x"));
  EXPECT_FALSE(reader.EndHeaders());
  EXPECT_TRUE(reader.Close());

  TempDir dir;
  EventCapture events;
  CTernMessage missing(dir.File("absent"), 0, 0, 0, TernMessageMode::Read);
  EXPECT_FALSE(missing.Open());
  EXPECT_TRUE(events.Has(86));  // the file could not be opened
}

}  // namespace
