// The numbered message table and its accessor. Every fixed text a person can read
// (errors, warnings, labels, replies, day and month names) is named by its code,
// which is also the event identifier under which it goes to the event log.
#pragma once

#include <cstdint>

#include "base/lock.h"

namespace ternmsg {
constexpr int kMessageCount = 477;  // codes 0 to 476 in each language block
extern const char* const g_EnglishTexts[kMessageCount];
}  // namespace ternmsg

// Languages: 0 English, 1 Spanish. Only English has texts; Spanish has a name only.
constexpr int kTernLanguageEnglish = 0;
constexpr int kTernLanguageSpanish = 1;

class CTernMessages {
 public:
  CTernMessages();

  // The text of code in the current language. A code outside 0..473, one with no
  // text, or a language without texts yields the empty string, never a null pointer.
  const char* Text(int code);
  // The name of a language: the text of code `language` in the current language.
  const char* LanguageName(int language);

  int32_t Language();
  void SetLanguage(int32_t language);

 private:
  int32_t m_Language;
  CTernLock m_Lock;
};
