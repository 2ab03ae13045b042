// CTernSmtpClient: bounded connection, commands, replies and the body on the wire.
#include "transport/smtp_client.h"

#include <algorithm>
#include <chrono>

#include "message/message.h"
#include "net/network_address.h"

namespace {

// The longest single wait, so that the stop predicate is asked often enough.
constexpr long kSliceMs = 1000;
// The body is handed to the connection in blocks of about this size.
constexpr size_t kBodyBlock = 64 * 1024;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A reply line: its code when it begins with three digits, else 0.
int CodeOf(std::string_view line) {
  if (line.size() < 3) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

TernReplyClass ClassOf(std::string_view text) {
  if (text.empty()) return TernReplyClass::Temporary;
  if (text[0] == '2' || text[0] == '3') return TernReplyClass::Accepted;
  if (text[0] == '5') return TernReplyClass::Permanent;
  return TernReplyClass::Temporary;
}

// Reply text is kept in envelopes, bounces and the activity log: control bytes of a
// hostile peer become spaces there.
std::string Printable(std::string_view line) {
  std::string text(line);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') c = ' ';
  return text;
}

}  // namespace

CTernSmtpClient::CTernSmtpClient(std::function<bool()> stopRequested, TernSmtpClientLimits limits)
    : m_StopRequested(std::move(stopRequested)), m_Limits(limits) {}

CTernSmtpClient::~CTernSmtpClient() {
  if (Connected()) m_Connection.Close();
}

bool CTernSmtpClient::HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
  });
}

bool CTernSmtpClient::Expired() const { return NowMs() >= m_DeadlineMs; }

long CTernSmtpClient::LeftMs() const { return static_cast<long>(std::max<int64_t>(0, m_DeadlineMs - NowMs())); }

bool CTernSmtpClient::Connect(uint32_t address, uint16_t port) {
  m_DeadlineMs = NowMs() + m_Limits.conversationMs;
  if (Connected()) m_Connection.Close();
  auto stop = [this] { return m_StopRequested && m_StopRequested(); };
  return m_Connection.ConnectWithin(CTernNetAddress(address, port),
                                    std::min(m_Limits.connectMs, LeftMs()), stop);
}

bool CTernSmtpClient::LeadsTo(uint16_t ownPort) {
  CTernNetAddress local, peer;
  std::vector<uint32_t> mine, theirs;
  if (!Connected() || !m_Connection.LocalName(local) || !m_Connection.PeerName(peer)) return false;
  return peer.Port() == ownPort && local.Resolve(mine) && peer.Resolve(theirs) &&
         mine.front() == theirs.front();
}

bool CTernSmtpClient::SendAll(std::string_view text) {
  long waited = 0;
  while (!text.empty()) {
    if (!Connected() || Expired() || (m_StopRequested && m_StopRequested())) return false;
    long slice = std::min({kSliceMs, LeftMs(), m_Limits.sendMs - waited});
    if (slice <= 0) return false;
    long sent = m_Connection.SendWithin(text, slice);
    if (sent < 0) return false;
    // The send time-out counts only time in which the peer takes nothing.
    waited = sent > 0 ? 0 : waited + slice;
    text.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool CTernSmtpClient::ReadLine(std::string& line) {
  CTernString text;
  long silent = 0;
  for (;;) {
    if (!Connected() || Expired() || (m_StopRequested && m_StopRequested())) return false;
    size_t before = text.Length();
    long n = m_Connection.ReceiveLine(text, "\n", 1, kSmtpReplyLineLimit, true);
    if (n < 0 || m_Connection.Overlong()) return false;
    if (text.Str().ends_with("\n")) break;
    if (m_Connection.Closed() || !m_Connection.TimedOut()) return false;
    silent = text.Length() > before ? 0 : silent + kSliceMs;
    if (silent >= m_Limits.replyMs) return false;
  }
  line = text.Str();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

TernSmtpReply CTernSmtpClient::Broken() {
  TernSmtpReply reply;
  reply.broken = true;
  if (Connected()) m_Connection.Close();
  return reply;
}

TernSmtpReply CTernSmtpClient::ReadReply() {
  TernSmtpReply reply;
  for (int lines = 0;; ++lines) {
    std::string line;
    if (lines == kSmtpReplyLineCount || !ReadLine(line)) {
      TernSmtpReply broken = Broken();
      broken.text = reply.text;
      return broken;
    }
    if (!reply.text.empty()) reply.text += ' ';
    reply.text += Printable(line);
    if (line.size() < 4 || line[3] != '-') {
      reply.code = CodeOf(line);
      break;
    }
  }
  reply.outcome = ClassOf(reply.text);
  return reply;
}

TernSmtpReply CTernSmtpClient::Command(std::string_view text) {
  if (HasControl(text)) {
    TernSmtpReply refused;
    refused.outcome = TernReplyClass::Permanent;
    return refused;
  }
  std::string line(text);
  line += "\r\n";
  if (!SendAll(line)) return Broken();
  return ReadReply();
}

std::string CTernSmtpClient::Transparent(std::string_view piece, bool& atLineStart, bool& afterCR) {
  std::string out;
  out.reserve(piece.size() + 8);
  for (char c : piece) {
    if (atLineStart) {
      if (c == '.') out += '.';
      atLineStart = false;
    }
    if (c == '\n') {
      if (!afterCR) out += '\r';
      out += '\n';
      atLineStart = true;
      afterCR = false;
      continue;
    }
    out += c;
    afterCR = c == '\r';
  }
  return out;
}

TernSmtpReply CTernSmtpClient::SendBody(CTernMessage& message) {
  if (!message.Rewind()) return Broken();
  bool atLineStart = true, afterCR = false;
  std::string out, piece;
  for (;;) {
    int32_t n = message.ReadLine(piece);
    if (n < 0) return Broken();
    if (n == 0) break;
    out += Transparent(piece, atLineStart, afterCR);
    if (out.size() >= kBodyBlock) {
      if (!SendAll(out)) return Broken();
      out.clear();
    }
  }
  // The last line ends in CR LF before the end marker, whatever the body held.
  if (!atLineStart) out += afterCR ? "\n" : "\r\n";
  out += ".\r\n";
  if (!SendAll(out)) return Broken();
  return ReadReply();
}

void CTernSmtpClient::Quit() {
  if (!Connected()) return;
  // The deadline may have passed; QUIT still gets a short chance to go out.
  if (SendAll("QUIT\r\n") && Connected()) ReadReply();
  if (Connected()) m_Connection.Close();
}
