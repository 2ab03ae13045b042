// The accounts file: the machine-independent half of the account authority behind
// the password test. One line per account, "account:hash\n", where account is
// "DOMAIN\name" for an account of another domain or "name" for one of this machine,
// and hash is a crypt(3) hash. Account names compare without regard to case, as
// Windows account names do. The file holds password hashes: it is created and kept
// with mode 0600, and replaced through "_new" and "_old" under the named lock
// "TNACCOUNTSLOCK", never rewritten in place.
#pragma once

#include <string>
#include <vector>

class CTernAccountsFile {
 public:
  // The file of the process (start-up sets it from the registry value
  // `AccountsFile`, default LocalDir + "/accounts").
  static void SetProcessPath(const std::string& path);
  static std::string ProcessPath();

  explicit CTernAccountsFile(std::string path) : m_Path(std::move(path)) {}

  // An account name the file can hold: 1 to 256 characters, none of them ':',
  // a control character or DEL, and at most one backslash, not at either end.
  static bool ValidAccount(const std::string& account);

  // Whether the file has an entry for account; when it does, match tells whether
  // password fits its hash. A missing or unreadable file has no entries.
  bool Check(const std::string& account, const std::string& password, bool& match) const;

  // Sets (adds or replaces) account's password (1 to 511 characters on one line:
  // crypt(3) takes no longer pass phrases). Creates the file (0600) when it is
  // missing. False, with a line for the administrator in error, when the account or
  // password cannot be stored or the file cannot be written; the file is then
  // unchanged.
  bool SetPassword(const std::string& account, const std::string& password, std::string& error);

  // The accounts of the file, in file order.
  std::vector<std::string> Accounts() const;

  // Creates an empty file (0600) unless one exists; false when it cannot.
  bool CreateEmpty() const;

 private:
  struct Entry {
    std::string account, hash;
  };
  std::vector<Entry> ReadEntries() const;

  std::string m_Path;
};
