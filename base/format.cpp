// The message-text formatter: printf conversions filled from typed arguments.
#include "base/format.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

std::string TernFormat(const char* format, std::initializer_list<TernArg> args) {
  std::string out;
  if (!format) return out;
  std::vector<const TernArg*> list;
  for (const TernArg& a : args) list.push_back(&a);
  size_t next = 0;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    // Collect flags, width and length modifiers, then the conversion letter.
    std::string spec = "%";
    const char* q = p + 1;
    while (*q && std::string("-+ #0123456789.").find(*q) != std::string::npos) spec += *q++;
    while (*q == 'l' || *q == 'h' || *q == 'z') ++q;
    char conv = *q;
    if (!conv) {
      out += std::string(p);
      break;
    }
    const TernArg* arg = next < list.size() ? list[next++] : nullptr;
    char buf[64];
    switch (conv) {
      case 's': {
        std::string text = !arg ? "" : arg->IsText() ? arg->Text() : std::to_string(arg->Number());
        if (spec.size() > 1) {
          std::vector<char> wide(text.size() + 256);
          snprintf(wide.data(), wide.size(), (spec + "s").c_str(), text.c_str());
          out += wide.data();
        } else {
          out += text;
        }
        break;
      }
      case 'c': {
        long long n = !arg ? 0 : arg->IsText() ? (arg->Text().empty() ? 0 : arg->Text()[0]) : arg->Number();
        if (n) out += static_cast<char>(n);
        break;
      }
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': {
        long long n = !arg ? 0 : arg->IsText() ? strtoll(arg->Text().c_str(), nullptr, 10) : arg->Number();
        // Unsigned and hex forms show a 32-bit value, as the texts' callers expect.
        if (conv != 'd' && conv != 'i' && n >= INT32_MIN && n <= UINT32_MAX)
          n = static_cast<long long>(static_cast<uint32_t>(n));
        snprintf(buf, sizeof buf, (spec + "ll" + conv).c_str(), n);
        out += buf;
        break;
      }
      default:
        // Not a conversion the texts use: copy it as it stands.
        out.append(p, q + 1);
        if (arg) --next;
        break;
    }
    p = q;
  }
  return out;
}
