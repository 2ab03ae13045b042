// ostrel -passwd ACCOUNT: sets an account's password in the accounts file.
#pragma once

// Reads the password (from the terminal without echo, asked twice; otherwise the
// first line of standard input), stores its hash and says what it did. 0 on
// success, 1 otherwise.
int OstrelSetPassword(const char* account);
