// Checks of user and mailbox names, and the names derived from them.
#include "store/mailbox_names.h"

#include "base/ascii.h"
#include "base/file_ops.h"
#include "config/configuration.h"

namespace {

bool EndsNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         TernEqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

bool TernValidMailboxName(std::string_view name) {
  if (!Configuration::ValidName(name)) return false;
  if (name.find_first_of(",/\\") != std::string_view::npos) return false;
  for (std::string_view suffix : {".toc", ".new", ".old", "_new", "_old"})
    if (EndsNoCase(name, suffix)) return false;
  return !TernEqualsNoCase(name, kTernMailboxListFile) &&
         !TernEqualsNoCase(name, kTernAddressBookFile);
}

std::string TernMailboxUserKey(std::string_view user) {
  if (!Configuration::ValidName(user)) return "";
  return TernLoweredAscii(user);
}

std::string TernMailboxOfFile(std::string_view fileName, bool tocOnly) {
  std::string_view toc = kTernTocSuffix;
  for (std::string_view suffix : {".toc", ".toc.new", ".toc.old", ".new", ".old", ""}) {
    if (tocOnly && suffix != toc) continue;
    if (fileName.size() <= suffix.size() ||
        fileName.substr(fileName.size() - suffix.size()) != suffix)
      continue;
    std::string_view name = fileName.substr(0, fileName.size() - suffix.size());
    if (TernValidMailboxName(name)) return std::string(name);
  }
  return "";
}

std::string TernMailboxLockName(const std::string& root, std::string_view userKey,
                                std::string_view mailbox) {
  return "TNBOXU" + std::string(userKey) + "B" + std::string(mailbox) + LockNameOf(root);
}

std::string TernMailboxListLockName(const std::string& root, std::string_view userKey) {
  return "TNBOXLISTU" + std::string(userKey) + LockNameOf(root);
}
