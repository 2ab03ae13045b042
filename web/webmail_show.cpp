// The message page's operation (ShowMessage): the header table, the text of the
// body and the links to the attachments of the current message, with the approval
// buttons on a notice that waits for the user's answer. Showing a message marks it
// read. Everything from the mail is decoded to UTF-8 and escaped; HTML is shown as
// its text only, its markup offered as a download.
#include "base/ascii.h"
#include "base/message_codes.h"
#include "message/message.h"
#include "store/mailbox_names.h"
#include "web/http_form.h"
#include "web/template_engine.h"
#include "web/template_tag.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// The headers of the table, in the order shown.
constexpr const char* kShownHeaders[] = {"Resent-From", "Resent-To", "Resent-CC", "Resent-Date", "From",
                                         "Subject",     "Date",      "To",        "CC"};
// Images a page may show in place: types that run nothing.
constexpr const char* kInlineImages[] = {"image/gif", "image/jpeg", "image/png"};

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  c.page.request.GetVariable(name, value);
  return value;
}

std::string PartLink(const std::string& box, const std::string& id, int32_t part, bool inlined) {
  std::string url = "/GetAttachment?Mailbox=" + HttpUrlEncode(box) + "&Message=" + HttpUrlEncode(id) +
                    "&PartNumber=" + std::to_string(part);
  return inlined ? url + "&Inline=1" : url;
}

std::string HeaderTable(CTernMessage& message) {
  std::string out = "<table class=\"headers\">\r\n";
  for (const char* name : kShownHeaders) {
    std::string value;
    if (!message.FindHeader(name, value)) continue;
    out += "<tr><th scope=\"row\">" + std::string(name) + "</th><td>" +
           TemplateEscape(WebMailDecodeHeader(value)) + "</td></tr>\r\n";
  }
  return out + "</table>\r\n";
}

std::string Attachments(const std::string& box, const std::string& id, const WebMailParts& parts) {
  if (parts.attachments.empty()) return "";
  std::string out = "<h2>Attachments</h2>\r\n<ul class=\"attachments\">\r\n";
  for (const WebMailAttachment& a : parts.attachments) {
    std::string type = WebMailContentType(a.type);
    out += "<li><a href=\"" + TemplateEscape(PartLink(box, id, a.part, false)) + "\" download>" +
           TemplateEscape(WebMailFileName(a.name)) + "</a> <span class=\"type\">" + TemplateEscape(type) +
           "</span>";
    for (const char* image : kInlineImages)
      if (type == image)
        out += "<br><img class=\"inline\" src=\"" + TemplateEscape(PartLink(box, id, a.part, true)) + "\" alt=\"" +
               TemplateEscape(WebMailFileName(a.name)) + "\">";
    out += "</li>\r\n";
  }
  return out + "</ul>\r\n";
}

int ShowMessage(const TemplateCall& c) {
  std::string name = Variable(c, "Mailbox"), id = Variable(c, "Message");
  CTernOpenMailbox box = WebMailOpen(c.page.user, name.empty() ? kTernInbox : name);
  int32_t n = box ? WebMailFind(*box, id) : 0;
  TernTocEntry entry;
  std::unique_ptr<CTernMessage> message = n && box->Info(n, entry) == 0 ? box->OpenMessage(n) : nullptr;
  if (!message) {
    c.page.request.Write("<p class=\"notice error\" role=\"alert\">" + TemplateEscape(WebMailNotFound(id)) +
                         "</p>\r\n");
    return kTemplateDone;
  }
  std::string out = HeaderTable(*message);
  WebMailParts parts = WebMailPartsOf(*message, true);
  bool html = parts.body >= 0 && TernEqualsNoCase(parts.bodyType, "text/html");
  // The body is decoded into a file of the HTTP server's mail directory.
  auto* http = dynamic_cast<HttpRequest*>(&c.page.request);
  if (parts.body >= 0 && http) {
    WebMailScratch scratch(*http);
    bool cut = false;
    std::string text =
        WebMailPartText(*message, parts.body, parts.bodyType, parts.bodyCharset, kWebMailShownText, cut, scratch.Path());
    if (html)
      out += "<p class=\"notice\">This message was written in HTML; it is shown as text. <a href=\"" +
             TemplateEscape(PartLink(box->Name(), id, parts.body, false)) + "\" download>Download the HTML</a></p>\r\n";
    out += "<pre class=\"body\">" + TemplateEscape(text) + "</pre>\r\n";
    if (cut) out += "<p class=\"notice\">The text is longer than a page shows; the rest is left out.</p>\r\n";
  }
  out += Attachments(box->Name(), id, parts);
  if (entry.flags & TernMailFlag::AwaitingApproval)
    out += "<p class=\"approval\">This message waits for your approval. "
           "<button type=\"submit\" name=\"Approve.x\" value=\"1\">Approve</button> "
           "<button type=\"submit\" name=\"Bounce.x\" value=\"1\">Bounce</button></p>\r\n";
  message.reset();
  if (entry.Unread()) box->ClearFlags(n, TernMailFlag::Unread);
  c.page.request.Write(out);
  return kTemplateDone;
}

}  // namespace

void WebMailAddMessageOperations(WebContext& web) { web.AddOperation("ShowMessage", ShowMessage); }
