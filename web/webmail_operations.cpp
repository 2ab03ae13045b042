// The web mail pages' operations: the mailbox list and its selection box, the
// mailbox view (its table, range line and sort order), the pieces of a message
// being written (its headers, attachments and hidden fields) and the address book's
// selection box. Everything they write that comes from mail, forms or files is
// escaped.
#include <ctime>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "store/mailbox_names.h"
#include "web/http_form.h"
#include "web/template_engine.h"
#include "web/template_tag.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// The status icons by flag, with their texts for those who do not see them.
constexpr struct {
  uint32_t flag;
  const char *image, *text;
} kStatusIcons[] = {
    {TernMailFlag::Unread, "stat_unread", "Unread"},
    {TernMailFlag::Replied, "stat_reply", "Replied"},
    {TernMailFlag::Forwarded, "stat_forward", "Forwarded"},
    {TernMailFlag::Edited, "stat_edit", "Edited"},
    {TernMailFlag::Attachments, "stat_attach", "Has attachments"},
    {TernMailFlag::AwaitingApproval, "approv", "Waiting for approval"},
    {TernMailFlag::Approved, "approved", "Approved"},
    {TernMailFlag::Bounced, "bounced", "Bounced"},
};

// The view's columns: sort button, ascending order and heading.
constexpr struct {
  const char *button, *heading;
  int order;
} kColumns[] = {
    {"SortByStatus", "Status", 3}, {"SortByFrom", "From", 5},  {"SortBySubject", "Subject", 1},
    {"SortByDate", "Date", 7},     {"SortBySize", "Size", 9},
};

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  c.page.request.GetVariable(name, value);
  return value;
}

bool Has(const TemplateCall& c, const char* key) { return c.params.count(key) != 0; }

int Write(const TemplateCall& c, std::string_view text) {
  c.page.request.Write(text);
  return kTemplateDone;
}

std::string CurrentBox(const TemplateCall& c) {
  std::string box = Variable(c, "Mailbox");
  return box.empty() ? kTernInbox : box;
}

bool ShowsRecipients(const std::string& box) {
  return TernEqualsNoCase(box, kTernDrafts) || TernEqualsNoCase(box, kTernSentMail);
}

// A size for people: bytes, KB or MB.
std::string Size(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return std::to_string((bytes + 512) / 1024) + " KB";
  return std::to_string((bytes + 512 * 1024) / (1024 * 1024)) + " MB";
}

std::string ShortDate(const TernTocEntry& e) {
  if (e.date <= 0) return e.dateText;
  time_t t = static_cast<time_t>(e.date);
  tm local{};
  char text[32];
  if (!localtime_r(&t, &local) || strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return e.dateText;
  return text;
}

// "/path?name=value&..." with every value URL-encoded.
std::string Link(const char* path, std::initializer_list<std::pair<const char*, std::string>> query) {
  std::string url = path;
  char joint = '?';
  for (const auto& [name, value] : query) {
    url += joint + std::string(name) + "=" + HttpUrlEncode(value);
    joint = '&';
  }
  return url;
}

int MailBoxTable(const TemplateCall& c) {
  std::string out =
      "<table class=\"mailboxes\">\r\n<thead><tr><th scope=\"col\">Mailbox</th><th scope=\"col\">Messages</th>"
      "<th scope=\"col\">Unread</th><th scope=\"col\">Size</th></tr></thead>\r\n<tbody>\r\n";
  for (const std::string& name : WebMailBoxes(c.page.user)) {
    TernMailboxCounts counts;
    bool known = false;
    {
      CTernOpenMailbox box = WebMailOpen(c.page.user, name);
      known = box && box->Counts(counts) == 0;
    }
    std::string url = Link("/Display", {{"what", kPageViewMailbox}, {"Mailbox", name}, {"FirstMessage", "1"}});
    out += "<tr" + std::string(counts.unread > 0 ? " class=\"unread\"" : "") + "><th scope=\"row\"><a href=\"" +
           TemplateEscape(url) + "\">" + TemplateEscape(name) + "</a></th>";
    if (known)
      out += "<td>" + std::to_string(counts.messages) + "</td><td>" + std::to_string(counts.unread) + "</td><td>" +
             Size(counts.bytes) + "</td></tr>\r\n";
    else
      out += "<td colspan=\"3\">In use; try again shortly</td></tr>\r\n";
  }
  return Write(c, out + "</tbody>\r\n</table>\r\n");
}

int MailBoxBox(const TemplateCall& c) {
  std::string current = WebMailBoxName(c.page.user, CurrentBox(c));
  std::string out = TemplateSelectOpen(c.params);
  if (Has(c, "insertblank")) out += "<option value=\"\"></option>\r\n";
  for (const std::string& name : WebMailBoxes(c.page.user)) {
    bool isCurrent = name == current;
    if ((Has(c, "nospecial") && WebMailSpecialBox(name)) || (Has(c, "excludeCurrent") && isCurrent)) continue;
    TemplateOption(out, name, Has(c, "preselectCurrent") && isCurrent);
  }
  if (Has(c, "specialTrash"))
    out += "<option value=\"" + std::string(kWebMailDeleteTarget) + "\">Delete for good</option>\r\n";
  return Write(c, out + "</select>\r\n");
}

std::string StatusIcons(uint32_t flags) {
  std::string out;
  for (const auto& icon : kStatusIcons)
    if (flags & icon.flag)
      out += std::string("<img src=\"/images/") + icon.image + ".gif\" width=\"16\" height=\"16\" alt=\"" + icon.text +
             "\" title=\"" + icon.text + "\">";
  return out;
}

std::string ColumnHeadings(int order, bool recipients) {
  std::string out = "<thead><tr><th scope=\"col\"><span class=\"visually-hidden\">Select</span></th>";
  for (const auto& column : kColumns) {
    bool who = std::string_view(column.button) == "SortByFrom";
    int ascending = who && recipients ? 11 : column.order;
    std::string sort;
    if (order == ascending) sort = " aria-sort=\"ascending\"";
    if (order == ascending + 1) sort = " aria-sort=\"descending\"";
    out += "<th scope=\"col\"" + sort + "><button type=\"submit\" class=\"sort\" name=\"" +
           (who && recipients ? "SortByTo" : column.button) + ".x\" value=\"1\">" +
           (who && recipients ? "To" : column.heading) + "</button></th>";
  }
  return out + "</tr></thead>\r\n";
}

std::string MessageRow(const std::string& box, const TernTocEntry& e) {
  bool draft = TernEqualsNoCase(box, kTernDrafts);
  std::string url = draft ? Link("/GoToCompose", {{"Mailbox", box}, {"Message", e.id}})
                          : Link("/Display", {{"what", kPageViewMessage}, {"Mailbox", box}, {"Message", e.id}});
  std::string subject = WebMailDecodeHeader(e.subject);
  if (subject.empty()) subject = WebMailCall::Text(kMsgNoSubject);
  std::string who = WebMailDecodeHeader(ShowsRecipients(box) ? e.recipient : e.sender);
  return "<tr" + std::string(e.Unread() ? " class=\"unread\"" : "") +
         "><td><input type=\"checkbox\" name=\"Message\" value=\"" + TemplateEscape(e.id) + "\" aria-label=\"Select " +
         TemplateEscape(subject) + "\"></td><td class=\"status\">" + StatusIcons(e.flags) + "</td><td>" +
         TemplateEscape(who) + "</td><td><a href=\"" + TemplateEscape(url) + "\">" + TemplateEscape(subject) +
         "</a></td><td>" + TemplateEscape(ShortDate(e)) + "</td><td>" + Size(e.size) + "</td></tr>\r\n";
}

int MessageTable(const TemplateCall& c) {
  CTernOpenMailbox box = WebMailOpen(c.page.user, CurrentBox(c));
  if (!box) return Write(c, "<p class=\"notice error\">" + WebMailCall::Text(kMsgMailboxOpenFailed) + "</p>\r\n");
  TernMailboxCounts counts;
  box->Counts(counts);
  int32_t first = WebMailFirstShown(WebMailNumber(Variable(c, "FirstMessage")), counts.messages);
  std::string out = "<table class=\"messages\">\r\n" + ColumnHeadings(box->SortOrder(), ShowsRecipients(box->Name())) +
                    "<tbody>\r\n";
  TernTocEntry e;
  for (int32_t n = first; n < first + kWebMailPageSize && box->Info(n, e) == 0; ++n) out += MessageRow(box->Name(), e);
  if (counts.messages == 0) out += "<tr><td colspan=\"6\">This mailbox is empty.</td></tr>\r\n";
  return Write(c, out + "</tbody>\r\n</table>\r\n");
}

int TOCInfo(const TemplateCall& c) {
  CTernOpenMailbox box = WebMailOpen(c.page.user, CurrentBox(c));
  TernMailboxCounts visible, all;
  if (box) box->Counts(visible), box->Counts(all, true);
  int32_t first = WebMailFirstShown(WebMailNumber(Variable(c, "FirstMessage")), visible.messages);
  int32_t last = std::min(first + kWebMailPageSize - 1, visible.messages);
  if (visible.messages == 0) first = last = 0;
  char text[96];
  int32_t hidden = all.messages - visible.messages;
  if (hidden > 0)
    std::snprintf(text, sizeof text, "%d - %d of %d (%d unavailable)", first, last, visible.messages, hidden);
  else
    std::snprintf(text, sizeof text, "%d - %d of %d", first, last, visible.messages);
  return Write(c, text);
}

int SetSortBy(const TemplateCall& c) {
  std::string name = WebMailBoxName(c.page.user, CurrentBox(c));
  int order = 0;
  {
    CTernOpenMailbox box = WebMailOpen(c.page.user, name);
    if (box) order = box->SortOrder();
  }
  c.page.request.ReplaceVariable("SortBy", std::to_string(order));
  c.page.request.ReplaceVariable("ShowWho", ShowsRecipients(name) ? "To" : "From");
  if (!name.empty()) c.page.request.ReplaceVariable("Mailbox", name);
  return kTemplateDone;
}

// Whether the page lists header in `exclude` (names separated by commas or blanks).
bool Excluded(const TemplateCall& c, std::string_view header) {
  std::string list = TemplateParam(c.params, "exclude");
  for (size_t start = 0, end; start < list.size(); start = end + 1) {
    end = std::min(list.find_first_of(", ", start), list.size());
    if (end > start && TernEqualsNoCase(std::string_view(list).substr(start, end - start), header)) return true;
  }
  return false;
}

int PlaceHeaders(const TemplateCall& c) {
  std::string out;
  for (const auto& [name, value] : c.page.request.Variables()) {
    bool header = name.starts_with(kHeaderPrefix), attachment = name.starts_with(kAttachPrefix);
    if ((!header && !attachment) || (header && Excluded(c, name.substr(std::string_view(kHeaderPrefix).size()))))
      continue;
    out += "<input type=\"hidden\" name=\"" + TemplateEscape(name) + "\" value=\"" + TemplateEscape(value) + "\">\r\n";
  }
  return Write(c, out);
}

int ShowHeader(const TemplateCall& c) {
  std::string out;
  for (const auto& [key, value] : c.params) {
    if (key == "usequotes") continue;
    std::string text = TemplateEscape(Variable(c, kHeaderPrefix + key));
    out += Has(c, "usequotes") ? "\"" + text + "\"" : text;
  }
  return Write(c, out);
}

int AttachmentsBox(const TemplateCall& c) {
  std::string out = TemplateSelectOpen(c.params);
  for (const auto& [name, value] : c.page.request.Variables())
    if (name.starts_with(kAttachPrefix)) TemplateOption(out, value, false);
  return Write(c, out + "</select>\r\n");
}

int AddressBookBox(const TemplateCall& c) {
  std::vector<TernAddressBookEntry> entries;
  {
    std::unique_ptr<CTernAddressBook> book = WebMailBook(c.page.user);
    if (book && book->Loaded()) entries = book->List();
  }
  std::vector<std::string> chosen = WebMailValues(Variable(c, TemplateParam(c.params, "name")));
  std::string out = TemplateSelectOpen(c.params);
  for (const TernAddressBookEntry& e : entries) {
    std::string value = Has(c, "addrValue") ? e.address : e.nickname;
    bool selected = std::find(chosen.begin(), chosen.end(), value) != chosen.end();
    out += "<option value=\"" + TemplateEscape(value) + "\"" + (selected ? " selected" : "") + ">" +
           TemplateEscape(e.nickname) + " &lt;" + TemplateEscape(e.address) + "&gt;</option>\r\n";
  }
  return Write(c, out + "</select>\r\n");
}

}  // namespace

void WebMailAddOperations(WebContext& web) {
  web.AddOperation("MailBoxTable", MailBoxTable);
  web.AddOperation("MailBoxBox", MailBoxBox);
  web.AddOperation("MessageTable", MessageTable);
  web.AddOperation("TOCInfo", TOCInfo);
  web.AddOperation("SetSortBy", SetSortBy);
  web.AddOperation("PlaceHeaders", PlaceHeaders);
  web.AddOperation("ShowHeader", ShowHeader);
  web.AddOperation("AttachmentsBox", AttachmentsBox);
  web.AddOperation("AddressBookBox", AddressBookBox);
}
