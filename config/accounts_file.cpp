// Reading, checking and replacing the accounts file.
#include "config/accounts_file.h"

#include <crypt.h>

#include <mutex>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/named_lock.h"
#include "platform/accounts.h"
#include "platform/file.h"

namespace {

constexpr char kAccountsLock[] = "TNACCOUNTSLOCK";
constexpr size_t kMaxAccount = 256;

std::mutex g_PathLock;
std::string g_ProcessPath;

// A file opened for writing gets mode 0600 before anything is written to it.
bool RestrictMode(const std::string& path) { return PlatformChangeMode(path, 0600) == 0; }

}  // namespace

void CTernAccountsFile::SetProcessPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_PathLock);
  g_ProcessPath = path;
}

std::string CTernAccountsFile::ProcessPath() {
  std::lock_guard<std::mutex> guard(g_PathLock);
  return g_ProcessPath;
}

bool CTernAccountsFile::ValidAccount(const std::string& account) {
  if (account.empty() || account.size() > kMaxAccount) return false;
  size_t slashes = 0;
  for (unsigned char c : account) {
    if (c == ':' || c < 0x20 || c == 0x7F) return false;
    if (c == '\\') ++slashes;
  }
  return slashes == 0 || (slashes == 1 && account.front() != '\\' && account.back() != '\\');
}

std::vector<CTernAccountsFile::Entry> CTernAccountsFile::ReadEntries() const {
  std::vector<Entry> entries;
  if (m_Path.empty() || !FileExists(m_Path, false)) return entries;
  CTernDiskFile file(m_Path, TernFileMode::ReadOnly);
  if (!file.Open()) return entries;
  std::string line;
  while (file.ReadLine(line, "\n") > 0) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    entries.push_back({line.substr(0, colon), line.substr(colon + 1)});
  }
  file.Close();
  return entries;
}

bool CTernAccountsFile::Check(const std::string& account, const std::string& password,
                              bool& match) const {
  match = false;
  for (const Entry& e : ReadEntries()) {
    if (!TernEqualsNoCase(e.account, account)) continue;
    match = PlatformPasswordMatches(password, e.hash);
    return true;
  }
  return false;
}

std::vector<std::string> CTernAccountsFile::Accounts() const {
  std::vector<std::string> names;
  for (const Entry& e : ReadEntries()) names.push_back(e.account);
  return names;
}

bool CTernAccountsFile::CreateEmpty() const {
  if (FileExists(m_Path, false)) return true;
  CTernDiskFile file(m_Path, TernFileMode::Create | TernFileMode::Exclusive);
  bool ok = file.Open() && RestrictMode(m_Path);
  return file.Close() && ok;
}

bool CTernAccountsFile::SetPassword(const std::string& account, const std::string& password,
                                    std::string& error) {
  if (!ValidAccount(account)) {
    error = "Invalid account name: 1 to 256 characters, without ':' or control characters.";
    return false;
  }
  // crypt(3) takes pass phrases below 512 bytes (PAM's answers are bounded alike).
  if (password.empty() || password.size() >= CRYPT_MAX_PASSPHRASE_SIZE ||
      password.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
    error = "Invalid password: 1 to 511 characters on one line.";
    return false;
  }
  std::string hash = PlatformHashPassword(password);
  if (hash.empty()) {
    error = "Cannot make a password hash on this machine.";
    return false;
  }
  CTernNamedLockScope lock(kAccountsLock);
  if (!lock.Held()) {
    error = "Cannot lock the accounts file.";
    return false;
  }
  if (!CreateEmpty()) {
    error = "Cannot create " + m_Path + ".";
    return false;
  }
  std::vector<Entry> entries = ReadEntries();
  // The first entry of the account takes the new hash; any later one is dropped.
  bool replaced = false;
  std::erase_if(entries, [&](Entry& e) {
    if (!TernEqualsNoCase(e.account, account)) return false;
    if (replaced) return true;
    e = {account, hash};
    replaced = true;
    return false;
  });
  if (!replaced) entries.push_back({account, hash});
  std::string fresh = m_Path + "_new";
  bool written = FileReplace(m_Path, [&](CTernFile& file) {
    if (!RestrictMode(fresh)) return false;
    for (const Entry& e : entries)
      if (file.Write(e.account + ":" + e.hash + "\n") < 0) return false;
    return true;
  });
  if (!written) error = "Cannot write " + m_Path + ".";
  return written;
}
