// The text work of the web mail pages, apart from requests and mailboxes: reply
// subjects and quoting, address lists, the header lines a form may write, file
// names fit for a download, mail text made fit to show (HTML without its tags,
// Latin-1 and encoded header words as UTF-8), and the paging and sort arithmetic
// of the mailbox view.
//
// Everything here reads text that strangers wrote (mail) or sent (forms): any
// bytes and any length are safe. Plain functions; no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Messages a mailbox view shows at once.
inline constexpr int32_t kWebMailPageSize = 50;
// The longest header value a form may give, and the line length past which header
// lines are folded at commas.
inline constexpr size_t kWebMailHeaderValueLimit = 16384;
inline constexpr size_t kWebMailFoldWidth = 78;

// text without the spaces, tabs, CR and LF around it.
std::string WebMailTrimmed(std::string_view text);
// "Re: " followed by subject, unless subject begins with "Re: " already (letter
// case aside).
std::string WebMailReplySubject(std::string_view subject);
// text with every line preceded by "> "; lines end in CR LF.
std::string WebMailQuote(std::string_view text);
// text with every line ended by CR LF (a lone LF or CR becomes CR LF), and a last
// line without an end given one.
std::string WebMailCrLf(std::string_view text);

// The addresses of a list such as a To header: split at commas that stand outside
// double quotes, angle brackets and parentheses; each trimmed of blanks; empty
// ones left out.
std::vector<std::string> WebMailSplitAddresses(std::string_view text);
// The display name and the address of a sender: "Jo Bloggs <jo@x.org>" and
// "jo@x.org (Jo Bloggs)" both give "Jo Bloggs" and "jo@x.org"; a bare address gives
// an empty name. Quotes around the name are removed.
void WebMailSplitSender(std::string_view from, std::string& name, std::string& address);

// A header name a form may give: 1 to 76 printable ASCII characters, no colon.
bool WebMailHeaderName(std::string_view name);
// A header value a form may give: at most kWebMailHeaderValueLimit bytes, no CR,
// LF or NUL.
bool WebMailHeaderValue(std::string_view value);
// Headers that never come from a form: the sender's (From, Sender), the trace
// (Received, Return-Path), Resent-*, the approval fields (X-Notify-*,
// X-OldSMTP-ID), and those the server writes itself (Date, Message-Id,
// MIME-Version, Content-*, X-Message-Revision). Letter case aside.
bool WebMailReservedHeader(std::string_view name);
// "name: value" and CR LF, folded after commas where the line would pass
// kWebMailFoldWidth characters.
std::string WebMailHeaderLine(std::string_view name, std::string_view value);

// A header value as it is written: unchanged when it is ASCII; else, for a header
// that holds no addresses, encoded words "=?UTF-8?B?...?=" of whole characters.
std::string WebMailEncodeHeader(std::string_view name, std::string_view value);

// A content type fit for a header: type "/" subtype of letters, digits, "-", ".",
// "+" and "_", in lower case; "application/octet-stream" for anything else.
std::string WebMailContentType(std::string_view type);

// A file name fit for a header: the last component of a path, without control
// characters, double quotes or backslashes, not beginning with a dot, at most 120
// bytes; "attachment" when nothing is left.
std::string WebMailFileName(std::string_view name);
// The same name with every byte other than letters, digits, ".", "-", "_" and the
// space made "_" (the plain form of a download's file name).
std::string WebMailAsciiFileName(std::string_view name);

// The text of an HTML document: tags and comments removed, script and style
// elements dropped whole, line breaks for the elements that break lines, the
// common character references decoded, runs of blank lines made one.
std::string WebMailHtmlToText(std::string_view html);
// Latin-1 text as UTF-8.
std::string WebMailLatin1ToUtf8(std::string_view text);
// Text of the given charset as UTF-8: UTF-8 and US-ASCII as they are, ISO-8859-1
// and Windows-1252 converted; any other charset as it is.
std::string WebMailToUtf8(std::string_view text, std::string_view charset);
// A header value with its encoded words ("=?charset?B?...?=" and "?Q?") decoded to
// UTF-8; blanks between two encoded words are dropped.
std::string WebMailDecodeHeader(std::string_view value);

// The first message a mailbox view of count messages shows for first: a number
// below 1 or above count counts as 1.
int32_t WebMailFirstShown(int32_t first, int32_t count);
// The page before: from 2 to 50 back to 1; from 1 round to the last page (count
// minus 49, at least 1); otherwise 50 back.
int32_t WebMailPageBack(int32_t first, int32_t count);
// The page after: 50 on, round to 1 past count.
int32_t WebMailPageForward(int32_t first, int32_t count);
// The sort order a sort button asks for: ascending is the key's own order (1
// subject, 3 status, 5 sender, 7 date, 9 size, 11 recipient); pressing the button
// of the order in force asks for the other direction.
int WebMailSortOrder(int ascending, int current);
