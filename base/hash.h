// The hash table of the system: text keys to pointer values, in 2^k chains chosen by
// the lookup2 hash of the key. Its iteration order (bucket by bucket, newest first
// within a chain, as growth leaves it) decides the order in which configuration,
// lists and dictionaries are written back, so it is kept exactly.
//
// The table does not own its values: insert takes a release function for a value
// that a new one replaces, and the owner empties the table (Clear with a release
// function) before destroying it. Every operation takes the table's own lock; the
// iteration cursor belongs to the table, so only one iteration may run at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/list.h"
#include "base/lock.h"
#include "base/string.h"

class CTernHash {
 public:
  using ReleaseFn = void (*)(void* value);
  using CopyFn = void* (*)(const void* value);

  // Buckets: 2^k where k is the bit length of initialSize, at least 1 (0 gives 2
  // buckets, 4096 gives 8192). A negative size throws 58. With ignoreCase, keys
  // that differ only in letter case are the same key.
  explicit CTernHash(int32_t initialSize = 0, bool ignoreCase = false);
  // A table that still holds entries reports 60; its values are not released.
  ~CTernHash();
  CTernHash(const CTernHash&) = delete;
  CTernHash& operator=(const CTernHash&) = delete;

  // Stores value under key. An existing entry keeps its place: its old value goes
  // to release (when given, and unless it is the new value itself) and, ignoring
  // case, the key takes the new spelling. A new entry goes to the front of its
  // chain, the table first doubling when the count exceeds the mask (throwing 59
  // should the move lose entries).
  void Insert(std::string_view key, void* value, ReleaseFn release = nullptr);
  // Whether key is present; its value goes to *value when value is given. With
  // remove the entry leaves the table (the value is handed back, not released).
  bool Find(std::string_view key, void** value = nullptr, bool remove = false);
  template <class T>
  bool Find(std::string_view key, T** value, bool remove = false) {
    void* found = nullptr;
    bool ok = Find(key, &found, remove);
    if (ok && value) *value = static_cast<T*>(found);
    return ok;
  }

  // Iteration: the first entry, then each next one; false at the end. key and
  // value may be null. Removing entries during an iteration is safe; when an insert
  // makes the table grow, the iteration ends.
  bool First(std::string* key, void** value);
  bool Next(std::string* key, void** value);

  size_t Count() const;
  size_t Buckets() const;
  bool IgnoreCase() const { return m_IgnoreCase; }

  // Inserts a copy (made by copy) of every value into target, in iteration order;
  // release is passed on to target's inserts. Copying a table into itself does
  // nothing.
  void CopyTo(CTernHash& target, CopyFn copy, ReleaseFn release = nullptr) const;
  // Adds every key to list: in order when the list has a comparison function,
  // else appended in iteration order.
  void Keys(CTernList<CTernString>& list) const;
  // Removes every entry, passing each value to release when given.
  void Clear(ReleaseFn release = nullptr);

  // Bob Jenkins' lookup2 hash of the bytes.
  static uint32_t Hash(const void* data, size_t length, uint32_t initial = 0);

 private:
  struct Entry {
    std::string key;
    uint32_t hash;
    void* value;
    Entry* next;
  };

  uint32_t HashOf(std::string_view key) const;
  bool SameKey(std::string_view a, std::string_view b) const;
  // The entry's link (the bucket head or the previous entry's next), or null.
  Entry** Locate(std::string_view key, uint32_t hash);
  void Grow(unsigned bits);
  // Moves the cursor to the first entry at or after bucket.
  void SeekBucket(size_t bucket);
  bool Deliver(std::string* key, void** value);
  void ReleaseAll(ReleaseFn release);

  mutable CTernLock m_Lock;
  std::vector<Entry*> m_Buckets;
  unsigned m_Bits = 1;
  uint32_t m_Mask = 1;
  size_t m_Count = 0;
  const bool m_IgnoreCase;
  // The iteration cursor: the entry Next() hands out, null at the end.
  size_t m_IterBucket = 0;
  Entry* m_IterEntry = nullptr;
};
