// Remote delivery: the recipients of a queued message outside the local domains,
// handed over by SMTP to the mail servers of their domain or to the relay host.
//
// It works in passes. A pass goes through the waiting recipients in list order and
// opens one transaction for the domain of the first one that is due (never tried,
// or last tried at least 300 seconds ago); every further due recipient of that
// domain joins it, up to 100 accepted recipients. Recipients of other domains wait
// for a later pass. The envelope is saved after every transaction, and passes go
// on until one opens no transaction.
//
// The hosts of a transaction: the RelayHost setting when it is set (a name, or a
// dotted address in square brackets, either with ":port"; port 25 otherwise);
// else a domain written as a dotted address; else the domain's mail exchangers by
// preference, and the domain's own address when it has none. Mail exchangers and
// address literals are reached on the port the registry value MXPort gives (25
// without it). A host that leads back to this server itself is passed over.
//
// Outcomes per recipient: delivered (status 3), given up (status 2, notice 1, a
// reason and the remote reply), or a failed attempt (attempts + 1, last attempt =
// now) that a later pass or processing tries again. Temporary stays temporary: no
// reply, a 4xx, a lost connection, a resolver that cannot answer, a relay host name
// that does not resolve. Every connection, disconnection, delivery and failed
// attempt leaves an activity record.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/smtp_client.h"

class CTernQueuedMessage;
struct TernRecipient;

// The registry value (product key) with the port of mail exchangers, and the port
// used without it.
inline constexpr char kRegMxPort[] = "MXPort";
inline constexpr uint16_t kSmtpRemotePort = 25;
// The System setting naming the relay host.
inline constexpr char kAttrRelayHost[] = "RelayHost";

// A recipient last tried more recently than this is left for a later pass.
inline constexpr long kRecipientSpacing = 300;
// Recipients accepted into one transaction at most.
inline constexpr size_t kRemoteBatchSize = 100;

struct TernRemoteConfig {
  std::string heloName;     // the name this server gives itself in HELO
  std::string relayHost;    // the RelayHost setting in force (empty: none)
  uint16_t mxPort = kSmtpRemotePort;
  uint16_t ownPort = 0;     // this server's SMTP port (0: unknown)
  TernSmtpClientLimits limits;
};

// One host to try: the name it was found under (for the records), its address
// (network byte order) and port.
struct TernMailHost {
  std::string name;
  uint32_t address = 0;
  uint16_t port = kSmtpRemotePort;
};

enum class TernHostsOutcome { Found, Temporary, NotFound };

// Splits a RelayHost setting into host and port ("[192.0.2.1]:2526",
// "relay.example.net", "relay.example.net:587"). False when the text names no
// host or its port is not a number from 1 to 65535.
bool TernParseRelayHost(std::string_view setting, std::string& host, uint16_t& port);

// The hosts for domain under config, in the order they are tried; server receives
// the name the records give the transaction (the relay host or the domain).
// NotFound only for a domain that does not exist or has no address at all.
TernHostsOutcome TernMailHosts(std::string_view domain, const TernRemoteConfig& config,
                               std::vector<TernMailHost>& hosts, std::string& server);

class CTernRemoteDelivery {
 public:
  // message is held by the caller and stays so. stopRequested ends the work early:
  // nothing is counted against recipients then.
  CTernRemoteDelivery(CTernQueuedMessage& message, TernRemoteConfig config,
                      std::function<bool()> stopRequested);

  // Runs passes until one opens no transaction (or a stop is asked for). False when
  // an envelope could not be saved or a stop came: the caller must not take the
  // recipients' marks as final then.
  bool Run();

 private:
  // One transaction's state.
  struct Transaction;

  // Runs one pass; true when it opened a transaction.
  bool Pass(bool& ok);
  // The domain of a due remote recipient (its routing form up to the first "!"),
  // or empty when the recipient is not due, is local or was just given up.
  std::string DueDomain(TernRecipient& r, time_t now);
  bool Open(Transaction& t);
  void AddRecipient(Transaction& t, TernRecipient& r);
  void Finish(Transaction& t);
  void Attempt(TernRecipient& r, const std::string& reply);
  void GiveUp(TernRecipient& r, int reason, const std::string& text);
  void Delivered(TernRecipient& r, const std::string& reply);
  bool Stopping() const { return m_StopRequested && m_StopRequested(); }

  CTernQueuedMessage& m_Message;
  TernRemoteConfig m_Config;
  std::function<bool()> m_StopRequested;
  time_t m_Now = 0;
};
