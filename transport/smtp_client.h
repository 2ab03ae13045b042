// The client side of SMTP: one connection from the delivery engine to a remote mail
// server, its commands and its replies, and the message body sent after DATA.
//
// Remote servers are strangers, so every wait is bounded:
//   - connecting takes at most 30 seconds, a reply line at most 300 seconds of
//     silence, a block sent at most 300 seconds, and the whole conversation ends at
//     its deadline however the peer trickles its bytes;
//   - a reply line holds at most 512 bytes and a reply at most 100 continuation
//     lines; anything longer ends the conversation as a temporary failure;
//   - the stop predicate is asked at least once a second, so a stop of the server
//     ends every wait.
// Commands are refused before they are sent when an argument holds a control
// character (CR, LF, NUL, ...): an address cannot smuggle a command of its own in.
// The body goes out with every line ended by CR LF (a bare LF becomes CR LF), a
// "." doubled at every line start, and CR LF "." CR LF at its end.
//
// One object is used by one thread. It closes its connection when destroyed.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "net/tcp_endpoint.h"

class CTernMessage;

// How a reply decides a stage: its first character 2 or 3 accepts, 5 refuses for
// good, anything else (or no reply at all) fails for now.
enum class TernReplyClass { Accepted, Permanent, Temporary };

struct TernSmtpReply {
  TernReplyClass outcome = TernReplyClass::Temporary;
  int code = 0;      // the three digits of the last line, 0 when there were none
  std::string text;  // the reply's lines without their line ends, joined by single spaces
  bool broken = false;  // no usable reply: the connection is no longer fit for use
};

// The bounds of one conversation.
struct TernSmtpClientLimits {
  long connectMs = 30 * 1000;
  long replyMs = 300 * 1000;        // silence allowed within one reply line
  long sendMs = 300 * 1000;         // time allowed for one block to be taken
  long conversationMs = 3600 * 1000;  // the whole conversation, connection included
};

// Bytes a reply line may hold (its line end included) and lines a reply may have.
inline constexpr size_t kSmtpReplyLineLimit = 512;
inline constexpr int kSmtpReplyLineCount = 100;

class CTernSmtpClient {
 public:
  // stopRequested is asked during every wait; a true answer ends the conversation.
  explicit CTernSmtpClient(std::function<bool()> stopRequested,
                           TernSmtpClientLimits limits = TernSmtpClientLimits());
  ~CTernSmtpClient();
  CTernSmtpClient(const CTernSmtpClient&) = delete;
  CTernSmtpClient& operator=(const CTernSmtpClient&) = delete;

  // Connects to address (network byte order) and port within the limits; the
  // conversation's deadline starts here. False when it cannot be reached in time.
  bool Connect(uint32_t address, uint16_t port);
  // Whether the connection came back to this very server: its peer is its own
  // local address, on ownPort (the port this server listens on for SMTP).
  bool LeadsTo(uint16_t ownPort);

  // Reads one reply (the greeting, or the answer to a command).
  TernSmtpReply ReadReply();
  // Sends text followed by CR LF and reads the reply. A text with a control
  // character is not sent: the answer is a permanent refusal (code 0).
  TernSmtpReply Command(std::string_view text);
  // Sends the body of message (open for reading; rewound first) and the end
  // marker, and reads the final reply.
  TernSmtpReply SendBody(CTernMessage& message);
  // Sends QUIT, reads its reply if it comes, and closes the connection.
  void Quit();
  bool Connected() const { return m_Connection.State() == TernTcpState::Connected; }

  // Whether text holds a byte below 0x20 or the byte 0x7F.
  static bool HasControl(std::string_view text);
  // The body's lines as they go on the wire, for text read from a message in
  // pieces: atLineStart tells whether the piece begins a line and is updated.
  static std::string Transparent(std::string_view piece, bool& atLineStart, bool& pendingCR);

 private:
  // Sends all of text within the limits; false when the peer does not take it.
  bool SendAll(std::string_view text);
  // Reads one reply line into line (line end removed); false on silence, an
  // overlong line, the deadline, a stop or the peer's close.
  bool ReadLine(std::string& line);
  bool Expired() const;
  long LeftMs() const;
  TernSmtpReply Broken();

  std::function<bool()> m_StopRequested;
  TernSmtpClientLimits m_Limits;
  CTernTcpEndpoint m_Connection;
  int64_t m_DeadlineMs = 0;  // on the steady clock, in milliseconds
};
