// The growable byte buffer that file and socket readers fill and their callers drain,
// by count or line by line. It holds a block of bytes and a read index: the bytes
// before the index have been taken already. Every operation takes the buffer's own
// lock. Offsets and lengths count the bytes not yet taken.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/lock.h"

class CTernString;

// The block size in which file and socket readers add data.
constexpr size_t kTernReadBlock = 4064;

class CTernBuffer {
 public:
  CTernBuffer() = default;
  explicit CTernBuffer(size_t capacity);
  CTernBuffer(const CTernBuffer&) = delete;
  CTernBuffer& operator=(const CTernBuffer&) = delete;

  void Append(const void* data, size_t length);
  void Append(std::string_view text);
  void Append(const CTernString& text);

  // Bytes not yet taken.
  size_t Length() const;
  // Room held for bytes, taken or not.
  size_t Capacity() const;

  // Takes up to max bytes into block; returns how many.
  size_t Take(void* block, size_t max);
  // Takes up to max bytes; out is replaced by them. Returns how many.
  size_t Take(std::string& out, size_t max);
  // Takes everything.
  std::string TakeAll();

  // Copies up to max bytes from offset without taking them; returns how many.
  size_t ReadAt(size_t offset, void* block, size_t max) const;
  // A copy of everything not yet taken.
  std::string Contents() const;
  // Overwrites from offset, extending the contents as needed; a gap between the
  // end and offset is filled with zero bytes.
  void WriteAt(size_t offset, const void* data, size_t length);
  // Cuts the contents to length bytes, or extends them with zero bytes.
  void Truncate(size_t length);
  // Makes room for at least capacity bytes.
  void Reserve(size_t capacity);
  void Clear();

  // Takes one line: bytes up to and including the first occurrence of terminator
  // (one or more bytes). Into a block of size bytes: at most size - 1 bytes, always
  // zero-terminated. Without cont the block is filled from its start; with cont the
  // bytes are added behind the length bytes the block already holds (as the last
  // call returned them), and a terminator that began in those bytes is completed
  // by the new ones. On return length is what the block holds. Returns length when
  // the terminator was found, else 0: the buffer ran dry (more data is needed) or
  // the block is full (length is size - 1). An empty terminator takes nothing.
  size_t TakeLine(char* block, size_t size, std::string_view terminator, bool cont,
                  size_t& length);
  // The same without a size limit: the line goes into line (added to its end with
  // cont). Returns line's length when the terminator was found, else 0.
  size_t TakeLine(std::string& line, std::string_view terminator, bool cont = false);

 private:
  // Drops the taken bytes before growing when that pays (the rest moves to the
  // front); callers hold the lock.
  void Compact(size_t room);
  // How many bytes from the read index make up a line behind held bytes already
  // taken (for a terminator spanning the two); 0 when there is no terminator within
  // limit bytes, in which case found is false.
  size_t LineEnd(std::string_view held, std::string_view terminator, size_t limit,
                 bool& found) const;

  mutable CTernLock m_Lock;
  std::string m_Data;
  size_t m_Read = 0;
};
