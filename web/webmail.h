// The web mail client: the handlers of its forms and the operations of its pages.
// A user who passed the login and the web client gate manages mailboxes, reads,
// moves and deletes messages (through "Trash"), writes with attachments, keeps
// drafts (in "Drafts", each carrying X-Message-Revision), replies, forwards,
// redirects, edits stored messages, keeps an address book, and approves or bounces
// mail held for approval.
//
// Mail a user sends is queued like mail the SMTP server accepts: a queued message
// in the queue directory, filtered by the content filter for the user as sender,
// in the fast queue, with the delivery threads woken; a copy goes to "Sent-Mail"
// and the draft leaves "Drafts".
//
// What a user can reach is only their own: every mailbox name a form gives goes
// through the store's name checks and must be one of the user's mailboxes (or one
// of the four special ones), a message is found only by its ID in that mailbox, an
// approval is acted upon only for a notice that verifies, once, and a form can
// write no header line that would inject others or speak for someone else. Mail
// shown in a page is escaped; attachments go out as downloads the browser does not
// run.
//
// Handlers run on the HTTP workers; each opens the mailboxes it works on through
// the process's mailbox table and closes them before the next page is shown.
#pragma once

#include <functional>
#include <string>

class CTernQueue;
class WebContext;

// Where the mail a user sends goes.
struct WebMailSetup {
  std::string queueDirectory;   // queued messages are made here (MailDir)
  CTernQueue* fastQueue = nullptr;
  std::string hostName;         // this server's name in Received lines
  std::function<void()> wake;   // tells the delivery threads of queued mail
};

// Sets the web mail handlers (CreateBox ... AddressCompose) and adds the page
// operations (MailBoxTable, MessageTable, ShowMessage ...) and the web mail
// navigation links to web. Call before the routes are registered; setup is kept.
void WebAddMail(WebContext& web, WebMailSetup setup);
