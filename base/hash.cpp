// CTernHash: the locked hash table and its lookup2 hash function.
#include "base/hash.h"

#include "base/ascii.h"
#include "base/exception.h"
#include "base/message_codes.h"

namespace {

constexpr uint32_t kGoldenRatio = 0x9E3779B9;
constexpr unsigned kMaxBits = 32;

uint32_t MaskOf(unsigned bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

// The reversible mix of three words.
inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

// Four bytes as a little-endian word.
inline uint32_t Word(const unsigned char* k) {
  return k[0] | (static_cast<uint32_t>(k[1]) << 8) | (static_cast<uint32_t>(k[2]) << 16) |
         (static_cast<uint32_t>(k[3]) << 24);
}


}  // namespace

uint32_t CTernHash::Hash(const void* data, size_t length, uint32_t initial) {
  const unsigned char* k = static_cast<const unsigned char*>(data);
  uint32_t a = kGoldenRatio;
  uint32_t b = kGoldenRatio;
  uint32_t c = initial;
  size_t left = length;
  while (left >= 12) {
    a += Word(k);
    b += Word(k + 4);
    c += Word(k + 8);
    Mix(a, b, c);
    k += 12;
    left -= 12;
  }
  // The low byte of c carries the length, so the last bytes fill c from bit 8.
  c += static_cast<uint32_t>(length);
  switch (left) {
    case 11: c += static_cast<uint32_t>(k[10]) << 24; [[fallthrough]];
    case 10: c += static_cast<uint32_t>(k[9]) << 16; [[fallthrough]];
    case 9: c += static_cast<uint32_t>(k[8]) << 8; [[fallthrough]];
    case 8: b += static_cast<uint32_t>(k[7]) << 24; [[fallthrough]];
    case 7: b += static_cast<uint32_t>(k[6]) << 16; [[fallthrough]];
    case 6: b += static_cast<uint32_t>(k[5]) << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += static_cast<uint32_t>(k[3]) << 24; [[fallthrough]];
    case 3: a += static_cast<uint32_t>(k[2]) << 16; [[fallthrough]];
    case 2: a += static_cast<uint32_t>(k[1]) << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    default: break;
  }
  Mix(a, b, c);
  return c;
}

CTernHash::CTernHash(int32_t initialSize, bool ignoreCase) : m_IgnoreCase(ignoreCase) {
  if (initialSize < 0) throw CTernException(kMsgHashInvalidSize);
  unsigned bits = 0;
  for (uint32_t n = static_cast<uint32_t>(initialSize); n != 0; n >>= 1) bits++;
  m_Bits = bits < 1 ? 1 : bits;
  m_Mask = MaskOf(m_Bits);
  m_Buckets.assign(static_cast<size_t>(m_Mask) + 1, nullptr);
}

CTernHash::~CTernHash() {
  if (m_Count != 0) {
    // Reported, not thrown: a destructor must not throw.
    CTernException report(60);
  }
  ReleaseAll(nullptr);
}

uint32_t CTernHash::HashOf(std::string_view key) const {
  if (!m_IgnoreCase) return Hash(key.data(), key.size());
  std::string lower(key);
  for (char& c : lower) c = static_cast<char>(TernLowerAscii(c));
  return Hash(lower.data(), lower.size());
}

bool CTernHash::SameKey(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  if (!m_IgnoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (TernLowerAscii(a[i]) != TernLowerAscii(b[i]))
      return false;
  }
  return true;
}

CTernHash::Entry** CTernHash::Locate(std::string_view key, uint32_t hash) {
  Entry** link = &m_Buckets[hash & m_Mask];
  for (; *link; link = &(*link)->next) {
    if ((*link)->hash == hash && SameKey((*link)->key, key)) return link;
  }
  return nullptr;
}

void CTernHash::Grow(unsigned bits) {
  if (bits > kMaxBits) bits = kMaxBits;
  uint32_t mask = MaskOf(bits);
  std::vector<Entry*> buckets(static_cast<size_t>(mask) + 1, nullptr);
  size_t moved = 0;
  for (Entry* head : m_Buckets) {
    while (head) {
      Entry* next = head->next;
      Entry*& chain = buckets[head->hash & mask];
      head->next = chain;
      chain = head;
      head = next;
      moved++;
    }
  }
  m_Buckets.swap(buckets);
  m_Bits = bits;
  m_Mask = mask;
  // Any iteration in progress has lost its place.
  m_IterBucket = m_Buckets.size();
  m_IterEntry = nullptr;
  if (moved != m_Count) {
    m_Count = moved;  // the table stays usable with what it really holds
    throw CTernException(kMsgHashCorrupted);
  }
}

void CTernHash::Insert(std::string_view key, void* value, ReleaseFn release) {
  CTernLockGuard guard(m_Lock);
  uint32_t hash = HashOf(key);
  if (Entry** link = Locate(key, hash)) {
    Entry* entry = *link;
    if (release && entry->value != value) release(entry->value);
    entry->value = value;
    if (m_IgnoreCase) entry->key.assign(key);
    return;
  }
  if (m_Count > m_Mask && m_Bits < kMaxBits) Grow(m_Bits + 1);
  Entry*& chain = m_Buckets[hash & m_Mask];
  chain = new Entry{std::string(key), hash, value, chain};
  m_Count++;
}

bool CTernHash::Find(std::string_view key, void** value, bool remove) {
  CTernLockGuard guard(m_Lock);
  Entry** link = Locate(key, HashOf(key));
  if (!link) return false;
  Entry* entry = *link;
  if (value) *value = entry->value;
  if (remove) {
    // An iteration about to hand out this entry moves on to the one after it.
    if (m_IterEntry == entry) {
      m_IterEntry = entry->next;
      if (!m_IterEntry) SeekBucket(m_IterBucket + 1);
    }
    *link = entry->next;
    delete entry;
    m_Count--;
  }
  return true;
}

void CTernHash::SeekBucket(size_t bucket) {
  m_IterEntry = nullptr;
  for (m_IterBucket = bucket; m_IterBucket < m_Buckets.size(); ++m_IterBucket) {
    if (m_Buckets[m_IterBucket]) {
      m_IterEntry = m_Buckets[m_IterBucket];
      return;
    }
  }
}

bool CTernHash::Deliver(std::string* key, void** value) {
  Entry* entry = m_IterEntry;
  if (!entry) return false;
  if (key) *key = entry->key;
  if (value) *value = entry->value;
  m_IterEntry = entry->next;
  if (!m_IterEntry) SeekBucket(m_IterBucket + 1);
  return true;
}

bool CTernHash::First(std::string* key, void** value) {
  CTernLockGuard guard(m_Lock);
  SeekBucket(0);
  return Deliver(key, value);
}

bool CTernHash::Next(std::string* key, void** value) {
  CTernLockGuard guard(m_Lock);
  return Deliver(key, value);
}

size_t CTernHash::Count() const {
  CTernLockGuard guard(m_Lock);
  return m_Count;
}

size_t CTernHash::Buckets() const {
  CTernLockGuard guard(m_Lock);
  return m_Buckets.size();
}

void CTernHash::CopyTo(CTernHash& target, CopyFn copy, ReleaseFn release) const {
  if (&target == this) return;
  // The copies are made under this table's lock and inserted afterwards under the
  // target's, so the two locks are never held together.
  std::vector<std::pair<std::string, void*>> copies;
  {
    CTernLockGuard guard(m_Lock);
    copies.reserve(m_Count);
    for (Entry* head : m_Buckets) {
      for (Entry* e = head; e; e = e->next) copies.emplace_back(e->key, copy(e->value));
    }
  }
  for (auto& [key, value] : copies) target.Insert(key, value, release);
}

void CTernHash::Keys(CTernList<CTernString>& list) const {
  std::vector<std::string> keys;
  {
    CTernLockGuard guard(m_Lock);
    keys.reserve(m_Count);
    for (Entry* head : m_Buckets) {
      for (Entry* e = head; e; e = e->next) keys.push_back(e->key);
    }
  }
  bool ordered = list.HasCompare();
  for (const std::string& key : keys) {
    if (ordered) {
      list.AddInOrder(CTernString(key));
    } else {
      list.Append(CTernString(key));
    }
  }
}

void CTernHash::ReleaseAll(ReleaseFn release) {
  for (Entry*& head : m_Buckets) {
    while (head) {
      Entry* next = head->next;
      if (release) release(head->value);
      delete head;
      head = next;
    }
  }
  m_Count = 0;
  m_IterBucket = m_Buckets.size();
  m_IterEntry = nullptr;
}

void CTernHash::Clear(ReleaseFn release) {
  CTernLockGuard guard(m_Lock);
  ReleaseAll(release);
}
