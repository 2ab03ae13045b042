// The range of a dictionary score: the dictionary file gives the primary score a
// field of at most six characters, so a score is at most 999999 and, with its sign,
// at least -99999. AddWord, the loader and the vendor dictionary tool all hold to
// this one definition. Header-only, for the build tool's sake.
#pragma once

#include <cstdint>

inline constexpr int kDictionaryScoreWidth = 6;
inline constexpr int32_t kDictionaryScoreMax = 999999;  // six digits
inline constexpr int32_t kDictionaryScoreMin = -99999;  // a sign and five digits

// True when the file format can carry score as a primary score.
inline constexpr bool DictionaryScoreFits(int64_t score) {
  return score >= kDictionaryScoreMin && score <= kDictionaryScoreMax;
}
