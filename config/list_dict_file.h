// File helpers shared by the lists file and the dictionary files: the exchange of
// each byte's two 4-bit halves (the stored form of vendor dictionary lines and of
// dictionary keys), the "# 2 <time>" header line both files begin with, and the
// writing of a whole file by the replacement rule, creating it the first time.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/file.h"
#include "base/file_ops.h"
#include "base/lock.h"
#include "base/named_lock.h"
#include "config/config_internal.h"
#include "config/initial_config.h"

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

// Reads a lists or dictionary file: the header line, then every further line with
// its byte halves exchanged back when the file stores them exchanged, and its
// trailing CR and LF removed. Exchanged files end their lines with 0xA0 (an
// exchanged LF), plain files with LF. The header is plain text in both; should an
// exchanged file's header end with a plain LF, the line read with it is kept as the
// first line. Failures are reported with the file's path: a missing or malformed
// header (24 at line 0), another version (25), a failed read (24 at its line).
class CTernListDictReader {
 public:
  CTernListDictReader(CTernFile& file, const std::string& path, bool exchanged);

  // Reads and checks the header; false (reported) when it is not a good header.
  bool ReadHeader();
  // The next line: 1 with line set, 0 at the end, -1 when reading failed.
  int Next(std::string& line);
  // The number of the line Next gave last (the first after the header is 1).
  int32_t LineNumber() const { return m_LineNumber; }
  // The digest (ConfigDigest) of the bytes read so far, as they stand in the file.
  uint64_t Digest() const { return m_Digest.Value(); }

 private:
  CTernFile& m_File;
  const std::string& m_Path;
  const bool m_Exchanged;
  std::string m_Carried;
  int32_t m_LineNumber = 0;
  ConfigDigest m_Digest;
};

// Hands each line of a file's body (CR LF included) to emit, in order; false when
// emit refused a line or the lines cannot be produced.
using TernLineEmitter = std::function<bool(std::string_view line)>;
using TernLineProducer = std::function<bool(const TernLineEmitter& emit)>;

// Writes the whole file: the header line with the time of writing, then the lines
// that produce gives, written out in blocks of about 64 KB. By the replacement rule
// (_new, _old) when the file exists, else into path + "_new", which is then renamed
// to path. False (reported by the file operations) when anything fails; an existing
// file is then left as it was. digest, when given, receives the digest
// (ConfigDigest) of every byte written.
bool TernWriteListDictFile(const std::string& path, const TernLineProducer& produce,
                           uint64_t* digest = nullptr);

// Writes a file of the header line alone unless path exists (the lists file and
// the local dictionary file of a fresh installation): into path + "_new", renamed
// into place only while path is still absent, so nothing is ever overwritten.
// Failures are reported by the file operations.
InitialFileResult TernWriteEmptyListDictFile(const std::string& path);

// When the files of a lists or dictionary store were last loaded, tried and
// checked for changes. Safe to use from any thread.
class CTernListDictWatch {
 public:
  explicit CTernListDictWatch(std::vector<std::string> paths) : m_Paths(std::move(paths)) {}

  // True when a load with this force flag is to be skipped: force 0 no more than a
  // second after the last successful load.
  bool SkipLoad(int force, time_t now);
  // The stamps of the files now; taken under the data set's named lock by a load.
  std::vector<TernFileStamp> Stamps() const;
  // Records a load tried at now on the files as stamped, and its success.
  void Tried(time_t now, bool ok, std::vector<TernFileStamp> stamps);
  // At most every 10 seconds (the check is recorded): true when a file is not the
  // one the last load tried (replaced, written or removed since). So a file that
  // failed to load is tried again only once it changes.
  bool ReloadDue();
  // The time of the last successful load, 0 before the first.
  time_t Loaded();

 private:
  const std::vector<std::string> m_Paths;
  CTernLock m_Lock;  // guards the three times
  time_t m_Loaded = 0;
  time_t m_LastCheck = 0;
  std::vector<TernFileStamp> m_Tried;  // the files the last load read
};

// Runs work (returning bool) under a data set's named lock (TNLISTFILELOCK,
// TNDDRFILELOCK). False when the lock cannot be taken, when work fails, runs out of
// memory (reported as message 22) or throws CTernException (reported when made).
bool TernUnderDataSetLock(const char* lockName, const std::function<bool()>& work);
