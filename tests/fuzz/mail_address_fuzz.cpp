// Fuzz target: the mail address parser, which takes text straight from the network.
// Whatever the bytes, parsing must not crash, read out of bounds or hang, and the
// forms it hands out must be consistent with each other:
//   - the result is 0 or 1; empty texts and texts of 4094 characters or more fail;
//   - a failed parse keeps no forms and counts as local;
//   - a valid parse keeps the input text less trailing CR and LF, its display form
//     contains the canonical address, IsLocal agrees with the routing form, and the
//     forms stay within bounds of the input's length;
//   - keeping local domains changes only the front of the routing form;
//   - a text that reads as a dotted IPv4 address reads back the same once written.
// The local domains come from a real configuration loaded from a scratch directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "config/effective_settings.h"
#include "net/local_domains.h"
#include "net/mail_address.h"
#include "net/network_address.h"

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

// The scratch directory of the configuration files, removed at exit.
std::string g_Dir;

void RemoveFiles() {
  for (const char* name : {"/shared", "/local", "/vendor"}) remove((g_Dir + name).c_str());
  remove(g_Dir.c_str());
}

// The configuration whose Domain and OtherDomains the parses use; it lives as long
// as the process.
void InstallDomains() {
  char dir[] = "/tmp/ostrel-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  g_Dir = dir;
  atexit(RemoveFiles);
  const std::string& base = g_Dir;
  const std::string header = "# 2 0\r\n";
  if (!WriteFile(base + "/shared", header + "DS,Domain=example.org,OtherDomains=Example.COM\x1C" "10.0.0.1\r\n") ||
      !WriteFile(base + "/local", header) || !WriteFile(base + "/vendor", header))
    abort();
  static Configuration* config = new Configuration(base + "/shared", base + "/local", base + "/vendor");
  if (config->Load(true) != 0) abort();
  InstallLocalDomains(config);
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallDomains();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint32_t ip = 0, again = 0;
  if (ParseDotted(text, ip)) Check(ParseDotted(FormatDotted(ip), again) && again == ip);
  std::string_view trimmed = Trimmed(text);
  CTernMailAddress plain(false);
  CTernMailAddress keeping(false);
  int result = plain.Parse(text);
  Check(result == 0 || result == 1);
  Check(keeping.ParseKeepingLocalDomains(text) == result);
  if (trimmed.empty() || trimmed.size() >= kMailAddressMaxLength) Check(result == 1);
  if (result != 0) {
    std::string form;
    Check(!plain.GetForm(kMailFormDisplay, form) && form.empty());
    Check(plain.IsLocal());
    return 0;
  }
  std::string routing = plain.Form(kMailFormRouting);
  std::string canonical = plain.Form(kMailFormCanonical);
  Check(plain.Form(kMailFormInput) == trimmed);
  Check(plain.Form(kMailFormDisplay).find(canonical) != std::string::npos);
  Check(plain.IsLocal() == (routing.find('!') == std::string::npos));
  Check(routing.size() <= trimmed.size());
  Check(canonical.size() <= trimmed.size() + sizeof "example.org");
  Check(keeping.Form(kMailFormCanonical) == canonical);
  Check(EndsWith(keeping.Form(kMailFormRouting), routing));
  return 0;
}
