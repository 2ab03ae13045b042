// SHA-256 over 64-byte blocks, and the HMAC construction over it.
#include "base/sha256.h"

#include <cstddef>

#include "base/hex.h"

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr size_t kBlock = 64;

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class Sha256 {
 public:
  void Add(std::string_view data) {
    for (char c : data) {
      m_Block[m_Used++] = static_cast<uint8_t>(c);
      if (m_Used == kBlock) Compress();
    }
    m_Length += data.size();
  }

  TernSha256Digest Finish() {
    uint64_t bits = m_Length * 8;
    m_Block[m_Used++] = 0x80;
    if (m_Used > kBlock - 8) {
      while (m_Used < kBlock) m_Block[m_Used++] = 0;
      Compress();
    }
    while (m_Used < kBlock - 8) m_Block[m_Used++] = 0;
    for (int i = 7; i >= 0; --i) m_Block[m_Used++] = static_cast<uint8_t>(bits >> (i * 8));
    Compress();
    TernSha256Digest digest;
    for (size_t i = 0; i < 8; ++i)
      for (size_t b = 0; b < 4; ++b) digest[i * 4 + b] = static_cast<uint8_t>(m_State[i] >> (24 - 8 * b));
    return digest;
  }

 private:
  void Compress() {
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i)
      w[i] = uint32_t(m_Block[i * 4]) << 24 | uint32_t(m_Block[i * 4 + 1]) << 16 |
             uint32_t(m_Block[i * 4 + 2]) << 8 | uint32_t(m_Block[i * 4 + 3]);
    for (size_t i = 16; i < 64; ++i) {
      uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    for (size_t i = 0; i < 8; ++i) v[i] = m_State[i];
    for (size_t i = 0; i < 64; ++i) {
      uint32_t s1 = Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25);
      uint32_t choose = (v[4] & v[5]) ^ (~v[4] & v[6]);
      uint32_t t1 = v[7] + s1 + choose + kRound[i] + w[i];
      uint32_t s0 = Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22);
      uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      uint32_t t2 = s0 + majority;
      for (size_t k = 7; k > 0; --k) v[k] = v[k - 1];
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (size_t i = 0; i < 8; ++i) m_State[i] += v[i];
    m_Used = 0;
  }

  uint32_t m_State[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t m_Block[kBlock] = {};
  size_t m_Used = 0;
  uint64_t m_Length = 0;
};

std::string_view View(const TernSha256Digest& digest) {
  return std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace

TernSha256Digest TernSha256(std::string_view data) {
  Sha256 hash;
  hash.Add(data);
  return hash.Finish();
}

TernSha256Digest TernHmacSha256(std::string_view key, std::string_view message) {
  TernSha256Digest hashedKey;
  if (key.size() > kBlock) {
    hashedKey = TernSha256(key);
    key = View(hashedKey);
  }
  std::string inner(kBlock, '\x36'), outer(kBlock, '\x5c');
  for (size_t i = 0; i < key.size(); ++i) {
    inner[i] = static_cast<char>(inner[i] ^ key[i]);
    outer[i] = static_cast<char>(outer[i] ^ key[i]);
  }
  Sha256 first;
  first.Add(inner);
  first.Add(message);
  TernSha256Digest innerDigest = first.Finish();
  Sha256 second;
  second.Add(outer);
  second.Add(View(innerDigest));
  return second.Finish();
}

std::string TernDigestHex(const TernSha256Digest& digest) {
  return TernHexLower(digest.data(), digest.size());
}

bool TernEqualInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}
