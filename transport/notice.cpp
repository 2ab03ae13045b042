// CTernNotice: making, queueing and discarding a bounce or notification.
#include "transport/notice.h"

#include "base/message_codes.h"
#include "base/messages.h"
#include "base/file_ops.h"
#include "message/clock.h"
#include "message/envelope.h"
#include "message/queue.h"
#include "message/queued_message.h"
#include "net/mail_address.h"
#include "transport/content_filter.h"
#include "transport/delivery_records.h"

namespace {

std::string Text(int code) {
  CTernMessages messages;
  return messages.Text(code);
}

bool IsEmptyLine(std::string_view line) { return line == "\r\n" || line == "\n"; }

}  // namespace

std::string TernPostmasterAddress() {
  CTernMailAddress address;
  if (address.Parse("Postmaster") != 0) return "Postmaster";
  return address.Form(kMailFormCanonical);
}

std::string TernHeaderValue(std::string_view text) {
  std::string value(text);
  for (char& c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') c = ' ';
  return value;
}

CTernNotice::CTernNotice(const TernNoticeContext& context) : m_Context(context) {}

CTernNotice::~CTernNotice() {
  if (m_Message) Discard();
}

const std::string& CTernNotice::Identifier() const {
  static const std::string kNone;
  return m_Message ? m_Message->Identifier() : kNone;
}

bool CTernNotice::Fail(int warning, int info) {
  int kind = m_Kind == TernMessageKind::Bounce ? kMsgBounceGenerated : kMsgNotificationGenerated;
  TernDeliveryRecord(kActionMessageRejected, 0,
                     {{kActWarning, Text(warning)}, {kActInfo, Text(info)}, {kActInfo2, Text(kind)}});
  return false;
}

bool CTernNotice::Begin(int kind, const std::string& addressee, const std::string& subject,
                        const std::vector<std::pair<std::string, std::string>>& fields) {
  m_Kind = kind;
  m_Addressee = TernHeaderValue(addressee);
  m_Subject = subject;
  m_Message = CTernQueuedMessage::Create(m_Context.directory);
  if (!m_Message || !m_Message->Hold()) {
    m_Message.reset();
    return Fail(kMsgInternalError, kMsgCouldNotCreateMessage);
  }
  m_Message->SetKind(kind);
  m_Message->AddRecipient(addressee);
  if (!m_Message->OpenBodyForWriting()) return Fail(kMsgInternalError, kMsgCouldNotOpenMessage);
  std::string header = "From: " + TernPostmasterAddress() + "\r\nTo: " + m_Addressee +
                       "\r\nSubject: " + subject + "\r\n";
  for (const auto& [name, value] : fields) header += name + ": " + TernHeaderValue(value) + "\r\n";
  return Write(header + "\r\n");
}

bool CTernNotice::Write(std::string_view text) {
  if (!m_Message || !m_Message->WriteBody(text)) return Fail(kMsgInternalError, kMsgCouldNotWriteMessage);
  return true;
}

bool CTernNotice::AppendCopy(CTernQueuedMessage& original, bool headerOnly) {
  if (!original.OpenBodyForReading()) return true;
  bool ok = true;
  std::string line, block;
  for (;;) {
    int32_t n = original.Body()->ReadLine(line);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (headerOnly && IsEmptyLine(line)) break;
    block += line;
    if (block.size() >= 64 * 1024) {
      ok = Write(block);
      block.clear();
      if (!ok) break;
    }
  }
  original.CloseBody();
  if (!ok) return Fail(kMsgInternalError, kMsgCouldNotWriteMessage);
  return Write(block);
}

bool CTernNotice::Queue(const std::string& reference) {
  if (!m_Message) return false;
  bool saved = m_Message->CloseBody(true);
  if (saved) saved = FilterMessage(*m_Message, {m_Context.lists, FilterDictionaries()}) == 0;
  if (saved) {
    m_Message->MarkComplete();
    saved = m_Message->SaveEnvelope();
  }
  if (!saved) return Fail(kMsgInternalError, kMsgCouldNotSaveMessage);
  if (!m_Context.fastQueue ||
      !m_Context.fastQueue->Enqueue(m_Message->Identifier(), CTernClock::Now(), 0, true))
    return Fail(kMsgInternalError, kMsgCouldNotQueueMessage);
  int info = m_Kind == TernMessageKind::Bounce ? kMsgBounceGenerated : kMsgNotificationGenerated;
  TernDeliveryRecord(kActionMessageAccepted, 0,
                     {{kActSmtpId, m_Message->Identifier()},
                      {kActTo, m_Addressee},
                      {kActSize, std::to_string(m_Message->Size())},
                      {kActSubject, m_Subject},
                      {kActInfo, Text(info)},
                      {kActInfo2, Text(kMsgReferenceSmtpId) + std::string(": ") + reference}});
  return true;
}

void CTernNotice::Release() {
  if (!m_Message) return;
  m_Message->Release();
  m_Message.reset();
  if (m_Context.wake) m_Context.wake();
}

void CTernNotice::Discard() {
  if (!m_Message) return;
  m_Message->Remove();
  m_Message->Release();
  m_Message.reset();
}
