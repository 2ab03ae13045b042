// The dictionaries: every scored word and phrase of the installation, read from the
// vendor dictionary file (shipped, never written) and the local dictionary file
// (the administrator's words, rewritten by Save), and the scoring of message text
// against the dictionaries a user's settings name.
//
// Three hash tables hold the entries, each under the key of its word or phrase in
// lower case with every byte's two 4-bit halves exchanged:
//   - the word table: every single word, and every word that occurs in a phrase
//     (as a "phrase-part" entry with no score of its own unless the word is listed
//     by itself too);
//   - the phrase table: every entry whose word holds a space;
//   - the local table: a copy of each entry of the local file and of each word
//     added since; it is what Save writes, and what ListWords and LookupWord see.
// Changes through AddWord and RemoveWord reach scoring only after Save and the next
// reload, which CheckReload does when a file is newer than the last load. Until
// they are saved they are kept as pending changes: a reload puts them on top of
// what it read, and Save puts them on top of the local file as it is on disk then,
// so two stores (or processes) saving the same file keep each other's words.
//
// A load that fails (a corrupt line is reported with the file and line number)
// leaves the tables of the last good load in use, so scoring never stops because
// of one bad line; only a store that never loaded is in its error state.
//
// One readers/writer lock guards the tables: scoring, listing and look-ups read,
// loading and changes write. The named lock TNDDRFILELOCK keeps reading and writing
// the files exclusive across threads and processes; it is taken before the
// readers/writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "base/list.h"
#include "base/lock.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/list_dict_file.h"

class CTernFile;

// One word or phrase of a dictionary.
struct DictionaryEntry {
  int32_t m_Replace = 0;     // non-zero: matching text is masked with '-'
  std::string m_Dictionary;  // the dictionary the entry belongs to
  int32_t m_PhrasePart = 0;  // 1: made only because the word occurs in a phrase
  int32_t m_Primary = 0;
  int32_t m_Secondary = 0;   // contributed by single words only
  // Filled at load for the word and phrase tables: the index of the dictionary name
  // among the names in use by entries, and (phrases) the entry's place in the
  // phrase table's order; the phrase's number of words.
  int32_t m_DictIndex = -1;
  int32_t m_Order = 0;
  int32_t m_Words = 0;
};

class DictionaryStore {
 public:
  // Empty tables in the error state; nothing is read until Load.
  DictionaryStore(const std::string& vendorPath, const std::string& localPath);
  ~DictionaryStore();
  DictionaryStore(const DictionaryStore&) = delete;
  DictionaryStore& operator=(const DictionaryStore&) = delete;

  // Reads the vendor file and then the local file into fresh tables, with the
  // pending changes on top of the local table. With force 0, a load no more than a
  // second after the previous one does nothing. A missing vendor file fails without
  // a message; a missing local file is no failure. A corrupt line (message 24 with
  // the path and line number), an unsupported version (25) or a failed allocation
  // (22) fails the load: the tables of the last good load stay (the error state
  // when there was none). 0 on success, 1 on failure.
  int Load(int force);
  // At most every 10 seconds: reloads (force 0) when either file was modified in or
  // after the second of the last load tried. 0, or the result of the load.
  int CheckReload();

  // Scores length bytes of text against the dictionaries named in dictsInUse (the
  // DictsToUse value: names separated by 0x1C; a dictionary counts as in use when
  // its name occurs anywhere in that text). Words of replace-flagged entries are
  // overwritten with '-' in text. When found is given it receives one line
  // "Found: <phrase>\r\n" per scoring phrase, in total fewer than foundSize bytes.
  // Returns 0 with the score, or 1 (score 0) in the error state.
  int Score(char* text, size_t length, int mode, std::string_view dictsInUse, int32_t& score,
            std::string* found = nullptr, size_t foundSize = 0);
  // The score of one phrase (lower-case words separated by single spaces): its
  // score, the secondary score it contributes, and whether a phrase entry that
  // matched asks for masking. Each word counts with its mode-weighted scores
  // whatever its dictionary; each unlisted word costs 5 from the secondary score,
  // except an unlisted last word (the one that ends a run). With two or more listed
  // words the phrase entries found in it as whole words add their scores. Only a
  // phrase with a word of a dictionary in use scores; otherwise just the secondary
  // score is given.
  void ScorePhrase(std::string_view phrase, int mode, std::string_view dictsInUse, int32_t& score,
                   int32_t& secondary, int32_t& replace);

  // Puts word (lower-cased) into the local table with the score and replace flag,
  // replacing an entry of the same word, as a change pending until Save. 1, with
  // nothing changed, when the word is empty, the word or dictionary holds ':', CR
  // or LF, or the score is outside kDictionaryScoreMin..kDictionaryScoreMax (the
  // file could not carry it), or on a failed allocation (message 22); 0 on success.
  int AddWord(std::string_view word, std::string_view dictionary, int32_t score, int32_t replace);
  // Removes the local table's entry of word exactly as given, as a change pending
  // until Save. 0 removed (also the word of a local line that failed to load, whose
  // line the next Save leaves out), 1 absent.
  int RemoveWord(std::string_view word);
  // Writes the local file by the replacement rule under TNDDRFILELOCK: when another
  // writer replaced it since this store read or wrote it, it is read again (lines
  // that do not parse are kept as they are) and the pending changes go on top.
  // Refused with message 28 in the error state. 0 on success, 1 on failure.
  int Save();
  // Removes every local word of the dictionary (name compared without regard to
  // case) and saves. The vendor file's words stay.
  void RemoveDictionary(std::string_view dictionary);
  // Adds the local words of the dictionary (without regard to case) to list, which
  // must have a comparison function (else CTernException 56).
  void ListWords(std::string_view dictionary, CTernList<CTernString>& list);
  // The score and replace flag of the local table's entry of word exactly as given.
  bool LookupWord(std::string_view word, int32_t& score, int32_t& replace);

  bool ErrorState();
  time_t LoadedTime();

 private:
  // A line of a file as read: the word (lower case) and its entry.
  struct ParsedLine {
    std::string word;
    DictionaryEntry entry;
  };
  // A local file line that did not parse, kept for writing back as it stands.
  struct RawLine {
    std::string key;  // of its word, the text before the first ':'
    std::string line;
  };
  // A change not saved yet: the entry put under key, or (none) its removal.
  struct PendingWord {
    std::string key;
    std::optional<DictionaryEntry> entry;
  };
  // Reads a file's lines. A corrupt line is reported; it fails the reading (badWord
  // gets its key when the file is the local one) unless keepBad collects it.
  // REQUIRES: the named lock.
  bool ParseFile(const std::string& path, bool vendor, std::vector<ParsedLine>& out,
                 std::vector<RawLine>* keepBad, std::string& badWord, ConfigFileSeen& seen);
  // Files one parsed line. REQUIRES: write lock.
  void AddLoadedEntryLocked(const std::string& word, DictionaryEntry entry, bool vendor);
  // Applies one change, or every pending change, to the local table. REQUIRES:
  // write lock.
  void ApplyLocked(const PendingWord& change);
  void ApplyPendingLocked();
  // The lines of the local file. REQUIRES: write lock and m_LocalWalk.
  bool EmitLocalLinesLocked(const TernLineEmitter& emit);
  // The local words of a dictionary (name without regard to case).
  std::vector<std::string> LocalWordsOf(std::string_view dictionary);
  // Numbers dictionary names and phrase order after a load. REQUIRES: write lock.
  void IndexLoadedLocked();
  void ClearLocked();

  // One word of a run: where it stands in the run's phrase text, and its entry in
  // the word table (null for an unlisted word).
  struct RunWord {
    size_t begin, end;
    const DictionaryEntry* entry;
  };
  // The state of one scoring call: which dictionaries are in use (asked once per
  // dictionary name), and buffers used again for every run.
  struct Scan {
    std::string_view dicts;
    std::vector<signed char> inUse;  // by dictionary index: -1 not yet asked, 0, 1
    std::vector<RunWord> words;
    std::vector<std::pair<int32_t, const DictionaryEntry*>> matches;
    std::string key;
  };
  void StartScanLocked(Scan& scan, std::string_view dictsInUse) const;
  bool InUseLocked(const DictionaryEntry& entry, Scan& scan) const;
  // The word table's entry of a word (lower-cased here), or null.
  const DictionaryEntry* FindWordLocked(const char* word, size_t length, std::string& key);
  // Scores the run whose words scan.words describes. REQUIRES: read lock.
  void ScoreRunLocked(std::string_view phrase, int mode, Scan& scan, int64_t& score,
                      int64_t& secondary, int32_t& replace);

  std::string m_VendorPath;
  std::string m_LocalPath;
  CTernListDictWatch m_Watch;
  // Guards everything below.
  CTernRWLock m_Lock;
  int32_t m_Error = 1;
  CTernHash m_Phrases;
  CTernHash m_Words;
  CTernHash m_Local;
  std::vector<PendingWord> m_Pending;  // changes since the last save, in order
  std::vector<RawLine> m_LocalRaw;     // unparsed local lines met by the last save
  ConfigFileSeen m_LocalSeen;          // the local file as last read or written
  std::string m_BadLocalWord;          // key of the local line the last load failed on
  // Filled at load: the distinct dictionary names of the word and phrase tables,
  // and the largest number of words in a phrase entry.
  std::vector<std::string> m_DictNames;
  int32_t m_MaxPhraseWords = 0;
  // Filled at load: a bit set over the keys of the word table and one over the
  // phrase table (two bits a key). Most words of a text are not listed; a clear bit
  // tells so without a look-up in the table.
  std::vector<uint64_t> m_WordBits;
  std::vector<uint64_t> m_PhraseBits;
  // The hash table's iteration cursor is the table's own, so two readers must not
  // walk the local table at once.
  CTernLock m_LocalWalk;
  CTernMessages m_Messages;
};
