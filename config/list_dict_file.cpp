// File helpers shared by the lists file and the dictionary files.
#include "config/list_dict_file.h"

#include <cstdio>

#include "base/disk_file.h"

void TernSwapHalves(std::string& text) {
  for (char& c : text) c = TernSwapHalves(c);
}

std::string TernSwappedCopy(std::string_view text) {
  std::string out(text);
  TernSwapHalves(out);
  return out;
}

std::string TernListDictHeader(time_t when) {
  char header[64];
  snprintf(header, sizeof header, "# %c %ld\r\n", kTernListDictVersion, static_cast<long>(when));
  return header;
}

TernHeaderState TernCheckListDictHeader(std::string_view line) {
  if (line.size() < 2 || line[0] != '#' || line[1] != ' ') return TernHeaderState::Corrupt;
  if (line.size() < 3 || line[2] != kTernListDictVersion) return TernHeaderState::Unsupported;
  return TernHeaderState::Ok;
}

bool TernWriteListDictFile(const std::string& path, const TernFileWriter& write) {
  if (FileExists(path, false)) return FileReplace(path, write);
  // The first write of the file: nothing to keep as _old.
  std::string fresh = path + "_new";
  {
    CTernDiskFile file(fresh, TernFileMode::Create | TernFileMode::Truncate);
    if (!file.Open()) return false;
    bool written = write(file);
    bool closed = file.Close();
    if (!written || !closed) {
      FileRemove(fresh, false);
      return false;
    }
  }
  return FileRename(fresh, path, false);
}
