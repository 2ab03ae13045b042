// Benchmark: the POP3 server on loopback, one client.
//   - RETR messages a second, one command at a time and pipelined (100 commands sent
//     before their answers are read), over 2,000 messages of about 5 KiB;
//   - STAT + LIST + UIDL on a 2,000-message Inbox: the first session (the mailbox
//     not yet loaded: a new mailbox table) and the same again.
// The Inbox is made by writing its data file, which the first load scans.
// Run: build/bench/bench_pop3_retr [directory] (default: a new one under /var/tmp).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "base/file_ops.h"
#include "config/accounts_file.h"
#include "config/configuration.h"
#include "message/mail_time.h"
#include "message/separator.h"
#include "net/tcp_endpoint.h"
#include "platform/eventsink.h"
#include "pop3/pop3_server.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"

namespace {

constexpr int kMessages = 2000;
constexpr size_t kBody = 5000;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string MessageText(int i) {
  std::string text = "From: Ann <ann@example.org>\r\nTo: jo@example.org\r\nSubject: message " +
                     std::to_string(i) + "\r\nDate: " + CTernTime(1000000000 + i).MailDate(0) +
                     "\r\nMessage-Id: <" + std::to_string(i) + "@bench.example.org>\r\n\r\n";
  std::string line(76, 'x');
  line += "\r\n";
  while (text.size() + line.size() <= kBody) text += line;
  return text;
}

class Client {
 public:
  explicit Client(uint16_t port) {
    if (!m_End.Connect(CTernNetAddress("127.0.0.1", port))) exit(1);
    Line();
  }
  std::string Line() {
    CTernString text;
    m_End.ReceiveLine(text, "\r\n", 30);
    return text.Str();
  }
  void Send(const std::string& text) { m_End.Send(text); }
  std::string Cmd(const std::string& command) {
    Send(command + "\r\n");
    return Line();
  }
  // Reads the lines of a multi-line answer (never empty here) up to its "." line in
  // one go; the bytes.
  size_t Body() {
    CTernString text;
    long n = m_End.ReceiveLine(text, "\r\n.\r\n", 30);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

 private:
  CTernTcpEndpoint m_End;
};

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "";
  if (dir.empty()) {
    char pattern[] = "/var/tmp/ostrel-bench-pop3-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    dir = pattern;
  }
  PlatformSetEventSyslog(false);
  PlatformSetEventFile(PathJoin(dir, "events.log"));
  Write(PathJoin(dir, "shared-config"), "# 2 0\r\nDS,Domain=example.org\r\nDUjo,OstrelUser=1,RealAcct=jo\r\n");
  Write(PathJoin(dir, "local-config"), "# 2 0\r\n");
  Write(PathJoin(dir, "vendor-config"), "# 2 0\r\n");
  Configuration config(PathJoin(dir, "shared-config"), PathJoin(dir, "local-config"),
                       PathJoin(dir, "vendor-config"));
  if (config.Load(true) != 0) return 1;
  Configuration::SetProcess(&config);
  CTernAccountsFile::SetProcessPath(PathJoin(dir, "accounts"));
  std::string error;
  if (!CTernAccountsFile(PathJoin(dir, "accounts")).SetPassword("jo", "secret", error)) return 1;
  std::string root = PathJoin(dir, "boxes");
  DirMake(root, 0700);
  DirMake(PathJoin(root, "jo"), 0700);
  {
    std::ofstream out(PathJoin(PathJoin(root, "jo"), kTernInbox), std::ios::binary | std::ios::trunc);
    for (int i = 0; i < kMessages; ++i)
      out << TernSeparatorLine("ann@example.org", CTernTime(1000000000 + i)) << MessageText(i);
  }
  printf("POP3 on loopback, %d messages of %zu bytes, one client\n", kMessages, kBody);
  for (int round = 0; round < 2; ++round) {
    auto table = std::make_unique<CTernMailboxTable>(root);
    POP3 server(table.get());
    if (!server.Start(2, 0, CTernNetAddress("127.0.0.1", 0))) return 1;
    Client c(server.Port());
    c.Cmd("USER jo");
    double start = Now();
    c.Cmd("PASS secret");
    c.Cmd("STAT");
    c.Cmd("LIST");
    c.Body();
    c.Cmd("UIDL");
    c.Body();
    double listing = Now() - start;
    // The second session of the round finds the mailbox loaded.
    c.Cmd("QUIT");
    Client again(server.Port());
    again.Cmd("USER jo");
    start = Now();
    again.Cmd("PASS secret");
    again.Cmd("STAT");
    again.Cmd("LIST");
    again.Body();
    again.Cmd("UIDL");
    again.Body();
    double cached = Now() - start;
    printf("round %d: login + STAT + LIST + UIDL: first session %.1f ms, again %.1f ms\n", round + 1,
           listing * 1000, cached * 1000);
    if (round == 1) {
      start = Now();
      size_t bytes = 0;
      for (int n = 1; n <= kMessages; ++n) {
        again.Cmd("RETR " + std::to_string(n));
        bytes += again.Body();
      }
      double one = Now() - start;
      start = Now();
      for (int n = 1; n <= kMessages; n += 100) {
        std::string batch;
        for (int k = n; k < n + 100 && k <= kMessages; ++k) batch += "RETR " + std::to_string(k) + "\r\n";
        again.Send(batch);
        for (int k = n; k < n + 100 && k <= kMessages; ++k) {
          again.Line();
          bytes += again.Body();
        }
      }
      double piped = Now() - start;
      printf("RETR one at a time: %.0f messages/s; pipelined: %.0f messages/s (%zu bytes read)\n",
             kMessages / one, kMessages / piped, bytes);
    }
    again.Cmd("QUIT");
  }
  Configuration::SetProcess(nullptr);
  if (argc <= 1) {
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) return 1;
  }
  return 0;
}
