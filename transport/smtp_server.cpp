// SMTP: the server object, its start and stop, the delivery threads' wait, and the
// conversation of one connection (SMTP::Session).
#include "transport/smtp_server.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "base/message_codes.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/effective_settings.h"
#include "log/activity_log.h"
#include "log/eventlog.h"
#include "message/clock.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "platform/clock.h"
#include "platform/registry_file.h"
#include "platform/registry_file_tcpip.h"
#include "transport/approval.h"
#include "transport/content_filter.h"
#include "transport/delivery.h"
#include "transport/smtp_relay.h"

namespace {

// Texts of the records that the mends add.
constexpr char kInfoRelayDenied[] = "Relaying denied.";
constexpr char kInfoTooLarge[] = "Message exceeds the largest size accepted.";

// Output of the data phase is handed to the message in blocks of about this size.
constexpr size_t kDataFlushSize = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

bool BeginsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// The largest message accepted: the System setting, or the default when it is
// missing, not a number or below 1.
long MaxMessageSize() {
  std::string value;
  if (GetEffectiveValue("", "", kAttrMaxMessageSize, value) != 0) return kSmtpDefaultMaxMessageSize;
  long size = SettingNumber(value);
  return size >= 1 ? size : kSmtpDefaultMaxMessageSize;
}

}  // namespace

// ---------------------------------------------------------------------------------
// The conversation of one connection.

class SMTP::Session {
 public:
  Session(SMTP& server, CTernTcpEndpoint& connection)
      : m_Server(server), m_Connection(connection) {}
  void Run();

 private:
  enum class Step { Go, Quit, Abort };

  Step Dispatch(const std::string& line);
  // Encrypts the connection; the conversation then starts over from the greeting
  // (without one: the client sends EHLO again).
  Step StartTls(std::string_view argument);
  Step Mail(std::string_view argument, const std::string& line);
  Step Rcpt(std::string_view argument, const std::string& line);
  Step Data();
  // Reads the data up to the end marker; false when the connection failed.
  bool ReceiveData(long maxSize, bool& oversized, int& writeFailures);
  // Ends the message after a failure of the data phase: record, reply, remove.
  Step RefuseMessage(std::string_view reply, int info, bool internal);

  // One line ending in CR LF (or kSmtpLineBuffer bytes of a longer one) into
  // text: its length, or 0 when the client stays silent for timeout seconds, takes
  // longer than the stressed wait while the server is stressed, goes away, or the
  // server stops first.
  long ReadLine(CTernString& text, int timeout);
  bool Reply(std::string_view text);
  Step ReplyStep(std::string_view text) { return Reply(text) ? Step::Go : Step::Abort; }
  const char* Text(int code) { return m_Texts.Text(code); }
  void Record(int action, std::initializer_list<std::pair<int, std::string>> fields,
              const std::string& user = "");
  void Violation(int info, const std::string& line);
  void RemoveMessage();
  std::string ReceivedHeader() const;

  SMTP& m_Server;
  CTernTcpEndpoint& m_Connection;
  CTernMessages m_Texts;
  // Where the conversation stands: no transaction, a sender given, one or more
  // recipients given.
  enum class State { Idle, HaveSender, HaveRecipients };
  State m_State = State::Idle;
  bool m_HeloSeen = false;
  std::string m_HeloName = "HELO_NOT_SENT";
  std::string m_Peer;
  std::unique_ptr<CTernQueuedMessage> m_Message;
  std::string m_Sender;
  std::string m_LastRecipient;
  int m_RecipientCount = 0;
  std::string m_RecipientList;
  bool m_AcceptedAny = false;
};

void SMTP::Session::Record(int action, std::initializer_list<std::pair<int, std::string>> fields,
                           const std::string& user) {
  CTernActivityRecord record;
  record.AddStandard(kRealmSmtp, action, 0, user, m_Peer);
  for (const auto& [key, text] : fields) record.Add(key, text);
  CTernActivityLog::Write(record);
}

void SMTP::Session::Violation(int info, const std::string& line) {
  Record(kActionProtocolViolation, {{kActInfo, Text(info)}, {kActLastCommand, line}});
}

long SMTP::Session::ReadLine(CTernString& text, int timeout) {
  return m_Server.ReadClientLine(m_Connection, text, timeout, m_Server.StressedWait(),
                                 kSmtpLineBuffer);
}

bool SMTP::Session::Reply(std::string_view text) {
  // A client that takes no reply for as long as it may stay silent is gone.
  return m_Server.SendToClient(m_Connection, text, m_Server.m_CommandTimeout.load());
}

void SMTP::Session::RemoveMessage() {
  if (!m_Message) return;
  m_Message->Remove();
  m_Message.reset();
}

void SMTP::Session::Run() {
  CTernNetAddress peer = m_Connection.Address();
  if (!peer.GetFirstAddressText(m_Peer)) m_Peer.clear();
  Record(kActionConnectionFrom, {});
  std::string greeting = "220 " + m_Server.m_HostName + " SMTP " + kSmtpProduct + " " +
                         kSmtpVersion + "; " + CTernTime::Now().MailDate() + "\r\n";
  if (!Reply(greeting)) {
    Record(kActionDisconnected, {{kActWarning, Text(kMsgConnectionTerminated)}});
    return;
  }
  Step step = Step::Go;
  CTernString text;
  while (step == Step::Go) {
    long n = ReadLine(text, m_Server.m_CommandTimeout.load());
    std::string line = n > 0 ? text.Str() : std::string();
    if (n > 0 && m_Connection.Overlong()) {
      // A command longer than any command can be: the rest of it is read and
      // dropped (each read bounded by the time-out), and it is refused.
      do {
        n = ReadLine(text, m_Server.m_CommandTimeout.load());
      } while (n > 0 && m_Connection.Overlong());
      if (n <= 0 || !text.Str().ends_with("\r\n")) {
        step = Step::Abort;
        break;
      }
      Violation(kMsgSyntaxError, line);
      step = ReplyStep(Text(kMsgReply500));
      continue;
    }
    if (n <= 0 || !line.ends_with("\r\n")) {
      step = Step::Abort;
      break;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    step = Dispatch(line);
  }
  RemoveMessage();
  if (step == Step::Quit) {
    if (m_AcceptedAny)
      Record(kActionDisconnected, {});
    else
      Record(kActionDisconnected, {{kActInfo, Text(kMsgNoMessagesTransferred)}});
  } else {
    Record(kActionDisconnected, {{kActWarning, Text(kMsgConnectionTerminated)}});
  }
}

SMTP::Session::Step SMTP::Session::Dispatch(const std::string& line) {
  size_t split = line.find(' ');
  for (char c : {'\t', '\r', '\n'})
    if (split == std::string::npos) split = line.find(c);
  if (split == std::string::npos) split = line.size();
  std::string verb = line.substr(0, split);
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string_view argument = SkipBlanks(std::string_view(line).substr(split));

  if (verb == "NOOP") return ReplyStep("250 OK\r\n");
  if (verb == "QUIT") {
    Reply(TernFormat(Text(kMsgReply221), {m_Server.m_HostName}));
    return Step::Quit;
  }
  bool offerTls = m_Server.TlsContext() && !m_Connection.Encrypted();
  if (verb == "HELO" || verb == "EHLO") {
    // EHLO names the one extension there is, when it can be used.
    Step step = verb == "EHLO" && offerTls
                    ? ReplyStep("250-" + m_Server.m_HostName + " Hello\r\n250 STARTTLS\r\n")
                    : ReplyStep("250 " + m_Server.m_HostName + " Hello\r\n");
    m_HeloSeen = true;
    m_HeloName = std::string(argument);
    return step;
  }
  if (verb == "RSET") {
    m_State = State::Idle;
    return ReplyStep("250 Reset State\r\n");
  }
  if (verb == "VRFY") {
    if (!argument.empty() && argument.front() == '<')
      return ReplyStep("250 " + std::string(argument) + "\r\n");
    return ReplyStep("250 <" + std::string(argument) + ">\r\n");
  }
  if (verb == "EXPN" || verb == "TURN")
    return ReplyStep("502 Sorry, we do not allow this operation\r\n");
  if (verb == "STARTTLS" && offerTls) return StartTls(argument);
  if (verb == "MAIL") return Mail(argument, line);
  if (verb == "RCPT") return Rcpt(argument, line);
  if (verb == "DATA") {
    if (m_State == State::Idle) {
      Violation(kMsgNeedMail, line);
      return ReplyStep("503 Need MAIL command\r\n");
    }
    if (m_State == State::HaveSender) {
      Violation(kMsgNoRcpts, line);
      return ReplyStep("503 Need RCPT (recipient)\r\n");
    }
    return Data();
  }
  Violation(kMsgUnknownCommand, line);
  return ReplyStep(Text(kMsgReply500));
}

SMTP::Session::Step SMTP::Session::StartTls(std::string_view argument) {
  if (!argument.empty()) return ReplyStep("501 Syntax error (no parameters allowed)\r\n");
  if (!Reply("220 Ready to start TLS\r\n")) return Step::Abort;
  if (!m_Server.UpgradeConnection(m_Connection)) return Step::Abort;
  RemoveMessage();
  m_State = State::Idle;
  m_HeloSeen = false;
  m_HeloName = "HELO_NOT_SENT";
  m_Sender.clear();
  m_LastRecipient.clear();
  m_RecipientCount = 0;
  m_RecipientList.clear();
  return Step::Go;
}

SMTP::Session::Step SMTP::Session::Mail(std::string_view argument, const std::string& line) {
  if (!m_HeloSeen) Violation(kMsgHeloNotSent, line);
  if (m_State != State::Idle) {
    Violation(kMsgNestedMail, line);
    return ReplyStep("503 Nested MAIL command\r\n");
  }
  if (!BeginsNoCase(argument, "FROM:")) {
    Violation(kMsgSyntaxError, line);
    return ReplyStep("501 Syntax error in parameters\r\n");
  }
  std::string_view path = SkipBlanks(argument.substr(5));
  std::string sender, routing;
  if (!path.empty()) {
    CTernMailAddress address;
    if (address.Parse(path) != 0) {
      Violation(kMsgSyntaxError, line);
      return ReplyStep("501 Syntax error in parameters, no path found\r\n");
    }
    sender = address.Form(kMailFormCanonical);
    routing = address.Form(kMailFormRouting);
  }
  if (!AllowSMTP(m_Peer, routing)) {
    std::string user = routing.find('!') == std::string::npos ? routing : std::string();
    Record(kActionMessageRejected, {{kActInfo, Text(kMsgServiceNotAllowed)}});
    Record(kActionAccessViolation, {{kActInfo, Text(kMsgServiceNotAllowed)}}, user);
    return ReplyStep("451 Requested action aborted: client or user currently locked\r\n");
  }
  RemoveMessage();
  m_Message = CTernQueuedMessage::Create(m_Server.m_QueueDirectory);
  if (!m_Message) {
    Record(kActionMessageRejected,
           {{kActWarning, Text(kMsgInternalError)}, {kActInfo, Text(kMsgCouldNotCreateMessage)}});
    TernReportEvent(TernEventType::Error, kMsgSmtpCreateFailed);
    return ReplyStep("451 Requested action aborted: local error in processing\r\n");
  }
  // Held while it is being made, so that no recovery or delivery reads it half made.
  m_Message->Hold();
  m_Message->SetSender(sender);
  m_Message->SetPeer(m_Peer);
  m_Sender = sender;
  m_State = State::HaveSender;
  m_RecipientCount = 0;
  m_RecipientList.clear();
  m_LastRecipient.clear();
  return ReplyStep("250 <" + sender + ">... Sender ok\r\n");
}

SMTP::Session::Step SMTP::Session::Rcpt(std::string_view argument, const std::string& line) {
  if (m_State == State::Idle) {
    Violation(kMsgNeedMail, line);
    return ReplyStep("503 Need MAIL before RCPT\r\n");
  }
  if (!BeginsNoCase(argument, "TO:")) {
    Violation(kMsgSyntaxError, line);
    return ReplyStep("501 Syntax error in parameters\r\n");
  }
  CTernMailAddress address;
  if (address.Parse(SkipBlanks(argument.substr(3))) != 0) {
    Violation(kMsgSyntaxError, line);
    return ReplyStep("501 Syntax error in parameters, no path found\r\n");
  }
  std::string recipient = address.Form(kMailFormCanonical);
  if (recipient.empty()) {
    Violation(kMsgSyntaxError, line);
    return ReplyStep("553 Requested action not taken: mailbox name not allowed\r\n");
  }
  // Mail for other domains is sent on only for clients that may relay.
  if (!address.IsLocal() && !CTernRelayNetworks::FromSettings().Allows(m_Peer)) {
    Record(kActionAccessViolation, {{kActInfo, kInfoRelayDenied}, {kActTo, recipient},
                                    {kActLastCommand, line}});
    return ReplyStep("550 <" + recipient + ">... Relaying denied\r\n");
  }
  if (!m_Message) return ReplyStep("451 Request action aborted: local error in processing\r\n");
  m_Message->AddRecipient(recipient);
  m_LastRecipient = recipient;
  ++m_RecipientCount;
  if (!m_RecipientList.empty()) m_RecipientList += ", ";
  m_RecipientList += recipient;
  m_State = State::HaveRecipients;
  return ReplyStep("250 <" + recipient + ">... Recipient ok\r\n");
}

std::string SMTP::Session::ReceivedHeader() const {
  // A name with line breaks in it could add header lines of its own.
  std::string helo = m_HeloName;
  for (char& c : helo)
    if (c == '\r' || c == '\n') c = ' ';
  std::string forPart;
  if (m_RecipientCount == 1 && !m_LastRecipient.empty()) forPart = "for <" + m_LastRecipient + ">";
  std::string via = " by " + m_Server.m_HostName + " (" + kSmtpProduct + " " + kSmtpVersion +
                    ") with SMTP id " + m_Message->Identifier() + "\r\n " + forPart + "; " +
                    CTernTime::Now().MailDate() + "\r\n";
  if (helo.find('.') != std::string::npos)
    return "Received: from " + helo + " ([" + m_Peer + "])\r\n" + via;
  return "Received: (from " + helo + " [" + m_Peer + "])\r\n" + via;
}

bool SMTP::Session::ReceiveData(long maxSize, bool& oversized, int& writeFailures) {
  std::string out;
  long stored = 0;
  // Fields that only this server may write (approval requests) are dropped from
  // the header as it comes in.
  CTernApprovalFieldFilter fields;
  auto emit = [&](std::string_view bytes, bool beginsLine) {
    if (oversized || !fields.Keep(bytes, beginsLine)) return;
    stored += static_cast<long>(bytes.size());
    if (stored > maxSize) {
      oversized = true;  // the rest is read but no longer kept
      out.clear();
      return;
    }
    out.append(bytes);
    if (out.size() >= kDataFlushSize) {
      if (!m_Message->WriteBody(out)) ++writeFailures;
      out.clear();
    }
  };
  bool lineStart = true;    // the next byte begins a line
  bool pendingCR = false;   // the last piece ended in CR (a CR LF may be split)
  CTernString text;
  for (;;) {
    long n = ReadLine(text, m_Server.m_DataTimeout.load());
    if (n <= 0) return false;
    std::string piece = text.Str();
    std::string_view p(piece);
    bool overlong = m_Connection.Overlong();
    bool complete = p.ends_with("\r\n");
    if (!complete && !overlong) return false;  // time-out or peer gone within a line
    if (pendingCR && p.front() == '\n') {
      emit("\n", false);
      p.remove_prefix(1);
      lineStart = true;
    }
    pendingCR = false;
    if (p.empty()) continue;
    if (lineStart) {
      if (p == ".\r\n") break;
      if (p.front() == '.') p.remove_prefix(1);  // dot removal, also at a long line's start
    }
    emit(p, lineStart);
    lineStart = complete;
    pendingCR = !complete && !p.empty() && p.back() == '\r';
  }
  if (!oversized && !out.empty() && !m_Message->WriteBody(out)) ++writeFailures;
  return true;
}

SMTP::Session::Step SMTP::Session::RefuseMessage(std::string_view reply, int info, bool internal) {
  if (internal)
    Record(kActionMessageRejected,
           {{kActWarning, Text(kMsgInternalError)}, {kActInfo, Text(info)}});
  else
    Record(kActionMessageRejected, {{kActInfo, Text(info)}});
  RemoveMessage();
  m_State = State::Idle;
  return ReplyStep(reply);
}

SMTP::Session::Step SMTP::Session::Data() {
  static constexpr char kLocalError[] = "451 Request action aborted: local error in processing\r\n";
  if (!m_Message || !m_Message->OpenBodyForWriting()) {
    Record(kActionMessageRejected,
           {{kActWarning, Text(kMsgInternalError)}, {kActInfo, Text(kMsgCouldNotOpenMessage)}});
    return ReplyStep(kLocalError);
  }
  if (!m_Message->WriteBody(ReceivedHeader())) {
    Record(kActionMessageRejected,
           {{kActWarning, Text(kMsgInternalError)}, {kActInfo, Text(kMsgCouldNotWriteMessage)}});
    m_Message->CloseBody();
    return ReplyStep(kLocalError);
  }
  if (!Reply("354 Enter mail, end with \".\" on a line by itself\r\n")) return Step::Abort;

  bool oversized = false;
  int writeFailures = 0;
  if (!ReceiveData(MaxMessageSize(), oversized, writeFailures)) {
    Record(kActionMessageRejected, {{kActInfo, Text(kMsgClientReceiveError)}});
    TernReportEventF(TernEventType::Warning, kMsgReceiveDataError, 0, "SMTP::ProcessJob()");
    return Step::Abort;
  }
  if (oversized) {
    Record(kActionMessageRejected, {{kActInfo, kInfoTooLarge}});
    RemoveMessage();
    m_State = State::Idle;
    return ReplyStep("552 Requested mail action aborted: exceeded storage allocation\r\n");
  }
  // The header section ends here if the data never ended it, so that every
  // Received field it holds is counted.
  CTernMessage* body = m_Message->Body();
  if (body->HeadersOpen() && !body->EndHeaders()) ++writeFailures;
  if (m_Message->HopCount() > kSmtpMaxHops)
    return RefuseMessage("554 Transaction failed -- too many hops\r\n", kMsgTooManyHops, false);

  // The body and then the envelope reach the disk, and only then the queue: an
  // envelope never names a body that is not all there, and nothing is
  // acknowledged before it is safe.
  std::string subject = m_Message->HeaderValue("Subject");
  bool saved = m_Message->CloseBody(true) && writeFailures == 0;
  if (saved) saved = FilterMessage(*m_Message, {m_Server.m_Lists, FilterDictionaries()}) == 0;
  if (saved) {
    m_Message->MarkComplete();
    saved = m_Message->SaveEnvelope();
  }
  if (!saved) return RefuseMessage(kLocalError, kMsgCouldNotSaveMessage, true);
  if (!m_Server.m_FastQueue ||
      !m_Server.m_FastQueue->Enqueue(m_Message->Identifier(), CTernClock::Now(), 0, true))
    return RefuseMessage(kLocalError, kMsgCouldNotQueueMessage, true);

  std::string identifier = m_Message->Identifier();
  Record(kActionMessageAccepted, {{kActSmtpId, identifier},
                                  {kActTo, m_RecipientList},
                                  {kActFrom, m_Sender},
                                  {kActSize, std::to_string(m_Message->Size())},
                                  {kActSubject, subject}});
  m_AcceptedAny = true;
  m_Message.reset();  // its files stay for delivery
  m_State = State::Idle;
  ++m_Server.m_Accepted;
  Step step = ReplyStep("250 " + identifier + " Message accepted for delivery\r\n");
  (m_Server.m_Deliverer ? m_Server.m_Deliverer : &m_Server)->m_DeliveryEvent.Set();
  return step;
}

// ---------------------------------------------------------------------------------
// The server.

SMTP::SMTP(ListStore* lists, CTernQueue* fastQueue, CTernQueue* slowQueue,
           const std::string& queueDirectory)
    : CTernTcpServer("SMTP"),
      m_Lists(lists),
      m_FastQueue(fastQueue),
      m_SlowQueue(slowQueue),
      m_QueueDirectory(queueDirectory.empty() ? std::string(OSTREL_DEFAULT_DIR)
                                              : queueDirectory) {
  m_HostName = TernServerHostName();
}

SMTP::~SMTP() { Stop(); }

const TernServerProfile& SMTP::Profile() const {
  return ImplicitTls() ? kTernSmtpsProfile : kTernSmtpProfile;
}

bool SMTP::Start(const std::string& product, const TernSettingReader& reader) {
  TernServerCounts counts;
  bool ok = TernStartProtocolServer(*this, Profile(), product, reader, &counts);
  CTernLockGuard guard(m_CountLock);
  m_WorkerSetting = counts.workers;
  m_DeliverySetting = counts.background;
  return ok;
}

bool SMTP::Reconfigure(const TernSettingReader& reader) {
  TernServerCounts counts;
  bool ok = TernReconfigureProtocolServer(*this, Profile(), reader, &counts);
  CTernLockGuard guard(m_CountLock);
  m_WorkerSetting = counts.workers;
  m_DeliverySetting = counts.background;
  return ok;
}

bool SMTP::Stop() {
  int threads = std::max(DeliverySetting(), RunningCount(kTernBackgroundThread));
  for (int i = 0; i < threads; ++i) m_DeliveryEvent.Set();
  return CTernServer::Stop();
}

int SMTP::WorkerSetting() const {
  CTernLockGuard guard(m_CountLock);
  return m_WorkerSetting;
}

int SMTP::DeliverySetting() const {
  CTernLockGuard guard(m_CountLock);
  return m_DeliverySetting;
}

void SMTP::SetTimeouts(int commandSeconds, int dataSeconds) {
  m_CommandTimeout = commandSeconds;
  m_DataTimeout = dataSeconds;
}

TernRefusal SMTP::ClientLimitRefusal() const {
  return TernRefusal{kRealmSmtp, "421 Too many connections from your address\r\n"};
}

void SMTP::HandleConnection(CTernTcpEndpoint& connection, int number) {
  ProcessJob(connection, number);
}

void SMTP::ProcessJob(CTernTcpEndpoint& connection, int /*number*/) {
  Session session(*this, connection);
  session.Run();
}

void SMTP::Background(int /*number*/) {
  while (!StopRequested()) {
    if (CTernDelivery* delivery = m_Delivery.load()) {
      delivery->Thread(m_DeliveryEvent, [this] { return StopRequested(); },
                       [this] { return BackgroundSurplus(); });
      return;
    }
    if (BackgroundSurplus()) return;
    m_DeliveryEvent.Wait(1000);
  }
}
