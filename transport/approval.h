// Approval requests and how they are recognised. When the content filter holds a
// message back, the approver gets a notification that carries the held message
// and three header fields naming it:
//
//   X-OldSMTP-ID: the held message's identifier
//   X-Notify-From: its sender
//   X-Notify-To: the recipient it was held for
//   X-Notify-Signature: HMAC-SHA-256 of the three, under the installation's secret
//
// Web mail releases or bounces a held message from such a notification, so the
// fields must be the server's own: the signature is made with a secret of this
// installation (a file of random bytes, mode 0600, that -setup makes in the local
// directory), and the SMTP server removes every X-Notify-* and X-OldSMTP-ID field
// from mail it receives. Web mail acts only on a notification for which
// TernApprovalVerifies answers true.
//
// The secret is process-wide: the start-up loads it, the stop sequence forgets it.
// Every function is safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CTernMessage;

inline constexpr char kApprovalIdField[] = "X-OldSMTP-ID";
inline constexpr char kApprovalFromField[] = "X-Notify-From";
inline constexpr char kApprovalToField[] = "X-Notify-To";
inline constexpr char kApprovalSignatureField[] = "X-Notify-Signature";

// The secret's file in the local directory, and its size in bytes.
inline constexpr char kApprovalSecretFile[] = "approval-secret";
inline constexpr size_t kApprovalSecretSize = 32;

// Reads the secret from path and makes it the process's. False, with warning
// message kMsgApprovalSecretUnusable, when the file cannot be read or holds fewer
// than kApprovalSecretSize bytes: approval requests then carry no signature and
// none verifies.
bool TernLoadApprovalSecret(const std::string& path);
// Sets the process's secret (empty: none); tests and the start-up.
void TernSetApprovalSecret(std::string secret);

// The signature of a request about message identifier, held from sender for
// recipient (lower-case hexadecimal); empty when the process has no secret.
std::string TernApprovalSignature(std::string_view identifier, std::string_view sender,
                                  std::string_view recipient);

// Whether notice (a message open for reading, its header read) carries the three
// fields and a signature that the process's secret confirms for them. An
// approval that does not verify must not be acted upon.
bool TernApprovalVerifies(CTernMessage& notice);

// Whether name is a header field that only this server may write: X-Notify-*
// (the signature among them) and X-OldSMTP-ID, in any letter case.
bool TernIsApprovalField(std::string_view name);

// Drops the approval fields from a message's header while it is received: each
// piece of text passes through Keep with whether it begins a line (a long line may
// come in several pieces), and is kept when the answer is true. Folded lines go
// with their field; the header ends at the first empty line.
class CTernApprovalFieldFilter {
 public:
  bool Keep(std::string_view piece, bool beginsLine);

 private:
  bool m_InHeader = true;
  bool m_Dropping = false;
};
