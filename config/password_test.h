// The password test shared by every server that logs users in (POP3, the web
// login): is this the password of the account behind this name?
//
// The account is the user object's `RealAcct` attribute (an empty one fails); a name
// without a user object is tried as an account itself. An account "DOMAIN\user"
// whose domain is this machine's name, "." or empty is this machine's account
// "user". The accounts file is asked first; an account it does not list is, when it
// belongs to this machine, asked of PAM (login accounts only, see
// platform/accounts.h). Account and password must each be shorter than 1023
// characters.
//
// The configuration's lock is held only to read the attribute, never while a
// password is checked, so a slow check does not stall other logins.
#pragma once

#include <string>

class Configuration;

// The account the test would check for name: the user's `RealAcct`, or the name
// itself when there is no user object. Empty when the user has no account.
std::string TernAccountOfUser(Configuration& config, const std::string& name);

// True when password is the password of the account behind name. The accounts file
// is CTernAccountsFile::ProcessPath().
bool TernPasswordTest(Configuration& config, const std::string& name, const std::string& password);

// The same for an account (no configuration look-up), against the given accounts file.
bool TernAccountLogon(const std::string& accountsFile, const std::string& account,
                      const std::string& password);
