// The envelope of a queued message and its file format (text, lines ended by
// CR LF):
//   "# 1 <time of writing>", complete flag, creation time, time of last change,
//   body size, kind, notified flag, sender, peer text; then per recipient, newest
//   first, "status reason attempts last-attempt notice", address, second address,
//   reason text.
// Reading ignores the first line, needs lines 2 to 9, and reads recipient groups to
// the end of the file; a group whose first line is not exactly five numbers, or
// that is cut short, fails the whole reading. Texts lose any CR or LF when written,
// so that no text can add lines (or recipients) to an envelope.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Recipient statuses.
namespace TernRecipientStatus {
enum : int { Waiting = 1, GivenUp = 2, Done = 3, Closed = 4 };
}  // namespace TernRecipientStatus

// Message kinds.
namespace TernMessageKind {
enum : int { Ordinary = 0, Resubmitted = 1, Bounce = 2, Notification = 3, ApprovalRequest = 4 };
}  // namespace TernMessageKind

struct TernRecipient {
  int status = TernRecipientStatus::Waiting;
  int reason = 0;
  int attempts = 0;
  time_t lastAttempt = 0;
  int notice = 0;
  std::string address;
  std::string secondAddress;
  std::string reasonText;
};

struct TernEnvelope {
  bool complete = false;
  time_t created = 0;
  time_t lastChange = 0;
  long size = 0;
  int kind = TernMessageKind::Ordinary;
  bool notified = false;
  std::string sender;
  std::string peer;
  std::vector<TernRecipient> recipients;  // newest first
};

// The file text of an envelope written at time now.
std::string TernEnvelopeText(const TernEnvelope& envelope, time_t now);

// Reads an envelope file's text. Recipients come back in the reverse order of the
// file (each is put at the front as it is read). False when the text is malformed;
// envelope is then unchanged.
[[nodiscard]] bool TernParseEnvelope(std::string_view text, TernEnvelope& envelope);
