// A bounce or notification being made: a new queued message in the queue
// directory with the empty sender and one recipient, held by its maker from
// creation until it is queued (or discarded), so that no delivery thread takes it
// half made or takes a pair of them before both are queued.
//
// Failures are recorded in the activity log (Message Rejected, "Internal error."
// with what failed and whether a bounce or notification was being made) and
// answered false; the caller then discards what it made.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CTernQueue;
class CTernQueuedMessage;
class ListStore;

// Where bounces and notifications go: the queue directory they are made in, the
// fast queue they are put in, the lists their recipients are checked against, and
// how the delivery threads are told of them.
struct TernNoticeContext {
  std::string directory;
  CTernQueue* fastQueue = nullptr;
  ListStore* lists = nullptr;
  std::function<void()> wake;
};

class CTernNotice {
 public:
  explicit CTernNotice(const TernNoticeContext& context);
  // Discards a notice that was not released.
  ~CTernNotice();
  CTernNotice(const CTernNotice&) = delete;
  CTernNotice& operator=(const CTernNotice&) = delete;

  // Makes the message (kind 2 bounce, 3 notification, 4 approval request) for
  // addressee and writes its header: From (the postmaster), To, Subject, the extra
  // fields in order, and the empty line. Control characters in the values become
  // spaces, so that no value adds a header line of its own.
  bool Begin(int kind, const std::string& addressee, const std::string& subject,
             const std::vector<std::pair<std::string, std::string>>& fields = {});
  bool Write(std::string_view text);
  // Appends original's text as stored, or with headerOnly its header alone (up to
  // the empty line that ends it). A body that is gone adds nothing: the notice is
  // worth sending without it.
  bool AppendCopy(CTernQueuedMessage& original, bool headerOnly);
  // Closes the body (on disk), runs the list checks of the content filter, saves
  // the envelope and puts the notice in the fast queue (on disk); records Message
  // Accepted with reference (the identifier of the message reported on).
  bool Queue(const std::string& reference);
  // Lets a queued notice go to the delivery threads and wakes them.
  void Release();
  // Removes the notice's files, queued or not. REQUIRES: not released.
  void Discard();

  const std::string& Identifier() const;

 private:
  bool Fail(int warning, int info);

  const TernNoticeContext& m_Context;
  std::unique_ptr<CTernQueuedMessage> m_Message;
  int m_Kind = 0;
  std::string m_Addressee;
  std::string m_Subject;
};

// The postmaster's address: "Postmaster" completed by the address parser with
// the local domain.
std::string TernPostmasterAddress();

// A text as one header value: control characters become spaces.
std::string TernHeaderValue(std::string_view text);
