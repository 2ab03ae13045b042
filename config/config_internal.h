// Helpers shared by the configuration's own sources; not for other subsystems.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/exception.h"
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
