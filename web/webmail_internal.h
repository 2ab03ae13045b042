// What the web mail handlers and page operations share: the request being handled
// for a logged-in user (WebMailCall), the user's mailboxes with the checks every
// name from a form goes through, the parts of a message as the pages see them, and
// the routines several handlers run (moving and deleting messages, saving a
// draft, sending). Only web/webmail_*.cpp include this.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message/envelope.h"
#include "store/address_book.h"
#include "store/mailbox_manager.h"
#include "store/mailbox_table.h"
#include "web/http_request.h"
#include "web/web_context.h"
#include "web/webmail.h"

class CTernMessage;
class CTernQueuedMessage;

// The pages of the web mail client.
inline constexpr char kPageMailboxes[] = "mailboxes_u_l.mhtml";
inline constexpr char kPageViewMailbox[] = "view_mailbox_u_l.mhtml";
inline constexpr char kPageViewMessage[] = "view_message_u_l.mhtml";
inline constexpr char kPageCompose[] = "compose_u_l.mhtml";
inline constexpr char kPageComposeAddresses[] = "compose_addrs_u_l.mhtml";
inline constexpr char kPageEdit[] = "edit_u_l.mhtml";
inline constexpr char kPageBook[] = "addressbook_u_l.mhtml";
inline constexpr char kPageBookEntry[] = "addressbook2_u_l.mhtml";

// The move target that deletes for good.
inline constexpr char kWebMailDeleteTarget[] = "--delete--";
// The prefixes of the variables that carry a message being written and the
// address-book selections.
inline constexpr char kHeaderPrefix[] = "HDR-";
inline constexpr char kAttachPrefix[] = "ATTACH-";
inline constexpr char kSelectionPrefix[] = "ADL-";
// How long a handler waits for a mailbox that another holder (delivery, POP3)
// has open.
inline constexpr int kWebMailBoxWait = 10;
// The longest text of one part a message page shows.
inline constexpr size_t kWebMailShownText = 1024 * 1024;

// Texts of the web mail pages' own refusals.
inline constexpr char kWebMailTextBadHeader[] =
    "Error: A header of the message holds characters that a header cannot hold.";
inline constexpr char kWebMailTextMoveFailed[] = "Error: Could not move message.";
inline constexpr char kWebMailTextSpecialMailbox[] =
    "Error: Inbox, Trash, Drafts and Sent-Mail cannot be deleted or renamed.";
inline constexpr char kWebMailTextNotEmpty[] = "Error: Could not delete or rename the mailbox.";
inline constexpr char kWebMailTextExists[] = "Error: A mailbox of that name exists already.";
inline constexpr char kWebMailTextAnswered[] = "Error: This message has been approved or bounced already.";
inline constexpr char kWebMailTextBadBookEntry[] =
    "Error: A nickname or address may not hold line breaks and must parse as an address.";

// The four mailboxes every web mail user has, in the order the pages list them.
inline constexpr const char* kWebMailSpecialBoxes[] = {"Inbox", "Drafts", "Sent-Mail", "Trash"};
bool WebMailSpecialBox(std::string_view name);

// Holds a user's mailbox manager for a scope (from the process's mailbox table).
class WebMailManager {
 public:
  explicit WebMailManager(const std::string& user);
  ~WebMailManager();
  WebMailManager(const WebMailManager&) = delete;
  WebMailManager& operator=(const WebMailManager&) = delete;
  // Null when there is no table or the user name is not valid.
  CTernMailboxManager* Get() const { return m_Manager; }

 private:
  CTernMailboxTable* m_Table;
  std::string m_User;
  CTernMailboxManager* m_Manager;
};

// The user's own mail address (a bare name completed with the local domain).
std::string WebMailAddress(const std::string& user);
// The name under which user keeps the mailbox a form calls name: a special
// mailbox's own spelling, or the user's spelling of one of the user's mailboxes.
// Empty when the user has no mail service, the name fails the store's checks, or
// the user has no such mailbox.
std::string WebMailBoxName(const std::string& user, std::string_view name);
// The user's mailboxes: the special ones first, then the others in list order.
std::vector<std::string> WebMailBoxes(const std::string& user);
// Opens a mailbox of user named as WebMailBoxName accepts it (nothing is made for
// any other name: the result is then empty).
CTernOpenMailbox WebMailOpen(const std::string& user, std::string_view name);
// The number of the visible message whose mailbox ID is id and that is not marked
// for removal; 0 when there is none.
int32_t WebMailFind(const CTernMailbox& box, std::string_view id);
// "Could not find message in mailbox (" id "). ".
std::string WebMailNotFound(std::string_view id);

// The parts of a message as the pages treat them: the part whose text is the body
// (0 for a message that is not multipart, -1 when there is none) and the others,
// which are attachments.
struct WebMailAttachment {
  int32_t part = 0;      // 0: the whole body of a message that is not multipart
  std::string name;      // its file name, or "No Name"
  std::string type;      // its content type, "application/octet-stream" when none
};
struct WebMailParts {
  int32_t body = -1;
  std::string bodyType = "text/plain";
  std::string bodyCharset = "us-ascii";
  std::vector<WebMailAttachment> attachments;
};
// With htmlBody an HTML part may be the body (the pages show its text); without,
// only plain text is, and HTML stays an attachment (so a message written anew
// from its parts loses nothing). REQUIRES: message open for reading.
WebMailParts WebMailPartsOf(CTernMessage& message, bool htmlBody);
// The decoded text of part (0: the whole body) as UTF-8, at most limit bytes
// (cut set when there was more); HTML becomes its text. scratchPath names a
// temporary file the part is decoded into.
std::string WebMailPartText(CTernMessage& message, int32_t part, const std::string& type,
                            const std::string& charset, size_t limit, bool& cut, const std::string& scratchPath);
// Writes part (0: the whole body) decoded into a new file at path. False when the
// part does not exist or the file cannot be written.
bool WebMailExtractPart(CTernMessage& message, int32_t part, const std::string& path);

// A temporary file in the HTTP server's mail directory, removed with the object
// (or, after a crash, when the server next starts).
class WebMailScratch {
 public:
  explicit WebMailScratch(const HttpRequest& request) : m_Path(request.NewSpoolPath()) {}
  ~WebMailScratch();
  WebMailScratch(const WebMailScratch&) = delete;
  WebMailScratch& operator=(const WebMailScratch&) = delete;
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
};

// One web mail request of a logged-in user who passed the web client gate.
class WebMailCall {
 public:
  WebMailCall(WebContext& web, HttpRequest& request, const WebMailSetup& setup, WebUser user);

  HttpRequest& Request() { return m_Request; }
  const WebMailSetup& Setup() const { return m_Setup; }
  const std::string& User() const { return m_User.name; }
  const std::string& Client() const { return m_Request.ClientAddress(); }
  // The user's own mail address.
  const std::string& Address() const { return m_Address; }

  // A request variable (empty when absent).
  std::string Var(const std::string& name) const;
  bool Has(const std::string& name) const;
  // Whether a button was pressed: its name or its name + ".x" came with the form.
  bool Pressed(const std::string& button) const;
  void Set(const std::string& name, const std::string& value);
  void Drop(const std::string& name);
  // Removes every variable whose name begins with prefix.
  void DropAll(std::string_view prefix);
  // The text of a message code.
  static std::string Text(int code);

  // Shows page through the page display, with error as `error` (none when empty).
  // REQUIRES: every mailbox the handler opened is closed.
  void Show(const std::string& page, const std::string& error = "");
  // Writes a Web Client record of the user and client with the given fields.
  void Record(long action, long result, std::initializer_list<std::pair<int, std::string>> fields) const;

 private:
  WebContext& m_Web;
  HttpRequest& m_Request;
  const WebMailSetup& m_Setup;
  WebUser m_User;
  std::string m_Address;
};

using WebMailHandler = std::function<void(WebMailCall& call)>;

// Where a handler goes next: a page and the error it shows (none when empty).
struct WebMailNext {
  std::string page;
  std::string error;
};

// The message `Message` of the mailbox `Mailbox` ("Inbox" when not given), open
// and found; `Mailbox` is set to the mailbox's own spelling. When the mailbox
// cannot be opened or the message is not in it, failure says what to show.
struct WebMailCurrent {
  CTernOpenMailbox box;
  int32_t n = 0;
  TernTocEntry entry;
  WebMailNext failure;
  explicit operator bool() const { return failure.page.empty(); }
};
WebMailCurrent WebMailOpenCurrent(WebMailCall& call);

// The buttons of a message's page that prepare another page: each reads the
// current message and fills the variables the next page shows.
// Reply and ReplyAll: a draft to the sender (and, with all, the other recipients).
WebMailNext WebMailPrepareReply(WebMailCall& call, bool all);
// Forward: a draft carrying the message's header and text, and its attachments.
WebMailNext WebMailPrepareForward(WebMailCall& call);
// AddToBook: the sender as a new address-book entry.
WebMailNext WebMailPrepareBookEntry(WebMailCall& call);
// Edit: the message's headers, text and attachments for the editing page.
WebMailNext WebMailPrepareEdit(WebMailCall& call);

// Moves message n of from to the mailbox to (a copy is added there, then n is
// marked for removal in from; the caller compacts from), writing a Message Moved
// record. False, with nothing marked, when the copy cannot be made.
bool WebMailMove(WebMailCall& call, CTernMailbox& from, int32_t n, CTernMailbox& to);
// Deletes message n of box: into "Trash" (a Message Moved record), or, in "Trash"
// itself, for good (a Message Deleted record). Compacts box. False when it failed.
bool WebMailDelete(WebMailCall& call, CTernMailbox& box, int32_t n);
// Marks message n of box for removal with a Message Deleted record.
void WebMailMarkDeleted(WebMailCall& call, CTernMailbox& box, int32_t n);

// Puts the headers, body and attachment names of message into the variables of a
// message being written ("HDR-", MessageBody, "ATTACH-"), replacing any there.
void WebMailLoadMessage(WebMailCall& call, CTernMessage& message);

// Which message a new draft replaces and how it is written.
struct WebMailDraftSpec {
  std::string mailbox;            // where the draft is kept ("Drafts", or the edited message's mailbox)
  std::string replaces;           // the mailbox ID of the message it takes the place of (may be empty)
  std::string sourceMailbox;      // where the attachments to copy are (empty: same as mailbox)
  std::string sourceId;           // the message they are copied from (empty: replaces)
  bool edit = false;              // keep the stored message's sender, date and trace
};
// Saves the message being written (the request's variables) as a new message in
// spec.mailbox in place of spec.replaces: its attachments copied from the source
// message unless named in DeleteAttached, an uploaded AttachFile added. Sets
// `Message` to the new mailbox ID and the "ATTACH-" variables to its attachments.
// On failure sets error to the text to show and returns false; nothing was changed.
bool WebMailSaveDraft(WebMailCall& call, const WebMailDraftSpec& spec, std::string& error);

// A message a page sends, and what became of it.
struct WebMailOutgoing {
  std::string sender;                    // the envelope sender
  std::vector<TernRecipient> recipients;
  int kind = TernMessageKind::Ordinary;
  bool filter = true;                    // the content filter checks it
  // Writes what follows the Received line: the header and the body.
  std::function<bool(CTernQueuedMessage& queued)> writeBody;
  // Runs once the message is queued, while no delivery thread can take it yet.
  std::function<void(CTernQueuedMessage& queued)> whileHeld;
};
struct WebMailSent {
  std::string identifier, subject;
  long size = 0;
};
// The Received line of a message sent from the web client.
std::string WebMailReceivedLine(const WebMailCall& call, const std::string& identifier);
// Makes and queues the message: a new queued message in the queue directory, the
// Received line, what writeBody writes, the content filter's checks (unless
// out.filter is false), the envelope and the fast queue (each on disk), then the
// delivery threads are woken. False, with nothing left behind, when any step fails.
bool WebMailQueue(WebMailCall& call, const WebMailOutgoing& out, WebMailSent& sent);

// Sends the draft `Message` of "Drafts": queues it for its To, CC and BCC, files a
// copy in "Sent-Mail", removes the draft, marks the message answered or forwarded.
// The page to show next.
WebMailNext WebMailSendDraft(WebMailCall& call);
// Redirects message `Message` of `Mailbox` to the addresses of resentTo, resentCc
// and resentBcc, with Resent- lines naming the user. The page to show next.
WebMailNext WebMailRedirect(WebMailCall& call, const std::string& resentTo, const std::string& resentCc,
                            const std::string& resentBcc);
// The answer to an approval notice (`Message` of `Mailbox`): approve releases the
// held message to its recipient, otherwise it is bounced to its sender.
WebMailNext WebMailAnswerApproval(WebMailCall& call, bool approve);

// The address book of the user, held for the caller's scope (null without a
// mailbox table).
std::unique_ptr<CTernAddressBook> WebMailBook(const std::string& user);
// Fills the address-book selections of the To, CC and BCC fields from the message
// being written: "ADL-" + field holds the nicknames of the entries whose addresses
// the field names, "ADL-" + field + "-Other" the field's other addresses.
void WebMailFillSelections(WebMailCall& call);
// A whole number a form or a header gives; 0 when the text is not one from 0 to
// 2^31 - 1.
int32_t WebMailNumber(std::string_view text);
// The values of a variable given several times (joined by 0x1C).
std::vector<std::string> WebMailValues(const std::string& joined);

// Adds the handlers and operations of one part of the client.
void WebMailAddBoxHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup);
void WebMailAddReadHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup);
void WebMailAddWriteHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup);
void WebMailAddBookHandlers(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup);
void WebMailAddOperations(WebContext& web);
void WebMailAddMessageOperations(WebContext& web);
// Sets handler under name: it runs after the login (shown with `action` set to
// name when there is none) and the web client gate, for a user with a mailbox table.
void WebMailSetHandler(WebContext& web, const std::shared_ptr<const WebMailSetup>& setup, const std::string& name,
                       WebHandlerKind kind, WebMailHandler handler);
