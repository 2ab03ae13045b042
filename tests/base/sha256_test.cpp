// SHA-256 and HMAC-SHA-256 against the published test vectors (FIPS 180-4 examples,
// RFC 4231), including the block boundaries where padding goes wrong.
#include "base/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

TEST(Sha256, KnownDigests) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the first block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(TernDigestHex(TernSha256(c.input)), c.digest) << c.input.size();
}

TEST(Sha256, HmacVectors) {
  const struct {
    std::string key, data;
    const char* mac;
  } cases[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      // A key longer than a block is hashed first.
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
  };
  for (const auto& c : cases) EXPECT_EQ(TernDigestHex(TernHmacSha256(c.key, c.data)), c.mac) << c.key.size();
}

TEST(Sha256, ConstantTimeComparison) {
  EXPECT_TRUE(TernEqualInConstantTime("abc", "abc"));
  EXPECT_FALSE(TernEqualInConstantTime("abc", "abd"));
  EXPECT_FALSE(TernEqualInConstantTime("abc", "ab"));
  EXPECT_TRUE(TernEqualInConstantTime("", ""));
}

}  // namespace
