// The approval secret, the signature of an approval request and its verification.
#include "transport/approval.h"

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/lock.h"
#include "base/message_codes.h"
#include "base/report.h"
#include "base/sha256.h"
#include "message/message.h"

namespace {

CTernLock g_SecretLock;  // guards g_Secret
std::string g_Secret;

std::string Secret() {
  CTernLockGuard guard(g_SecretLock);
  return g_Secret;
}

// Each field with its length before it, so that no two different triples sign the
// same text.
std::string SignedText(std::string_view identifier, std::string_view sender, std::string_view recipient) {
  std::string text;
  for (std::string_view field : {identifier, sender, recipient}) {
    text += std::to_string(field.size());
    text += ':';
    text.append(field);
  }
  return text;
}

}  // namespace

bool TernLoadApprovalSecret(const std::string& path) {
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string secret;
  bool read = file.Open() && file.Read(secret) >= 0;
  file.Close();
  if (!read || secret.size() < kApprovalSecretSize) {
    TernReportEventF(TernEventType::Warning, kMsgApprovalSecretUnusable, path);
    secret.clear();
  }
  TernSetApprovalSecret(std::move(secret));
  return !Secret().empty();
}

void TernSetApprovalSecret(std::string secret) {
  CTernLockGuard guard(g_SecretLock);
  g_Secret = std::move(secret);
}

std::string TernApprovalSignature(std::string_view identifier, std::string_view sender,
                                  std::string_view recipient) {
  std::string secret = Secret();
  if (secret.empty()) return "";
  return TernDigestHex(TernHmacSha256(secret, SignedText(identifier, sender, recipient)));
}

bool TernApprovalVerifies(CTernMessage& notice) {
  std::string identifier, sender, recipient, signature;
  if (!notice.FindHeader(kApprovalIdField, identifier) || !notice.FindHeader(kApprovalFromField, sender) ||
      !notice.FindHeader(kApprovalToField, recipient) ||
      !notice.FindHeader(kApprovalSignatureField, signature))
    return false;
  std::string expected = TernApprovalSignature(identifier, sender, recipient);
  return !expected.empty() && TernEqualInConstantTime(expected, signature);
}

bool TernIsApprovalField(std::string_view name) {
  return TernBeginsNoCase(name, "X-Notify-") || TernEqualsNoCase(name, kApprovalIdField);
}

bool CTernApprovalFieldFilter::Keep(std::string_view piece, bool beginsLine) {
  if (!m_InHeader) return true;
  if (!beginsLine || piece.empty()) return !m_Dropping;
  if (piece == "\r\n" || piece == "\n") {
    m_InHeader = false;
    m_Dropping = false;
    return true;
  }
  if (piece[0] == ' ' || piece[0] == '\t') return !m_Dropping;
  size_t colon = piece.find(':');
  std::string_view name = piece.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  m_Dropping = colon != std::string_view::npos && TernIsApprovalField(name);
  return !m_Dropping;
}
