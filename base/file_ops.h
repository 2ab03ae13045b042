// Operations on paths (exists, remove, rename, make and remove a directory, the
// parts of a path, the name of a path's lock) and the one rule by which every data
// file is replaced on disk.
//
// Each operation reports its failure to the event log by message code with the path
// and the system's error number, and returns false. With lock true, an operation
// holds the named lock of each path it touches (LockNameOf) around its work: the
// same lock a file object holds while it has the path open.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "base/file.h"

// True when the path exists.
bool FileExists(const std::string& path, bool lock);

// Removes a file. When the system refuses for lack of access, makes the directory
// writable for its owner for a second try and then gives it back its mode.
// Failure: message 100.
bool FileRemove(const std::string& path, bool lock);

// Renames from to to. The target must not exist: an existing one is left alone and
// the rename fails with EEXIST. Failure: message 101.
bool FileRename(const std::string& from, const std::string& to, bool lock);

// What identifies a file's present contents: replacing a file (the replacement
// rule renames a new file over it) gives it another device and inode, and writing
// in place changes its size or modification time. A missing file has exists false.
struct TernFileStamp {
  bool exists = false;
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modifiedNanoseconds = 0;
  time_t modified = 0;
  bool operator==(const TernFileStamp&) const = default;
  // The modification time in whole seconds.
  time_t Modified() const { return modified; }
};
// Never reports: a missing file is a stamp too.
TernFileStamp FileStampOf(const std::string& path);

// Makes a directory (mode 0755, or the mode given, before the umask). Failure:
// message 102.
bool DirMake(const std::string& path, uint32_t mode = 0755);
// Removes an empty directory. Failure: message 103.
bool DirRemove(const std::string& path);

// directory + "/" + name, without a doubled "/"; an empty directory gives name.
std::string PathJoin(const std::string& directory, const std::string& name);
// The part of the last component behind its last "."; empty when it has none.
std::string PathExtension(const std::string& path);

struct TernPathParts {
  std::string directory;  // empty when the path has no "/"; "/" for the root
  std::string name;       // the last component
};
// Splits a path at its last "/".
TernPathParts PathSplit(const std::string& path);

// The name of a path's named lock: every "/" and "\" turned into ",", cut to the
// last 255 characters.
std::string LockNameOf(const std::string& path);

// Writes the whole new contents of a data file into the file it is given (open,
// at position 0, empty). Returns false to abandon the replacement.
using TernFileWriter = std::function<bool(CTernFile&)>;

// Replaces the data file path with new contents, never rewriting it in place:
//   1. writes path + newSuffix (opened with newFileMode) through writeContents and
//      closes it; if that fails, path is untouched;
//   2. switches: the previous contents stay as path + oldSuffix, and path holds
//      the new contents, with no moment in which path is missing.
// When path does not exist yet the switch fails and path + newSuffix stays behind.
// An empty oldSuffix keeps no previous contents, and path need not exist yet. The
// new data and the directory are synced: a replaced file is on disk on return.
// The caller holds the data set's own named lock throughout. True on success.
// Without durable nothing is synced: a crash may then leave the old contents (or, on
// a power loss, an empty file), which only a file that can be made good again may
// accept.
bool FileReplace(const std::string& path, const TernFileWriter& writeContents,
                 uint32_t newFileMode = TernFileMode::Create | TernFileMode::Truncate,
                 const char* newSuffix = "_new", const char* oldSuffix = "_old", bool durable = true);

// Replaces two data files together: writes and closes both new files, then
// switches the first and then the second. Neither is switched unless both new
// files were written and both files exist.
bool FileReplacePair(const std::string& firstPath, const TernFileWriter& writeFirst,
                     const std::string& secondPath, const TernFileWriter& writeSecond,
                     uint32_t newFileMode = TernFileMode::Create | TernFileMode::Truncate,
                     const char* newSuffix = "_new", const char* oldSuffix = "_old");
