// The configuration files: Load, the change check and Save.
//
// Line 1 of a file is "# 2 <time of writing>"; every further line is a comment
// ('#'), a definition ('D', the object key, ',', the definition body) or a setting
// ('S', the object key, ',', the attribute list of one scheduled event). Lines end
// with LF on reading (trailing CR and LF removed) and CR LF on writing.
#include <cerrno>
#include <cstdio>
#include <new>

#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/memory_file.h"
#include "base/message_codes.h"
#include "config/attribute_list.h"
#include "config/config_internal.h"
#include "config/configuration.h"
#include "log/eventlog.h"
#include "platform/clock.h"

namespace {

constexpr char kFormatVersion = '2';
constexpr int kVendorFile = 2;

void StripLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

bool IsSystemKey(const std::string& key) { return key == "S"; }

bool IsFlaggedType(char type) { return type == kTypeList || type == kTypeDictionary; }

// Reads a whole file into a digest; false when it cannot be read.

}  // namespace

// ---- Load ----

int Configuration::Load(bool force) {
  // The files' named lock comes before the table's own lock.
  CTernNamedLockScope files(kConfigFileLock);
  if (!files.Held()) return 1;
  CTernWriteGuard table(m_TableLock);
  if (!force && PlatformNow() - m_LastLoad <= 1) return 0;
  int result = LoadFilesLocked();
  ReplayLocked();
  return result;
}

int Configuration::LoadFilesLocked() {
  DestroyObjectsLocked();
  m_Generation++;
  int result = 0;
  for (int i = 0; i < 3; ++i) {
    if (result == 0) {
      result = LoadFileLocked(i);
    } else {
      // Not read: remember the file as it is, so that the change check reads the
      // files again only once one of them changes.
      m_Stamps[i] = StampOf(m_Paths[i]);
    }
  }
  m_Corrupt = result != 0;
  if (result == 0) m_LastLoad = PlatformNow();
  return result;
}

int Configuration::LoadFileLocked(int index) {
  const std::string& path = m_Paths[index];
  FileStamp& stamp = m_Stamps[index];
  stamp = StampOf(path);
  if (path.empty()) {
    TernReportEvent(TernEventType::Error, kMsgFileNameNotSupplied);
    return 1;
  }
  if (!stamp.present) {
    TernReportEventF(TernEventType::Error, kMsgCouldNotOpenFile, path, ENOENT);
    return 1;
  }
  CTernDiskFile file(path, TernFileMode::ReadOnly);
  if (!file.Open()) {
    int err = errno;
    TernReportEventF(TernEventType::Error, kMsgCouldNotOpenFile, path, err ? err : EIO);
    return 1;
  }
  file.ModificationTime(stamp.modified);
  stamp.size = file.Size();
  ConfigDigest digest;
  std::string line;
  int32_t n = file.ReadLine(line, "\n");
  if (n > 0) digest.Add(line);
  StripLineEnd(line);
  if (n <= 0 || line.size() < 3 || line.compare(0, 2, "# ") != 0) {
    TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, path, 1);
    return 1;
  }
  if (line[2] != kFormatVersion) {
    TernReportEventF(TernEventType::Error, kMsgConfigUnsupportedVersion, path,
                     std::string(1, line[2]));
    return 1;
  }
  for (int lineNumber = 2;; ++lineNumber) {
    n = file.ReadLine(line, "\n");
    if (n < 0) {
      TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, path, lineNumber);
      return 1;
    }
    if (n == 0) break;
    digest.Add(line);
    StripLineEnd(line);
    if (LoadLineLocked(index, line, lineNumber) != 0) return 1;
  }
  stamp.digest = digest.Value();
  stamp.digestKnown = true;
  return 0;
}

int Configuration::LoadLineLocked(int index, const std::string& line, int lineNumber) {
  const std::string& path = m_Paths[index];
  auto corrupt = [&]() {
    TernReportEventF(TernEventType::Error, kMsgConfigCorrupt, path, lineNumber);
    return 1;
  };
  if (line.empty()) return corrupt();
  char kind = line[0];
  if (kind == '#') return 0;
  if (kind != 'D' && kind != 'S') return corrupt();
  size_t comma = line.find(',');
  if (comma == std::string::npos) return corrupt();
  std::string key = line.substr(1, comma - 1);
  std::string body = line.substr(comma + 1);
  ConfigObject* existing = nullptr;
  m_Objects.Find(key, &existing);

  if (kind == 'S') {
    if (!existing) {
      TernReportEventF(TernEventType::Error, kMsgConfigSettingBeforeDefinition, path, lineNumber);
      return 1;
    }
    AttributeTable settings;
    EventAddResult added = EventAddResult::kInvalid;
    if (ParseAttributeList(body, settings))
      added = existing->AddEvent(settings, index == kVendorFile, PlatformNow());
    // A refused event costs only its own line.
    if (!EventAccepted(added))
      TernReportEventF(TernEventType::Warning, kMsgConfigCorrupt, path, lineNumber);
    return 0;
  }

  if (key.empty()) return corrupt();
  // The vendor file's definitions of the system object are the product's defaults:
  // they fill in what the installation's own definition leaves out and are never
  // written back.
  if (index == kVendorFile && IsSystemKey(key)) {
    AttributeTable defaults;
    if (!ParseAttributeList(body, defaults)) return corrupt();
    if (!existing) {
      existing = new SystemObject();
      m_Objects.Insert(key, existing);
    }
    defaults.ForEach([&](const std::string& name, const std::string& value) {
      existing->AddVendorDefault(name, value);
    });
    return 0;
  }
  if (existing) {
    TernReportEventF(TernEventType::Warning, kMsgConfigDuplicateDefinition, path, key, lineNumber);
    return 0;
  }
  ConfigObject* object = nullptr;
  try {
    object = MakeConfigObject(key[0], key.substr(1));
  } catch (const std::bad_alloc&) {
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
    return 1;
  }
  if (!object) return corrupt();
  if (object->ParseDefinition(body) != 0) {
    delete object;
    return corrupt();
  }
  m_Objects.Insert(key, object);
  return 0;
}

// ---- Change check ----

Configuration::FileStamp Configuration::StampOf(const std::string& path) {
  FileStamp stamp;
  stamp.seenAt = PlatformNow();
  if (path.empty() || !FileExists(path, false)) return stamp;
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  stamp.present = file.ModificationTime(stamp.modified);
  stamp.size = file.Size();
  return stamp;
}

int Configuration::RefreshIfChanged() {
  time_t now = PlatformNow();
  bool changed = false;
  CTernReadGuard read(m_TableLock);
  if (now - m_LastCheck < kConfigCheckInterval) return 0;
  for (int i = 0; i < 3 && !changed; ++i) {
    const FileStamp& known = m_Stamps[i];
    FileStamp current = StampOf(m_Paths[i]);
    // A file replaced within the same second as it was read may have been replaced
    // again since with the same time and size: such a file is read once more.
    changed = current.present != known.present ||
              (current.present && (current.modified != known.modified || current.size != known.size ||
                                   known.modified == known.seenAt));
  }
  read.Unlock();
  if (changed) return Load(false);
  CTernWriteGuard table(m_TableLock);
  m_LastCheck = now;
  return 0;
}

int Configuration::SyncWithFilesLocked() {
  bool changed = false;
  for (int i = 0; i < 3 && !changed; ++i) {
    const FileStamp& known = m_Stamps[i];
    bool present = !m_Paths[i].empty() && FileExists(m_Paths[i], false);
    uint64_t digest = 0;
    if (present != known.present || !known.digestKnown) {
      changed = true;
    } else if (present) {
      changed = !ConfigDigestOf(m_Paths[i], digest) || digest != known.digest;
    }
  }
  if (!changed) return 0;
  int result = LoadFilesLocked();
  ReplayLocked();
  return result;
}

time_t Configuration::LastLoadTime() {
  RefreshIfChanged();
  CTernReadGuard guard(m_TableLock);
  return m_LastLoad;
}

uint64_t Configuration::Generation() {
  RefreshIfChanged();
  return m_Generation.load();
}

bool Configuration::Corrupt() {
  CTernReadGuard guard(m_TableLock);
  return m_Corrupt;
}

// ---- Save ----

int Configuration::Save() {
  CTernNamedLockScope files(kConfigFileLock);
  if (!files.Held()) return 1;
  CTernWriteGuard table(m_TableLock);
  SyncWithFilesLocked();
  return WriteOrRefuseLocked();
}

int Configuration::WriteOrRefuseLocked() {
  int result = 1;
  if (m_Corrupt) {
    // A configuration that did not load completely is never written back, so
    // that a damaged file is not made worse.
    TernReportEvent(TernEventType::Error, kMsgWriteCorruptConfig);
  } else {
    result = WriteFilesLocked();
  }
  // A change reported as failed must not take effect later: it stays in memory
  // only until the next load.
  m_Unsaved.clear();
  return result;
}

int Configuration::WriteFilesLocked() {
  char header[64];
  snprintf(header, sizeof header, "# %c %ld\r\n", kFormatVersion, static_cast<long>(PlatformNow()));
  CTernMemoryFile shared, local;
  shared.Open();
  local.Open();
  bool ok = shared.Write(header) >= 0 && local.Write(header) >= 0;
  std::string key;
  void* value = nullptr;
  for (bool more = m_Objects.First(&key, &value); more && ok; more = m_Objects.Next(&key, &value)) {
    ConfigObject* object = static_cast<ConfigObject*>(value);
    if (IsFlaggedType(object->Type())) {
      if (object->IsNeverWritten()) continue;
      ok = local.Write("D" + key + ",") >= 0 && object->WriteDefinition(local) == 0;
      continue;
    }
    ok = shared.Write("D" + key + ",") >= 0 && object->WriteDefinition(shared) == 0;
    object->ForEachEvent([&](const ScheduleEvent& e) {
      // Events of the vendor file live there.
      if (ok && !e.FromVendorFile())
        ok = local.Write("S" + key + "," + FormatAttributeList(e.Settings()) + "\r\n") >= 0;
    });
  }
  if (!ok) {
    TernReportEventF(TernEventType::Error, kMsgErrorWritingFile, SharedPath());
    return 1;
  }
  std::string texts[2] = {shared.Contents(), local.Contents()};
  auto writer = [](const std::string& text) {
    return [&text](CTernFile& file) { return file.Write(text) == static_cast<int32_t>(text.size()); };
  };
  if (!FileReplacePair(SharedPath(), writer(texts[0]), LocalPath(), writer(texts[1]))) return 1;
  for (int i = 0; i < 2; ++i) {
    m_Stamps[i] = StampOf(m_Paths[i]);
    ConfigDigest digest;
    digest.Add(texts[i]);
    m_Stamps[i].digest = digest.Value();
    m_Stamps[i].digestKnown = true;
  }
  m_LastLoad = PlatformNow();
  m_Generation++;
  return 0;
}
