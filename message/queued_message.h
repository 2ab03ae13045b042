// A queued message: a message waiting for delivery, kept on disk in the queue
// directory D as a pair of files named after its identifier I ("M%08d%06d%05d":
// local date, local time, a random number below 32678): the envelope D/I.env
// (sender, peer, recipients with their delivery marks; message/envelope.h) and the
// body D/I.mes (the message text as it is delivered). Whoever works on the message
// holds the cross-process lock "QXMSG" + I.
//
// Durability: CloseBody(true) puts the body on disk before it returns;
// SaveEnvelope() writes the envelope to I.env_new, puts it on disk, renames it over
// I.env and puts the directory on disk, the body's directory entry with it (the
// foundation's one replacement routine, keeping no previous envelope; the first
// save of a new message writes the empty envelope that Create made in place).
// Otherwise the envelope is replaced whole, and it cannot be saved while the body
// is still being written, so an envelope on disk never names a half-written body.
//
// One object is used by one thread at a time; the thread that holds the message's
// lock releases it. Failures are reported by message code and return false or null.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/disk_file.h"
#include "base/named_lock.h"
#include "message/envelope.h"
#include "message/message.h"

class CTernQueuedMessage {
 public:
  // Makes a new message in directory: a fresh identifier whose lock is free and
  // whose envelope does not exist yet, and an empty envelope file. The lock is not
  // held afterwards; the caller holds the message while it builds it. Null when the
  // envelope cannot be created.
  static std::unique_ptr<CTernQueuedMessage> Create(const std::string& directory);
  // Reads the envelope of an existing message under its lock (waiting for it), and
  // releases the lock. Null when the identifier is not a valid one or the envelope
  // cannot be read or is malformed.
  static std::unique_ptr<CTernQueuedMessage> Open(const std::string& identifier,
                                                  const std::string& directory);
  // As Open, but takes the lock without waiting and keeps it held on success.
  // busy is set when another thread or process holds the lock (null is returned).
  static std::unique_ptr<CTernQueuedMessage> OpenHeld(const std::string& identifier,
                                                      const std::string& directory, bool& busy);
  // Closes the body if open, and releases the lock if held.
  ~CTernQueuedMessage();
  CTernQueuedMessage(const CTernQueuedMessage&) = delete;
  CTernQueuedMessage& operator=(const CTernQueuedMessage&) = delete;

  // A new identifier from the local date and time and the random generator.
  static std::string NewIdentifier();
  // Identifiers are 1 to 64 letters, digits, "-" and "_", so that one can never
  // name a file outside the queue directory.
  static bool IsValidIdentifier(std::string_view identifier);
  // Sets aside the envelope of identifier in directory when it holds text that is
  // not an envelope: it is renamed to I.env.bad (the body stays) and message 473
  // reports it, so that a broken message is kept for inspection, never dropped
  // silently. An empty envelope (a message being made) and one that cannot be read
  // now are left alone. True when the envelope was set aside.
  static bool SetAside(const std::string& identifier, const std::string& directory);

  const std::string& Identifier() const { return m_Identifier; }
  const std::string& Directory() const { return m_Directory; }
  std::string EnvelopePath() const;
  std::string BodyPath() const;

  // Takes the message's lock, waiting for it; false when the lock fails.
  bool Hold();
  void Release();
  bool Held() const { return m_Held; }

  // The envelope.
  bool Complete() const { return m_Envelope.complete; }
  time_t Created() const { return m_Envelope.created; }
  time_t LastChange() const { return m_Envelope.lastChange; }
  long Size() const { return m_Envelope.size; }
  int Kind() const { return m_Envelope.kind; }
  bool Notified() const { return m_Envelope.notified; }
  const std::string& Sender() const { return m_Envelope.sender; }
  const std::string& Peer() const { return m_Envelope.peer; }
  // Newest first. Callers that change entries call Touch() to record the change.
  std::vector<TernRecipient>& Recipients() { return m_Envelope.recipients; }
  const TernEnvelope& Envelope() const { return m_Envelope; }

  void SetSender(const std::string& sender);
  void SetPeer(const std::string& peer);
  // Puts a recipient at the front of the list.
  void AddRecipient(const std::string& address, const std::string& secondAddress = "",
                    const std::string& reasonText = "",
                    int status = TernRecipientStatus::Waiting, int reason = 0, int attempts = 0,
                    time_t lastAttempt = 0, int notice = 0);
  void SetKind(int kind);
  void MarkNotified();
  void MarkComplete();
  // Sets the time of last change to now.
  void Touch();

  // The body. Writing creates (or empties) I.mes; options are the message writer's
  // (by default the header completion, with the sender as From and the identifier
  // as Message-Id). Reading never looks for mailbox separator lines.
  bool OpenBodyForWriting(uint32_t options = TernMessageOption::Complete);
  bool WriteBody(std::string_view text);
  // Closes the body; after writing, records its size. With durable, the body file is
  // put on disk first (message 29 when that fails); its directory entry is, with the
  // next SaveEnvelope().
  bool CloseBody(bool durable = false);
  bool OpenBodyForReading(uint32_t options = 0);
  // The open body, null when none is open.
  CTernMessage* Body() { return m_Body.get(); }
  // The value of a header of the open body (empty when absent or no body is open).
  std::string HeaderValue(std::string_view name);
  // The "Received" headers of the open body.
  int HopCount();

  // Writes the whole envelope, replacing the file; with durable it is on disk when
  // this returns (without, a crash of the process still leaves the old envelope or
  // the new one, but a power loss may undo the save: for outcomes that may be
  // repeated). Message 29 on failure (the old envelope then stays as it was).
  bool SaveEnvelope(bool durable = true);
  // Deletes the envelope, then the body (closing it first).
  bool Remove();

 private:
  CTernQueuedMessage(std::string identifier, std::string directory);
  static std::unique_ptr<CTernQueuedMessage> Make(const std::string& identifier,
                                                  const std::string& directory);
  bool ReadEnvelope();
  bool CreateEmptyEnvelope();
  // The first save of a message this object created: its envelope is still the
  // empty file that reserved the identifier, which nothing reads as an envelope,
  // so it is written where it is instead of through a new file. False when that
  // fails (the ordinary save then takes over).
  bool SaveInPlace(const std::string& text, bool durable);

  std::string m_Identifier;
  std::string m_Directory;
  TernEnvelope m_Envelope;
  CTernNamedLock m_Lock;
  bool m_Held = false;
  bool m_Placeholder = false;  // the envelope on disk is the empty one Create made
  // The body file comes before the message over it, which must go first.
  std::unique_ptr<CTernDiskFile> m_BodyFile;
  std::unique_ptr<CTernMessage> m_Body;
};
