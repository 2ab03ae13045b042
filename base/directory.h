// A directory listing: the names of a directory's entries, in the order in which
// the system returns them, without "." and "..". The listing is guarded by its own
// lock, so one object may be read and re-read by several threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/lock.h"

class CTernDirectory {
 public:
  CTernDirectory() = default;
  CTernDirectory(const CTernDirectory&) = delete;
  CTernDirectory& operator=(const CTernDirectory&) = delete;

  // Replaces the listing with the entries of path (files and directories alike).
  // Failure: message 107 when the listing cannot start, 105 when it breaks off,
  // 106 when the directory cannot be closed; the listing is then empty.
  bool Read(const std::string& path);

  int32_t Count();
  // The name of entry index; empty when there is no such entry.
  std::string Entry(int32_t index);
  // A copy of the whole listing.
  std::vector<std::string> Entries();

 private:
  CTernLock m_Lock;  // guards m_Entries
  std::vector<std::string> m_Entries;
};
