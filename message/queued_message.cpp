// CTernQueuedMessage: identifiers, the message's lock, the envelope file and the
// body file.
#include "message/queued_message.h"

#include <cstdio>
#include <new>

#include "base/exception.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "log/eventlog.h"
#include "message/clock.h"
#include "message/random.h"
#include "platform/clock.h"
#include "platform/replace.h"

namespace {

// New identifiers tried before Create gives up: 32678 numbers per second are
// available, so reaching this means the directory cannot be used.
constexpr int kCreateAttempts = 10000;

bool ReportWriteError(const std::string& path) {
  TernReportEventF(TernEventType::Error, kMsgErrorWritingFile, path);
  return false;
}

}  // namespace

CTernQueuedMessage::CTernQueuedMessage(std::string identifier, std::string directory)
    : m_Identifier(std::move(identifier)),
      m_Directory(std::move(directory)),
      m_Lock("QXMSG" + m_Identifier) {}

CTernQueuedMessage::~CTernQueuedMessage() {
  if (m_Body) CloseBody();
  Release();
}

std::unique_ptr<CTernQueuedMessage> CTernQueuedMessage::Make(const std::string& identifier,
                                                             const std::string& directory) {
  if (!IsValidIdentifier(identifier)) return nullptr;
  try {
    return std::unique_ptr<CTernQueuedMessage>(new CTernQueuedMessage(identifier, directory));
  } catch (const std::bad_alloc&) {
    TernReportEvent(TernEventType::Error, kMsgMemoryAllocationFailed);
  } catch (const CTernException&) {
    // The lock could not be made; reported by the exception.
  }
  return nullptr;
}

std::string CTernQueuedMessage::NewIdentifier() {
  struct tm local = PlatformLocalTime(CTernClock::Now());
  char text[48];
  std::snprintf(text, sizeof text, "M%04d%02d%02d%02d%02d%02d%05d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                TernRandom() % 32678);
  return text;
}

bool CTernQueuedMessage::IsValidIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > 64) return false;
  for (char c : identifier) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool CTernQueuedMessage::SetAside(const std::string& identifier, const std::string& directory) {
  if (!IsValidIdentifier(identifier)) return false;
  std::string path = PathJoin(directory, identifier + ".env");
  CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string text;
  bool read = file.Open() && file.Read(text) >= 0;
  file.Close();
  TernEnvelope envelope;
  if (!read || text.empty() || TernParseEnvelope(text, envelope)) return false;
  std::string aside = path + ".bad";
  if (!FileRename(path, aside, false)) return false;
  TernReportEventF(TernEventType::Error, kMsgEnvelopeMovedAside, identifier, aside);
  return true;
}

std::string CTernQueuedMessage::EnvelopePath() const {
  return PathJoin(m_Directory, m_Identifier + ".env");
}

std::string CTernQueuedMessage::BodyPath() const {
  return PathJoin(m_Directory, m_Identifier + ".mes");
}

bool CTernQueuedMessage::CreateEmptyEnvelope() {
  CTernDiskFile file(EnvelopePath(), TernFileMode::Create | TernFileMode::Exclusive |
                                         TernFileMode::NoLock);
  if (!file.Open()) return false;
  return file.Close();
}

std::unique_ptr<CTernQueuedMessage> CTernQueuedMessage::Create(const std::string& directory) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::unique_ptr<CTernQueuedMessage> message = Make(NewIdentifier(), directory);
    if (!message) return nullptr;
    if (message->m_Lock.TryLock() != 0) continue;  // someone works on that identifier
    bool taken = FileExists(message->EnvelopePath(), false);
    bool created = !taken && message->CreateEmptyEnvelope();
    message->m_Lock.Unlock();
    if (taken) continue;
    if (!created) return nullptr;
    message->m_Envelope.created = message->m_Envelope.lastChange = CTernClock::Now();
    message->m_Placeholder = true;
    return message;
  }
  ReportWriteError(PathJoin(directory, "M*.env"));
  return nullptr;
}

bool CTernQueuedMessage::ReadEnvelope() {
  CTernDiskFile file(EnvelopePath(), TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open()) return false;
  std::string text;
  bool read = file.Read(text) >= 0;
  file.Close();
  return read && TernParseEnvelope(text, m_Envelope);
}

std::unique_ptr<CTernQueuedMessage> CTernQueuedMessage::Open(const std::string& identifier,
                                                             const std::string& directory) {
  std::unique_ptr<CTernQueuedMessage> message = Make(identifier, directory);
  if (!message || !message->Hold()) return nullptr;
  bool ok = message->ReadEnvelope();
  message->Release();
  return ok ? std::move(message) : nullptr;
}

std::unique_ptr<CTernQueuedMessage> CTernQueuedMessage::OpenHeld(const std::string& identifier,
                                                                 const std::string& directory,
                                                                 bool& busy) {
  busy = false;
  std::unique_ptr<CTernQueuedMessage> message = Make(identifier, directory);
  if (!message) return nullptr;
  if (message->m_Lock.TryLock() != 0) {
    busy = true;
    return nullptr;
  }
  message->m_Held = true;
  if (!message->ReadEnvelope()) return nullptr;  // the destructor releases the lock
  return message;
}

bool CTernQueuedMessage::Hold() {
  if (m_Held) return true;
  try {
    m_Lock.Lock();
  } catch (const CTernException&) {
    return false;  // reported by the exception
  }
  m_Held = true;
  return true;
}

void CTernQueuedMessage::Release() {
  if (!m_Held) return;
  m_Held = false;
  try {
    m_Lock.Unlock();
  } catch (const CTernException&) {
    // Reported by the exception (released by another thread than the holder).
  }
}

void CTernQueuedMessage::Touch() { m_Envelope.lastChange = CTernClock::Now(); }

void CTernQueuedMessage::SetSender(const std::string& sender) {
  m_Envelope.sender = sender;
  Touch();
}

void CTernQueuedMessage::SetPeer(const std::string& peer) {
  m_Envelope.peer = peer;
  Touch();
}

void CTernQueuedMessage::AddRecipient(const std::string& address, const std::string& secondAddress,
                                      const std::string& reasonText, int status, int reason,
                                      int attempts, time_t lastAttempt, int notice) {
  TernRecipient r{status, reason, attempts, lastAttempt, notice, address, secondAddress, reasonText};
  m_Envelope.recipients.insert(m_Envelope.recipients.begin(), std::move(r));
  Touch();
}

void CTernQueuedMessage::SetKind(int kind) { m_Envelope.kind = kind; }

void CTernQueuedMessage::MarkNotified() { m_Envelope.notified = true; }

void CTernQueuedMessage::MarkComplete() {
  m_Envelope.complete = true;
  Touch();
}

bool CTernQueuedMessage::OpenBodyForWriting(uint32_t options) {
  if (m_Body) return false;
  m_BodyFile = std::make_unique<CTernDiskFile>(
      BodyPath(), TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock);
  m_Body = std::make_unique<CTernMessage>(*m_BodyFile, 0, 0, options, TernMessageMode::Write);
  if (m_Body->Open(m_Envelope.sender, m_Identifier)) return true;
  m_Body.reset();
  m_BodyFile.reset();
  return false;
}

bool CTernQueuedMessage::WriteBody(std::string_view text) {
  return m_Body && !m_Body->IsReading() && m_Body->Write(text);
}

bool CTernQueuedMessage::CloseBody(bool durable) {
  if (!m_Body) return false;
  bool writing = !m_Body->IsReading();
  bool ok = m_Body->Close();
  if (writing) {
    m_Envelope.size = m_Body->Size();
    Touch();
    // The body's directory entry goes to disk with the envelope's rename, whose
    // directory sync comes before anything names the message.
    if (ok && durable && PlatformSyncPath(BodyPath()) != 0) ok = ReportWriteError(BodyPath());
  }
  m_Body.reset();
  m_BodyFile.reset();
  return ok;
}

bool CTernQueuedMessage::OpenBodyForReading(uint32_t options) {
  if (m_Body) return false;
  m_BodyFile = std::make_unique<CTernDiskFile>(BodyPath(),
                                               TernFileMode::ReadOnly | TernFileMode::NoLock);
  m_Body = std::make_unique<CTernMessage>(
      *m_BodyFile, 0, 0, options | TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
  if (m_Body->Open()) return true;
  m_Body.reset();
  m_BodyFile.reset();
  return false;
}

std::string CTernQueuedMessage::HeaderValue(std::string_view name) {
  return m_Body ? m_Body->Header(name) : std::string();
}

int CTernQueuedMessage::HopCount() { return m_Body ? m_Body->HopCount() : 0; }

bool CTernQueuedMessage::SaveEnvelope(bool durable) {
  std::string path = EnvelopePath();
  // An envelope saved now would name a body that is not all there.
  if (m_Body && !m_Body->IsReading()) return ReportWriteError(path);
  std::string text = TernEnvelopeText(m_Envelope, CTernClock::Now());
  if (m_Placeholder && SaveInPlace(text, durable)) return true;
  auto write = [&text](CTernFile& file) {
    return file.Write(text) == static_cast<int32_t>(text.size());
  };
  // The envelope is replaced whole (a reader sees the old one or the new) and keeps
  // no previous version.
  if (FileReplace(path, write, TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock,
                  "_new", "", durable))
    return true;
  std::string fresh = path + "_new";
  if (FileExists(fresh, false)) FileRemove(fresh, false);
  return ReportWriteError(path);
}

bool CTernQueuedMessage::SaveInPlace(const std::string& text, bool durable) {
  std::string path = EnvelopePath();
  CTernDiskFile file(path, TernFileMode::Truncate | TernFileMode::NoLock);
  if (!file.Open()) return false;
  bool ok = file.Write(text) == static_cast<int32_t>(text.size());
  if (ok && durable) ok = file.Sync();
  ok = file.Close() && ok;
  if (ok && durable) ok = PlatformSyncParentDir(path) == 0;
  if (ok) m_Placeholder = false;
  return ok;
}

bool CTernQueuedMessage::Remove() {
  if (m_Body) CloseBody();
  bool ok = true;
  for (const std::string& path : {EnvelopePath(), BodyPath(), EnvelopePath() + "_new"})
    if (FileExists(path, false)) ok = FileRemove(path, false) && ok;
  return ok;
}
