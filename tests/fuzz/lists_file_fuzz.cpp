// Fuzz target: the lists file reader and writer. Whatever the file holds, loading
// must not crash; when it loads, every line can be found, a save followed by a load
// gives the same lines, and look-ups of any address (the input's lines included)
// answer within 0 to 4.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "config/attribute_table.h"
#include "config/lists.h"
#include "tests/fuzz/fuzz_directory.h"

namespace {

const std::string& Directory() {
  static const std::string dir = MakeFuzzDirectory("lists", 1718193600);
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Directory() + "/lists";
  std::string text(reinterpret_cast<const char*>(data), size);
  unlink((path + "_old").c_str());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ListStore store(path);
  if (store.Load(1) != 0) return 0;

  // The addresses of the file's lines, as the reader splits them.
  std::vector<std::string> addresses;
  size_t from = text.find('\n');
  while (from != std::string::npos && from + 1 < text.size()) {
    size_t end = text.find('\n', from + 1);
    std::string line = text.substr(from + 1, end == std::string::npos ? end : end - from - 1);
    addresses.push_back(line.substr(0, line.find('\x1C')));
    from = end;
  }
  for (const auto& address : addresses)
    if (store.FindEntry(address) < 0) __builtin_trap();

  AttributeTable settings;
  settings.Set("SLa", "D");
  settings.Set("SLb", "a");
  for (const auto& address : addresses) {
    int answer = store.CheckList(address, settings, 'S');
    if (answer < 0 || answer > 4) __builtin_trap();
  }

  if (store.Save() != 0) __builtin_trap();
  ListStore again(path);
  if (again.Load(1) != 0) __builtin_trap();
  for (const auto& address : addresses)
    if (store.ListsOf(address) != again.ListsOf(address)) __builtin_trap();
  return 0;
}
