// The parser of dates as mail headers, mailbox separator lines and form input
// write them: "Mon, 15 Jun 98 14:30:05 EST", "Mon, 15-Jun-98 14:30:05 -0500",
// "Tue Jun 16 14:30:05 1998" and the like.
//
// The text is split into words at spaces, tabs, CR and LF; at least four words are
// needed. Day names and comments in parentheses are passed over; a word with two
// colons is the time of day (one colon: hours and minutes), one with two hyphens is
// day-month-year; a month abbreviation gives the month, a number 1 to 31 the day,
// another number the year (below 40: 20xx; below 1900: 19xx), a zone name or a
// signed hhmm number the zone. Values out of range are ignored. The text comes from
// strangers: any bytes and any length are safe, and the work is linear in the length.
#pragma once

#include <ctime>
#include <string_view>

// Seconds since 1970 of the date in text; a date without a zone is taken in
// defaultZone (hhmm). False when day, month or year is missing, the day does not
// exist in its month, or the year is beyond 9999. Dates before 1970 give 0.
[[nodiscard]] bool TernParseDate(std::string_view text, int defaultZone, time_t& seconds);

// The month (1..12) of an English month abbreviation in any case; 0 for none.
int TernMonthOf(std::string_view word);

// A zone name ("GMT", "UT", "EDT", "EST", "CDT", "CST", "MDT", "MST", "PDT", "PST",
// any case) or a signed hhmm number ("-0500", "+0100") as hhmm.
[[nodiscard]] bool TernParseZone(std::string_view word, int& zone);
