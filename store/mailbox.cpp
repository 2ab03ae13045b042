// CTernMailbox: counts, entries, messages, flags, the sort order, marks, and the
// removal of a mailbox's files.
#include "store/mailbox.h"

#include <algorithm>

#include "base/named_lock.h"
#include "message/message.h"
#include "store/mailbox_names.h"

CTernMailbox::CTernMailbox(std::string directory, std::string owner, std::string name,
                           TernSenderCheck senderCheck)
    : m_Directory(std::move(directory)),
      m_Owner(std::move(owner)),
      m_Name(std::move(name)),
      m_DataPath(PathJoin(m_Directory, m_Name)),
      m_TocPath(m_DataPath + kTernTocSuffix),
      m_SenderCheck(std::move(senderCheck)) {}

int32_t CTernMailbox::IndexOf(int32_t n) const {
  if (m_Error || n < 1 || n > static_cast<int32_t>(m_Visible.size())) return -1;
  return m_Visible[static_cast<size_t>(n) - 1];
}

void CTernMailbox::RebuildVisible() {
  m_Visible.clear();
  m_TotalSize = 0;
  for (size_t i = 0; i < m_Entries.size(); ++i) {
    if (!m_Entries[i].Hidden()) m_Visible.push_back(static_cast<int32_t>(i));
    m_TotalSize += m_Entries[i].size;
  }
}

int CTernMailbox::Counts(TernMailboxCounts& counts, bool includeHidden) const {
  counts = TernMailboxCounts();
  if (m_Error) return 1;
  for (const TernTocEntry& e : m_Entries) {
    if (e.Hidden() && !includeHidden) continue;
    ++counts.messages;
    if (e.Unread()) ++counts.unread;
    counts.bytes += e.size;
  }
  return 0;
}

int CTernMailbox::Info(int32_t n, TernTocEntry& entry) const {
  int32_t i = IndexOf(n);
  if (i < 0) return 1;
  entry = m_Entries[static_cast<size_t>(i)];
  return 0;
}

int CTernMailbox::SizeAndId(int32_t n, int32_t& size, std::string& id) const {
  int32_t i = IndexOf(n);
  if (i < 0) return 1;
  size = m_Entries[static_cast<size_t>(i)].size;
  id = m_Entries[static_cast<size_t>(i)].id;
  return 0;
}

bool CTernMailbox::IsUnread(int32_t n) const {
  int32_t i = IndexOf(n);
  return i >= 0 && m_Entries[static_cast<size_t>(i)].Unread();
}

int32_t CTernMailbox::Find(std::string_view id) const {
  if (m_Error) return 0;
  for (size_t k = 0; k < m_Visible.size(); ++k)
    if (m_Entries[static_cast<size_t>(m_Visible[k])].id == id) return static_cast<int32_t>(k + 1);
  return 0;
}

std::unique_ptr<CTernMessage> CTernMailbox::OpenMessage(int32_t n) const {
  int32_t i = IndexOf(n);
  if (i < 0) return nullptr;
  const TernTocEntry& e = m_Entries[static_cast<size_t>(i)];
  auto message = std::make_unique<CTernMessage>(m_DataPath, e.offset, e.size, 0,
                                                TernMessageMode::Read);
  if (!message->Open() || !message->Rewind(true)) return nullptr;
  return message;
}

int CTernMailbox::ChangeFlags(int32_t n, uint32_t set, uint32_t clear) {
  int32_t i = IndexOf(n);
  if (i < 0) return 1;
  TernTocEntry& e = m_Entries[static_cast<size_t>(i)];
  e.flags = (e.flags | set) & ~clear;
  return SaveToc();
}

int CTernMailbox::SetFlags(int32_t n, uint32_t bits) { return ChangeFlags(n, bits, 0); }

int CTernMailbox::ClearFlags(int32_t n, uint32_t bits) { return ChangeFlags(n, 0, bits); }

int CTernMailbox::SetSortOrder(int k) {
  if (m_Error) return 1;
  if (k == m_SortOrder) return 0;
  if (TernOppositeOrders(k, m_SortOrder)) {
    std::reverse(m_Entries.begin(), m_Entries.end());
  } else {
    std::stable_sort(m_Entries.begin(), m_Entries.end(),
                     [k](const TernTocEntry& a, const TernTocEntry& b) {
                       return TernCompareTocEntries(a, b, k) < 0;
                     });
  }
  m_SortOrder = k;
  RebuildVisible();
  return SaveToc();
}

int CTernMailbox::MarkForRemoval(int32_t n) {
  int32_t i = IndexOf(n);
  if (i < 0) return 1;
  m_Entries[static_cast<size_t>(i)].internal |= TernTocInternal::Removal;
  m_TocInSync = false;  // the file learns of the mark with its next rewrite
  return 0;
}

void CTernMailbox::ClearRemovalMarks() {
  for (TernTocEntry& entry : m_Entries) {
    if (!entry.Marked()) continue;
    entry.internal &= ~static_cast<uint32_t>(TernTocInternal::Removal);
    m_TocInSync = false;
  }
}

int CTernMailbox::DeleteFiles(const std::string& root, const std::string& userKey,
                              const std::string& name) {
  CTernNamedLockScope lock(TernMailboxLockName(root, userKey, name));
  if (!lock.Held()) return 1;
  std::string data = PathJoin(PathJoin(root, userKey), name);
  std::string toc = data + kTernTocSuffix;
  int result = 0;
  for (const std::string& path : {data, data + kTernNewSuffix, data + kTernOldSuffix, toc,
                                  toc + kTernNewSuffix, toc + kTernOldSuffix}) {
    if (FileExists(path, false) && !FileRemove(path, false)) result = 1;
  }
  return result;
}
