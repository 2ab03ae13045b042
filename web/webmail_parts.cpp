// The parts of a message as the web mail pages see them: which text is the body,
// which parts are attachments, and the decoded content of one part.
#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/message_codes.h"
#include "message/message.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

constexpr char kOctetStream[] = "application/octet-stream";

bool IsType(const TernContentDescription& d, std::string_view type) { return TernEqualsNoCase(d.type, type); }

bool IsText(const TernContentDescription& d) { return TernBeginsNoCase(d.type, "text/"); }

WebMailAttachment AttachmentOf(int32_t part, const TernContentDescription& d) {
  std::string name = !d.filename.empty() ? d.filename : d.name;
  return {part, name.empty() ? WebMailCall::Text(kMsgNoName) : name, d.typeGiven ? d.type : kOctetStream};
}

}  // namespace

WebMailParts WebMailPartsOf(CTernMessage& message, bool htmlBody) {
  WebMailParts parts;
  TernContentDescription top = message.Description();
  if (!top.IsMultipart()) {
    bool shown = htmlBody ? IsText(top) : IsType(top, "text/plain") || !top.typeGiven;
    if (shown && !TernEqualsNoCase(top.disposition, "attachment")) {
      parts.body = 0;
      parts.bodyType = top.type;
      parts.bodyCharset = top.charset;
    } else {
      parts.attachments.push_back(AttachmentOf(0, top));
    }
    return parts;
  }
  std::vector<TernContentDescription> descriptions;
  int32_t count = message.PartCount();
  for (int32_t n = 1; n <= count; ++n) {
    TernContentDescription d;
    message.Part(n, d);
    descriptions.push_back(std::move(d));
  }
  // The body: the first plain text that is not an attachment, else the first HTML.
  for (std::string_view type : {"text/plain", htmlBody ? "text/html" : "text/plain"}) {
    for (int32_t n = 1; n <= count && parts.body < 0; ++n) {
      const TernContentDescription& d = descriptions[static_cast<size_t>(n) - 1];
      if (IsType(d, type) && !TernEqualsNoCase(d.disposition, "attachment")) {
        parts.body = n;
        parts.bodyType = d.type;
        parts.bodyCharset = d.charset;
      }
    }
  }
  for (int32_t n = 1; n <= count; ++n)
    if (n != parts.body) parts.attachments.push_back(AttachmentOf(n, descriptions[static_cast<size_t>(n) - 1]));
  return parts;
}

bool WebMailExtractPart(CTernMessage& message, int32_t part, const std::string& path) {
  if (part < 0 || part > message.PartCount()) return false;
  // Mail of other people: the file is for the server alone.
  CTernDiskFile file(path, TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock |
                               TernFileMode::Private);
  CTernMessage target(file, 0, 0, TernMessageOption::BodyOnly, TernMessageMode::Write);
  if (!target.Open()) return false;
  bool ok = message.Extract(part, target) == 0;
  return target.Close() && ok;
}

std::string WebMailPartText(CTernMessage& message, int32_t part, const std::string& type, const std::string& charset,
                            size_t limit, bool& cut, const std::string& scratchPath) {
  cut = false;
  if (!WebMailExtractPart(message, part, scratchPath)) return "";
  CTernDiskFile file(scratchPath, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string text;
  if (file.Open()) {
    int32_t size = file.Size();
    cut = size > static_cast<int32_t>(limit);
    text.resize(cut ? limit : static_cast<size_t>(std::max<int32_t>(size, 0)));
    int32_t got = text.empty() ? 0 : file.Read(text.data(), static_cast<int32_t>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    file.Close();
  }
  text = WebMailToUtf8(text, charset);
  return TernEqualsNoCase(type, "text/html") ? WebMailHtmlToText(text) : text;
}
