// CTernMailbox: appending a message and compacting the data file.
#include "store/mailbox.h"

#include <algorithm>

#include "base/disk_file.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/separator.h"
#include "store/mailbox_names.h"

namespace {

// Blocks in which a compaction copies the data file.
constexpr int32_t kCopyBlock = 1 << 20;

// Writes the separator line and the message from the line after its own separator
// line, ending it with CR LF when its last line has no line end, so that the next
// separator line begins a line of its own.
bool CopyMessage(CTernMessage& message, std::string_view envelopeSender, CTernFile& target) {
  std::string separator = TernSeparatorLine(envelopeSender, CTernTime());
  if (target.Write(separator) != static_cast<int32_t>(separator.size())) return false;
  if (!message.Rewind(true)) return false;
  char buffer[kTernMessageBlock];
  char last = '\n';
  for (;;) {
    int32_t n = message.Read(buffer, kTernMessageBlock);
    if (n < 0) return false;
    if (n == 0) break;
    if (target.Write(buffer, n) != n) return false;
    last = buffer[n - 1];
  }
  return last == '\n' || target.Write("\r\n", 2) == 2;
}

// Copies bytes [from, to) of source to the end of target.
bool CopyRange(CTernFile& source, int64_t from, int64_t to, CTernFile& target,
               std::string& buffer) {
  if (from >= to) return true;
  if (!source.Seek(static_cast<int32_t>(from), TernSeek::Start)) return false;
  for (int64_t left = to - from; left > 0;) {
    int32_t want = static_cast<int32_t>(std::min<int64_t>(left, kCopyBlock));
    int32_t n = source.Read(buffer.data(), want);
    if (n <= 0 || target.Write(buffer.data(), n) != n) return false;
    left -= n;
  }
  return true;
}

}  // namespace

TernAddResult CTernMailbox::Add(CTernMessage& message, uint32_t flags,
                                std::string_view envelopeSender, const TernReceiveCheck& check,
                                std::string* reason) {
  if (reason) reason->clear();
  if (m_Error || !message.IsOpen() || !message.IsReading()) return TernAddResult::NotWritten;
  if (check) {
    std::string sender(envelopeSender);
    if (sender.empty() || sender == "??@??") sender = message.Header("From");
    if (check(sender, m_Owner, "", &message, true, reason) == 1) return TernAddResult::Refused;
  }
  int32_t offset = 0, size = 0;
  if (!WriteMessage(message, envelopeSender, offset, size)) return TernAddResult::NotWritten;
  TernTocEntry entry;
  if (!EntryAt(offset, size, entry)) {
    // Unreadable right after it was written: take it back rather than leave a
    // message no entry lists.
    CTernDiskFile file(m_DataPath, TernFileMode::NoLock);
    if (file.Open() && file.Truncate(offset)) file.Sync();
    file.Close();
    return TernAddResult::NotWritten;
  }
  entry.flags = (flags & ~TernMailFlag::Attachments) | (entry.flags & TernMailFlag::Attachments);
  entry.envelopeSender = std::string(envelopeSender);
  size_t at = TernTocInsertPosition(m_Entries, entry, m_SortOrder);
  m_Entries.insert(m_Entries.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
  if (at + 1 == m_Entries.size()) {
    m_Visible.push_back(static_cast<int32_t>(at));
    m_TotalSize += size;
  } else {
    RebuildVisible();
  }
  // The message is on disk: a TOC that cannot be written now is rewritten whole by
  // the next change, or, should this process end first, disagrees with the data
  // file and makes the next load scan it.
  SaveToc(at);
  return TernAddResult::Added;
}

bool CTernMailbox::WriteMessage(CTernMessage& message, std::string_view envelopeSender,
                                int32_t& offset, int32_t& size) {
  CTernDiskFile file(m_DataPath, TernFileMode::Append | TernFileMode::Create |
                                     TernFileMode::NoLock | TernFileMode::Private);
  if (!file.Open()) return false;
  // The file's own size, not the TOC's idea of it: the cut below must restore it.
  int32_t before = file.Size();
  bool ok = before >= 0 && CopyMessage(message, envelopeSender, file) && file.Sync();
  int32_t after = ok ? file.Size() : -1;
  if (after <= before) {
    if (before >= 0 && file.Truncate(before)) file.Sync();
    file.Close();
    return false;
  }
  file.Close();  // the bytes are on disk already; a failed close takes nothing away
  m_DataStamp = FileStampOf(m_DataPath);
  offset = before;
  size = after - before;
  return true;
}

bool CTernMailbox::EntryAt(int32_t offset, int32_t size, TernTocEntry& entry) const {
  CTernMessage reader(m_DataPath, offset, size, 0, TernMessageMode::Read);
  return reader.Open() && TernTocEntryFromMessage(reader, entry) && entry.size == size;
}

bool CTernMailbox::WriteCompacted(CTernFile& target) const {
  std::vector<std::pair<int32_t, int32_t>> removed;
  for (const TernTocEntry& e : m_Entries)
    if (e.Marked()) removed.emplace_back(e.offset, e.size);
  std::sort(removed.begin(), removed.end());
  CTernDiskFile source(m_DataPath, TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!source.Open()) return false;
  std::string buffer(static_cast<size_t>(kCopyBlock), '\0');
  int64_t position = 0;
  bool ok = true;
  for (const auto& [offset, size] : removed) {
    ok = ok && CopyRange(source, position, offset, target, buffer);
    position = static_cast<int64_t>(offset) + size;
  }
  ok = ok && CopyRange(source, position, m_TotalSize, target, buffer);
  source.Close();
  return ok;
}

std::vector<TernTocEntry> CTernMailbox::EntriesAfterCompaction() const {
  // Offsets of the removed entries, and the bytes removed before each.
  std::vector<std::pair<int32_t, int64_t>> removed;
  for (const TernTocEntry& e : m_Entries)
    if (e.Marked()) removed.emplace_back(e.offset, e.size);
  std::sort(removed.begin(), removed.end());
  int64_t total = 0;
  for (auto& [offset, bytes] : removed) bytes = total += bytes;
  std::vector<TernTocEntry> kept;
  kept.reserve(m_Entries.size() - removed.size());
  for (const TernTocEntry& e : m_Entries) {
    if (e.Marked()) continue;
    auto before = std::lower_bound(removed.begin(), removed.end(),
                                   std::make_pair(e.offset, int64_t{0}));
    kept.push_back(e);
    if (before != removed.begin()) kept.back().offset -= static_cast<int32_t>((before - 1)->second);
  }
  return kept;
}

int CTernMailbox::Compact() {
  if (m_Error) return 1;
  if (std::none_of(m_Entries.begin(), m_Entries.end(),
                   [](const TernTocEntry& e) { return e.Marked(); }))
    return 0;
  std::vector<TernTocEntry> kept = EntriesAfterCompaction();
  uint64_t oldData = FileStampOf(m_DataPath).inode;
  bool ok = FileReplacePair(
      m_DataPath, [this](CTernFile& target) { return WriteCompacted(target); }, m_TocPath,
      TocWriter(kept, m_SortOrder), kNewFileMode, kTernNewSuffix, kTernOldSuffix);
  bool switched = FileStampOf(m_DataPath).inode != oldData;
  // Neither the new files of a failed attempt nor the removed messages stay on disk.
  for (std::string leftover : {m_DataPath + kTernNewSuffix, m_DataPath + kTernOldSuffix,
                               m_TocPath + kTernNewSuffix})
    if (FileStampOf(leftover).exists) FileRemove(leftover, false);
  if (!switched) return 1;
  m_Entries = std::move(kept);
  RebuildVisible();
  m_DataStamp = FileStampOf(m_DataPath);
  m_TocStamp = FileStampOf(m_TocPath);
  if (ok) {
    m_TocInSync = true;
    m_TocEndsWithLineEnd = true;
    return 0;
  }
  // The data file has been switched but its TOC has not: write the TOC once more;
  // should that fail too, the TOC disagrees with the data file and the next load
  // scans it.
  m_TocInSync = false;
  return SaveToc();
}
