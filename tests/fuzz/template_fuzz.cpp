// Fuzz target: the template engine's tag reader and line processor, which read
// templates and, through variable statements and ShowVar, text from requests.
// Whatever the bytes, nothing may crash or hang, and:
//   - a parsed tag's parameters never hold more words than the tag has bytes;
//   - a template without "<X-" is copied to the page unchanged;
//   - a shown request variable never reaches the page with a raw "<" or '"', not
//     even with "noescape".
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/template_engine.h"

namespace {

class Request : public TemplateRequest {
 public:
  bool GetVariable(const std::string& name, std::string& value) const override {
    for (const auto& [n, v] : vars)
      if (n == name) return value = v, true;
    return false;
  }
  void ReplaceVariable(const std::string& name, const std::string& value) override {
    vars.emplace_back(name, value);
  }
  std::vector<std::pair<std::string, std::string>> Variables() const override { return vars; }
  bool GetHeader(const std::string&, std::string&) const override { return false; }
  long Write(std::string_view text) override {
    out += text;
    return static_cast<long>(text.size());
  }
  std::vector<std::pair<std::string, std::string>> vars;
  std::string out;
};

// The scratch directory, removed at exit (never destroyed before that).
const std::string& Directory() {
  static const std::string* dir = [] {
    char pattern[] = "/tmp/ostrel-template-fuzz-XXXXXX";
    auto* made = new std::string(mkdtemp(pattern) ? pattern : "/tmp");
    atexit([] {
      unlink((Directory() + "/page.mhtml").c_str());
      rmdir(Directory().c_str());
    });
    return made;
  }();
  return *dir;
}

std::string Render(const std::string& text, const std::string& variable) {
  std::string path = Directory() + "/page.mhtml";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  Request request;
  request.vars = {{"what", "page.mhtml"}, {"v", variable}};
  TemplatePage page{request, Directory(), "u", "c", "A:BC", "", nullptr, nullptr,
                    [](TemplateRequest&, const std::string&) {}};
  TemplateProcess(page);
  return request.out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string name;
  TemplateParams params;
  if (TemplateParseTag(input, name, params) && params.size() > input.size()) abort();
  // The first line is the template, the rest a request variable.
  size_t cut = input.find('\n');
  std::string text = input.substr(0, cut == std::string::npos ? input.size() : cut + 1);
  std::string variable = cut == std::string::npos ? "" : input.substr(cut + 1);
  std::string page = Render(text, variable);
  if (text.find("<X-") == std::string::npos && page != text) abort();
  // Request text stays escaped even where a template asks for it raw.
  std::string shown = Render("[<X-ShowVar v noescape>]\n", variable);
  if (shown.find_first_of("<\"", 1) < shown.size() - 2) abort();
  return 0;
}
