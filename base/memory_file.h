// A file held wholly in memory, for routines that write a message or a page into
// memory through the same interface as to disk. Its contents outlive Close(): a
// later Open() sees them again unless the mode has Truncate. Of the open modes only
// ReadOnly, Append and Truncate mean anything here.
//
// Every operation takes the object's lock. Failures are reported with the name
// "(memoryfile)" and the same message codes as the disk file.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "base/file.h"
#include "base/lock.h"

class CTernMemoryFile : public CTernFile {
 public:
  // Empty contents; the modification time is now.
  explicit CTernMemoryFile(uint32_t mode = 0);
  ~CTernMemoryFile() override = default;

  bool Open() override;
  bool Close() override;
  int32_t Read(std::string& out) override;
  int32_t Read(char* buffer, int32_t length) override;
  int32_t Write(const std::string& text) override;
  // Writing past the end extends the contents, with zero bytes in any gap.
  int32_t Write(const char* buffer, int32_t length) override;
  int32_t ReadLine(std::string& line, const char* terminator) override;
  int32_t ReadLine(char* buffer, int32_t size, const char* terminator) override;
  // Nothing waits to be written: succeeds on an open file.
  bool Flush() override;
  bool Truncate(int32_t length) override;
  bool Seek(int32_t offset, int origin) override;
  int32_t Tell() override;
  bool AtEnd() override;
  void Reserve(int32_t bytes) override;
  // Size and time of the contents, open or closed.
  int32_t Size() override;
  bool ModificationTime(time_t& time) override;
  using CTernFile::Read;

  // A copy of the whole contents, open or closed.
  std::string Contents();

 private:
  bool CheckOpenLocked(const char* operation);
  int32_t ReadLineLocked(std::string& line, const char* terminator, size_t limit);

  CTernLock m_Lock;  // guards every member below
  uint32_t m_Mode;
  bool m_Open = false;
  int32_t m_Position = 0;
  time_t m_Modified;
  std::string m_Contents;
};
