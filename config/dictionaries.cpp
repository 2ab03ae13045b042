// DictionaryStore: loading and saving the dictionary files, and scoring text.
#include "config/dictionaries.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/number.h"
#include "config/dictionary_score.h"
#include "config/list_dict_file.h"
#include "log/eventlog.h"
#include "platform/clock.h"

namespace {

const char kDictionaryFileLock[] = "TNDDRFILELOCK";
// Longest word the scan looks up, and the limit below which a phrase may grow.
constexpr size_t kMaxWord = 4095;
constexpr size_t kPhraseLimit = 4096;

void ReleaseEntry(void* value) { delete static_cast<DictionaryEntry*>(value); }

// Word bytes: letters, digits, '_' and the Latin-1 letters (0xC0-0xFF without the
// multiplication and division signs).
struct WordBytes {
  bool table[256] = {};
  WordBytes() {
    for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
    for (int c = '0'; c <= '9'; ++c) table[c] = true;
    table[static_cast<unsigned char>('_')] = true;
    for (int c = 0xC0; c <= 0xFF; ++c) table[c] = c != 0xD7 && c != 0xF7;
  }
};
const WordBytes kWordBytes;


int32_t Clamp32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// A double truncated toward zero, kept inside the range of a 64-bit integer.
int64_t Truncate(double value) {
  constexpr double kLimit = 9.0e18;
  if (!(value == value)) return 0;
  return static_cast<int64_t>(std::clamp(value, -kLimit, kLimit));
}

// A score field: only '+', '-' and digits, converted as far as it is a number
// ("12-3" is 12, a sign alone 0); a number beyond 32 bits is held at that end.
bool ScoreField(std::string_view field, int32_t& value) {
  for (char c : field)
    if (c != '+' && c != '-' && (c < '0' || c > '9')) return false;
  int64_t n = 0;
  size_t used = 0;
  if (!TernParseNumberPrefix(field, n, used, int64_t{std::numeric_limits<int32_t>::min()},
                             int64_t{std::numeric_limits<int32_t>::max()})) {
    size_t digitsAt = !field.empty() && (field[0] == '+' || field[0] == '-') ? 1 : 0;
    bool digits = digitsAt < field.size() && field[digitsAt] >= '0' && field[digitsAt] <= '9';
    n = !digits           ? 0
        : field[0] == '-' ? std::numeric_limits<int32_t>::min()
                          : std::numeric_limits<int32_t>::max();
  }
  value = static_cast<int32_t>(n);
  return true;
}

struct DictionaryLine {
  std::string_view word, flag, dictionary, primary, secondary;
};

// Splits a line (line ends removed) into its six ':'-separated fields.
bool SplitDictionaryLine(std::string_view line, DictionaryLine& out) {
  std::string_view fields[6];
  size_t from = 0;
  for (int i = 0; i < 5; ++i) {
    size_t colon = line.find(':', from);
    if (colon == std::string_view::npos) return false;
    fields[i] = line.substr(from, colon - from);
    from = colon + 1;
  }
  fields[5] = line.substr(from);
  if (fields[5].find(':') != std::string_view::npos) return false;
  if (fields[1].size() != 1 || fields[4].size() > kDictionaryScoreWidth) return false;
  out = {fields[0], fields[1], fields[2], fields[4], fields[5]};
  return true;
}

// The multiplier of a score in a scoring mode.
double Multiplier(int mode, double value) {
  static const double kUp[] = {1.0, 0.5, 0.67, 1.0, 1.5, 2.0};
  static const double kDown[] = {1.0, 2.0, 1.5, 1.0, 0.67, 0.5};
  int m = (mode >= 1 && mode <= 5) ? mode : 0;
  return value >= 0 ? kUp[m] : kDown[m];
}

// The bit set of a table's keys: about 16 bits a key, two bits set for each key,
// taken from one 64-bit hash of the key that takes it eight bytes at a time.
uint64_t KeyHash(std::string_view key) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  uint64_t hash = key.size() * kMultiplier;
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    uint64_t chunk;
    memcpy(&chunk, key.data() + i, 8);
    hash = (hash ^ chunk) * kMultiplier;
    hash ^= hash >> 29;
  }
  uint64_t tail = 0;
  for (size_t shift = 0; i < key.size(); ++i, shift += 8)
    tail |= static_cast<uint64_t>(static_cast<unsigned char>(key[i])) << shift;
  hash = (hash ^ tail) * kMultiplier;
  hash ^= hash >> 32;
  hash *= kMultiplier;
  return hash ^ (hash >> 29);
}

void SizeKeyBits(std::vector<uint64_t>& bits, size_t keys) {
  size_t words = 1;
  while (words * 64 < keys * 16) words *= 2;
  bits.assign(words, 0);
}

void AddKeyBits(std::vector<uint64_t>& bits, std::string_view key) {
  uint64_t hash = KeyHash(key);
  uint64_t mask = bits.size() * 64 - 1;
  for (uint64_t bit : {hash & mask, (hash >> 32) & mask}) bits[bit >> 6] |= uint64_t{1} << (bit & 63);
}

bool MayHoldKey(const std::vector<uint64_t>& bits, std::string_view key) {
  if (bits.empty()) return false;
  uint64_t hash = KeyHash(key);
  uint64_t mask = bits.size() * 64 - 1;
  for (uint64_t bit : {hash & mask, (hash >> 32) & mask})
    if (!(bits[bit >> 6] & (uint64_t{1} << (bit & 63)))) return false;
  return true;
}

// The word of a dictionary line that may not parse: the text before its first ':'
// (the whole line without one), lower-cased, as its key.
std::string KeyOfLine(std::string_view line) {
  std::string word(line.substr(0, line.find(':')));
  TernLowerAscii(word);
  return TernSwappedCopy(word);
}

}  // namespace

DictionaryStore::DictionaryStore(const std::string& vendorPath, const std::string& localPath)
    : m_VendorPath(vendorPath), m_LocalPath(localPath), m_Watch({vendorPath, localPath}) {}

DictionaryStore::~DictionaryStore() {
  CTernWriteGuard guard(m_Lock);
  ClearLocked();
  m_Local.Clear(ReleaseEntry);
}

void DictionaryStore::ClearLocked() {
  m_Phrases.Clear(ReleaseEntry);
  m_Words.Clear(ReleaseEntry);
  m_DictNames.clear();
  m_MaxPhraseWords = 0;
  m_WordBits.clear();
  m_PhraseBits.clear();
}

bool DictionaryStore::ErrorState() {
  CTernReadGuard guard(m_Lock);
  return m_Error != 0;
}

time_t DictionaryStore::LoadedTime() { return m_Watch.Loaded(); }

int DictionaryStore::Load(int force) {
  time_t now = PlatformNow();
  if (m_Watch.SkipLoad(force, now)) return 0;
  // Both files are read under the named lock only; the tables change under the
  // write lock only once both have been read whole. A load that fails leaves the
  // tables that were loaded last, so scoring goes on with them.
  std::vector<ParsedLine> vendor, local;
  std::vector<TernFileStamp> stamps;
  std::string badWord;
  ConfigFileSeen vendorSeen, localSeen;
  bool ok = TernUnderDataSetLock(kDictionaryFileLock, [&] {
    stamps = m_Watch.Stamps();
    return ParseFile(m_VendorPath, true, vendor, nullptr, badWord, vendorSeen) &&
           ParseFile(m_LocalPath, false, local, nullptr, badWord, localSeen);
  });
  m_Watch.Tried(now, ok, stamps);
  CTernWriteGuard guard(m_Lock);
  if (!ok) {
    m_BadLocalWord = badWord;
    return 1;
  }
  try {
    ClearLocked();
    m_Local.Clear(ReleaseEntry);
    for (ParsedLine& line : vendor) AddLoadedEntryLocked(line.word, std::move(line.entry), true);
    for (ParsedLine& line : local) AddLoadedEntryLocked(line.word, std::move(line.entry), false);
    ApplyPendingLocked();
    IndexLoadedLocked();
  } catch (const std::bad_alloc&) {
    // Half-built tables must not answer.
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
    m_Error = 1;
    return 1;
  }
  m_LocalSeen = localSeen;
  m_LocalRaw.clear();
  m_BadLocalWord.clear();
  m_Error = 0;
  return 0;
}

bool DictionaryStore::ParseFile(const std::string& path, bool vendor, std::vector<ParsedLine>& out,
                                std::vector<RawLine>* keepBad, std::string& badWord,
                                ConfigFileSeen& seen) {
  // A missing vendor file fails the load without a word; a missing local file is
  // simply no words. A local file that exists but cannot be read fails the load, so
  // that a save never replaces words it could not see.
  seen = ConfigFileSeen{};
  if (!FileExists(path, false)) return !vendor;
  seen.exists = true;
  CTernDiskFile file(path, TernFileMode::ReadOnly);
  if (!file.Open()) return false;
  CTernListDictReader reader(file, path, vendor);
  if (!reader.ReadHeader()) return false;
  std::string line;
  for (;;) {
    int got = reader.Next(line);
    if (got == 0) break;
    if (got < 0) return false;
    DictionaryLine fields;
    int32_t primary = 0, secondary = 0;
    if (!SplitDictionaryLine(line, fields) || !ScoreField(fields.primary, primary) ||
        !ScoreField(fields.secondary, secondary)) {
      TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, path, reader.LineNumber());
      if (!keepBad) {
        if (!vendor) badWord = KeyOfLine(line);
        return false;
      }
      // A line kept as it stands, so that a save loses nothing it cannot read.
      keepBad->push_back({KeyOfLine(line), line});
      continue;
    }
    ParsedLine parsed{std::string(fields.word), {}};
    TernLowerAscii(parsed.word);
    parsed.entry.m_Replace = fields.flag[0] == 'R' ? 1 : 0;
    parsed.entry.m_Dictionary.assign(fields.dictionary);
    parsed.entry.m_Primary = primary;
    parsed.entry.m_Secondary = secondary;
    out.push_back(std::move(parsed));
  }
  seen.digest = reader.Digest();
  return true;
}

void DictionaryStore::AddLoadedEntryLocked(const std::string& word, DictionaryEntry loaded,
                                           bool vendor) {
  std::string key = TernSwappedCopy(word);
  auto entry = std::make_unique<DictionaryEntry>(std::move(loaded));
  std::unique_ptr<DictionaryEntry> localCopy;
  if (!vendor) localCopy = std::make_unique<DictionaryEntry>(*entry);
  if (word.find(' ') != std::string::npos) {
    // Each word of a phrase is known to the word table, so that the scan keeps a
    // run of them open; a word listed by itself keeps its own entry.
    size_t from = 0;
    while (from <= word.size()) {
      size_t space = word.find(' ', from);
      if (space == std::string::npos) space = word.size();
      if (space > from) {
        std::string part = TernSwappedCopy(std::string_view(word).substr(from, space - from));
        if (!m_Words.Find(part)) {
          auto partEntry = std::make_unique<DictionaryEntry>();
          partEntry->m_Dictionary = entry->m_Dictionary;
          partEntry->m_PhrasePart = 1;
          m_Words.Insert(part, partEntry.release(), ReleaseEntry);
        }
      }
      from = space + 1;
    }
    m_Phrases.Insert(key, entry.release(), ReleaseEntry);
  } else {
    m_Words.Insert(key, entry.release(), ReleaseEntry);
  }
  if (localCopy) m_Local.Insert(key, localCopy.release(), ReleaseEntry);
}

void DictionaryStore::IndexLoadedLocked() {
  std::unordered_map<std::string, int32_t> names;
  auto indexOf = [&](const std::string& name) {
    auto [it, added] = names.emplace(name, static_cast<int32_t>(m_DictNames.size()));
    if (added) m_DictNames.push_back(name);
    return it->second;
  };
  void* value = nullptr;
  std::string key;
  SizeKeyBits(m_WordBits, m_Words.Count());
  for (bool more = m_Words.First(&key, &value); more; more = m_Words.Next(&key, &value)) {
    auto* entry = static_cast<DictionaryEntry*>(value);
    entry->m_DictIndex = indexOf(entry->m_Dictionary);
    entry->m_Words = 1;
    AddKeyBits(m_WordBits, key);
  }
  // A phrase's place in the table's order decides the order in which phrase scores
  // are added up.
  int32_t order = 0;
  SizeKeyBits(m_PhraseBits, m_Phrases.Count());
  for (bool more = m_Phrases.First(&key, &value); more; more = m_Phrases.Next(&key, &value)) {
    auto* entry = static_cast<DictionaryEntry*>(value);
    AddKeyBits(m_PhraseBits, key);
    entry->m_DictIndex = indexOf(entry->m_Dictionary);
    entry->m_Order = order++;
    std::string phrase = TernSwappedCopy(key);
    int32_t words = 0;
    bool inWord = false;
    for (char c : phrase) {
      if (c != ' ' && !inWord) words++;
      inWord = c != ' ';
    }
    entry->m_Words = words;
    m_MaxPhraseWords = std::max(m_MaxPhraseWords, words);
  }
}

int DictionaryStore::CheckReload() { return m_Watch.ReloadDue() ? Load(0) : 0; }

const DictionaryEntry* DictionaryStore::FindWordLocked(const char* word, size_t length,
                                                      std::string& key) {
  key.resize(length);
  for (size_t i = 0; i < length; ++i) key[i] = TernSwapHalves(TernLowerAscii(word[i]));
  if (!MayHoldKey(m_WordBits, key)) return nullptr;
  DictionaryEntry* entry = nullptr;
  return m_Words.Find(key, &entry) ? entry : nullptr;
}

void DictionaryStore::StartScanLocked(Scan& scan, std::string_view dictsInUse) const {
  scan.dicts = dictsInUse;
  scan.inUse.assign(m_DictNames.size(), -1);
  scan.words.clear();
  scan.key.reserve(kMaxWord);
}

bool DictionaryStore::InUseLocked(const DictionaryEntry& entry, Scan& scan) const {
  auto test = [&] { return scan.dicts.find(entry.m_Dictionary) != std::string_view::npos; };
  if (entry.m_DictIndex < 0 || static_cast<size_t>(entry.m_DictIndex) >= scan.inUse.size())
    return test();
  signed char& known = scan.inUse[static_cast<size_t>(entry.m_DictIndex)];
  if (known < 0) known = test() ? 1 : 0;
  return known == 1;
}

void DictionaryStore::ScorePhrase(std::string_view phrase, int mode, std::string_view dictsInUse,
                                  int32_t& score, int32_t& secondary, int32_t& replace) {
  CTernReadGuard guard(m_Lock);
  Scan scan;
  StartScanLocked(scan, dictsInUse);
  for (size_t from = 0; from < phrase.size();) {
    size_t space = phrase.find(' ', from);
    if (space == std::string_view::npos) space = phrase.size();
    if (space > from)
      scan.words.push_back({from, space, FindWordLocked(phrase.data() + from, space - from, scan.key)});
    from = space + 1;
  }
  int64_t s = 0, t = 0;
  ScoreRunLocked(phrase, mode, scan, s, t, replace);
  score = Clamp32(s);
  secondary = Clamp32(t);
}

void DictionaryStore::ScoreRunLocked(std::string_view phrase, int mode, Scan& scan, int64_t& score,
                                     int64_t& secondary, int32_t& replace) {
  double a = 0.0, b = 0.0;
  int known = 0;
  bool inUseSeen = false;
  replace = 0;
  for (const RunWord& word : scan.words) {
    if (const DictionaryEntry* entry = word.entry) {
      if (InUseLocked(*entry, scan)) inUseSeen = true;
      known++;
      a += entry->m_Primary * Multiplier(mode, entry->m_Primary);
      b += entry->m_Secondary * Multiplier(mode, entry->m_Secondary);
    } else {
      b -= 5.0;
    }
  }
  if (known > 1 && m_MaxPhraseWords > 1) {
    // Phrase entries that occur in this phrase as whole words, each occurrence
    // counted, added up in the phrase table's order.
    const std::vector<RunWord>& words = scan.words;
    scan.matches.clear();
    for (size_t i = 0; i < words.size(); ++i) {
      size_t last = std::min(words.size(), i + static_cast<size_t>(m_MaxPhraseWords));
      for (size_t j = i + 1; j < last; ++j) {
        size_t length = words[j].end - words[i].begin;
        scan.key.resize(length);
        for (size_t k = 0; k < length; ++k)
          scan.key[k] = TernSwapHalves(phrase[words[i].begin + k]);
        DictionaryEntry* entry = nullptr;
        if (MayHoldKey(m_PhraseBits, scan.key) && m_Phrases.Find(scan.key, &entry))
          scan.matches.emplace_back(entry->m_Order, entry);
      }
    }
    std::stable_sort(scan.matches.begin(), scan.matches.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& match : scan.matches) {
      const DictionaryEntry& entry = *match.second;
      if (!InUseLocked(entry, scan)) continue;
      a += entry.m_Primary * Multiplier(mode, entry.m_Primary);
      if (entry.m_Replace) replace = 1;
    }
  }
  // Every unlisted word costs 5 from the secondary score. The 5 given back cancel
  // the one unlisted word that ends a run closed by two unlisted words; a phrase
  // whose last word is listed (closed by the end of the text) has no such word.
  bool lastListed = !scan.words.empty() && scan.words.back().entry != nullptr;
  int64_t whole = Truncate(a);
  int64_t rest = Truncate(lastListed ? b : b + 5.0);
  if (inUseSeen) {
    score = known > 1 ? whole + rest : whole;
    secondary = known > 1 ? 0 : rest;
  } else {
    score = 0;
    secondary = rest;
  }
}

int DictionaryStore::Score(char* text, size_t length, int mode, std::string_view dictsInUse,
                           int32_t& score, std::string* found, size_t foundSize) {
  if (found) found->clear();
  score = 0;
  CheckReload();
  CTernReadGuard guard(m_Lock);
  if (m_Error) return 1;
  const std::string foundWord = m_Messages.Text(kMsgFound);
  const size_t headRoom = foundWord.size() + 10;
  Scan scan;
  StartScanLocked(scan, dictsInUse);
  int64_t total = 0, secondaryTotal = 0;
  bool open = false, pending = false;
  size_t start = 0, end = 0, used = 0;
  std::string phrase;
  phrase.reserve(kPhraseLimit);

  // Appends a word (lower-cased) to the run's phrase when it fits.
  auto extend = [&](size_t wordStart, size_t wordLength, const DictionaryEntry* entry) {
    if (phrase.size() + wordLength + 2 >= kPhraseLimit) return;
    phrase += ' ';
    size_t begin = phrase.size();
    for (size_t i = 0; i < wordLength; ++i) phrase += TernLowerAscii(text[wordStart + i]);
    scan.words.push_back({begin, phrase.size(), entry});
  };
  // Scores the open run and adds it up. A run closed by two unlisted words is
  // masked when it asks for it and shown without the unlisted word that closed it;
  // a run closed by the end of the text is neither masked nor cut.
  auto closeRun = [&](bool byUnlistedWords) {
    int64_t s = 0, t = 0;
    int32_t r = 0;
    ScoreRunLocked(phrase, mode, scan, s, t, r);
    total += s;
    secondaryTotal += t;
    open = pending = false;
    if (byUnlistedWords && r && start <= end) memset(text + start, '-', end - start + 1);
    if (s <= 0 || !found) return;
    std::string_view shown(phrase);
    size_t space = phrase.rfind(' ');
    if (byUnlistedWords && space != std::string::npos) shown = shown.substr(0, space + 1);
    if (shown.size() + headRoom + used < foundSize) {
      found->append(foundWord).append(": ").append(shown).append("\r\n");
      used += shown.size() + headRoom + 1;
    }
  };
  size_t wordLength = 0;
  for (size_t pos = 0; pos <= length; ++pos) {
    if (pos < length && kWordBytes.table[static_cast<unsigned char>(text[pos])]) {
      wordLength++;
      continue;
    }
    if (wordLength == 0) continue;
    const size_t wordStart = pos - wordLength;
    const size_t thisLength = wordLength;
    wordLength = 0;
    // A run of word bytes too long for the word buffer is no listed word.
    const DictionaryEntry* entry =
        thisLength <= kMaxWord ? FindWordLocked(text + wordStart, thisLength, scan.key) : nullptr;
    if (entry) {
      if (!open) {
        phrase.clear();
        scan.words.clear();
        for (size_t i = 0; i < thisLength; ++i) phrase += TernLowerAscii(text[wordStart + i]);
        scan.words.push_back({0, thisLength, entry});
        open = true;
        start = wordStart;
      } else {
        extend(wordStart, thisLength, entry);
      }
      end = pos - 1;
      pending = false;
      if (entry->m_Replace) memset(text + wordStart, '-', thisLength);
    } else if (open && !pending) {
      extend(wordStart, thisLength, nullptr);
      pending = true;
    } else if (open) {
      // Two unlisted words in a row close the run; the second is dropped.
      closeRun(true);
    }
  }
  if (open) closeRun(false);
  int64_t result = total;
  if (mode >= 3 && total > 0) {
    int64_t bonus = secondaryTotal / 3;
    if (bonus > total) bonus = total;
    result = total + bonus;
  }
  score = Clamp32(result);
  return 0;
}

int DictionaryStore::AddWord(std::string_view word, std::string_view dictionary, int32_t score,
                             int32_t replace) {
  // A word or name with a field separator or a line end would corrupt the local
  // file when it is written back, and so would a score the file cannot carry.
  auto unsafe = [](std::string_view text) {
    return text.find_first_of(":\r\n") != std::string_view::npos;
  };
  if (word.empty() || unsafe(word) || unsafe(dictionary) || !DictionaryScoreFits(score)) return 1;
  try {
    DictionaryEntry entry;
    entry.m_Replace = replace;
    entry.m_Dictionary.assign(dictionary);
    entry.m_Primary = score;
    std::string key(word);
    TernLowerAscii(key);
    TernSwapHalves(key);
    CTernWriteGuard guard(m_Lock);
    m_Pending.push_back({key, entry});
    ApplyLocked(m_Pending.back());
  } catch (const std::bad_alloc&) {
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
    return 1;
  }
  return 0;
}

int DictionaryStore::RemoveWord(std::string_view word) {
  std::string key = TernSwappedCopy(word);
  CTernWriteGuard guard(m_Lock);
  // A word of a local file line that failed to load is not in the table, but the
  // removal still takes its line out at the next save.
  bool present = m_Local.Find(key) || key == m_BadLocalWord;
  m_Pending.push_back({key, std::nullopt});
  ApplyLocked(m_Pending.back());
  return present ? 0 : 1;
}

void DictionaryStore::ApplyLocked(const PendingWord& change) {
  DictionaryEntry* old = nullptr;
  if (change.entry) {
    m_Local.Insert(change.key, new DictionaryEntry(*change.entry), ReleaseEntry);
  } else if (m_Local.Find(change.key, &old, true)) {
    delete old;
  }
}

void DictionaryStore::ApplyPendingLocked() {
  for (const PendingWord& change : m_Pending) ApplyLocked(change);
}

int DictionaryStore::Save() {
  if (ErrorState()) {
    TernReportEvent(TernEventType::Error, kMsgWriteCorruptConfig);
    return 1;
  }
  bool ok = TernUnderDataSetLock(kDictionaryFileLock, [this] {
    // Another writer (a process sharing the directory, or another store) may have
    // replaced the file since this store read or wrote it: its words are read
    // again and this store's changes go on top. Lines that do not parse are kept
    // as they stand unless a change names their word.
    std::vector<ParsedLine> current;
    std::vector<RawLine> raw;
    ConfigFileSeen seen;
    bool reread = ConfigSeenNow(m_LocalPath) != m_LocalSeen;
    std::string unused;
    if (reread && !ParseFile(m_LocalPath, false, current, &raw, unused, seen)) return false;
    CTernWriteGuard guard(m_Lock);
    CTernLockGuard walk(m_LocalWalk);
    if (reread) {
      m_Local.Clear(ReleaseEntry);
      for (ParsedLine& line : current)
        m_Local.Insert(TernSwappedCopy(line.word), new DictionaryEntry(std::move(line.entry)),
                       ReleaseEntry);
      ApplyPendingLocked();
      m_LocalRaw = std::move(raw);
    }
    std::erase_if(m_LocalRaw, [this](const RawLine& line) {
      return std::any_of(m_Pending.begin(), m_Pending.end(),
                         [&](const PendingWord& change) { return change.key == line.key; });
    });
    uint64_t digest = 0;
    if (!TernWriteListDictFile(
            m_LocalPath, [this](const TernLineEmitter& emit) { return EmitLocalLinesLocked(emit); },
            &digest))
      return false;
    m_Pending.clear();
    m_BadLocalWord.clear();
    m_LocalSeen = {true, digest};
    return true;
  });
  return ok ? 0 : 1;
}

bool DictionaryStore::EmitLocalLinesLocked(const TernLineEmitter& emit) {
  std::string key, line;
  void* value = nullptr;
  for (bool more = m_Local.First(&key, &value); more; more = m_Local.Next(&key, &value)) {
    const auto* entry = static_cast<const DictionaryEntry*>(value);
    TernSwapHalves(key);
    line.assign(key).append(entry->m_Replace ? ":R:" : ":N:").append(entry->m_Dictionary);
    line.append(":english:").append(std::to_string(entry->m_Primary)).append(1, ':');
    line.append(std::to_string(entry->m_Secondary)).append("\r\n");
    if (!emit(line)) return false;
  }
  for (const RawLine& raw : m_LocalRaw)
    if (!emit(raw.line + "\r\n")) return false;
  return true;
}

std::vector<std::string> DictionaryStore::LocalWordsOf(std::string_view dictionary) {
  std::vector<std::string> words;
  CTernReadGuard guard(m_Lock);
  CTernLockGuard walk(m_LocalWalk);
  std::string key;
  void* value = nullptr;
  for (bool more = m_Local.First(&key, &value); more; more = m_Local.Next(&key, &value)) {
    if (TernEqualsNoCase(static_cast<const DictionaryEntry*>(value)->m_Dictionary, dictionary))
      words.push_back(TernSwappedCopy(key));
  }
  return words;
}

void DictionaryStore::RemoveDictionary(std::string_view dictionary) {
  for (const std::string& word : LocalWordsOf(dictionary)) RemoveWord(word);
  Save();
}

void DictionaryStore::ListWords(std::string_view dictionary, CTernList<CTernString>& list) {
  if (!list.HasCompare()) TernListNoCompare();
  CheckReload();
  for (const std::string& word : LocalWordsOf(dictionary)) list.AddInOrder(CTernString(word));
}

bool DictionaryStore::LookupWord(std::string_view word, int32_t& score, int32_t& replace) {
  CheckReload();
  std::string key = TernSwappedCopy(word);
  CTernReadGuard guard(m_Lock);
  DictionaryEntry* entry = nullptr;
  if (!m_Local.Find(key, &entry)) return false;
  score = entry->m_Primary;
  replace = entry->m_Replace;
  return true;
}
