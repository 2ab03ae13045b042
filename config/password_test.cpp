// The password test: the account behind a user, the accounts file, then PAM.
#include "config/password_test.h"

#include "base/ascii.h"
#include "config/accounts_file.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "platform/accounts.h"

namespace {

constexpr size_t kMaxLogonText = 1023;

}  // namespace

std::string TernAccountOfUser(Configuration& config, const std::string& name) {
  if (config.ObjectExists(kTypeUser, name) != 1) return name;
  std::string account;
  if (config.GetValue(kTypeUser, name, "RealAcct", account) != 0) return "";
  return account;
}

bool TernAccountLogon(const std::string& accountsFile, const std::string& account,
                      const std::string& password) {
  if (account.empty() || account.size() >= kMaxLogonText || password.size() >= kMaxLogonText)
    return false;
  std::string domain, user = account;
  size_t slash = account.find('\\');
  if (slash != std::string::npos) {
    domain = account.substr(0, slash);
    user = account.substr(slash + 1);
  }
  bool local = domain.empty() || domain == "." || TernEqualsNoCase(domain, PlatformMachineName());
  std::string key = local ? user : domain + "\\" + user;
  if (user.empty() || !CTernAccountsFile::ValidAccount(key)) return false;
  bool match = false;
  if (CTernAccountsFile(accountsFile).Check(key, password, match)) return match;
  // Only this machine's own accounts can be asked of PAM; another domain's account
  // exists only in the accounts file.
  return local && PlatformPamLogon(user, password) == PlatformPamResult::Ok;
}

bool TernPasswordTest(Configuration& config, const std::string& name, const std::string& password) {
  std::string account = TernAccountOfUser(config, name);
  return TernAccountLogon(CTernAccountsFile::ProcessPath(), account, password);
}
