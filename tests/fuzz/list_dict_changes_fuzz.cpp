// Fuzz target: random sequences of AddWord, RemoveWord, AddToList, RemoveFromList,
// Save and reload on two dictionary stores and two list stores that share their
// files. A model of what each save must leave in the files is kept beside them:
// after every save the files load in a fresh store and hold exactly the model's
// words (with their scores) and list memberships, every change that was saved; a
// score the file cannot carry is refused; a reload shows the file with the store's
// own unsaved changes on top.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/dictionaries.h"
#include "config/dictionary_score.h"
#include "config/list_dict_file.h"
#include "config/lists.h"
#include "tests/fuzz/fuzz_directory.h"

namespace {

constexpr int kNames = 12;

const std::string& Directory() {
  static const std::string dir = MakeFuzzDirectory("listdict", 1718193600);
  return dir;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reads input bytes in order; zeros once they run out.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool More() const { return at < size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  int32_t Number() {
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | Byte();
    return static_cast<int32_t>(n);
  }
};

using Words = std::map<std::string, int32_t>;                  // word -> score
using Members = std::map<std::string, std::set<std::string>>;  // address -> lists
using WordChange = std::pair<std::string, std::optional<int32_t>>;
struct ListChange {
  bool add;
  std::string address, list;
};

void ApplyWords(Words& words, const std::vector<WordChange>& changes) {
  for (const auto& [word, score] : changes) {
    if (score)
      words[word] = *score;
    else
      words.erase(word);
  }
}

void ApplyLists(Members& members, const std::vector<ListChange>& changes) {
  for (const ListChange& c : changes) {
    if (c.add)
      members[c.address].insert(c.list);
    else if (members.count(c.address))
      members[c.address].erase(c.list);
  }
  std::erase_if(members, [](const auto& m) { return m.second.empty(); });
}

std::string WordName(int i) { return "w" + std::to_string(i); }
std::string Address(int i) { return "a" + std::to_string(i) + "@x.example"; }

void ExpectWords(DictionaryStore& store, const Words& words) {
  for (int i = 0; i < kNames; ++i) {
    int32_t score = 0, replace = 0;
    auto it = words.find(WordName(i));
    bool found = store.LookupWord(WordName(i), score, replace);
    Check(found == (it != words.end()));
    if (found) Check(score == it->second);
  }
}

void ExpectLists(ListStore& store, const Members& members) {
  for (int i = 0; i < kNames; ++i) {
    std::string lists = store.ListsOf(Address(i));
    std::set<std::string> names;
    for (size_t from = 0, end; from < lists.size(); from = end + 1) {
      end = lists.find('\x1C', from);
      if (end == std::string::npos) end = lists.size();
      names.insert(lists.substr(from, end - from));
    }
    auto it = members.find(Address(i));
    Check(names == (it == members.end() ? std::set<std::string>{} : it->second));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = Directory();
  const std::string vendor = dir + "/vendor", local = dir + "/local", listsPath = dir + "/lists";
  for (const std::string& path : {local, listsPath}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "# 2 1000\r\n";
    unlink((path + "_old").c_str());
  }
  std::ofstream(vendor, std::ios::binary | std::ios::trunc)
      << "# 2 1000" << TernSwappedCopy("\r\n");

  DictionaryStore dicts[2] = {{vendor, local}, {vendor, local}};
  ListStore lists[2] = {ListStore(listsPath), ListStore(listsPath)};
  for (int i = 0; i < 2; ++i) Check(dicts[i].Load(1) == 0 && lists[i].Load(1) == 0);
  Words savedWords;
  Members savedMembers;
  std::vector<WordChange> pendingWords[2];
  std::vector<ListChange> pendingLists[2];

  Input in{data, size};
  for (int steps = 0; in.More() && steps < 200; ++steps) {
    uint8_t op = in.Byte();
    int s = op >> 7;  // which store of each kind
    int name = in.Byte() % kNames;
    switch (op & 7) {
      case 0: {
        int32_t score = in.Number() % 2000000;
        int result = dicts[s].AddWord(WordName(name), "Spam", score, 0);
        Check(result == (DictionaryScoreFits(score) ? 0 : 1));
        if (result == 0) pendingWords[s].push_back({WordName(name), score});
        break;
      }
      case 1:
        dicts[s].RemoveWord(WordName(name));
        pendingWords[s].push_back({WordName(name), std::nullopt});
        break;
      case 2: {
        std::string list = "l" + std::to_string(in.Byte() % 3);
        Check(lists[s].AddToList(Address(name), list) == 0);
        pendingLists[s].push_back({true, Address(name), list});
        break;
      }
      case 3: {
        std::string list = "l" + std::to_string(in.Byte() % 3);
        lists[s].RemoveFromList(Address(name), list);
        pendingLists[s].push_back({false, Address(name), list});
        break;
      }
      case 4:
      case 5: {
        bool words = (op & 7) == 4;
        if (words) {
          Check(dicts[s].Save() == 0);
          ApplyWords(savedWords, pendingWords[s]);
          pendingWords[s].clear();
          DictionaryStore fresh(vendor, local);
          Check(fresh.Load(1) == 0);
          ExpectWords(fresh, savedWords);
        } else {
          Check(lists[s].Save() == 0);
          ApplyLists(savedMembers, pendingLists[s]);
          pendingLists[s].clear();
          ListStore fresh(listsPath);
          Check(fresh.Load(1) == 0);
          ExpectLists(fresh, savedMembers);
        }
        break;
      }
      default: {
        // A reload: the files with this store's unsaved changes on top.
        Check(dicts[s].Load(1) == 0 && lists[s].Load(1) == 0);
        Words words = savedWords;
        ApplyWords(words, pendingWords[s]);
        ExpectWords(dicts[s], words);
        Members members = savedMembers;
        ApplyLists(members, pendingLists[s]);
        ExpectLists(lists[s], members);
        break;
      }
    }
  }
  return 0;
}
