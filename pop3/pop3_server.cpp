// The POP3 conversation: authorization, transaction and sign-off.
#include "pop3/pop3_server.h"

#include <charconv>
#include <memory>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/format.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "config/password_test.h"
#include "log/activity_log.h"
#include "message/message.h"
#include "message/separator.h"
#include "store/mailbox.h"
#include "store/mailbox_manager.h"
#include "store/mailbox_names.h"
#include "store/mailbox_table.h"

namespace {

constexpr char kInfoEncryptionRequired[] = "Password refused on an unencrypted connection.";

constexpr size_t kSendBlock = 65536;

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

// A decimal number after leading blanks; no digits give 0 (and a number too large
// for an int gives -1, which no message has).
long Number(std::string_view text) {
  text = SkipBlanks(text);
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  (void)end;
  if (error == std::errc::result_out_of_range) return -1;
  if (error != std::errc()) return 0;
  return negative ? -value : value;
}

// What RETR sends of one stored message: where it starts in the data file after the
// separator line, how many bytes follow, and whether a final CR LF must be added.
struct Content {
  int32_t offset = 0;
  int32_t length = 0;
  bool addLineEnd = false;
  int64_t Octets() const { return length + (addLineEnd ? 2 : 0); }
};

// Reads the separator line and the last two bytes of every entry from the data
// file. False when the file cannot be read.
bool ReadContents(CTernMailbox& box, int32_t count, std::vector<Content>& contents) {
  contents.assign(static_cast<size_t>(count), Content{});
  if (count == 0) return true;
  CTernDiskFile file(box.DataPath(), TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open()) return false;
  bool ok = true;
  char buffer[1024];
  for (int32_t n = 1; ok && n <= count; ++n) {
    TernTocEntry entry;
    ok = box.Info(n, entry) == 0 && entry.size > 0;
    if (!ok) break;
    int32_t want = std::min<int32_t>(entry.size, sizeof buffer);
    ok = file.Seek(entry.offset, TernSeek::Start) && file.Read(buffer, want) == want;
    if (!ok) break;
    std::string_view head(buffer, static_cast<size_t>(want));
    size_t end = head.find('\n');
    int32_t separator = 0;
    if (end != std::string_view::npos && TernIsSeparatorLine(head.substr(0, end + 1)))
      separator = static_cast<int32_t>(end + 1);
    Content& c = contents[static_cast<size_t>(n - 1)];
    c.offset = entry.offset + separator;
    c.length = entry.size - separator;
    char tail[2] = {0, 0};
    if (c.length >= 1)
      ok = file.Seek(entry.offset + entry.size - 1, TernSeek::Start) && file.Read(tail + 1, 1) == 1;
    // A message whose last line has no line end gets CR LF before the "." line.
    c.addLineEnd = c.length > 0 && tail[1] != '\n';
  }
  file.Close();
  return ok;
}

}  // namespace

class POP3::Session {
 public:
  Session(POP3& server, CTernTcpEndpoint& connection) : m_Server(server), m_Connection(connection) {}
  void Run();

 private:
  enum class Step { Go, Quit, Abort };

  Step Dispatch(const std::string& line);
  Step User(std::string_view argument, const std::string& line);
  Step Pass(std::string_view argument);
  Step List(std::string_view argument, bool ids, const std::string& line);
  Step Retrieve(std::string_view argument, bool top, const std::string& line);
  Step Delete(std::string_view argument, const std::string& line);
  Step Reset();
  Step Quit();
  // Encrypts the connection; the login starts over (a USER given is forgotten).
  Step StartTls();
  void EndWithoutQuit();

  // Checks a message number; answers and records a refusal (false).
  bool CheckNumber(long n, const std::string& line, bool& sent);
  bool SendMessage(int32_t n, bool top, long lines, std::string out);

  bool Reply(std::string_view text);
  Step ReplyStep(std::string_view text) { return Reply(text) ? Step::Go : Step::Abort; }
  std::string Ok(std::string_view rest) const { return "+OK " + std::string(rest) + "\r\n"; }
  std::string Err(std::string_view rest) const { return "-ERR " + std::string(rest) + "\r\n"; }
  const char* Text(int code) { return m_Texts.Text(code); }
  void Record(int action, int result, std::initializer_list<std::pair<int, std::string>> fields);
  void Violation(int info, const std::string& command);
  std::string Id(int32_t n);

  POP3& m_Server;
  CTernTcpEndpoint& m_Connection;
  CTernMessages m_Texts;
  int m_State = 1;
  std::string m_User;
  bool m_UserGiven = false;
  std::string m_Client;
  CTernOpenMailbox m_Box;
  int32_t m_TotalCount = 0, m_CurrentCount = 0;
  int64_t m_TotalOctets = 0, m_CurrentOctets = 0;
  std::vector<Content> m_Contents;
  std::vector<bool> m_Deleted;
  long m_LastNumber = 0;
};

void POP3::Session::Record(int action, int result,
                           std::initializer_list<std::pair<int, std::string>> fields) {
  CTernActivityRecord record;
  record.AddStandard(kRealmPop, action, result, m_User, m_Client);
  for (const auto& [key, text] : fields) record.Add(key, text);
  CTernActivityLog::Write(record);
}

void POP3::Session::Violation(int info, const std::string& command) {
  if (info) Record(kActionProtocolViolation, 0, {{kActInfo, Text(info)}, {kActLastCommand, command}});
  else Record(kActionProtocolViolation, 0, {{kActLastCommand, command}});
}

bool POP3::Session::Reply(std::string_view text) {
  return m_Server.SendToClient(m_Connection, text, m_Server.Timeout());
}

std::string POP3::Session::Id(int32_t n) {
  int32_t size = 0;
  std::string id;
  m_Box->SizeAndId(n, size, id);
  return id;
}

void POP3::Session::Run() {
  // Clients pipeline RETR and DELE; each reply is written whole.
  m_Connection.SetNoDelay();
  CTernNetAddress peer;
  if (!m_Connection.PeerName(peer) || !peer.GetFirstAddressText(m_Client)) m_Client.clear();
  if (!Reply(Ok("POP3 server " + m_Server.HostName() + " (" + kPopProduct + "-" + kPopVersion +
                ") ready"))) {
    EndWithoutQuit();
    return;
  }
  CTernString text;
  Step step = Step::Go;
  while (step == Step::Go) {
    long n = m_Server.ReadClientLine(m_Connection, text, m_Server.Timeout(), m_Server.StressedWait(),
                                     kPopMaxLine);
    std::string line = n > 0 ? text.Str() : std::string();
    if (n > 0 && m_Connection.Overlong()) {
      // Longer than any command: the rest is read and dropped, and it is answered
      // once, never run.
      do {
        n = m_Server.ReadClientLine(m_Connection, text, m_Server.Timeout(), m_Server.StressedWait(),
                                    kPopMaxLine);
      } while (n > 0 && m_Connection.Overlong());
      if (n <= 0) break;
      Violation(kMsgUnknownCommand, line.substr(0, line.find(' ')));
      step = ReplyStep(Err("command line too long"));
      continue;
    }
    if (n <= 0) break;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    step = Dispatch(line);
  }
  if (step != Step::Quit) EndWithoutQuit();
}

POP3::Session::Step POP3::Session::Dispatch(const std::string& line) {
  size_t blank = line.find(' ');
  std::string command = line.substr(0, blank);
  for (char& c : command) c = TernUpperAscii(c);
  std::string_view argument = blank == std::string::npos ? std::string_view() : std::string_view(line).substr(blank);
  bool transaction = m_State == 3;
  auto notTransaction = [&]() {
    Violation(kMsgPopNotTransaction, line);
    return ReplyStep(Err("command may only be given in TRANSACTION state"));
  };
  if (command == "NOOP") return ReplyStep("+OK\r\n");
  if (command == "QUIT") return Quit();
  if (command == "USER") return User(argument, line);
  if (command == "PASS") return Pass(argument);
  if (command == "STAT") {
    if (!transaction) return notTransaction();
    return ReplyStep(Ok(std::to_string(m_CurrentCount) + " " + std::to_string(m_CurrentOctets)));
  }
  if (command == "LIST" || command == "UIDL") {
    if (!transaction) return notTransaction();
    return List(argument, command == "UIDL", line);
  }
  if (command == "RETR" || command == "TOP") {
    if (!transaction) return notTransaction();
    return Retrieve(argument, command == "TOP", line);
  }
  if (command == "DELE") {
    if (!transaction) return notTransaction();
    return Delete(argument, line);
  }
  if (command == "RSET") {
    if (!transaction) {
      Violation(kMsgPopNotTransaction, line);
      return ReplyStep(Err("command may only be used in the transaction state"));
    }
    return Reset();
  }
  bool offerTls = m_Server.TlsContext() && !m_Connection.Encrypted();
  if (command == "CAPA")
    return ReplyStep("+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n" +
                     std::string(offerTls ? "STLS\r\n" : "") + ".\r\n");
  if (command == "STLS" && offerTls) {
    if (transaction) {
      Violation(kMsgPopNotAuthorization, line);
      return ReplyStep(Err("POP3 server not in authorization state"));
    }
    return StartTls();
  }
  // APOP is not offered; asking for it is no violation. AUTH may carry a secret:
  // its record holds only the command word.
  if (command == "APOP") return ReplyStep(Err("Command unknown"));
  Violation(kMsgUnknownCommand, command == "AUTH" ? command : line);
  return ReplyStep(Err("Command unknown"));
}

POP3::Session::Step POP3::Session::StartTls() {
  if (!Reply(Ok("Begin TLS negotiation"))) return Step::Abort;
  if (!m_Server.UpgradeConnection(m_Connection)) return Step::Abort;
  m_User.clear();
  m_UserGiven = false;
  m_State = 1;
  return Step::Go;
}

POP3::Session::Step POP3::Session::User(std::string_view argument, const std::string& line) {
  if (m_State == 3) {
    Violation(kMsgPopNotAuthorization, line);
    return ReplyStep(Err("POP3 server not in authorization state"));
  }
  std::string name(SkipBlanks(argument));
  if (name.empty()) {
    Violation(kMsgPopNoUser, line);
    return ReplyStep(Err("user not supplied"));
  }
  m_User = name;
  m_UserGiven = true;
  m_State = 2;
  return ReplyStep(Ok("send password for user " + m_User));
}

POP3::Session::Step POP3::Session::Pass(std::string_view argument) {
  if (m_State != 2) {
    Violation(kMsgPopNoUser, "PASS");
    return ReplyStep(Err("need USER command first"));
  }
  // A password that may not cross this connection in clear is not tried.
  if (!m_Server.PasswordAllowed(m_Connection.Encrypted(), m_Client)) {
    Record(kActionLogin, kResultFailed, {{kActInfo, kInfoEncryptionRequired}});
    return ReplyStep(Err("[AUTH] encryption required: use STLS or the POP3S port"));
  }
  std::string password(SkipBlanks(argument));
  Configuration* config = Configuration::Process();
  // Only users given mail service log in here: a name without such a user object
  // is refused like a wrong password, without trying any password, so the
  // machine's own accounts cannot be probed through POP3.
  bool ok = config && CTernMailboxTable::HasMailService(m_User) &&
            TernPasswordTest(*config, m_User, password);
  if (!ok) {
    Record(kActionLogin, kResultFailed, {});
    return ReplyStep(Err("invalid password"));
  }
  char allow[16];
  GetEffectiveValueBuffer(m_Client, m_User, "AllowPOP", allow, sizeof allow);
  if (allow[0] == '0') {
    Record(kActionAccessViolation, 0, {{kActInfo, Text(kMsgServiceNotAllowed)}});
    return ReplyStep(Err("cannot lock maildrop, client or user not allowed access"));
  }
  CTernMailboxTable* table = m_Server.Table();
  if (table) m_Box = table->OpenMailbox(m_User, kTernInbox, 0);
  TernMailboxCounts counts;
  bool opened = m_Box && !m_Box->InError() && m_Box->Counts(counts) == 0 &&
                ReadContents(*m_Box, counts.messages, m_Contents);
  if (!opened) {
    Record(kActionLogin, kResultFailed, {{kActInfo, Text(kMsgPopMaildropLocked)}});
    m_Box.Close();
    return ReplyStep(Err("unable to lock maildrop"));
  }
  m_TotalCount = m_CurrentCount = counts.messages;
  m_TotalOctets = 0;
  for (const Content& c : m_Contents) m_TotalOctets += c.Octets();
  m_CurrentOctets = m_TotalOctets;
  m_Deleted.assign(static_cast<size_t>(m_TotalCount), false);
  // The client object is made once somebody has logged in from the address, not
  // for every connection (a port scan would rewrite the configuration).
  if (config->ObjectExists(kTypeClient, m_Client) != 1) config->CreateObject(kTypeClient, m_Client);
  Record(kActionLogin, kResultSucceeded, {});
  m_State = 3;
  return ReplyStep(Ok(m_User + "'s maildrop has " + std::to_string(m_TotalCount) + " messages (" +
                      std::to_string(m_TotalOctets) + " octets)"));
}

bool POP3::Session::CheckNumber(long n, const std::string& line, bool& sent) {
  m_LastNumber = n;
  sent = true;
  if (n < 1 || n > m_TotalCount) {
    Violation(kMsgPopInvalidNumber, line);
    sent = Reply(Err("invalid message number"));
    return false;
  }
  if (m_Deleted[static_cast<size_t>(n - 1)]) {
    Violation(kMsgPopAlreadyDeleted, line);
    sent = Reply(Err("message " + std::to_string(n) + " already deleted"));
    return false;
  }
  return true;
}

POP3::Session::Step POP3::Session::List(std::string_view argument, bool ids, const std::string& line) {
  auto value = [&](int32_t n) {
    return ids ? Id(n) : std::to_string(m_Contents[static_cast<size_t>(n - 1)].Octets());
  };
  if (!SkipBlanks(argument).empty()) {
    bool sent = true;
    long n = Number(argument);
    if (!CheckNumber(n, line, sent)) return sent ? Step::Go : Step::Abort;
    return ReplyStep(Ok(std::to_string(n) + " " + value(static_cast<int32_t>(n))));
  }
  std::string out = Ok(std::to_string(m_CurrentCount) + " message (" + std::to_string(m_CurrentOctets) +
                       " octets)");
  for (int32_t n = 1; n <= m_TotalCount; ++n) {
    if (m_Deleted[static_cast<size_t>(n - 1)]) continue;
    out += std::to_string(n) + " " + value(n) + "\r\n";
    if (out.size() >= kSendBlock) {
      if (!Reply(out)) return Step::Abort;
      out.clear();
    }
  }
  out += ".\r\n";
  return ReplyStep(out);
}

POP3::Session::Step POP3::Session::Retrieve(std::string_view argument, bool top, const std::string& line) {
  long n = 0, lines = -1;
  bool sent = true;
  if (top) {
    std::string_view rest = SkipBlanks(argument);
    size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) {
      m_LastNumber = Number(rest);
      Violation(kMsgPopInvalidNumber, line);
      return ReplyStep(Err("incorrect parameters (TOP message lines)"));
    }
    n = Number(rest.substr(0, blank));
    lines = Number(rest.substr(blank));
    m_LastNumber = n;
    // The number's range first, then the line count, then a deletion mark.
    bool inRange = n >= 1 && n <= m_TotalCount;
    if (!inRange && !CheckNumber(n, line, sent)) return sent ? Step::Go : Step::Abort;
    if (lines < 0) {
      Violation(0, line);
      return ReplyStep(Err("invalid number of lines to read"));
    }
  } else {
    n = Number(argument);
  }
  if (!CheckNumber(n, line, sent)) return sent ? Step::Go : Step::Abort;
  int32_t number = static_cast<int32_t>(n);
  std::string id = Id(number);
  const Content& content = m_Contents[static_cast<size_t>(number - 1)];
  // The status line goes out with the message's first block: two small sends in a
  // row would wait for the client's delayed acknowledgement.
  if (!SendMessage(number, top, lines, Ok(std::to_string(content.Octets()) + " octets")))
    return Step::Abort;
  Record(kActionMessageRead, kResultSucceeded,
         {{kActMailbox, kTernInbox}, {kActMailboxId, id}, {kActLastCommand, line}});
  return Step::Go;
}

// Sends out (the status line), then the message from the line after its separator, stuffing a "." before every
// line that begins with one, ending it with CR LF when the stored text lacks it,
// and then the ".\r\n" line. With top, the header, the empty line and at most
// `lines` further lines.
bool POP3::Session::SendMessage(int32_t n, bool top, long lines, std::string out) {
  const Content& content = m_Contents[static_cast<size_t>(n - 1)];
  CTernDiskFile file(m_Box->DataPath(), TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open() || !file.Seek(content.offset, TernSeek::Start)) return false;
  int32_t left = content.length;
  bool lineStart = true, inHeader = true, done = false, ok = true;
  size_t lineBytes = 0;    // bytes of the current line before its LF
  bool onlyCR = true;      // and they are at most one CR
  long bodyLines = 0;
  std::string block(static_cast<size_t>(std::min<int32_t>(left, kSendBlock)), '\0');
  while (ok && left > 0 && !done) {
    int32_t got = file.Read(block.data(), std::min<int32_t>(left, static_cast<int32_t>(block.size())));
    if (got <= 0) {
      ok = false;
      break;
    }
    left -= got;
    std::string_view chunk(block.data(), static_cast<size_t>(got));
    for (size_t pos = 0; pos < chunk.size();) {
      if (lineStart) {
        if (top && !inHeader && bodyLines >= lines) {
          done = true;
          break;
        }
        // Only a real line start is stuffed, never a read boundary.
        if (chunk[pos] == '.') out += '.';
        lineBytes = 0;
        onlyCR = true;
      }
      size_t end = chunk.find('\n', pos);
      size_t stop = end == std::string_view::npos ? chunk.size() : end + 1;
      std::string_view piece = chunk.substr(pos, stop - pos);
      out += piece;
      pos = stop;
      std::string_view text = end == std::string_view::npos ? piece : piece.substr(0, piece.size() - 1);
      lineBytes += text.size();
      onlyCR = onlyCR && (text.empty() || text == "\r");
      lineStart = end != std::string_view::npos;
      if (!lineStart) continue;
      // An empty line ("\r\n" or "\n") ends the header.
      if (inHeader && lineBytes <= 1 && onlyCR) inHeader = false;
      else if (!inHeader) ++bodyLines;
    }
    if (out.size() >= kSendBlock) {
      ok = Reply(out);
      out.clear();
    }
  }
  file.Close();
  if (!ok) return false;
  if (!done && content.addLineEnd) out += "\r\n";
  out += ".\r\n";
  return Reply(out);
}

POP3::Session::Step POP3::Session::Delete(std::string_view argument, const std::string& line) {
  bool sent = true;
  long n = Number(argument);
  if (!CheckNumber(n, line, sent)) return sent ? Step::Go : Step::Abort;
  m_Deleted[static_cast<size_t>(n - 1)] = true;
  --m_CurrentCount;
  m_CurrentOctets -= m_Contents[static_cast<size_t>(n - 1)].Octets();
  return ReplyStep(Ok("message " + std::to_string(n) + " deleted"));
}

POP3::Session::Step POP3::Session::Reset() {
  m_Deleted.assign(m_Deleted.size(), false);
  m_CurrentCount = m_TotalCount;
  m_CurrentOctets = m_TotalOctets;
  return ReplyStep(Ok("maildrop has " + std::to_string(m_CurrentCount) + " messages (" +
                      std::to_string(m_CurrentOctets) + " octets)"));
}

POP3::Session::Step POP3::Session::Quit() {
  int failures = 0;
  std::vector<std::string> removed;
  if (m_State == 3) {
    for (int32_t n = 1; n <= m_TotalCount; ++n) {
      if (!m_Deleted[static_cast<size_t>(n - 1)]) continue;
      std::string id = Id(n);
      if (m_Box->MarkForRemoval(n) != 0) ++failures;
      else removed.push_back(id);
    }
    if (!removed.empty() && m_Box->Compact() != 0) {
      // Marks that a failed compaction left must not be carried out silently by a
      // later one: they are taken back, and the messages stay.
      ++failures;
      m_Box->ClearRemovalMarks();
      removed.clear();
    }
    // Only what has really gone is recorded as deleted.
    for (const std::string& id : removed)
      Record(kActionMessageDeleted, kResultSucceeded, {{kActMailbox, kTernInbox}, {kActMailboxId, id}});
  }
  // The conversation ends whether or not the sign-off reaches the client.
  Reply(failures ? Err("some deleted messages not removed (signing off)")
                             : Ok("POP3 server " + m_Server.HostName() + " signing off"));
  CTernActivityRecord record;
  record.AddStandard(kRealmPop, kActionLogoff, kResultSucceeded, m_User, m_Client);
  if (!m_UserGiven) record.Add(kActWarning, Text(kMsgNoLoginInSession));
  if (failures) record.Add(kActInfo2, Text(kMsgPopDeleteIncomplete));
  CTernActivityLog::Write(record);
  m_Box.Close();
  return Step::Quit;
}

void POP3::Session::EndWithoutQuit() {
  // The marks are forgotten: nothing is removed.
  m_Box.Close();
  CTernActivityRecord record;
  record.AddStandard(kRealmPop, kActionDisconnected, kResultSucceeded, m_User, m_Client);
  if (!m_UserGiven) record.Add(kActWarning, Text(kMsgNoLoginInSession));
  CTernActivityLog::Write(record);
}

// ---------------------------------------------------------------------------------
// The server.

POP3::POP3(CTernMailboxTable* table) : CTernTcpServer("POP"), m_Table(table) {
  m_HostName = TernServerHostName();
}

POP3::~POP3() { Stop(); }

CTernMailboxTable* POP3::Table() const { return m_Table ? m_Table : CTernMailboxTable::Process(); }

bool POP3::Start(const std::string& product, const TernSettingReader& reader) {
  return TernStartProtocolServer(*this, ImplicitTls() ? kTernPopsProfile : kTernPopProfile, product,
                                 reader);
}

bool POP3::Reconfigure(const TernSettingReader& reader) {
  return TernReconfigureProtocolServer(*this, ImplicitTls() ? kTernPopsProfile : kTernPopProfile, reader);
}

TernRefusal POP3::ClientLimitRefusal() const {
  return TernRefusal{kRealmPop, "-ERR too many connections from your address\r\n"};
}

void POP3::HandleConnection(CTernTcpEndpoint& connection, int number) { ProcessJob(connection, number); }

void POP3::ProcessJob(CTernTcpEndpoint& connection, int /*number*/) {
  Session session(*this, connection);
  session.Run();
}
