// CTernRemoteDelivery: the passes, the hosts of a domain, the transaction's stages
// and what each reply means for the recipients.
#include "transport/remote_delivery.h"

#include <algorithm>
#include <memory>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/file_ops.h"
#include "dns/dns_resolver.h"
#include "message/clock.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "net/network_address.h"
#include "transport/delivery_records.h"

namespace {

// Reasons of given-up recipients.
constexpr int kReasonRemote = 0;
constexpr int kReasonMailbox = 2;
constexpr int kReasonInvalid = 3;
constexpr int kReasonLocalError = 6;
constexpr int kReasonNoHost = 7;

std::string Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

// A dotted address of four parts (brackets removed): "10.1" is no literal here.
bool FourPartAddress(std::string_view text, uint32_t& address) {
  return std::count(text.begin(), text.end(), '.') == 3 && ParseDotted(text, address);
}

std::string WithoutBrackets(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '[' && c != ']') out += c;
  return out;
}

// The addresses of host (a name or a dotted text) on port.
TernHostsOutcome AddressesOf(const std::string& host, uint16_t port, std::vector<TernMailHost>& hosts) {
  uint32_t literal = 0;
  if (FourPartAddress(host, literal)) {
    hosts.push_back({host, literal, port});
    return TernHostsOutcome::Found;
  }
  std::shared_ptr<CTernDnsResolver> resolver = CTernDnsResolver::Process();
  if (!resolver) return TernHostsOutcome::Temporary;
  std::vector<uint32_t> addresses;
  switch (resolver->LookupAddresses(host, addresses)) {
    case TernDnsOutcome::Records:
      for (uint32_t a : addresses) hosts.push_back({host, a, port});
      return addresses.empty() ? TernHostsOutcome::NotFound : TernHostsOutcome::Found;
    case TernDnsOutcome::TempFail: return TernHostsOutcome::Temporary;
    case TernDnsOutcome::NoData:
    case TernDnsOutcome::NoDomain: break;
  }
  return TernHostsOutcome::NotFound;
}

std::string Text(int code) {
  CTernMessages messages;
  return messages.Text(code);
}

}  // namespace

bool TernParseRelayHost(std::string_view setting, std::string& host, uint16_t& port) {
  std::string text = Trimmed(setting);
  std::string portText;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      portText = rest.substr(1);
    }
  } else {
    size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (colon != std::string::npos) portText = text.substr(colon + 1);
  }
  host = Trimmed(host);
  if (host.empty() || CTernSmtpClient::HasControl(host)) return false;
  port = kSmtpRemotePort;
  if (text.find(':') == std::string::npos) return true;
  long value = 0;
  if (portText.empty() || portText.size() > 5 ||
      !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  value = std::stol(portText);
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

TernHostsOutcome TernMailHosts(std::string_view domain, const TernRemoteConfig& config,
                               std::vector<TernMailHost>& hosts, std::string& server) {
  hosts.clear();
  std::string relay = Trimmed(config.relayHost);
  if (!relay.empty()) {
    server = relay;
    std::string host;
    uint16_t port = kSmtpRemotePort;
    // A relay host that does not resolve is an administrator's matter, not the
    // recipient's: the mail waits for it.
    if (!TernParseRelayHost(relay, host, port)) return TernHostsOutcome::Temporary;
    TernHostsOutcome outcome = AddressesOf(host, port, hosts);
    return outcome == TernHostsOutcome::Found ? outcome : TernHostsOutcome::Temporary;
  }
  server = std::string(domain);
  uint32_t literal = 0;
  std::string bare = WithoutBrackets(domain);
  if (FourPartAddress(bare, literal)) {
    hosts.push_back({bare, literal, config.mxPort});
    return TernHostsOutcome::Found;
  }
  std::shared_ptr<CTernDnsResolver> resolver = CTernDnsResolver::Process();
  if (!resolver) return TernHostsOutcome::Temporary;
  std::vector<TernDnsMx> exchangers;
  switch (resolver->LookupMx(bare, exchangers)) {
    case TernDnsOutcome::TempFail: return TernHostsOutcome::Temporary;
    case TernDnsOutcome::NoDomain: return TernHostsOutcome::NotFound;
    case TernDnsOutcome::NoData: return AddressesOf(bare, config.mxPort, hosts);
    case TernDnsOutcome::Records: break;
  }
  for (const TernDnsMx& mx : exchangers) AddressesOf(mx.host, config.mxPort, hosts);
  // Exchangers whose addresses cannot be had now may have them later.
  return hosts.empty() ? TernHostsOutcome::Temporary : TernHostsOutcome::Found;
}

struct CTernRemoteDelivery::Transaction {
  std::string domain;
  std::string server;  // the relay host or the domain, for the records
  std::string host;    // the host that answered
  std::unique_ptr<CTernSmtpClient> client;
  bool failed = false;     // the transaction could not be set up
  bool permanent = false;  // ... for good
  int reason = kReasonRemote;
  std::string reply;       // the last reply
  std::vector<TernRecipient*> batch;
};

CTernRemoteDelivery::CTernRemoteDelivery(CTernQueuedMessage& message, TernRemoteConfig config,
                                         std::function<bool()> stopRequested)
    : m_Message(message), m_Config(std::move(config)), m_StopRequested(std::move(stopRequested)) {}

bool CTernRemoteDelivery::Run() {
  bool ok = true;
  while (!Stopping() && Pass(ok)) {
  }
  return ok && !Stopping();
}

std::string CTernRemoteDelivery::DueDomain(TernRecipient& r, time_t now) {
  if (r.status != TernRecipientStatus::Waiting || now - r.lastAttempt < kRecipientSpacing) return "";
  CTernMailAddress address;
  int parsed = CTernSmtpClient::HasControl(r.address) ? 1 : address.Parse(r.address);
  if (parsed < 0) return "";  // no memory now: left for a later processing
  std::string routing = address.Form(kMailFormRouting);
  if (parsed > 0 || (routing.empty() && r.address.empty())) {
    GiveUp(r, kReasonInvalid, "");
    return "";
  }
  size_t bang = routing.find('!');
  return bang == std::string::npos ? std::string() : routing.substr(0, bang);
}

bool CTernRemoteDelivery::Pass(bool& ok) {
  m_Now = CTernClock::Now();
  Transaction t;
  bool opened = false;
  for (TernRecipient& r : m_Message.Recipients()) {
    if (Stopping() || t.batch.size() >= kRemoteBatchSize) break;
    std::string domain = DueDomain(r, m_Now);
    if (domain.empty()) continue;
    if (!opened) {
      opened = true;
      t.domain = domain;
      Open(t);
    } else if (!TernEqualsNoCase(domain, t.domain)) {
      continue;
    }
    AddRecipient(t, r);
  }
  if (opened) Finish(t);
  m_Message.Touch();
  // Kept for a crash of the process; the save that matters for a power loss comes
  // before the message changes queue.
  if (!m_Message.SaveEnvelope(false)) ok = false;
  return opened && ok;
}

bool CTernRemoteDelivery::Open(Transaction& t) {
  auto fail = [&t](bool permanent, int reason, std::string reply) {
    t.failed = true;
    t.permanent = permanent;
    t.reason = reason;
    t.reply = std::move(reply);
    return false;
  };
  // A sender with control characters could add commands of its own.
  if (CTernSmtpClient::HasControl(m_Message.Sender())) return fail(true, kReasonInvalid, "");
  std::vector<TernMailHost> hosts;
  switch (TernMailHosts(t.domain, m_Config, hosts, t.server)) {
    case TernHostsOutcome::Temporary: return fail(false, kReasonRemote, "");
    case TernHostsOutcome::NotFound: return fail(true, kReasonNoHost, "");
    case TernHostsOutcome::Found: break;
  }
  for (const TernMailHost& h : hosts) {
    if (Stopping()) return fail(false, kReasonRemote, "");
    auto client = std::make_unique<CTernSmtpClient>(m_StopRequested, m_Config.limits);
    if (!client->Connect(h.address, h.port)) continue;
    // A host that is this server itself would take the mail back in for ever.
    if (m_Config.ownPort && client->LeadsTo(m_Config.ownPort)) continue;
    t.client = std::move(client);
    t.host = h.name;
    break;
  }
  TernDeliveryRecord(kActionConnectedTo, t.client ? kResultSucceeded : kResultFailed,
                     {{kActServer, t.server}, {kActSmtpId, m_Message.Identifier()}});
  if (!t.client) return fail(false, kReasonRemote, Text(kMsgCouldNotContactServer));
  for (int stage = 0; stage < 3; ++stage) {
    TernSmtpReply reply;
    if (stage == 0) reply = t.client->ReadReply();
    if (stage == 1) reply = t.client->Command("HELO " + m_Config.heloName);
    if (stage == 2) reply = t.client->Command("MAIL From:<" + m_Message.Sender() + ">");
    if (reply.outcome != TernReplyClass::Accepted)
      return fail(reply.outcome == TernReplyClass::Permanent, kReasonRemote, reply.text);
  }
  return true;
}

void CTernRemoteDelivery::AddRecipient(Transaction& t, TernRecipient& r) {
  if (t.failed) {
    if (t.permanent)
      GiveUp(r, t.reason, t.reply);
    else
      Attempt(r, t.reply);
    return;
  }
  TernSmtpReply reply = t.client->Command("RCPT To:<" + r.address + ">");
  switch (reply.outcome) {
    case TernReplyClass::Accepted: t.batch.push_back(&r); break;
    case TernReplyClass::Permanent: GiveUp(r, kReasonMailbox, reply.text); break;
    case TernReplyClass::Temporary: Attempt(r, reply.text); break;
  }
  // A connection that broke takes every later recipient of the pass with it.
  if (reply.broken) {
    t.failed = true;
    t.reply = reply.text;
  }
}

void CTernRemoteDelivery::Finish(Transaction& t) {
  if (!t.batch.empty()) {
    TernSmtpReply reply;
    bool bodyGone = false;
    if (t.failed) {
      reply.text = t.reply;
    } else if (!m_Message.OpenBodyForReading()) {
      bodyGone = !FileExists(m_Message.BodyPath(), false);
    } else {
      reply = t.client->Command("DATA");
      // Only 354 invites the data; after anything else the body would be read as
      // commands.
      if (reply.code == 354)
        reply = t.client->SendBody(*m_Message.Body());
      else if (reply.outcome == TernReplyClass::Accepted)
        reply.outcome = TernReplyClass::Temporary;
      m_Message.CloseBody();
    }
    for (TernRecipient* r : t.batch) {
      if (bodyGone)
        GiveUp(*r, kReasonLocalError, "");
      else if (reply.outcome == TernReplyClass::Accepted && reply.text[0] == '2')
        Delivered(*r, reply.text);
      else if (reply.outcome == TernReplyClass::Permanent)
        GiveUp(*r, kReasonRemote, reply.text);
      else
        Attempt(*r, reply.text);
    }
  }
  if (t.client && t.client->Connected()) {
    t.client->Quit();
    TernDeliveryRecord(kActionDisconnected, 0, {{kActServer, t.host}});
  }
}

void CTernRemoteDelivery::Attempt(TernRecipient& r, const std::string& reply) {
  // A stop of the server is no failure of the recipient's.
  if (Stopping()) return;
  ++r.attempts;
  r.lastAttempt = m_Now;
  TernDeliveryRecord(kActionMessageDeliveryAttemptFailed, 0,
                     {{kActSmtpId, m_Message.Identifier()}, {kActTo, r.address}, {kActLastResponse, reply}});
}

void CTernRemoteDelivery::GiveUp(TernRecipient& r, int reason, const std::string& text) {
  r.status = TernRecipientStatus::GivenUp;
  r.reason = reason;
  r.notice = 1;
  r.reasonText = text;
}

void CTernRemoteDelivery::Delivered(TernRecipient& r, const std::string& reply) {
  r.status = TernRecipientStatus::Done;
  r.notice = 0;
  TernDeliveryRecord(kActionMessageDelivered, 0,
                     {{kActSmtpId, m_Message.Identifier()}, {kActTo, r.address}, {kActLastResponse, reply}});
}
