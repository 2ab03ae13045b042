// SHA-256 and HMAC-SHA-256 (FIPS 180-4, RFC 2104): the digests with which the
// server signs what it must recognise as its own later, such as the approval
// requests it mails out. Pure functions, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using TernSha256Digest = std::array<uint8_t, 32>;

// The SHA-256 digest of data.
TernSha256Digest TernSha256(std::string_view data);

// The HMAC-SHA-256 of message under key (a key longer than 64 bytes is hashed
// first, as the construction asks).
TernSha256Digest TernHmacSha256(std::string_view key, std::string_view message);

// A digest as 64 lower-case hexadecimal digits.
std::string TernDigestHex(const TernSha256Digest& digest);

// Whether two texts are equal, taking the same time wherever they differ, so that
// comparing a presented signature with the right one tells an attacker nothing.
bool TernEqualInConstantTime(std::string_view a, std::string_view b);
