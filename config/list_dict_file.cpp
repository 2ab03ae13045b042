// File helpers shared by the lists file and the dictionary files.
#include "config/list_dict_file.h"

#include <cstdio>
#include <new>

#include "base/disk_file.h"
#include "base/message_codes.h"
#include "base/named_lock.h"
#include "log/eventlog.h"
#include "platform/clock.h"
#include "platform/file.h"

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

CTernListDictReader::CTernListDictReader(CTernFile& file, const std::string& path, bool exchanged)
    : m_File(file), m_Path(path), m_Exchanged(exchanged) {}

bool CTernListDictReader::ReadHeader() {
  std::string line;
  int32_t n = m_File.ReadLine(line, m_Exchanged ? "\xA0" : "\n");
  if (n <= 0) {
    TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, m_Path, 0);
    return false;
  }
  m_Digest.Add(line);
  if (m_Exchanged) {
    size_t lf = line.find('\n');
    if (lf != std::string::npos && lf + 1 < line.size()) {
      m_Carried = line.substr(lf + 1);
      line.resize(lf + 1);
    }
  }
  switch (TernCheckListDictHeader(line)) {
    case TernHeaderState::Corrupt:
      TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, m_Path, 0);
      return false;
    case TernHeaderState::Unsupported:
      TernReportEventF(TernEventType::Error, kMsgConfigUnsupportedVersion, m_Path,
                       std::string(1, line.size() > 2 ? line[2] : ' '));
      return false;
    case TernHeaderState::Ok:
      break;
  }
  return true;
}

int CTernListDictReader::Next(std::string& line) {
  m_LineNumber++;
  if (!m_Carried.empty()) {
    line.swap(m_Carried);
    m_Carried.clear();
  } else {
    int32_t n = m_File.ReadLine(line, m_Exchanged ? "\xA0" : "\n");
    if (n == 0) return 0;
    if (n < 0) {
      TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, m_Path, m_LineNumber);
      return -1;
    }
    m_Digest.Add(line);
  }
  if (m_Exchanged) TernSwapHalves(line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return 1;
}

namespace {

// Writes a file that does not exist yet into path + "_new" and renames it into
// place; the rename never replaces a file that appeared meanwhile. False when
// anything failed (the _new file is then removed).
bool WriteFresh(const std::string& path, const TernFileWriter& write) {
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
  if (FileRename(fresh, path, false)) return true;
  FileRemove(fresh, false);
  return false;
}

}  // namespace

bool TernWriteListDictFile(const std::string& path, const TernLineProducer& produce,
                           uint64_t* digest) {
  ConfigDigest written;
  auto write = [&produce, &written](CTernFile& file) {
    constexpr size_t kBlock = 65536;
    std::string out = TernListDictHeader(PlatformNow());
    auto flush = [&file, &out, &written] {
      written.Add(out);
      bool ok = file.Write(out) == static_cast<int32_t>(out.size());
      out.clear();
      return ok;
    };
    auto emit = [&out, &flush](std::string_view line) {
      out.append(line);
      return out.size() < kBlock || flush();
    };
    return produce(emit) && flush();
  };
  bool ok = FileExists(path, false) ? FileReplace(path, write)
                                    // The first write of the file: nothing to keep as _old.
                                    : WriteFresh(path, write);
  if (ok && digest) *digest = written.Value();
  return ok;
}

InitialFileResult TernWriteEmptyListDictFile(const std::string& path) {
  if (FileExists(path, false)) return InitialFileResult::kKept;
  auto header = [](CTernFile& file) {
    std::string text = TernListDictHeader(PlatformNow());
    return file.Write(text) == static_cast<int32_t>(text.size());
  };
  if (WriteFresh(path, header)) return InitialFileResult::kWritten;
  return FileExists(path, false) ? InitialFileResult::kKept : InitialFileResult::kFailed;
}

namespace {
constexpr int kReloadInterval = 10;
}  // namespace

bool CTernListDictWatch::SkipLoad(int force, time_t now) {
  CTernLockGuard guard(m_Lock);
  return force == 0 && m_Loaded != 0 && now - m_Loaded <= 1;
}

std::vector<TernFileStamp> CTernListDictWatch::Stamps() const {
  std::vector<TernFileStamp> stamps;
  for (const std::string& path : m_Paths) stamps.push_back(FileStampOf(path));
  return stamps;
}

void CTernListDictWatch::Tried(time_t now, bool ok, std::vector<TernFileStamp> stamps) {
  CTernLockGuard guard(m_Lock);
  m_Tried = std::move(stamps);
  m_LastCheck = now;
  if (ok) m_Loaded = now;
}

bool CTernListDictWatch::ReloadDue() {
  time_t now = PlatformNow();
  std::vector<TernFileStamp> tried;
  {
    CTernLockGuard guard(m_Lock);
    if (now - m_LastCheck < kReloadInterval) return false;
    m_LastCheck = now;
    tried = m_Tried;
  }
  return Stamps() != tried;
}

time_t CTernListDictWatch::Loaded() {
  CTernLockGuard guard(m_Lock);
  return m_Loaded;
}

bool TernUnderDataSetLock(const char* lockName, const std::function<bool()>& work) {
  CTernNamedLockScope named(lockName);
  if (!named.Held()) return false;
  try {
    return work();
  } catch (const std::bad_alloc&) {
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
  } catch (const CTernException&) {
    // Reported when it was made.
  }
  return false;
}
