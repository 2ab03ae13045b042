// Helpers shared by the configuration's own sources; not for other subsystems.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/disk_file.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "base/lock.h"
#include "base/named_lock.h"

// What a change of the table did: applied (to be saved), failed, or nothing to do.
enum ConfigChangeResult { kChangeApplied = 0, kChangeFailed = 1, kChangeNone = 2 };

// A 64-bit FNV-1a digest of a file's bytes, fed in pieces; used to tell whether a
// file still holds what this process last read or wrote.
class ConfigDigest {
 public:
  void Add(std::string_view bytes) {
    for (unsigned char c : bytes) {
      m_Value ^= c;
      m_Value *= 0x100000001B3ull;
    }
    m_Length += bytes.size();
  }
  uint64_t Value() const { return m_Value ^ m_Length; }

 private:
  uint64_t m_Value = 0xCBF29CE484222325ull;
  uint64_t m_Length = 0;
};

// The digest of a whole file's bytes; false (reported) when it cannot be read.
inline bool ConfigDigestOf(const std::string& path, uint64_t& digest) {
  CTernDiskFile file(path, TernFileMode::ReadOnly);
  if (!file.Open()) return false;
  std::string contents;
  bool ok = file.Read(contents) >= 0;
  file.Close();
  ConfigDigest d;
  d.Add(contents);
  digest = d.Value();
  return ok;
}

// What a store last saw of a file: whether it was there and the digest of its
// bytes. Another writer's change shows as a difference.
struct ConfigFileSeen {
  bool exists = false;
  uint64_t digest = 0;
  bool operator==(const ConfigFileSeen&) const = default;
};
// The file as it is now.
inline ConfigFileSeen ConfigSeenNow(const std::string& path) {
  ConfigFileSeen seen;
  seen.exists = FileExists(path, false);
  if (seen.exists && !ConfigDigestOf(path, seen.digest)) seen.digest = ~uint64_t{0};
  return seen;
}
