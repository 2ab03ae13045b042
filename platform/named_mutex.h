// A mutex with a name, shared by every thread and process that opens the same name:
// the stand-in for a named Windows mutex. It lives in a POSIX shared-memory object
// and is process-shared, robust (a holder that dies leaves it "abandoned", not stuck)
// and recursive for its owning thread.
//
// The shared-memory object is removed again by the last release of its holder, so
// that locks named after file paths do not pile up in /dev/shm. A removed object is
// marked dead first; anyone who acquires a dead one lets it go and opens the name
// afresh, so exclusion holds across the removal.
#pragma once

#include <cstdint>
#include <string>

class PlatformNamedMutex {
 public:
  PlatformNamedMutex() = default;
  ~PlatformNamedMutex();
  PlatformNamedMutex(const PlatformNamedMutex&) = delete;
  PlatformNamedMutex& operator=(const PlatformNamedMutex&) = delete;

  // Opens (creating if needed) the mutex of this name, not owned. 0 or an errno.
  // Opening the name already open keeps the present mapping.
  int Open(const std::string& name);
  void Close();
  bool IsOpen() const { return !m_Name.empty(); }

  // Waits for the mutex: timeoutMs 0 tries once, a negative value waits without
  // limit. Returns kPlatformWaitObject0 when acquired, kPlatformWaitAbandoned when
  // acquired from a holder that died (the mutex is made consistent and is held),
  // kPlatformWaitTimeout when not acquired in time, or -1 on failure (errno set).
  int Acquire(long timeoutMs);
  // Releases one level of ownership. 0, or an errno (EPERM: not the owner).
  int Release();

  // The shared-memory object name used for a lock name.
  static std::string ObjectName(const std::string& name);

 private:
  struct Segment;
  int Map();
  void Unmap();
  // Whether the name still stands for the object this mutex has mapped.
  bool NameStillHasThisObject() const;

  std::string m_Name;
  Segment* m_Segment = nullptr;
  uint64_t m_Device = 0, m_Inode = 0;  // the mapped object's identity
};
