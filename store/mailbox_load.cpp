// CTernMailbox: loading and checking the table of contents, rescanning the data
// file, writing the table, and the re-check of the senders.
#include "store/mailbox.h"

#include <algorithm>

#include "base/disk_file.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "config/effective_settings.h"
#include "message/clock.h"
#include "message/message.h"
#include "platform/replace.h"
#include "store/mailbox_names.h"

namespace {

// The TOC is written in blocks of about this many bytes.
constexpr size_t kTocBlock = 65536;

// Makes path empty, with contents when given, unless it exists.
bool MakeFile(const std::string& path, const std::string& contents, bool& made) {
  if (FileStampOf(path).exists) return true;
  CTernDiskFile file(path, TernFileMode::Create | TernFileMode::NoLock | TernFileMode::Private);
  if (!file.Open()) return false;
  bool ok = file.Write(contents) == static_cast<int32_t>(contents.size()) && file.Sync();
  made = true;
  return file.Close() && ok;
}

}  // namespace

TernFileWriter CTernMailbox::TocWriter(const std::vector<TernTocEntry>& entries, int order) {
  return [&entries, order](CTernFile& file) {
    std::string block = TernTocHeader(order);
    for (const TernTocEntry& e : entries) {
      block += TernTocLine(e);
      if (block.size() < kTocBlock) continue;
      if (file.Write(block) != static_cast<int32_t>(block.size())) return false;
      block.clear();
    }
    return file.Write(block) == static_cast<int32_t>(block.size());
  };
}

bool CTernMailbox::EnsureFiles() {
  bool made = false;
  if (!MakeFile(m_DataPath, "", made)) return false;
  if (!MakeFile(m_TocPath, TernTocHeader(m_SortOrder, true), made)) return false;
  return !made || PlatformSyncParentDir(m_TocPath) == 0;
}

int CTernMailbox::Load() {
  if (m_Error) {
    // A mailbox that failed before is loaded afresh from its files.
    m_Error = false;
    m_TocStamp = TernFileStamp();
  }
  if (!EnsureFiles()) {
    m_Error = true;
    return 1;
  }
  if (FileStampOf(m_TocPath) != m_TocStamp) {
    int read = ReadToc();
    if (read < 0) {
      m_Error = true;
      return 1;
    }
    if (read == 0) {
      ReportScan(kMsgScanCorruptToc);
      TernReportEventF(TernEventType::Warning, kMsgMailboxCorrupt, m_Owner, m_Name);
      return RescanForLoad();
    }
  }
  TernFileStamp data = FileStampOf(m_DataPath);
  if (!data.exists) {
    m_Error = true;
    return 1;
  }
  // A data file this object wrote or scanned itself is known to agree with the
  // entries, whatever the clock did meanwhile.
  if (data != m_DataStamp && data.Modified() > m_TocStamp.Modified() + kTernTocStaleSeconds) {
    ReportScan(kMsgScanTocOutOfDate);
    return RescanForLoad();
  }
  if (data.size != m_TotalSize) {
    ReportScan(kMsgScanTocSizeMismatch);
    return RescanForLoad();
  }
  RecheckSenders();
  return 0;
}

int CTernMailbox::ReadToc() {
  CTernDiskFile file(m_TocPath, TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open()) return -1;
  TernFileStamp stamp = FileStampOf(m_TocPath);
  std::string text;
  bool read = file.Read(text) >= 0;
  file.Close();
  if (!read) return -1;
  m_TocStamp = stamp;
  m_Entries.clear();
  std::string_view rest = text;
  bool header = true;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (header) {
      if (!TernParseTocHeader(line, m_SortOrder)) return 0;
      header = false;
      continue;
    }
    TernTocEntry entry;
    if (!TernParseTocLine(line, entry)) return 0;
    m_Entries.push_back(std::move(entry));
  }
  RebuildVisible();
  if (header || !EntriesLieEndToEnd()) return 0;
  m_TocInSync = true;
  m_TocEndsWithLineEnd = text.back() == '\n';
  return 1;
}

bool CTernMailbox::EntriesLieEndToEnd() const {
  std::vector<std::pair<int32_t, int32_t>> spans;
  spans.reserve(m_Entries.size());
  for (const TernTocEntry& e : m_Entries) spans.emplace_back(e.offset, e.size);
  std::sort(spans.begin(), spans.end());
  int64_t end = 0;
  for (const auto& [offset, size] : spans) {
    if (offset != end) return false;
    end += size;
  }
  return true;
}

void CTernMailbox::ReportScan(int code) const {
  TernReportEventF(TernEventType::Warning, code, m_Owner, m_DataPath);
}

int CTernMailbox::RescanForLoad() {
  if (Rescan() != 0) {
    m_Error = true;
    return 1;
  }
  RecheckSenders();
  return 0;
}

int CTernMailbox::Rescan() {
  TernFileStamp data = FileStampOf(m_DataPath);
  if (!data.exists) return 1;
  std::vector<TernTocEntry> entries;
  for (int64_t offset = 0; offset < data.size;) {
    CTernMessage reader(m_DataPath, static_cast<int32_t>(offset), 0, 0, TernMessageMode::Read);
    if (!reader.Open()) return 1;
    int32_t size = reader.Size();
    if (size < 0) return 1;
    if (size == 0) break;
    TernTocEntry entry;
    if (!TernTocEntryFromMessage(reader, entry)) return 1;
    entries.push_back(std::move(entry));
    offset += size;
  }
  m_Entries = std::move(entries);
  RebuildVisible();
  m_DataStamp = data;
  m_Rechecked = false;
  // The entries stand in memory even when the TOC cannot be written: the next write
  // tries the whole file again.
  if (!WriteToc(m_Entries, m_SortOrder)) m_TocInSync = false;
  return 0;
}

bool CTernMailbox::WriteToc(const std::vector<TernTocEntry>& entries, int order) {
  bool ok = FileReplace(m_TocPath, TocWriter(entries, order), kNewFileMode, kTernNewSuffix,
                        kTernOldSuffix);
  m_TocStamp = FileStampOf(m_TocPath);
  if (ok) {
    m_TocInSync = true;
    m_TocEndsWithLineEnd = true;
  }
  return ok;
}

bool CTernMailbox::AppendTocLine(const TernTocEntry& entry) {
  CTernDiskFile file(m_TocPath, TernFileMode::Append | TernFileMode::NoLock);
  if (!file.Open()) return false;
  int32_t before = file.Size();
  std::string line = TernTocLine(entry);
  bool ok = before >= 0 && file.Write(line) == static_cast<int32_t>(line.size()) && file.Sync();
  if (!ok && before >= 0 && file.Truncate(before)) file.Sync();  // no half line stays behind
  ok = file.Close() && ok;
  m_TocStamp = FileStampOf(m_TocPath);
  return ok;
}

int CTernMailbox::SaveToc(size_t appended) {
  if (m_Error) return 1;
  bool extend = appended + 1 == m_Entries.size() && m_TocInSync && m_TocEndsWithLineEnd;
  bool ok = extend ? AppendTocLine(m_Entries[appended]) : WriteToc(m_Entries, m_SortOrder);
  if (!ok) m_TocInSync = false;
  return ok ? 0 : 1;
}

void CTernMailbox::RecheckSenders() {
  time_t now = CTernClock::Now();
  if (m_Rechecked && now >= m_LastRecheck && now - m_LastRecheck < kTernSenderRecheckSeconds)
    return;
  m_Rechecked = true;
  m_LastRecheck = now;
  AttributeTable settings;
  bool check = m_SenderCheck && GetEffectiveSettings("", m_Owner, false, settings) == 0;
  bool changed = false;
  for (TernTocEntry& e : m_Entries) {
    bool hide = false;
    if (check) {
      std::string_view sender = e.envelopeSender;
      if (sender.empty() || sender == "??@??") sender = e.sender;
      hide = m_SenderCheck(sender, settings, nullptr) == 1;
    }
    if (hide == e.Hidden()) continue;
    e.internal ^= TernTocInternal::Hidden;
    changed = true;
  }
  if (!changed) return;
  m_TocInSync = false;  // the file learns of the change with its next rewrite
  RebuildVisible();
}
