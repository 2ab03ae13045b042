// Build tool: makes the vendor dictionary file from its readable source files
// (data/vendor/dictionaries-source/*.txt). It writes the plain header line, then one
// line per word or phrase, "word:flag:dictionary:english:score:secondary" CR LF,
// with every byte's two 4-bit halves exchanged, so each line ends with 0xA0.
//
//   vendor_dictionary_maker OUTPUT SOURCE...
//
// Source lines: "[Name]" starts a dictionary; "word or phrase | score", optionally
// followed by "| secondary" and "| R" (mask matching text); '#' starts a comment.
// A malformed line stops the build with its file and line number. The header's
// time is SOURCE_DATE_EPOCH when set, so builds can be reproduced.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/number.h"
#include "config/dictionary_score.h"

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitBars(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, '|')) out.push_back(Trim(piece));
  if (!text.empty() && text.back() == '|') out.push_back("");
  return out;
}

bool WordByte(unsigned char c) { return std::islower(c) || std::isdigit(c) || c == '_'; }

// Lower-case words of word bytes separated by single spaces.
bool ValidPhrase(const std::string& phrase) {
  if (phrase.empty() || phrase.front() == ' ' || phrase.back() == ' ') return false;
  for (size_t i = 0; i < phrase.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(phrase[i]);
    if (c == ' ') {
      if (phrase[i - 1] == ' ') return false;
    } else if (!WordByte(c)) {
      return false;
    }
  }
  return true;
}

// A whole number within [low, high].
bool ValidScore(const std::string& text, long low, long high, long& value) {
  return TernParseNumber(text, value, low, high);
}

bool ValidName(const std::string& name) {
  if (name.empty() || !std::isalnum(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ' ' && c != '.' && c != '-')
      return false;
  return true;
}

std::string Exchanged(const std::string& text) {
  std::string out(text);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    c = static_cast<char>(static_cast<unsigned char>((u << 4) | (u >> 4)));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: " << argv[0] << " OUTPUT SOURCE...\n";
    return 2;
  }
  std::string body;
  std::set<std::string> seen;
  for (int arg = 2; arg < argc; ++arg) {
    std::ifstream in(argv[arg], std::ios::binary);
    if (!in) {
      std::cerr << argv[arg] << ": cannot be read\n";
      return 1;
    }
    std::string dictionary, raw;
    for (int number = 1; std::getline(in, raw); ++number) {
      auto fail = [&](const char* why) {
        std::cerr << argv[arg] << ":" << number << ": " << why << "\n";
        return 1;
      };
      std::string line = Trim(raw.substr(0, raw.find('#')));
      if (line.empty()) continue;
      if (line.front() == '[') {
        if (line.back() != ']') return fail("a dictionary name is written [Name]");
        dictionary = Trim(line.substr(1, line.size() - 2));
        if (!ValidName(dictionary)) return fail("invalid dictionary name");
        continue;
      }
      if (dictionary.empty()) return fail("a word before the first [Name]");
      std::vector<std::string> fields = SplitBars(line);
      if (fields.size() < 2 || fields.size() > 4) return fail("expected: phrase | score [| secondary] [| R]");
      const std::string& phrase = fields[0];
      std::string secondary = fields.size() > 2 ? fields[2] : "0";
      std::string flag = fields.size() > 3 ? fields[3] : "N";
      if (!ValidPhrase(phrase)) return fail("words are lower-case letters, digits and '_', one space apart");
      long score = 0, second = 0;
      if (!ValidScore(fields[1], kDictionaryScoreMin, kDictionaryScoreMax, score))
        return fail("the score is a whole number from -99999 to 999999");
      if (!ValidScore(secondary, INT32_MIN, INT32_MAX, second))
        return fail("the secondary score is a whole number that fits 32 bits");
      if (flag != "R" && flag != "N") return fail("the last field is R (mask) or N");
      if (!seen.insert(phrase).second) return fail("listed twice: the second would replace the first");
      body +=
          Exchanged(phrase + ":" + flag + ":" + dictionary + ":english:" + std::to_string(score) +
                    ":" + std::to_string(second) + "\r\n");
    }
  }
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  long when = static_cast<long>(std::time(nullptr));
  if (epoch && !TernParseNumber(std::string(epoch), when, 0L)) {
    std::cerr << "SOURCE_DATE_EPOCH is not a time: " << epoch << "\n";
    return 2;
  }
  std::string header = "# 2 " + std::to_string(when) + Exchanged("\r\n");
  std::string temporary = std::string(argv[1]) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << header << body;
    if (!out.flush()) {
      std::cerr << temporary << ": cannot be written\n";
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), argv[1]) != 0) {
    std::cerr << argv[1] << ": cannot be replaced\n";
    return 1;
  }
  return 0;
}
