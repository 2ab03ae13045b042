// Fuzz target: the registry file parser and writer. Whatever the file holds, parsing
// must not crash, and text written back must parse to the same keys and values.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry_file_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  PlatformRegistryText reg(text);
  std::string key = "SOFTWARE\\Kestrin\\Ostrel";
  std::vector<PlatformRegValue> before;
  reg.ListValues(key, before);
  reg.CreateKey(key);
  reg.SetValue(key, "MailDir", " value with = and \"quotes\" ");
  PlatformRegistryText again(reg.Text());
  std::string value;
  if (!again.GetValue(key, "MailDir", value) || value != " value with = and \"quotes\" ")
    __builtin_trap();
  std::vector<std::string> subkeys;
  again.ListSubkeys("SOFTWARE", subkeys);
  return 0;
}
