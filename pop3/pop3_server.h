// The POP3 server: users fetch, keep or delete the mail of their Inbox with the mail
// clients they already use. It is a TCP server (net/tcp_server.h) named "POP"; its
// connection handler runs the conversation of RFC 1939 without APOP, one session
// per connection:
//   - the login (USER, PASS) checks the password of the account behind the user
//     (config/password_test.h) and the user's AllowPOP setting for the client, then
//     holds the user's Inbox for the whole session; an Inbox another session or a
//     delivery holds refuses the login at once ("unable to lock maildrop");
//   - messages are numbered in the Inbox's order; STAT, LIST, UIDL, RETR and TOP
//     give the octets of what RETR sends: the stored message from the line after
//     its mailbox separator line, plus a final CR LF when the stored one lacks it;
//   - DELE only marks; QUIT removes the marked messages and compacts the Inbox; a
//     session that ends any other way removes nothing;
//   - every login, logoff, read, deletion and protocol violation goes to the
//     activity log (realm POP), never a password.
// With a certificate (net/tcp_server.h SetTls), CAPA lists STLS and STLS encrypts
// the connection before the login; a server with implicit TLS (POPSPort) is
// encrypted from the first byte.
// Silence of 600 seconds ends a session (shorter while the server is stressed);
// a command line is at most 600 characters.
#pragma once

#include <atomic>
#include <string>

#include "net/server_start.h"
#include "net/tcp_server.h"

class CTernMailboxTable;

// Product and version named in the greeting.
inline constexpr char kPopProduct[] = "Ostrel";
inline constexpr char kPopVersion[] = "1.0.2";
// Seconds a client may stay silent, and the longest command line.
inline constexpr int kPopTimeout = 600;
inline constexpr size_t kPopMaxLine = 600;

class POP3 : public CTernTcpServer {
 public:
  // Serves the mailboxes of table (the process's table when null). Reads the host
  // name (Hostname, and "." Domain when both are set, of the TCP/IP parameters).
  explicit POP3(CTernMailboxTable* table = nullptr);
  ~POP3() override;

  // Starts on POPPort of the product's key (default 110) with POPIncoming workers;
  // with implicit TLS on POPSPort (default 995).
  bool Start(const std::string& product, const TernSettingReader& reader);
  using CTernTcpServer::Start;
  // Re-reads the worker count and the load limits.
  bool Reconfigure(const TernSettingReader& reader);

  // The conversation on one connection.
  void ProcessJob(CTernTcpEndpoint& connection, int number);

  const std::string& HostName() const { return m_HostName; }
  CTernMailboxTable* Table() const;
  // Tests: the silence time-out in seconds.
  void SetTimeout(int seconds) { m_Timeout = seconds; }
  int Timeout() const { return m_Timeout.load(); }

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int number) override;
  TernRefusal ClientLimitRefusal() const override;

 private:
  class Session;

  CTernMailboxTable* m_Table;
  std::string m_HostName;
  std::atomic<int> m_Timeout{kPopTimeout};
};
