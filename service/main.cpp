// Process entry of the ostrel program: the command line.
#include <strings.h>

#include <cstdio>

#include "log/eventlog.h"
#include "service/passwd.h"
#include "service/service_shell.h"
#include "service/setup.h"

namespace {
void PrintUsage() {
  printf("%s -install      to install the service\n", "ostrel");
  printf("%s -remove       to remove the service\n", "ostrel");
  printf("%s -debug        to run as a console application\n", "ostrel");
}
}  // namespace

int main(int argc, char** argv) {
  TernEventLogInstall();
  if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
    const char* word = argv[1] + 1;
    if (strcasecmp(word, "install") == 0) {
      OstrelInstallService();
      return 0;
    }
    if (strcasecmp(word, "remove") == 0) {
      OstrelRemoveService();
      return 0;
    }
    if (strcasecmp(word, "debug") == 0) return OstrelRunConsole();
    // Lays out a ready installation: ostrel -setup DIR [SMTPPORT POPPORT HTTPPORT
    // [SMTPSPORT POPSPORT HTTPSPORT]].
    if (strcasecmp(word, "setup") == 0 && (argc == 3 || argc == 6 || argc == 9))
      return OstrelSetup(argv[2], argc >= 6 ? argv + 3 : nullptr, argc == 9 ? argv + 6 : nullptr)
                 ? 0
                 : 1;
    // Sets an account's password in the accounts file: ostrel -passwd ACCOUNT.
    if (strcasecmp(word, "passwd") == 0 && argc == 3) return OstrelSetPassword(argv[2]);
  }
  PrintUsage();
  fflush(stdout);
  OstrelDispatch();
  return 0;
}
