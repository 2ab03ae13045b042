// The text of a user's list of mailboxes, "mailboxes.mbs": a header line
// "# 1 <mailboxes> 0 <time written>" and one line "B<name>,<messages>,<unread>,<bytes>"
// per mailbox, each ending in CR LF. The counts are those of all the mailbox's
// entries (hidden ones included) when it was last released.
//
// Plain values and functions: no locks, no files.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

struct TernMailboxListLine {
  std::string name;
  int32_t messages = 0;
  int32_t unread = 0;
  int64_t bytes = 0;
};

// The whole file for these mailboxes, written at time now.
std::string TernMailboxListText(const std::vector<TernMailboxListLine>& lines, time_t now);

// Reads the file's text into lines (replacing them). The first line must begin with
// "# 1 "; later lines that begin with '#' or 'L', and empty lines, are passed over;
// a line that begins with 'B' is cut at its first three commas into the name and
// three whole numbers. Any other line makes the text corrupt: false (lines then
// hold what was read before it). Names are taken as they stand; the caller checks
// them.
bool TernParseMailboxList(std::string_view text, std::vector<TernMailboxListLine>& lines);
