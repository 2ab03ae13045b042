// The machine's side of the password test, standing in for the Windows logon: crypt(3)
// hashes for the accounts file, and PAM for this machine's own login accounts.
//
// Every function here is safe to call from several threads at once (crypt_r with a
// private work area, PAM handles per call).
#pragma once

#include <string>
#include <vector>

// A new crypt(3) hash of password with a fresh random salt: yescrypt where libxcrypt
// offers it, else SHA-512. Empty when no hash could be made.
std::string PlatformHashPassword(const std::string& password);

// True when password hashes to hash. An empty, malformed or locked hash ("!", "*")
// never matches. The comparison takes the same time wherever the texts differ.
bool PlatformPasswordMatches(const std::string& password, const std::string& hash);

// The result of asking PAM about one of this machine's accounts.
enum class PlatformPamResult {
  Ok,            // authenticated, and account management allows the login
  Refused,       // wrong password, unknown, expired or locked account
  SystemAccount, // the account exists with a uid below 1000: never asked
};

// Authenticates account with password through PAM under the service name "ostrel",
// then runs account management so that expired and locked accounts fail. Accounts
// with a uid below 1000 (root and the system's service accounts) are refused
// without asking PAM, so that they cannot be probed through the mail services.
PlatformPamResult PlatformPamLogon(const std::string& account, const std::string& password);

// This machine's own login accounts: uid 1000 and above with a login shell (not
// nologin or false), sorted by name.
std::vector<std::string> PlatformLoginAccounts();

// The machine's name as the password test compares a DOMAIN\user prefix with it:
// the host name's first label.
std::string PlatformMachineName();
