// Lookup of message texts by code and language.
#include "base/messages.h"

namespace {
// The process-wide default language; nothing changes it at run time.
constexpr int32_t kDefaultLanguage = kTernLanguageEnglish;
}  // namespace

CTernMessages::CTernMessages() : m_Language(kDefaultLanguage) {}

const char* CTernMessages::Text(int code) {
  int32_t language = Language();
  if (code < 0 || code >= ternmsg::kMessageCount) return "";
  // Only the English block exists; other languages have no texts of their own.
  if (language != kTernLanguageEnglish) return "";
  const char* text = ternmsg::g_EnglishTexts[code];
  return text ? text : "";
}

const char* CTernMessages::LanguageName(int language) { return Text(language); }

int32_t CTernMessages::Language() {
  m_Lock.Lock();
  int32_t language = m_Language;
  m_Lock.Unlock();
  return language;
}

void CTernMessages::SetLanguage(int32_t language) {
  m_Lock.Lock();
  m_Language = language;
  m_Lock.Unlock();
}
