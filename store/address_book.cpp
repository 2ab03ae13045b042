// CTernAddressBook: loading, changing and saving a user's address book under the
// user's named lock.
#include "store/address_book.h"

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/exception.h"
#include "base/file_ops.h"
#include "message/clock.h"
#include "message/headers.h"
#include "store/mailbox_names.h"

namespace {

constexpr char kFieldSeparator = '\x1c';
constexpr char kHeaderStart[] = "# 1 ";
// A book is a small file; one that is larger than this is not read into memory.
constexpr int32_t kMaxBookSize = 16 * 1024 * 1024;
// The book and its replacement files are for the server alone.
constexpr uint32_t kBookFileMode =
    TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock | TernFileMode::Private;

std::string LockName(const std::string& root, const std::string& userKey) {
  return "TNADDRESSBOOK" + userKey + LockNameOf(root);
}

std::string BookPath(const std::string& root, const std::string& userKey) {
  return userKey.empty() ? "" : PathJoin(PathJoin(root, userKey), kTernAddressBookFile);
}

bool WriteWhole(const std::string& path, const std::string& text) {
  CTernDiskFile file(path, kBookFileMode);
  bool ok = file.Open() && file.Write(text) == static_cast<int32_t>(text.size());
  return file.Close() && ok;
}

}  // namespace

bool TernValidBookText(std::string_view text, size_t limit) {
  return !text.empty() && text.size() <= limit &&
         text.find_first_of(std::string_view("\r\n\0\x1c", 4)) == std::string_view::npos;
}

CTernAddressBook::CTernAddressBook(std::string root, std::string_view user)
    : m_Root(std::move(root)), m_UserKey(TernMailboxUserKey(user)), m_Path(BookPath(m_Root, m_UserKey)) {
  if (m_UserKey.empty()) return;
  try {
    m_NamedLock.SetName(LockName(m_Root, m_UserKey));
    m_NamedLock.Lock();
    m_Held = true;
  } catch (const CTernException&) {
    // Reported by the lock: without it the book is not touched.
    return;
  }
  m_Loaded = Load();
}

CTernAddressBook::~CTernAddressBook() {
  if (!m_Held) return;
  try {
    m_NamedLock.Unlock();
  } catch (const CTernException&) {
    // Reported by the lock; nothing more can be done here.
  }
}

bool CTernAddressBook::Load() {
  std::string directory = PathJoin(m_Root, m_UserKey);
  if (!FileExists(directory, false) && !DirMake(directory, kTernMailboxDirMode)) return false;
  if (!FileExists(m_Path, false) && !WriteWhole(m_Path, Text(CTernClock::Now()))) return false;
  CTernDiskFile file(m_Path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string text;
  int32_t size = -1;
  bool read = file.Open() && (size = file.Size()) >= 0 && size <= kMaxBookSize && file.Read(text) >= 0;
  file.Close();
  if (!read || text.compare(0, 4, kHeaderStart) != 0) return false;
  CTernLockGuard guard(m_Lock);
  m_Entries.clear();
  std::string_view rest = text;
  rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = TernWithoutLineEnd(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    size_t split = line.find(kFieldSeparator);
    if (split == std::string_view::npos) continue;
    std::string_view nickname = line.substr(0, split), address = line.substr(split + 1);
    if (nickname.empty() || address.empty()) continue;
    // A later line of the same nickname replaces an earlier one.
    m_Entries[TernLoweredAscii(nickname)] = {std::string(nickname), std::string(address)};
  }
  return true;
}

int CTernAddressBook::Set(std::string_view nickname, std::string_view address) {
  if (!m_Loaded || !TernValidBookText(nickname, kTernNicknameLimit) ||
      !TernValidBookText(address, kTernBookAddressLimit))
    return 1;
  CTernLockGuard guard(m_Lock);
  m_Entries[TernLoweredAscii(nickname)] = {std::string(nickname), std::string(address)};
  return 0;
}

int CTernAddressBook::Remove(std::string_view nickname) {
  CTernLockGuard guard(m_Lock);
  return m_Entries.erase(TernLoweredAscii(nickname)) == 1 ? 0 : 1;
}

bool CTernAddressBook::Find(std::string_view nickname, std::string& address) const {
  CTernLockGuard guard(m_Lock);
  auto it = m_Entries.find(TernLoweredAscii(nickname));
  if (it == m_Entries.end()) return false;
  address = it->second.address;
  return true;
}

std::vector<TernAddressBookEntry> CTernAddressBook::List() const {
  CTernLockGuard guard(m_Lock);
  std::vector<TernAddressBookEntry> entries;
  entries.reserve(m_Entries.size());
  for (const auto& [key, entry] : m_Entries) entries.push_back(entry);
  return entries;
}

std::string CTernAddressBook::Text(long now) const {
  CTernLockGuard guard(m_Lock);
  std::string text = kHeaderStart + std::to_string(now) + "\r\n";
  for (const auto& [key, entry] : m_Entries) text += entry.nickname + kFieldSeparator + entry.address + "\r\n";
  return text;
}

int CTernAddressBook::Save() {
  if (!m_Loaded) return 1;
  std::string text = Text(CTernClock::Now());
  bool ok = FileReplace(m_Path, [&text](CTernFile& file) {
    return file.Write(text) == static_cast<int32_t>(text.size());
  }, kBookFileMode);
  return ok ? 0 : 1;
}

int CTernAddressBook::Delete(const std::string& root, std::string_view user) {
  std::string key = TernMailboxUserKey(user);
  if (key.empty()) return 1;
  CTernNamedLockScope lock(LockName(root, key));
  if (!lock.Held()) return 1;
  std::string path = BookPath(root, key);
  int result = 0;
  for (const std::string& file : {path, path + "_new", path + "_old"})
    if (FileExists(file, false) && !FileRemove(file, false)) result = 1;
  return result;
}
