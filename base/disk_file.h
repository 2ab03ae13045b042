// A buffered disk file. One buffer serves as read-ahead and as write-behind, in
// blocks of kTernFileBlock bytes; Tell() is the logical position, which runs ahead
// of the disk while writes wait in the buffer.
//
// Every operation takes the object's lock for its whole duration, so one object may
// be used by several threads. Unless the mode has NoLock, the path's named lock
// (LockNameOf) is held from a successful Open() to Close(): no two file objects in
// any thread or process have one path open at once, the later Open() waits. The
// named lock belongs to the thread that opened, so that thread closes.
//
// An operation on a closed file reports message 87 with the operation's name.
#pragma once

#include <cstdint>
#include <string>

#include "base/file.h"
#include "base/lock.h"
#include "base/named_lock.h"

class CTernDiskFile : public CTernFile {
 public:
  // No file is touched until Open().
  CTernDiskFile(const std::string& path, uint32_t mode);
  // Closes the file if open; with DeleteOnClose, then removes it, provided this
  // object opened it at some time (a failed Exclusive open removes nothing).
  ~CTernDiskFile() override;

  // Message 85 when already open, 86 when the system refuses. While the system has
  // too many files open, reports warning 108 and tries again every second.
  bool Open() override;
  // Message 92 when pending writes cannot be written, 88 when close fails.
  bool Close() override;
  int32_t Read(std::string& out) override;
  int32_t Read(char* buffer, int32_t length) override;  // 95: bad arguments; 89
  int32_t Write(const std::string& text) override;
  int32_t Write(const char* buffer, int32_t length) override;  // 96, 99, 92
  int32_t ReadLine(std::string& line, const char* terminator) override;  // 97, 89
  int32_t ReadLine(char* buffer, int32_t size, const char* terminator) override;
  bool Flush() override;
  bool Truncate(int32_t length) override;  // 98, 99, 91
  bool Seek(int32_t offset, int origin) override;  // 90
  int32_t Tell() override;
  bool AtEnd() override;
  void Reserve(int32_t bytes) override;
  // Open: flush pending writes, then ask the handle (94). Closed: ask by name (93).
  int32_t Size() override;
  bool ModificationTime(time_t& time) override;
  using CTernFile::Read;

  // Writes out pending bytes and has the system put the file on disk (fsync), so
  // that it survives a crash. Message 92 on failure.
  bool Sync();

  const std::string& Path() const { return m_Path; }

 private:
  enum class BufferState { None, Reading, Writing };

  bool CheckOpenLocked(const char* operation);
  bool OpenDescriptorLocked();
  bool LockPathLocked();
  void UnlockPathLocked();
  bool CloseLocked();
  // Writes out pending bytes or discards the read-ahead; state becomes None.
  bool FlushBufferLocked();
  // Writes the whole buffer at the system position and empties it.
  bool WriteOutLocked();
  bool SeekSystemLocked(int64_t offset, int whence, int64_t* result);
  bool StartReadingLocked();
  bool StartWritingLocked();
  // Reads one block into the buffer: bytes read, 0 at the end, -1 on failure.
  int32_t FillLocked();
  size_t AvailableLocked() const { return m_Buffer.size() - m_Consumed; }
  // Takes count bytes of read-ahead as read: they move the position.
  void SkipLocked(size_t count);
  // At the largest position: true (and reported) when the file goes on beyond it
  // or cannot be read; false at its real end.
  bool MoreBeyondLimitLocked();
  int32_t ReadLineLocked(std::string& line, const char* terminator, size_t limit);
  // Size and modification time: by the handle when open, else by name.
  bool StatLocked(int64_t& size, time_t& modified);

  CTernLock m_Lock;  // guards every member below
  std::string m_Path;
  uint32_t m_Mode;
  bool m_Open = false;
  bool m_WasOpened = false;  // Open() has succeeded at least once
  int m_Fd = -1;
  int32_t m_Position = 0;  // the logical position
  BufferState m_State = BufferState::None;
  // Reading: bytes from m_Consumed on are the read-ahead and the system position
  // stands at their end. Writing: the whole buffer waits to be written at the
  // system position. Either way m_Position is where the caller stands.
  std::string m_Buffer;
  size_t m_Consumed = 0;
  CTernNamedLock m_PathLock;
  bool m_PathLocked = false;
};
