// Web mail: writing a message being composed or edited into its mailbox in place of
// its previous revision: the header lines the form may give, the text, the
// attachments kept from the stored message and the one just uploaded.
#include <algorithm>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/message_codes.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/mime_codec.h"
#include "store/toc_entry.h"
#include "web/webmail_internal.h"
#include "web/webmail_text.h"

namespace {

// Whole base64 lines (57 bytes each) are read at a time.
constexpr int32_t kEncodeBlock = 57 * 72;
// The headers a page shows as fields, in the order they are written.
constexpr const char* kShownHeaders[] = {"To", "CC", "BCC", "Subject"};
// The headers an edited message keeps from the stored one, whatever the form says.
bool KeptByEdit(std::string_view name) {
  for (std::string_view kept : {"From", "Sender", "Date", "Received", "Return-Path", "Message-Id", "X-OldSMTP-ID"})
    if (TernEqualsNoCase(name, kept)) return true;
  return TernBeginsNoCase(name, "Resent-") || TernBeginsNoCase(name, "X-Notify-");
}

constexpr uint32_t kScratchMode =
    TernFileMode::Create | TernFileMode::Truncate | TernFileMode::NoLock | TernFileMode::Private;

// The header lines of the form's "HDR-" variables, the shown ones first; false when
// a name or value could break the header. Names the form may not set are passed over.
bool FormHeaders(WebMailCall& call, std::string& lines) {
  std::vector<std::pair<std::string, std::string>> headers;
  for (const char* shown : kShownHeaders) headers.emplace_back(shown, "");
  for (const auto& [variable, joined] : call.Request().Variables()) {
    if (!variable.starts_with(kHeaderPrefix)) continue;
    std::string name = variable.substr(std::string_view(kHeaderPrefix).size()), value = joined;
    std::replace(value.begin(), value.end(), kHttpValueSeparator, ',');
    if (!WebMailHeaderName(name) || !WebMailHeaderValue(value)) return false;
    if (WebMailReservedHeader(name)) continue;
    auto same = std::find_if(headers.begin(), headers.end(),
                             [&name](const auto& h) { return TernEqualsNoCase(h.first, name); });
    if (same == headers.end()) same = headers.insert(headers.end(), {name, ""});
    size_t start = value.find_first_not_of(" \t"), end = value.find_last_not_of(" \t");
    if (start == std::string::npos) continue;
    value = value.substr(start, end - start + 1);
    same->second += (same->second.empty() ? "" : ", ") + value;
  }
  for (const auto& [name, value] : headers)
    if (!value.empty()) lines += WebMailHeaderLine(name, WebMailEncodeHeader(name, value));
  return true;
}

bool Named(const std::string& joined, const std::string& name) {
  for (const std::string& value : WebMailValues(joined))
    if (value == name) return true;
  return false;
}

// One attachment of the new revision: where its decoded bytes are, and how it is
// named and typed.
struct Attachment {
  std::string path, name, type;
};

// Writes the file at path as a base64 attachment part.
bool WriteAttachment(CTernMessage& out, const Attachment& a) {
  if (out.BeginAttachmentPart(WebMailContentType(a.type), a.name, "attachment", "base64") != 0) return false;
  CTernDiskFile file(a.path, TernFileMode::ReadOnly | TernFileMode::NoLock);
  if (!file.Open()) return false;
  std::string block(kEncodeBlock, '\0');
  bool ok = true;
  for (int32_t got; ok && (got = file.Read(block.data(), kEncodeBlock)) > 0;)
    ok = out.Write(TernBase64Encode(std::string_view(block.data(), static_cast<size_t>(got))));
  return file.Close() && ok;
}

std::string TextHeaders(const std::string& body) {
  bool eightBit = std::any_of(body.begin(), body.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return std::string("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: ") +
         (eightBit ? "8bit" : "7bit") + "\r\n";
}

// The whole new revision into out (open for writing, header section open).
bool WriteDraft(CTernMessage& out, const std::string& header, const std::string& body,
                const std::vector<Attachment>& attachments) {
  bool ok = out.Write(header);
  if (attachments.empty()) return ok && out.Write("MIME-Version: 1.0\r\n" + TextHeaders(body) + "\r\n" + body);
  ok = ok && out.MakeMultipart() == 0 && out.EndHeaders() && out.DelimiterLine() == 0 &&
       out.Write(TextHeaders(body) + "\r\n" + body);
  for (const Attachment& a : attachments) ok = ok && WriteAttachment(out, a);
  return ok && out.DelimiterLine(true) == 0;
}

// What a save works with: the mailbox, the message replaced and the one whose
// attachments are kept, each open while the save runs.
struct Stored {
  CTernOpenMailbox box, sourceBox;
  int32_t replaced = 0;
  TernTocEntry replacedEntry;
  std::unique_ptr<CTernMessage> source, old;
};

bool OpenStored(WebMailCall& call, const WebMailDraftSpec& spec, Stored& s, std::string& error) {
  s.box = WebMailOpen(call.User(), spec.mailbox);
  if (!s.box) return error = WebMailCall::Text(kMsgMailboxOpenFailed), false;
  if (!spec.replaces.empty()) s.replaced = WebMailFind(*s.box, spec.replaces);
  if (spec.edit && (s.replaced == 0 || s.box->Info(s.replaced, s.replacedEntry) != 0))
    return error = WebMailNotFound(spec.replaces), false;
  if (s.replaced) {
    s.box->Info(s.replaced, s.replacedEntry);
    s.old = s.box->OpenMessage(s.replaced);
  }
  std::string sourceId = spec.sourceId.empty() ? spec.replaces : spec.sourceId;
  CTernMailbox* sourceBox = s.box.Get();
  if (!spec.sourceMailbox.empty() && WebMailBoxName(call.User(), spec.sourceMailbox) != s.box->Name()) {
    s.sourceBox = WebMailOpen(call.User(), spec.sourceMailbox);
    sourceBox = s.sourceBox.Get();
  }
  int32_t n = sourceBox && !sourceId.empty() ? WebMailFind(*sourceBox, sourceId) : 0;
  if (n) s.source = sourceBox->OpenMessage(n);
  return true;
}

// The header lines of the new revision other than the form's.
std::string OwnHeaders(WebMailCall& call, const WebMailDraftSpec& spec, Stored& s) {
  std::string lines;
  long revision = 0;
  if (s.old) {
    std::string text;
    s.old->FindHeader("X-Message-Revision", text);
    revision = WebMailNumber(text);
    if (spec.edit)
      for (const auto& [name, value] : s.old->Headers())
        if (KeptByEdit(name)) lines += name + ": " + value + "\r\n";
  }
  if (!spec.edit) lines = "From: " + call.Address() + "\r\nDate: " + CTernTime::Now().MailDate() + "\r\n";
  return lines + "X-Message-Revision: " + std::to_string(revision + 1) + "\r\n";
}

// The attachments kept from the source, each decoded into a scratch file.
bool KeptAttachments(WebMailCall& call, Stored& s, std::vector<std::unique_ptr<WebMailScratch>>& files,
                     std::vector<Attachment>& out) {
  if (!s.source) return true;
  std::string dropped = call.Var("DeleteAttached");
  for (const WebMailAttachment& a : WebMailPartsOf(*s.source, false).attachments) {
    std::string name = WebMailFileName(a.name);
    if (Named(dropped, name)) continue;
    files.push_back(std::make_unique<WebMailScratch>(call.Request()));
    if (!WebMailExtractPart(*s.source, a.part, files.back()->Path())) return false;
    out.push_back({files.back()->Path(), name, a.type});
  }
  return true;
}

// Puts the revision written at path into the mailbox in place of the replaced
// message; its mailbox ID into id.
bool Store(WebMailCall& call, const WebMailDraftSpec& spec, Stored& s, const std::string& path, std::string& id) {
  CTernMessage written(path, 0, 0, TernMessageOption::NoSeparatorDetection, TernMessageMode::Read);
  TernTocEntry entry;
  if (!written.Open() || !TernTocEntryFromMessage(written, entry)) return false;
  id = entry.id;
  // Readers of the mailbox's data file end before it changes.
  s.old.reset();
  s.source.reset();
  uint32_t flags = 0;
  std::string sender = call.Address();
  if (spec.edit) {
    // An edited notice can no longer be approved: its text is no longer the server's.
    flags = (s.replacedEntry.flags | TernMailFlag::Edited) & ~uint32_t{TernMailFlag::AwaitingApproval};
    sender = s.replacedEntry.envelopeSender;
  }
  if (s.box->Add(written, flags, sender) != TernAddResult::Added) return false;
  if (!s.replaced) return true;
  // The replaced message, by where it lies (an ID may repeat).
  TernTocEntry e;
  for (int32_t n = 1; s.box->Info(n, e) == 0; ++n)
    if (e.offset == s.replacedEntry.offset) return s.box->MarkForRemoval(n) == 0 && s.box->Compact() == 0;
  return true;
}

}  // namespace

bool WebMailSaveDraft(WebMailCall& call, const WebMailDraftSpec& spec, std::string& error) {
  std::string formLines;
  if (!FormHeaders(call, formLines)) return error = kWebMailTextBadHeader, false;
  std::string body = WebMailCrLf(call.Var("MessageBody"));
  WebMailScratch draft(call.Request()), upload(call.Request());
  std::vector<std::unique_ptr<WebMailScratch>> files;
  std::vector<Attachment> attachments;
  std::string uploadType, newId;
  std::string uploadName = call.Var("AttachFile");
  bool uploaded = !uploadName.empty() && call.Request().SaveUploadedPart("AttachFile", upload.Path(), uploadType);
  // A file the user chose that cannot be kept is said, not dropped in silence.
  if (!uploadName.empty() && !uploaded) return error = WebMailCall::Text(kMsgEditMessageFailed), false;
  {
    Stored s;
    if (!OpenStored(call, spec, s, error)) return false;
    error = WebMailCall::Text(kMsgEditMessageFailed);
    if (!KeptAttachments(call, s, files, attachments)) return false;
    if (uploaded) attachments.push_back({upload.Path(), WebMailFileName(uploadName), uploadType});
    CTernDiskFile file(draft.Path(), kScratchMode);
    CTernMessage out(file, 0, 0, 0, TernMessageMode::Write);
    bool written = out.Open();
    written = WriteDraft(out, OwnHeaders(call, spec, s) + formLines, body, attachments) && out.Close() && written;
    if (!written || !Store(call, spec, s, draft.Path(), newId)) return false;
  }
  error.clear();
  call.Set("Message", newId);
  call.DropAll(kAttachPrefix);
  call.Drop("DeleteAttached");
  call.Drop("AttachFile");
  for (size_t i = 0; i < attachments.size(); ++i)
    call.Set(kAttachPrefix + std::to_string(i + 1), attachments[i].name);
  return true;
}
