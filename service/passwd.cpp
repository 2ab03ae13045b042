// ostrel -passwd: the administrator's way to give an account a password.
#include "service/passwd.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "config/accounts_file.h"
#include "service/host.h"

namespace {

// One line from standard input, without its line end; false at the end of input.
bool ReadLine(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Asks on the terminal with echo off.
bool Ask(const char* prompt, std::string& answer) {
  printf("%s", prompt);
  fflush(stdout);
  termios saved{};
  bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  bool ok = ReadLine(answer);
  if (restore) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  printf("\n");
  return ok;
}

}  // namespace

int OstrelSetPassword(const char* account) {
  std::string password;
  if (isatty(STDIN_FILENO)) {
    std::string again;
    if (!Ask("New password: ", password) || !Ask("Again: ", again)) return 1;
    if (password != again) {
      printf("The two passwords differ. Nothing was changed.\n");
      return 1;
    }
  } else if (!ReadLine(password)) {
    printf("No password on standard input. Nothing was changed.\n");
    return 1;
  }
  std::string path = OstrelReadPaths().accountsFile;
  std::string error;
  if (!CTernAccountsFile(path).SetPassword(account, password, error)) {
    printf("%s Nothing was changed.\n", error.c_str());
    return 1;
  }
  printf("Password of %s set in %s.\n", account, path.c_str());
  return 0;
}
