// The message object: one message being read from, or written to, a file (a disk
// file by path, or any CTernFile such as a memory file) at an offset, with its
// header table, the union of its header classes, the collected content headers,
// its hop count ("Received" headers) and its MIME structure.
//
// Reading: the header section is read when the message is opened; lines then come
// from the message's first byte. With the size given, reading stops at offset +
// size; with size 0 the message runs to the end of the file or, unless
// NoSeparatorDetection is set, to the first line (not the first) that is a mailbox
// separator line followed by a header line, and its size is known from then on.
//
// Writing: text is written at the end of the file. While the header section is
// open, header lines are read from the text written (folded lines included); the
// section ends at the first empty line, or at EndHeaders(). With Complete set, a
// missing Date, Message-Id (when an identifier was given) and From (when an envelope
// sender was given) are added just before the empty line that ends the section.
//
// Every operation takes the object's lock, so one object may be passed between
// threads; it is meant to be used by one thread at a time. Operations return false
// (or -1, or 1 where noted) on failure; file failures are reported by the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file.h"
#include "base/lock.h"
#include "message/headers.h"
#include "message/mime.h"

// Option bits of a message.
namespace TernMessageOption {
enum : uint32_t {
  Complete = 1,               // writing: add missing Date, Message-Id, From
  Separator = 2,              // writing: a mailbox separator line before the message
  RewriteAddresses = 4,       // writing: address headers pass through the address parser
  ParseMime = 8,              // reading: find the MIME parts when the message opens
  NoSeparatorDetection = 16,  // reading with size 0: run to the end of the file
  BodyOnly = 32,              // writing: no header section; everything written is body
};
}  // namespace TernMessageOption

enum class TernMessageMode { Read, Write };

// The size of the blocks in which messages are copied, and the longest piece of a
// line that ReadLine returns at once.
inline constexpr int32_t kTernMessageBlock = 4096;

class CTernMessage {
 public:
  // A message in the disk file at path, opened ReadOnly+NoLock for reading or
  // Append+Create+NoLock for writing. offset and size (0: open) apply to reading;
  // a message being written starts at the end of the file.
  CTernMessage(const std::string& path, int32_t offset, int32_t size, uint32_t options,
               TernMessageMode mode);
  // A message in a file the caller owns and keeps alive; the message opens it in
  // Open() and closes it in Close(). REQUIRES: file is not open.
  CTernMessage(CTernFile& file, int32_t offset, int32_t size, uint32_t options,
               TernMessageMode mode);
  // Closes the message if it is open.
  ~CTernMessage();
  CTernMessage(const CTernMessage&) = delete;
  CTernMessage& operator=(const CTernMessage&) = delete;

  // Opens the file. Reading: reads the header section (and the MIME structure with
  // ParseMime). Writing: writes the separator line with Separator. envelopeSender
  // and messageId (empty: absent) serve the separator line and header completion.
  bool Open(const std::string& envelopeSender = "", const std::string& messageId = "");
  // Writing: ends the header section when Complete is set, writes out what is held
  // back, and closes the file. True when every write and the close succeeded.
  bool Close();
  bool IsOpen();
  bool IsReading() const { return m_Mode == TernMessageMode::Read; }

  // --- Reading ---
  // The next line (up to and including LF; a longer line comes in pieces of at most
  // kTernMessageBlock bytes). Its length, 0 at the end of the message, -1 on error.
  int32_t ReadLine(std::string& line);
  // At most length bytes. Bytes read, 0 at the end of the message, -1 on error.
  int32_t Read(char* buffer, int32_t length);
  // Back to the first line of the message; with skipSeparator, to the line after a
  // separator line that begins the message.
  bool Rewind(bool skipSeparator = false);
  // To the first line of the body (after the empty line that ends the headers).
  bool SeekBody();
  // The envelope sender of the separator line that begins the message; empty when
  // there is none.
  std::string SeparatorSender();
  // The length of the separator line that begins the message; 0 when there is none.
  int32_t SeparatorLength();
  // Copies the rest of the message into target in blocks of kTernMessageBlock.
  bool CopyTo(CTernFile& target);

  // --- Writing ---
  bool Write(std::string_view text);
  // "Name: value\r\n".
  bool WriteHeader(std::string_view name, std::string_view value);
  // Ends the header section: completes the headers (Complete), then writes CR LF
  // unless the last line written was empty. Does nothing once the section has ended.
  bool EndHeaders();
  bool HeadersOpen();
  // Copies the rest of source (being read) in blocks of kTernMessageBlock.
  bool CopyFrom(CTernMessage& source);

  // --- Headers, sizes ---
  // Headers read, or written so far (the last one included while its continuation
  // lines may still follow).
  // The value of the first header of that name (any case), unfolded.
  bool FindHeader(std::string_view name, std::string& value);
  std::string Header(std::string_view name);
  std::vector<std::pair<std::string, std::string>> Headers();
  unsigned HeaderClasses();
  std::string ContentHeaders();
  int HopCount();
  // Where the message begins in the file.
  int32_t Offset();
  // Reading: the message's size (found by reading to its end when it was opened with
  // size 0). Writing: the bytes written so far (all of them once closed). -1 when it
  // cannot be found.
  int32_t Size();
  // Where the body begins in the file.
  int32_t BodyOffset();

  // --- MIME ---
  TernContentDescription Description();
  bool HasAttachments();
  // Parts of a multipart message (0 for any other), and part n's description
  // (n from 1).
  int32_t PartCount();
  bool Part(int32_t n, TernContentDescription& description);
  // Writes part n (0: the whole body) into target (being written, not this
  // message), decoded when its encoding is base64 or quoted-printable. 0 on
  // success, 1 on failure.
  int Extract(int32_t n, CTernMessage& target);
  // Writing, header section open: unless the message is already multipart, writes
  // "MIME-Version: 1.0" and a multipart/mixed Content-Type with a new boundary
  // ("--------------" and two random numbers "%05d"). 1 when refused (reading, the
  // section has ended, or a non-multipart Content-Type was already written).
  int MakeMultipart();
  // Writing, header section ended, multipart: a text part's delimiter and headers.
  int BeginTextPart();
  // The same for an attachment part. Empty type, disposition and encoding become
  // "application/octet-stream", "inline" and "7bit".
  int BeginAttachmentPart(std::string_view type, std::string_view name,
                          std::string_view disposition, std::string_view encoding);
  // The delimiter line (closing: the final one, with "--" after the delimiter).
  int DelimiterLine(bool closing = false);
  // "--" + boundary of a multipart message; empty for any other.
  std::string Delimiter();

 private:
  // Where reading stands: the next line begins at position.
  struct Cursor {
    int32_t position = 0;
    bool atLineStart = true;
    bool firstLine = true;
    std::optional<std::string> peek;  // a line read ahead; it begins at position
  };

  bool OpenLocked(const std::string& envelopeSender, const std::string& messageId);
  bool CloseLocked();

  // Reading.
  int32_t PhysicalLineLocked(int32_t position, std::string& piece);
  int32_t NextLineLocked(std::string& line);
  void EndAtLocked(int32_t position);
  bool EndKnownLocked() const { return m_End >= 0; }
  bool FindEndLocked();
  bool ReadHeaderSectionLocked();
  void RewindLocked(bool skipSeparator);
  bool SeekFileLocked(int32_t position);
  int32_t ReadBlockLocked(char* buffer, int32_t length);
  // Feeds the bytes in [from, to) to sink in blocks; false on a read error.
  template <class Sink>
  bool ReadRangeLocked(int32_t from, int32_t to, Sink sink);

  // Writing.
  bool WriteLocked(std::string_view text);
  bool WriteRawLocked(std::string_view text);
  bool HeaderLineLocked(const std::string& line);
  bool FlushHeldLocked();
  bool CompleteHeadersLocked();
  bool GeneratedHeaderLocked(const std::string& name, const std::string& value);
  bool EndHeadersLocked();
  bool FlushPendingLocked();

  // The header table, with a header still held back included.
  const CTernHeaders& TableLocked();

  // MIME.
  bool ScanMimeLocked();
  std::string DelimiterLocked();
  int PartWriteCheckLocked();
  int32_t ContentEndLocked() const;

  CTernLock m_Lock;  // guards every member below
  std::unique_ptr<CTernFile> m_OwnedFile;
  CTernFile* m_File;
  TernMessageMode m_Mode;
  uint32_t m_Options;
  bool m_Open = false;
  bool m_Failed = false;  // a write failed since Open()
  int32_t m_Offset;
  int32_t m_Size;          // 0: open (reading) until the end is found
  int32_t m_End = -1;      // reading: offset + size once known; writing: end written
  int32_t m_BodyOffset = -1;
  int32_t m_FilePosition = -1;  // where the file stands, -1 when unknown
  std::string m_EnvelopeSender;
  std::string m_MessageId;
  std::string m_SeparatorSender;
  int32_t m_SeparatorLength = 0;
  CTernHeaders m_Headers;

  // Reading.
  Cursor m_Cursor;
  bool m_Ended = false;
  bool m_MimeScanned = false;
  std::vector<TernMimePart> m_Parts;

  // Writing: the header section and what it holds back.
  bool m_HeadersOpen = false;
  std::string m_LineBuffer;   // an unfinished header line
  bool m_InLongLine = false;  // passing an overlong header line through unread
  bool m_Held = false;        // a header held back until its continuation lines are in
  std::string m_HeldText, m_HeldName, m_HeldValue;
  CTernHeaders m_HeldView;    // the table with the held header, as accessors show it
  bool m_LastLineEmpty = false;
  bool m_LastByteLineEnd = true;
};
