// Files, directories and paths of the operating system: the stand-in for the C
// runtime's low-level file functions. Every call returns 0 or the system's error
// number (errno), never throws and reports nothing; the foundation's file classes
// and path operations (base/) turn failures into message codes. Interrupted calls
// are retried here. Paths join with "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// How PlatformFileOpen opens a file; bits.
enum PlatformOpen : uint32_t {
  kPlatformOpenRead = 1,       // reading only; without it reading and writing
  kPlatformOpenAppend = 2,     // every write goes to the end
  kPlatformOpenCreate = 4,     // create the file (mode 0644 before the umask)
  kPlatformOpenExclusive = 8,  // with Create: fail with EEXIST when it exists
  kPlatformOpenTruncate = 16,  // empty it on opening
  kPlatformOpenPrivate = 32,   // with Create: mode 0600 instead of 0644
};

// Opens path; fd receives the descriptor (closed on exec).
int PlatformFileOpen(const std::string& path, uint32_t how, int& fd);
int PlatformFileClose(int fd);
// Reads at most size bytes; got is 0 at the end of the file.
int PlatformFileRead(int fd, char* buffer, size_t size, size_t& got);
// Writes all length bytes, or fails (a write that makes no progress gives EIO).
int PlatformFileWrite(int fd, const char* data, size_t length);
// Moves the descriptor's position; origin 0 start, 1 current, 2 end. at receives
// the new position.
int PlatformFileSeek(int fd, int64_t offset, int origin, int64_t& at);
int PlatformFileTruncate(int fd, int64_t length);
// Makes the file's data durable (fsync).
int PlatformFileSync(int fd);

// What the system knows of a file. A file replaced by a rename gets another
// identity (device and inode), so identity, size and time together tell whether a
// path still names the file that was read.
struct PlatformFileInfo {
  int64_t size = 0;
  time_t modified = 0;
  int64_t modifiedNanoseconds = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t mode = 0;  // permission bits
  bool directory = false;
};
int PlatformFileInfoOf(int fd, PlatformFileInfo& info);
// Follows a final symbolic link, as stat does.
int PlatformPathInfo(const std::string& path, PlatformFileInfo& info);

int PlatformRemoveFile(const std::string& path);
// Renames from to to and never replaces an existing to (EEXIST).
int PlatformRenameNoReplace(const std::string& from, const std::string& to);
// Renames from over to, replacing it in one step.
int PlatformRenameOver(const std::string& from, const std::string& to);
int PlatformChangeMode(const std::string& path, uint32_t mode);
int PlatformMakeDir(const std::string& path, uint32_t mode = 0755);  // before the umask
int PlatformRemoveDir(const std::string& path);

// The step at which a directory listing failed, each with its own message.
enum class PlatformListStep { None, Open, Read, Close };
// The names in a directory without "." and "..", in the system's order. step says
// where a failure happened; names is empty after one.
int PlatformListDir(const std::string& path, std::vector<std::string>& names,
                    PlatformListStep& step);

// The path of the running program.
int PlatformExecutablePath(std::string& path);
