// CTernBuffer: lines over split arrivals and multi-byte terminators, the block
// limit, offsets, and that taken bytes do not pile up.
#include <gtest/gtest.h>

#include <string>

#include "base/buffer.h"
#include "base/string.h"

TEST(Buffer, LineOverSplitArrivals) {
  CTernBuffer in;
  char block[64];
  size_t length = 0;
  in.Append("HELO ex");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 0u);
  EXPECT_EQ(length, 7u);
  EXPECT_STREQ(block, "HELO ex");
  // The terminator itself arrives in two pieces.
  in.Append("ample.org\r");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", true, length), 0u);
  EXPECT_EQ(length, 17u);
  in.Append("\nMAIL FROM:<a@b>\r\nRCPT");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", true, length), 18u);
  EXPECT_STREQ(block, "HELO example.org\r\n");
  // A second line already in the buffer comes with the next call.
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 17u);
  EXPECT_STREQ(block, "MAIL FROM:<a@b>\r\n");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 0u);
  EXPECT_STREQ(block, "RCPT");
  EXPECT_EQ(in.Length(), 0u);
}

TEST(Buffer, LoneLineFeedInsideACrLfLine) {
  CTernBuffer in;
  in.Append("ab\ncd\r\nef\r\n");
  std::string line;
  EXPECT_EQ(in.TakeLine(line, "\r\n"), 7u);
  EXPECT_EQ(line, "ab\ncd\r\n");
  EXPECT_EQ(in.TakeLine(line, "\r\n"), 4u);
  EXPECT_EQ(line, "ef\r\n");
  // A lone CR is no terminator either.
  in.Append("x\ry\r\n");
  EXPECT_EQ(in.TakeLine(line, "\r\n"), 5u);
}

TEST(Buffer, DataEndArrivingByteByByte) {
  // The end of message data, with near misses before it, fed one byte at a time.
  const std::string data = "line\r\n.x\r\n\r\n..\r\n\r.\r\nlast\r\n.\r\nQUIT\r\n";
  const std::string end = "\r\n.\r\n";
  CTernBuffer in;
  std::string body;
  size_t found = 0;
  size_t fed = 0;
  while (fed < data.size() && found == 0) {
    in.Append(data.substr(fed++, 1));
    found = in.TakeLine(body, end, true);
  }
  EXPECT_EQ(body, "line\r\n.x\r\n\r\n..\r\n\r.\r\nlast\r\n.\r\n");
  EXPECT_EQ(found, body.size());
  EXPECT_EQ(data.substr(fed), "QUIT\r\n");
}

TEST(Buffer, LongDataInSmallPiecesStaysLinear) {
  // 4 MB arriving 7 bytes at a time and read after every piece: a reader that
  // searched from the start again on every call would not finish in time.
  std::string piece = "abcdefg";
  CTernBuffer in;
  std::string body;
  for (int i = 0; i < 600000; ++i) {
    in.Append(piece);
    ASSERT_EQ(in.TakeLine(body, "\r\n.\r\n", true), 0u);
  }
  in.Append("\r\n.\r\n");
  EXPECT_EQ(in.TakeLine(body, "\r\n.\r\n", true), 600000u * 7 + 5);
}

TEST(Buffer, BlockLimitAndContinuation) {
  CTernBuffer in;
  in.Append("0123456789\r\n");
  char block[8];
  size_t length = 0;
  // At most size - 1 bytes, zero-terminated; the line is not complete yet.
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 0u);
  EXPECT_EQ(length, 7u);
  EXPECT_STREQ(block, "0123456");
  EXPECT_EQ(in.Length(), 5u);
  // A full block cannot continue; a fresh one takes the rest.
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", true, length), 0u);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 5u);
  EXPECT_STREQ(block, "789\r\n");
  // The terminator is found only when it fits whole.
  in.Append("abcdef\r\n");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "\r\n", false, length), 0u);
  EXPECT_STREQ(block, "abcdef\r");
  EXPECT_EQ(in.TakeLine(block, 4, "\r\n", false, length), 0u);
  EXPECT_STREQ(block, "\n");
  // Degenerate blocks and terminators take nothing.
  in.Append("zz\n");
  EXPECT_EQ(in.TakeLine(block, 1, "\n", false, length), 0u);
  EXPECT_EQ(length, 0u);
  EXPECT_STREQ(block, "");
  EXPECT_EQ(in.TakeLine(block, sizeof block, "", false, length), 0u);
  EXPECT_EQ(in.Length(), 3u);
}

TEST(Buffer, TakeReadWriteTruncate) {
  CTernBuffer buf;
  buf.Append(std::string_view("ab\0cd", 5));
  buf.Append(CTernString("ef"));
  EXPECT_EQ(buf.Length(), 7u);
  char two[2];
  EXPECT_EQ(buf.Take(two, 2), 2u);
  EXPECT_EQ(std::string(two, 2), "ab");
  // Offsets count from the first byte not yet taken.
  char peek[8] = {};
  EXPECT_EQ(buf.ReadAt(1, peek, sizeof peek), 4u);
  EXPECT_EQ(std::string(peek, 4), "cdef");
  EXPECT_EQ(buf.ReadAt(5, peek, 1), 0u);
  buf.WriteAt(1, "XY", 2);
  EXPECT_EQ(buf.Contents(), std::string("\0XYef", 5));
  buf.WriteAt(7, "!", 1);  // past the end: the gap is zero bytes
  EXPECT_EQ(buf.Contents(), std::string("\0XYef\0\0!", 8));
  buf.Truncate(3);
  EXPECT_EQ(buf.Contents(), std::string("\0XY", 3));
  buf.Truncate(5);
  EXPECT_EQ(buf.Contents(), std::string("\0XY\0\0", 5));

  std::string out;
  EXPECT_EQ(buf.Take(out, 2), 2u);
  EXPECT_EQ(out, std::string("\0X", 2));
  EXPECT_EQ(buf.TakeAll(), std::string("Y\0\0", 3));
  EXPECT_EQ(buf.Length(), 0u);
  EXPECT_EQ(buf.Take(out, 10), 0u);
  EXPECT_EQ(out, "");
  buf.Append("more");
  buf.Clear();
  EXPECT_EQ(buf.Length(), 0u);
  buf.Reserve(10000);
  EXPECT_GE(buf.Capacity(), 10000u);
}

TEST(Buffer, TakenBytesDoNotPileUp) {
  // A reader that appends 4064-byte blocks and takes a little less each time
  // keeps a small backlog; the block must not grow with everything ever read.
  CTernBuffer buf;
  std::string block(4064, 'x');
  std::string out;
  for (int i = 0; i < 2000; ++i) {
    buf.Append(block);
    buf.Take(out, 4000);
  }
  EXPECT_EQ(buf.Length(), 2000u * 64);
  EXPECT_LT(buf.Capacity(), 1024u * 1024);
}
