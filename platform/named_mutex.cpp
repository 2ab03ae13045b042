// Named, process-shared, robust, recursive mutexes in POSIX shared memory.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/sync.h"

struct PlatformNamedMutex::Segment {
  uint32_t magic;
  pthread_mutex_t mutex;
  int32_t depth;  // recursion depth of the holder; changed only by the holder
  int32_t dead;   // set by the last holder just before the object is unlinked
};

namespace {
constexpr uint32_t kMagic = 0x4F53544C;  // "OSTL"
constexpr size_t kMaxPlainName = 200;

uint64_t Fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}
}  // namespace

std::string PlatformNamedMutex::ObjectName(const std::string& name) {
  std::string clean;
  clean.reserve(name.size());
  for (char c : name) clean += (c == '/' || c == '\0') ? ',' : c;
  if (clean.size() > kMaxPlainName) {
    char hash[20];
    snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(name)));
    clean = clean.substr(clean.size() - 120) + "~" + hash;
  }
  return "/ostrel." + clean;
}

PlatformNamedMutex::~PlatformNamedMutex() { Close(); }

int PlatformNamedMutex::Open(const std::string& name) {
  if (name == m_Name && m_Segment) return 0;
  Close();
  m_Name = name;
  int err = Map();
  if (err != 0) m_Name.clear();
  return err;
}

void PlatformNamedMutex::Close() {
  // When nobody holds the mutex, take and release it once: the release of a
  // last holder removes the shared-memory object, so names do not pile up.
  if (m_Segment && Acquire(0) != kPlatformWaitTimeout) Release();
  Unmap();
  m_Name.clear();
}

void PlatformNamedMutex::Unmap() {
  if (m_Segment) munmap(m_Segment, sizeof(Segment));
  m_Segment = nullptr;
}

int PlatformNamedMutex::Map() {
  std::string object = ObjectName(m_Name);
  int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  // The first opener initialises the mutex; flock keeps a second one from using it
  // half-made.
  int err = 0;
  if (flock(fd, LOCK_EX) != 0) err = errno;
  struct stat st {};
  if (err == 0 && fstat(fd, &st) != 0) err = errno;
  bool fresh = err == 0 && st.st_size < static_cast<off_t>(sizeof(Segment));
  if (fresh && ftruncate(fd, sizeof(Segment)) != 0) err = errno;
  void* map = MAP_FAILED;
  if (err == 0) {
    map = mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) err = errno;
  }
  if (err == 0) {
    m_Segment = static_cast<Segment*>(map);
    m_Device = st.st_dev;
    m_Inode = st.st_ino;
    if (fresh || m_Segment->magic != kMagic) {
      pthread_mutexattr_t attr;
      pthread_mutexattr_init(&attr);
      pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
      pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
      pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
      err = pthread_mutex_init(&m_Segment->mutex, &attr);
      pthread_mutexattr_destroy(&attr);
      m_Segment->depth = 0;
      m_Segment->dead = 0;
      m_Segment->magic = kMagic;
      if (err != 0) Unmap();
    }
  }
  flock(fd, LOCK_UN);
  close(fd);
  return err;
}

int PlatformNamedMutex::Acquire(long timeoutMs) {
  if (m_Name.empty()) {
    errno = EINVAL;
    return -1;
  }
  struct timespec deadline {};
  if (timeoutMs > 0) {
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec++;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  for (;;) {
    if (!m_Segment) {
      int err = Map();
      if (err != 0) {
        errno = err;
        return -1;
      }
    }
    int rc;
    if (timeoutMs == 0)
      rc = pthread_mutex_trylock(&m_Segment->mutex);
    else if (timeoutMs < 0)
      rc = pthread_mutex_lock(&m_Segment->mutex);
    else
      rc = pthread_mutex_timedlock(&m_Segment->mutex, &deadline);

    if (rc == EBUSY || rc == ETIMEDOUT) return kPlatformWaitTimeout;
    bool abandoned = rc == EOWNERDEAD;
    if (abandoned) {
      pthread_mutex_consistent(&m_Segment->mutex);
      m_Segment->depth = 0;
    } else if (rc != 0) {
      errno = rc;
      return -1;
    }
    if (m_Segment->dead) {
      // Its last holder removed this object, and the name now stands for a new one;
      // or that holder died between marking the object and removing it, and the
      // name still stands for this dead object. Then nobody else can ever remove it
      // and every later opener would find it dead again: remove it now, while
      // holding it (no other holder can re-point the name meanwhile).
      if (NameStillHasThisObject()) shm_unlink(ObjectName(m_Name).c_str());
      pthread_mutex_unlock(&m_Segment->mutex);
      Unmap();
      continue;
    }
    m_Segment->depth++;
    return abandoned ? kPlatformWaitAbandoned : kPlatformWaitObject0;
  }
}

bool PlatformNamedMutex::NameStillHasThisObject() const {
  int fd = shm_open(ObjectName(m_Name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  bool same = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == m_Device &&
              static_cast<uint64_t>(st.st_ino) == m_Inode;
  close(fd);
  return same;
}

int PlatformNamedMutex::Release() {
  if (!m_Segment) return EPERM;
  Segment* seg = m_Segment;
  // Check ownership before touching the shared fields: unlock of a robust mutex
  // by a non-owner fails with EPERM and changes nothing, so try it on a copy of
  // the depth only after we know we hold it.
  int rc = pthread_mutex_trylock(&seg->mutex);
  if (rc == 0 || rc == EOWNERDEAD) {
    // We got it (again): either we already held it (recursive) or nobody did.
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&seg->mutex);
    if (seg->depth == 0 || rc == EOWNERDEAD) {
      // Nobody held it: we are not the owner. Undo the probe.
      seg->depth = 0;
      pthread_mutex_unlock(&seg->mutex);
      return EPERM;
    }
    pthread_mutex_unlock(&seg->mutex);  // undo the probe's extra level
  } else {
    return EPERM;  // another thread holds it
  }
  if (seg->depth > 1) {
    seg->depth--;
    return pthread_mutex_unlock(&seg->mutex);
  }
  seg->depth = 0;
  seg->dead = 1;
  shm_unlink(ObjectName(m_Name).c_str());
  rc = pthread_mutex_unlock(&seg->mutex);
  Unmap();
  return rc;
}
