// Fuzz target: the configuration file reader and writer. The input becomes the
// shared, local and vendor files (split at the byte 0x1E; missing parts are a bare
// header). Whatever the files hold, loading must not crash; and when it succeeds,
// a save followed by a load into a new store must give the same objects, except
// what a save leaves out by design: objects of scope 'U' and the events of lists
// and dictionaries.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "tests/fuzz/fuzz_directory.h"

namespace {

const std::string& Directory() {
  static const std::string dir = [] {
    // A fixed now, so that no event expires between the two loads.
    std::string made = MakeFuzzDirectory("config", 1718193600);
    static std::string removeAtExit = made;
    atexit([] {
      for (const char* file : {"shared-config", "local-config", "vendor-config"})
        for (const char* suffix : {"", "_new", "_old"})
          unlink((removeAtExit + "/" + file + suffix).c_str());
      rmdir(removeAtExit.c_str());
    });
    return made;
  }();
  return dir;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  for (const char* suffix : {"_new", "_old"}) unlink((path + suffix).c_str());
}

// Everything the store holds, as text: per object its base attributes, whether it
// is never written, and its events by key.
std::map<std::string, std::string> Snapshot(Configuration& config) {
  std::map<std::string, std::string> out;
  for (char type : {'S', 'U', 'C', 'G', 'L', 'D'}) {
    CTernList<CTernString> names;
    config.ListNames(type, names, false);
    names.ForEach([&](const CTernString& n) {
      std::string name = n.Str();
      if (config.IsNeverWritten(type, name)) return;
      std::string& text = out[std::string(1, type) + name];
      auto add = [&text](const AttributeTable& table) {
        std::map<std::string, std::string> sorted;
        table.ForEach([&](const std::string& k, const std::string& v) { sorted[k] = v; });
        for (const auto& [k, v] : sorted) text += k + "=" + v + "\x1f";
        text += "\x1d";
      };
      AttributeTable base;
      config.GetBaseAttributes(type, name, base);
      add(base);
      if (type == 'L' || type == 'D') return;
      CTernList<CTernString> keys;
      config.EventKeys(type, name, keys);
      std::map<std::string, AttributeTable> events;
      keys.ForEach([&](const CTernString& key) {
        config.GetEventSettings(type, name, key.Str(), events[key.Str()]);
      });
      for (const auto& [key, settings] : events) {
        text += key + ":";
        add(settings);
      }
    });
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = Directory();
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 2; ++i) {
    size_t split = input.find('\x1e', start);
    if (split == std::string::npos) break;
    parts.push_back(input.substr(start, split - start));
    start = split + 1;
  }
  parts.push_back(input.substr(start));
  while (parts.size() < 3) parts.push_back("# 2 0\r\n");
  const std::string paths[3] = {dir + "/shared-config", dir + "/local-config", dir + "/vendor-config"};
  for (int i = 0; i < 3; ++i) WriteFile(paths[i], parts[i]);

  Configuration first(paths[0], paths[1], paths[2]);
  if (first.Load(true) != 0) return 0;
  std::map<std::string, std::string> before = Snapshot(first);
  if (first.Save() != 0) __builtin_trap();
  Configuration second(paths[0], paths[1], paths[2]);
  if (second.Load(true) != 0) __builtin_trap();
  if (Snapshot(second) != before) __builtin_trap();
  return 0;
}
