// The parts of the file interface that both implementations share.
#include "base/file.h"

int32_t CTernFile::Read(std::string& out, int32_t length) {
  if (length <= 0) {
    out.clear();
    // Let the implementation judge (and report) a negative length.
    return Read(out.data(), length);
  }
  out.assign(static_cast<size_t>(length), '\0');
  int32_t n = Read(out.data(), length);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n;
}

int64_t CTernFile::LineLength(std::string_view data, std::string_view terminator, size_t limit,
                              size_t from) {
  size_t at = data.find(terminator, from);
  if (at != std::string_view::npos) {
    size_t end = at + terminator.size();
    // Copying byte by byte stops at the limit even inside a terminator.
    return static_cast<int64_t>(end <= limit ? end : limit);
  }
  if (data.size() >= limit) return static_cast<int64_t>(limit);
  return -1;
}
