// Fuzz target: scoring message text. Message bodies are arbitrary bytes; Score must
// take any of them against a dictionary of words, phrases and masked entries, change
// nothing in the text but masking with '-', keep the found text within its size, and
// give the same score and masking to the same text every time.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "config/dictionaries.h"
#include "config/list_dict_file.h"
#include "platform/eventsink.h"

namespace {

DictionaryStore& Store() {
  static DictionaryStore* store = [] {
    char name[] = "/tmp/ostrel-dict-fuzz-XXXXXX";
    if (!mkdtemp(name)) abort();
    PlatformSetEventFile("");
    PlatformSetEventSyslog(false);
    std::string dir = name;
    const char* lines[] = {
        "free:N:Spam:english:10:3",     "money:N:Spam:english:-4:0",
        "free money:R:Spam:english:20:0", "act now:N:Spam:english:15:0",
        "darn:R:Rude:english:5:0",      "a b c d e:N:Spam:english:7:0",
        "\xE9t\xE9:N:Latin:english:2:-9", "x_y:R:Spam:english:999999:-2147483648",
    };
    std::string vendor = "# 2 0" + TernSwappedCopy("\r\n");
    for (const char* line : lines) vendor += TernSwappedCopy(std::string(line) + "\r\n");
    std::ofstream(dir + "/vendor", std::ios::binary) << vendor;
    auto* made = new DictionaryStore(dir + "/vendor", dir + "/local");
    if (made->Load(1) != 0) abort();
    return made;
  }();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DictionaryStore& store = Store();
  // The first two bytes choose the mode and the found size; the rest is the text.
  int mode = size > 0 ? data[0] % 7 : 3;
  size_t foundSize = size > 1 ? data[1] * 4 : 4096;
  size_t skip = size < 2 ? size : 2;
  std::string original(reinterpret_cast<const char*>(data) + skip, size - skip);
  std::string text = original;
  std::string found;
  int32_t score = 0;
  if (store.Score(text.data(), text.size(), mode, "Spam\x1CRude\x1CLatin", score, &found,
                  foundSize) != 0)
    __builtin_trap();
  if (text.size() != original.size()) __builtin_trap();
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != original[i] && text[i] != '-') __builtin_trap();
  if (foundSize == 0 ? !found.empty() : found.size() >= foundSize) __builtin_trap();
  // Scoring is deterministic: the same text scores and masks the same way again,
  // with or without a found text. (Masked text scored a second time may mask more:
  // the dashes change where runs of words end.)
  std::string again = original;
  int32_t second = 0;
  store.Score(again.data(), again.size(), mode, "Spam\x1CRude\x1CLatin", second);
  if (again != text || second != score) __builtin_trap();
  return 0;
}
