// One entry of a mailbox's table of contents (the ".toc" file beside the data
// file): the message's status flags, the header texts that lists show, its mailbox
// ID, where it lies in the data file, and the flags only the store uses. Also the
// text form of the table (a header line "# 1 <sort order>" and one line per message
// of eleven fields separated by the byte 0x1C), the mailbox ID, and the orders a
// mailbox sorts its entries in.
//
// Plain values and functions: no locks, no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CTernMessage;

// Status flags of a message; the web pages show one icon per set bit.
namespace TernMailFlag {
enum : uint32_t {
  Unread = 1,
  Replied = 4,
  Forwarded = 8,
  Edited = 16,
  Attachments = 32,
  AwaitingApproval = 64,
  Approved = 128,
  Bounced = 256,
};
}  // namespace TernMailFlag

// Flags the store keeps for itself.
namespace TernTocInternal {
enum : uint32_t {
  Hidden = 1,   // the owner may not receive from the sender now: not counted, not numbered
  Removal = 2,  // removed for good at the next compaction
};
}  // namespace TernTocInternal

// The byte between the fields of a line.
inline constexpr char kTernTocFieldSeparator = '\x1c';
inline constexpr size_t kTernTocFields = 11;
// The longest text field written; a longer header text is cut there, so that no
// single message can make a line that a reader refuses.
inline constexpr size_t kTernTocTextLimit = 1024;
// The longest mailbox ID.
inline constexpr size_t kTernMailboxIdLength = 70;

struct TernTocEntry {
  uint32_t flags = 0;          // TernMailFlag bits
  std::string sender;          // the From header's text
  std::string envelopeSender;  // from the separator line, or as the deliverer gave it
  std::string recipient;       // the To header's text; of several addresses the first + " ..."
  std::string dateText;        // the Date header's text
  std::string subject;         // the Subject header's text
  int64_t date = 0;            // the Date header as seconds since 1970; 0 without one
  std::string id;              // the mailbox ID
  int32_t offset = 0;          // where the separator line begins in the data file
  int32_t size = 0;            // bytes of separator line and message together
  uint32_t internal = 0;       // TernTocInternal bits

  bool Hidden() const { return (internal & TernTocInternal::Hidden) != 0; }
  bool Marked() const { return (internal & TernTocInternal::Removal) != 0; }
  bool Unread() const { return (flags & TernMailFlag::Unread) != 0; }
};

// The header line: "# 1 " + sort order, ending in CR LF, or in LF alone for the
// empty table written on its own (lf true).
std::string TernTocHeader(int sortOrder, bool lf = false);
// Reads a header line (line end removed or not): it must begin with "# 1 " and go
// on with a whole number. False otherwise.
bool TernParseTocHeader(std::string_view line, int& sortOrder);

// The entry's line, ending in CR LF. Text fields go through TernTocText.
std::string TernTocLine(const TernTocEntry& entry);
// Reads one line (line end removed or not) into entry: exactly eleven fields, the
// numeric ones whole non-negative decimal numbers (the date may be negative), and
// a size above 0. False otherwise (entry is then unspecified).
bool TernParseTocLine(std::string_view line, TernTocEntry& entry);

// A text as a field holds it: without trailing CR and LF, every other CR, LF, NUL
// and 0x1C turned into a space, and cut at kTernTocTextLimit bytes.
std::string TernTocText(std::string_view text);

// The mailbox ID of a message: made from texts (its Message-Id, or else its
// Subject, Date and X-Message-Revision) and its size, so that the same message gets
// the same ID again when the mailbox is scanned anew. Letters and digits of the texts
// fill a buffer of 70 places in turn, each moved on in the alphabet by its place
// modulo 8 unless that leaves the letters and digits; then the size's digits follow
// as they are; the buffer wraps around, later characters overwriting earlier ones.
std::string TernMailboxId(const std::vector<std::string_view>& texts, int64_t size);

// The recipient field of a To header: the text as it is when it names one address,
// else the first address followed by " ...".
std::string TernRecipientText(std::string_view to);

// Fills the header fields, date, mailbox ID, envelope sender (from the separator
// line), offset and size of entry from a message open for reading, and sets the
// status flags to unread, plus attachments when it has any. The mailbox ID takes the
// size of the message without its separator line, so that a message keeps its ID
// when it moves to another mailbox. internal is set to 0. False when the message
// cannot be read to its end.
bool TernTocEntryFromMessage(CTernMessage& message, TernTocEntry& entry);

// Sort orders: 1/2 subject, 3/4 status flags, 5/6 sender, 7/8 date, 9/10 size,
// 11/12 recipient, ascending and descending; any other number sorts by date
// ascending. Texts compare without regard to letter case.
// Negative, 0 or positive as a sorts before, with or after b in order.
int TernCompareTocEntries(const TernTocEntry& a, const TernTocEntry& b, int order);
// Whether orders a and b sort by the same key in opposite directions.
bool TernOppositeOrders(int a, int b);
// Where a new entry goes in a list kept in order: at the end when it sorts with or
// after the last entry, at the front when it sorts with or before the first, else in
// front of the first entry it sorts with or before. (So among equal keys a new entry
// goes first, except when it ties with the last.)
size_t TernTocInsertPosition(const std::vector<TernTocEntry>& list, const TernTocEntry& entry,
                             int order);
