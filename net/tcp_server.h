// The TCP server: a listening endpoint, a listener thread that accepts connections
// into a queue, and workers that each handle one connection at a time. The SMTP,
// POP3 and HTTP servers are subclasses that override the connection handler (and,
// for SMTP, the background routine). See net/server.h for the pools.
//
// Idle and slow clients cannot take a server offline (TernLoadLimits):
//   - the pool grows: when a connection waits and every worker is busy, workers are
//     added up to the ceiling; idle surplus workers leave again after a while;
//   - one client address holds at most perClient connections at once (queued or
//     served). Up to perClient more wait a second for one of them to end, so that
//     a client that closes connections faster than the server reads them to their
//     end is not refused for those (waiting ones it has closed already give their
//     place up to newer ones). Any other is turned away on the listener thread
//     with the protocol's own short refusal (ClientLimitRefusal) and an activity
//     record;
//   - while more than three quarters of the ceiling is busy the server is stressed
//     (Stressed()): the protocols then give a client at most the stressed wait for
//     its next command or data line (ReadClientLine, StressedWait()); HTTP its
//     keep-alive wait kTernStressedKeepAlive. Under normal load nothing
//     changes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/lock.h"
#include "net/network_address.h"
#include "net/server.h"
#include "net/tcp_endpoint.h"
#include "net/tls_context.h"

// How far the pool may grow and how patient the server is under load. The member
// defaults are those of the System settings (net/server_start.h).
struct TernLoadLimits {
  int ceiling = 200;      // most workers (never fewer than the wanted count)
  int perClient = 20;     // most connections at once from one client address; 0: no limit
  int stressedWait = 10;  // seconds for a client's next command or data while stressed
  int surplusIdle = 10;   // seconds after the pool last grew before idle surplus workers leave
};

// Seconds a client has for the whole TLS handshake (the stressed wait while the
// server is stressed).
constexpr int kTernTlsHandshakeWait = 30;

// The keep-alive wait of an HTTP connection while its server is stressed, seconds.
constexpr int kTernStressedKeepAlive = 2;

// How a protocol turns away a client that holds too many connections already.
struct TernRefusal {
  int realm = 0;     // activity realm of the record written for it; 0: no record
  std::string text;  // sent before the connection is closed; short (one send)
};

class CTernTcpServer : public CTernServer {
 public:
  // A stopped server; name appears in its messages ("SMTP", "POP", ...).
  explicit CTernTcpServer(std::string_view name);
  // Stops the server first when threads still run.
  ~CTernTcpServer() override;

  // Listens on the first of the address's IPv4 addresses that can be listened on
  // and starts one listener, `workers` workers and `background` background threads.
  // True when the server listens and all its threads run. Fails with 141 (workers
  // below 1, background below 0, an address with no IPv4 address), 143 (already
  // started), 146 (nothing could be listened on), 148 (a thread not created; those
  // created keep running).
  bool Start(int workers, int background, const CTernNetAddress& address);

  // Where the server listens: the IPv4 address and the bound port (the port the
  // system chose when started on port 0). The wildcard address before Start.
  CTernNetAddress ListenAddress() const;
  uint16_t Port() const;

  // The limits in force; they may change while the server runs (a connection
  // already held stays). A ceiling or stressed wait below 1 and a negative client
  // limit or idle time leave that limit as it was. A new server has none: it keeps
  // its wanted workers, takes any number of connections from a client and is never
  // stressed (ceiling and client limit 0) until it is given some; the protocol
  // servers are, from their settings, when they start (TernStartProtocolServer).
  void SetLoadLimits(const TernLoadLimits& limits);
  TernLoadLimits LoadLimits() const;

  // True while more than three quarters of the ceiling is busy with connections
  // (never without a ceiling).
  bool Stressed() const;
  // The stressed wait in seconds (what ReadClientLine takes while stressed).
  int StressedWait() const { return m_StressedWait.load(); }
  // The current wait of a protocol: wait, or stressed while the server is stressed
  // (HTTP: its keep-alive wait, or kTernStressedKeepAlive).
  int CurrentWait(int wait, int stressed) const { return Stressed() ? stressed : wait; }

  // Encryption of the server's connections. With implicit, every connection is
  // encrypted from its first byte: the worker runs the handshake before the
  // handler, and a connection that fails it is recorded and closed. Without, the
  // protocol offers the upgrade (UpgradeConnection) on its plain conversation.
  // Null turns encryption off. Set before Start.
  void SetTls(std::shared_ptr<const CTernTlsContext> context, bool implicit);
  // The context in force (null: no encryption) and whether it is implicit.
  std::shared_ptr<const CTernTlsContext> TlsContext() const;
  bool ImplicitTls() const { return m_ImplicitTls.load(); }
  // Encrypts connection in place within the handshake wait (kTernTlsHandshakeWait,
  // or the stressed wait while stressed). A failure is written to the activity log
  // in the protocol's realm (that of ClientLimitRefusal) and returns false; the
  // connection is then of no further use.
  bool UpgradeConnection(CTernTcpEndpoint& connection);

  // Whether a password may cross a connection of this server in clear: Always
  // (the default), FromLoopback (only from 127.0.0.0/8) or Never. The protocols
  // refuse a password on a plain connection that it does not allow.
  enum class ClearPasswords { Always = 0, FromLoopback = 1, Never = 2 };
  void SetClearPasswords(ClearPasswords rule) { m_ClearPasswords = rule; }
  // True when a password may be taken from client (dotted text) on a connection
  // that is encrypted or not.
  bool PasswordAllowed(bool encrypted, const std::string& client) const;

  // Reads one line ending in CR LF from a client of this server into text
  // (replacing it), a second at most at a time, so that a stop is noticed. Returns
  // the line's length with the CR LF, or maxLength bytes with the connection's
  // overlong flag set when the line is longer (the rest comes with the next calls).
  // Returns 0 (text holds what came) when the client stays silent for `wait`
  // seconds (0: no limit), when the line has taken `stressed` seconds while the
  // server is stressed, when the client goes away, or when a stop is requested.
  // The time-outs of normal load thus count silence, and a client that
  // trickles a byte now and then is still bounded under stress.
  long ReadClientLine(CTernTcpEndpoint& connection, CTernString& text, int wait, int stressed,
                      size_t maxLength);
  // Sends text to a client of this server, a second at most at a time, so that a
  // stop is noticed. True when all of it went; false when the client took nothing
  // for `wait` seconds (0: no limit), or for the stressed wait while the server is
  // stressed, when the connection failed, or when a stop is requested. A client
  // that reads nothing thus cannot hold a worker for ever.
  bool SendToClient(CTernTcpEndpoint& connection, std::string_view text, int wait);

 protected:
  // Run by a worker for each accepted connection; the framework closes the
  // connection afterwards. The default answers each line ending in "\r\n" with the
  // thread number, ": " and the line, until the peer closes or a stop is requested.
  virtual void HandleConnection(CTernTcpEndpoint& connection, int number);

  // The refusal of a client address that already holds perClient connections,
  // asked on the listener thread for each connection turned away, so it must not
  // wait for anything. The framework sends the text, writes the record (action
  // Access Violation, the client's address, Info "Too many connections from your
  // address.") and closes the connection. SMTP
  // answers "421 Too many connections from your address\r\n", POP3 "-ERR too many
  // connections from your address\r\n", HTTP a 503 response. The text goes out in
  // one attempt without waiting, and nothing the client sent is read first. The
  // default sends nothing and records nothing.
  virtual TernRefusal ClientLimitRefusal() const;

 private:
  // A connection in the queue, being handled or waiting for its client's turn,
  // with the client's address.
  struct Held {
    std::unique_ptr<CTernTcpEndpoint> connection;
    uint32_t client = 0;
  };
  // A connection over its client's limit, refused at its deadline.
  struct Waiting {
    Held held;
    std::chrono::steady_clock::time_point deadline;
  };
  // A client address's connections queued or handled, and those waiting.
  struct ClientCount {
    int held = 0;
    int waiting = 0;
  };
  class Served;

  void ReceiverLoop() override;
  bool ServeNext(int number) override;
  bool HasQueued() override;
  void DropQueued() override;
  void CloseReceiver() override;

  // Queues an accepted connection, growing the pool when no worker is free for it;
  // when its client holds too many connections it waits, or is turned away.
  void Admit(std::unique_ptr<CTernTcpEndpoint> connection);
  // Sends the refusal, records it and closes the connection.
  void Refuse(Held& held);
  // Refuses the waiting connections whose deadline has passed.
  void RefuseOverdue();
  // Moves client's waiting connections that the client has closed into gone.
  // REQUIRES: m_QueueLock held.
  void TakeClosedWaitingLocked(uint32_t client, std::vector<Held>& gone);
  // Closes a held connection and counts it out; a connection of the same client
  // that waits takes its place in the queue. REQUIRES: m_QueueLock not held.
  void Release(Held& held, bool served);
  // Counts a connection out of its client. REQUIRES: m_QueueLock held.
  void ForgetLocked(uint32_t client, bool waiting);

  CTernNetAddress m_ListenAddress;  // guarded by m_Lock
  mutable CTernLock m_TlsLock;      // guards m_Tls
  std::shared_ptr<const CTernTlsContext> m_Tls;
  std::atomic<bool> m_ImplicitTls{false};
  std::atomic<ClearPasswords> m_ClearPasswords{ClearPasswords::Always};
  CTernTcpEndpoint m_Listening;     // used by Start, the listener thread and Stop

  std::atomic<int> m_Ceiling{0};
  std::atomic<int> m_PerClient{0};
  std::atomic<int> m_StressedWait{TernLoadLimits{}.stressedWait};

  // Lock order: m_Lock before m_QueueLock.
  // guards m_Pending, m_Waiting and m_Clients, and every change of m_Busy
  CTernLock m_QueueLock;
  std::deque<Held> m_Pending;
  std::deque<Waiting> m_Waiting;
  std::unordered_map<uint32_t, ClientCount> m_Clients;
  std::atomic<int> m_Busy{0};  // connections being handled
};
