// Benchmark: Score throughput in MB/s over a 1 MB text against a dictionary of
// 10,000 words and 1,000 phrases.
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "config/dictionaries.h"
#include "config/list_dict_file.h"
#include "bench/timing.h"

namespace {


// A pronounceable word of two to four syllables.
std::string Word(std::mt19937& random) {
  static const char* const kSyllables[] = {"ka", "lo", "mi", "ster", "pa", "ran", "de", "vo",
                                           "tri", "su", "nel", "gor", "fa", "bi", "zen", "qua"};
  std::string word;
  int n = 2 + static_cast<int>(random() % 3);
  for (int i = 0; i < n; ++i) word += kSyllables[random() % 16];
  return word;
}

}  // namespace

int main() {
  constexpr int kWords = 10000;
  constexpr int kPhrases = 1000;
  constexpr size_t kText = 1 << 20;
  char dir[] = "/tmp/ostrel-bench-dict-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string vendor = std::string(dir) + "/vendor", local = std::string(dir) + "/local";

  std::mt19937 random(1);
  std::vector<std::string> words;
  std::string file = "# 2 0" + TernSwappedCopy("\r\n");
  while (words.size() < kWords) {
    std::string word = Word(random);
    words.push_back(word);
    file += TernSwappedCopy(word + ":N:" + (words.size() % 2 ? "Spam" : "Sales") + ":english:" +
                            std::to_string(random() % 10) + ":" + std::to_string(random() % 5) + "\r\n");
  }
  for (int i = 0; i < kPhrases; ++i) {
    std::string phrase = words[random() % kWords] + " " + words[random() % kWords];
    if (i % 2) phrase += " " + words[random() % kWords];
    file += TernSwappedCopy(phrase + ":N:Spam:english:" + std::to_string(5 + random() % 20) + ":0\r\n");
  }
  FILE* out = fopen(vendor.c_str(), "wb");
  if (!out || fwrite(file.data(), 1, file.size(), out) != file.size() || fclose(out) != 0) return 1;

  DictionaryStore store(vendor, local);
  auto start = std::chrono::steady_clock::now();
  if (store.Load(1) != 0) {
    fprintf(stderr, "load failed\n");
    return 1;
  }
  double load = Seconds(start);

  // Ordinary words with every fifth word a listed one, punctuation and line ends
  // between them.
  std::string text;
  while (text.size() < kText) {
    text += (random() % 5 == 0) ? words[random() % kWords] : Word(random);
    text += (random() % 8 == 0) ? ". " : (random() % 20 == 0) ? "\r\n" : " ";
  }
  text.resize(kText);

  constexpr int kRounds = 10;
  std::string found;
  int32_t score = 0;
  double scoring = 0, cpu = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string copy = text;
    start = std::chrono::steady_clock::now();
    double cpuStart = CpuSeconds();
    store.Score(copy.data(), copy.size(), 3, "Spam\x1CSales", score, &found, 4096);
    cpu += CpuSeconds() - cpuStart;
    scoring += Seconds(start);
  }
  printf("dictionary of %d words and %d phrases: load %.1f ms\n", kWords, kPhrases, load * 1000);
  double megabytes = kRounds * static_cast<double>(kText) / (1 << 20);
  printf("Score: %.1f MB/s of CPU time (%.1f MB/s elapsed) over a %zu-byte text (score %d)\n",
         megabytes / cpu, megabytes / scoring, kText, score);
  unlink(vendor.c_str());
  rmdir(dir);
  return 0;
}
