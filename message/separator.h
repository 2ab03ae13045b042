// The mailbox separator line that stands before each message in a mailbox file:
// written as ">From< " + envelope sender + " " + mail date + CR LF, and recognised
// in the forms ">From< ", ">From " and "From " (any case).
#pragma once

#include <string>
#include <string_view>

#include "message/mail_time.h"

// The separator line for a message: the envelope sender when it contains "@", else
// "??@??"; bytes at or below space in it become "_" so that the line stays one
// line of three parts.
std::string TernSeparatorLine(std::string_view envelopeSender, const CTernTime& when);

// The length of the separator prefix the line begins with (">From< ", ">From ",
// "From ", any case), or 0.
size_t TernSeparatorPrefix(std::string_view line);

// True when the line is a separator line: it has the prefix, and the first word
// after the prefix contains "@" or the text after that word parses as a date.
bool TernIsSeparatorLine(std::string_view line);

// The first word after the separator prefix (the envelope sender); empty when the
// line has no prefix.
std::string TernSeparatorSender(std::string_view line);

// True when the line looks like a header line: one or more visible characters up to
// a colon, optionally followed by spaces or tabs before the colon.
bool TernLooksLikeHeaderLine(std::string_view line);
