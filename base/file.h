// The file interface that every reader and writer of files and messages works
// against, so that one routine can write to disk or into memory alike.
//
// Operations never throw. A failure is reported to the event log by message code,
// with the file's name and the system's error number, and the operation returns a
// failure value (-1 or false); the caller decides what to do. Positions and lengths
// are 32-bit signed: files of 2 GB and more are not supported, and operations that
// would take a position past that limit fail.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Open modes: a bit set given when a file object is made.
namespace TernFileMode {
enum : uint32_t {
  ReadOnly = 1,        // read only; without it the file is read and written
  Append = 2,          // every write goes to the end of the file
  Create = 4,          // create the file if it does not exist
  Exclusive = 8,       // with Create: fail if the file exists
  Truncate = 16,       // empty the file on opening
  DeleteOnClose = 32,  // remove the file when the object is destroyed
  NoLock = 64,         // do not hold the path's named lock while open
  Private = 128,       // with Create: a new file is for its owner alone (mode 0600)
};
}  // namespace TernFileMode

// Origins of Seek().
namespace TernSeek {
enum : int { Start = 0, Current = 1, End = 2 };
}  // namespace TernSeek

// The block size of read-ahead and write-behind.
constexpr int32_t kTernFileBlock = 4064;

class CTernFile {
 public:
  virtual ~CTernFile() = default;
  CTernFile() = default;
  CTernFile(const CTernFile&) = delete;
  CTernFile& operator=(const CTernFile&) = delete;

  // Opens the file at position 0. False when it is already open or cannot be opened.
  virtual bool Open() = 0;
  // Writes out what is pending and closes. True when both succeeded.
  virtual bool Close() = 0;
  // Replaces out with everything from the position to the end. Bytes read, or -1.
  virtual int32_t Read(std::string& out) = 0;
  // Reads at most length bytes. Bytes read (0 at the end), or -1.
  virtual int32_t Read(char* buffer, int32_t length) = 0;
  // Writes all of text / length bytes at the position. Bytes accepted, or -1.
  virtual int32_t Write(const std::string& text) = 0;
  virtual int32_t Write(const char* buffer, int32_t length) = 0;
  // Replaces line with the next line: bytes up to and including the first
  // occurrence of terminator (one or more bytes), or up to the end of the file when
  // no terminator follows. Its length (0 at the end of the file), or -1.
  virtual int32_t ReadLine(std::string& line, const char* terminator) = 0;
  // As above into buffer: copies at most size - 1 bytes and always ends them with a
  // zero byte. A line longer than that comes in pieces. REQUIRES: size >= 2.
  virtual int32_t ReadLine(char* buffer, int32_t size, const char* terminator) = 0;
  // Writes out what is pending. True on success.
  virtual bool Flush() = 0;
  // Sets the file's length; a position beyond the new end moves to the end.
  virtual bool Truncate(int32_t length) = 0;
  // Moves the position: origin TernSeek::Start, Current or End. True on success.
  virtual bool Seek(int32_t offset, int origin) = 0;
  // The position, or -1.
  virtual int32_t Tell() = 0;
  // True when the position is at (or past) the end, and when the file cannot be
  // read at all (closed, or its size is unknown), so a reading loop always ends.
  virtual bool AtEnd() = 0;
  // A size hint: the memory file grows its buffer to at least this many bytes.
  virtual void Reserve(int32_t bytes) = 0;
  // The size in bytes, pending writes included, or -1.
  virtual int32_t Size() = 0;
  // Sets time to the last modification time. True on success.
  virtual bool ModificationTime(time_t& time) = 0;

  // Reads at most length bytes into out (replacing it). Bytes read, or -1.
  int32_t Read(std::string& out, int32_t length);

 protected:
  // The number of bytes of data that make the next line: up to and including the
  // first terminator, but at most limit. -1 when data holds neither a whole line
  // nor limit bytes. The search for the terminator begins at byte from.
  static int64_t LineLength(std::string_view data, std::string_view terminator, size_t limit,
                            size_t from = 0);
};
