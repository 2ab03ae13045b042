// File helpers shared by the lists file and the dictionary files: the exchange of
// each byte's two 4-bit halves (the stored form of vendor dictionary lines and of
// dictionary keys), the "# 2 <time>" header line both files begin with, and the
// writing of a whole file by the replacement rule, creating it the first time.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/file_ops.h"
#include "base/named_lock.h"

// Byte 0x61 becomes 0x16; applying the exchange twice gives the byte back.
inline char TernSwapHalves(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return static_cast<char>(static_cast<unsigned char>((u << 4) | (u >> 4)));
}
void TernSwapHalves(std::string& text);
std::string TernSwappedCopy(std::string_view text);

// The version character of both file formats.
constexpr char kTernListDictVersion = '2';

// "# 2 <time>\r\n".
std::string TernListDictHeader(time_t when);

enum class TernHeaderState { Ok, Corrupt, Unsupported };
// Checks the first three bytes of a header line: "# " and the version character.
TernHeaderState TernCheckListDictHeader(std::string_view line);

// Writes the whole file through write: by the replacement rule (_new, _old) when
// the file exists, else into path + "_new", which is then renamed to path. False
// (reported by the file operations) when anything fails; an existing file is then
// left as it was.
bool TernWriteListDictFile(const std::string& path, const TernFileWriter& write);

// Holds a data set's named lock (TNLISTFILELOCK, TNDDRFILELOCK) for a scope. The
// constructor throws CTernException, already reported, when the lock cannot be
// taken; a failed release is reported by the lock and goes no further.
class CTernDataSetLock {
 public:
  explicit CTernDataSetLock(const char* name) : m_Lock(name) { m_Lock.Lock(); }
  ~CTernDataSetLock() {
    try {
      m_Lock.Unlock();
    } catch (const CTernException&) {
    }
  }
  CTernDataSetLock(const CTernDataSetLock&) = delete;
  CTernDataSetLock& operator=(const CTernDataSetLock&) = delete;

 private:
  CTernNamedLock m_Lock;
};
