// The SMTP server: accepts mail from clients and other mail servers and puts each
// accepted message into the fast queue, where the delivery threads find it. It is a
// TCP server (net/tcp_server.h) named "SMTP": its connection handler runs the
// conversation (ProcessJob), its background threads are the delivery threads.
//
// The conversation speaks the plain command set (HELO, EHLO without extensions,
// MAIL, RCPT, DATA, RSET, NOOP, VRFY, QUIT; EXPN and TURN refused), writes its own
// Received header at the top of every message, refuses more than 30 hops, and
// records every connection, violation, refusal and acceptance in the activity log.
// Besides the AllowSMTP setting and the content filter it guards four things:
//   - nothing acknowledged is lost: the body and the envelope are on disk (synced,
//     with their directory) and the identifier is in the fast queue file before the
//     "250 ... Message accepted for delivery" reply;
//   - no open relay: a recipient outside the local domains is refused (550) unless
//     the client is listed in RelayClients (transport/smtp_relay.h; loopback when
//     absent);
//   - bounded messages: data beyond MaxMessageSize bytes (default 50 MB) is read to
//     its end but not stored, and the message is refused with 552;
//   - encryption (net/tcp_server.h SetTls): with a certificate, EHLO offers
//     STARTTLS and the conversation starts over encrypted after it; a server with
//     implicit TLS (SMTPSPort, for submission) is encrypted from the first byte
//     and hands its accepted mail to the delivery threads of the plain one;
//   - idle and slow clients (the framework's load limits, net/tcp_server.h): a
//     client address over its connection limit is answered "421 Too many
//     connections from your address" and closed, and under stress a command or a
//     data line must come whole within the stressed wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "base/lock.h"
#include "net/server_start.h"
#include "net/tcp_server.h"
#include "platform/sync.h"

class CTernDelivery;
class CTernQueue;
class CTernQueuedMessage;
class ListStore;

// The System setting with the largest message accepted, in bytes, and its default.
inline constexpr char kAttrMaxMessageSize[] = "MaxMessageSize";
inline constexpr long kSmtpDefaultMaxMessageSize = 50L * 1024 * 1024;

// Product and version named in the greeting and the Received header.
inline constexpr char kSmtpProduct[] = "Ostrel";
inline constexpr char kSmtpVersion[] = "1.0.2";

// Seconds a client may stay silent between commands and within the data.
inline constexpr int kSmtpCommandTimeout = 300;
inline constexpr int kSmtpDataTimeout = 600;
// More Received fields than this refuse a message.
inline constexpr int kSmtpMaxHops = 30;
// The data phase's line buffer; longer lines are taken in pieces of this size.
inline constexpr size_t kSmtpLineBuffer = 4096;

class SMTP : public CTernTcpServer {
 public:
  // lists go to the content filter; accepted mail goes to fastQueue; messages are
  // made in queueDirectory (the default directory when empty). Reads the host name
  // (Hostname, and "." Domain when both are set, of the TCP/IP parameters key).
  SMTP(ListStore* lists, CTernQueue* fastQueue, CTernQueue* slowQueue,
       const std::string& queueDirectory);
  ~SMTP() override;

  // Starts on SMTPPort of the product's key (default 25) with SMTPIncoming workers
  // and SMTPOutgoing delivery threads, and records both counts; with implicit TLS
  // on SMTPSPort (default 465) without delivery threads.
  bool Start(const std::string& product, const TernSettingReader& reader);
  using CTernTcpServer::Start;
  // Re-reads and applies both counts.
  bool Reconfigure(const TernSettingReader& reader);
  // Wakes every delivery thread, then stops as every server does.
  bool Stop();

  // The conversation on one connection.
  void ProcessJob(CTernTcpEndpoint& connection, int number);

  const std::string& HostName() const { return m_HostName; }
  const std::string& QueueDirectory() const { return m_QueueDirectory; }
  // The counts last applied from SMTPIncoming and SMTPOutgoing.
  int WorkerSetting() const;
  int DeliverySetting() const;
  // Accepted mail signals deliverer's delivery event instead of this server's (for
  // a server without delivery threads of its own). Set before Start.
  void SetDeliverer(SMTP* deliverer) { m_Deliverer = deliverer; }
  // Signalled once per accepted message (and once per delivery thread at stop).
  PlatformEvent& DeliveryEvent() { return m_DeliveryEvent; }
  // Wakes one delivery thread: mail has been queued (web mail, bounces).
  void Wake() { m_DeliveryEvent.Set(); }
  // The delivery engine the delivery threads run (null: they only wait). Set it
  // before Start, and clear it only after Stop.
  void SetDelivery(CTernDelivery* delivery) { m_Delivery = delivery; }
  // Messages accepted since the server was made.
  long Accepted() const { return m_Accepted.load(); }

  // Tests: shorter silences than the 300 and 600 seconds.
  void SetTimeouts(int commandSeconds, int dataSeconds);

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int number) override;
  // "421 Too many connections from your address\r\n", recorded in the SMTP realm.
  TernRefusal ClientLimitRefusal() const override;
  // The delivery thread: runs the delivery engine until a stop is asked for or the
  // thread is surplus; without an engine it only waits for the delivery event.
  void Background(int number) override;

 private:
  class Session;

  // The profile of the start-up settings: the plain or the encrypted one.
  const TernServerProfile& Profile() const;

  SMTP* m_Deliverer = nullptr;
  ListStore* m_Lists;
  CTernQueue* m_FastQueue;
  CTernQueue* m_SlowQueue;
  std::string m_QueueDirectory;
  std::string m_HostName;
  mutable CTernLock m_CountLock;  // guards the two counts
  int m_WorkerSetting = kTernDefaultServerCount;
  int m_DeliverySetting = kTernDefaultServerCount;
  std::atomic<int> m_CommandTimeout{kSmtpCommandTimeout};
  std::atomic<int> m_DataTimeout{kSmtpDataTimeout};
  std::atomic<long> m_Accepted{0};
  std::atomic<CTernDelivery*> m_Delivery{nullptr};
  PlatformEvent m_DeliveryEvent{false};
};
