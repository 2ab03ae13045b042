// One mailbox: a data file holding messages one after another, each behind a
// separator line, and its table of contents (TOC, the data file's path + ".toc")
// listing every message with its offset, size, flags and the header texts lists
// show. Readers work from the TOC and read a message's bytes at its offset; mail is
// appended; a removal becomes final when the data file is compacted. A TOC that is
// missing, corrupt or does not agree with the data file is rebuilt by scanning the
// data file (every message then counts as unread again).
//
// Message numbers run from 1 in the mailbox's sort order and count only the
// entries that are not hidden (TernTocInternal::Hidden).
//
// Every operation expects the mailbox's named lock (TernMailboxLockName) to be held
// by the calling thread; the mailbox manager takes it when it opens a mailbox. So
// one thread of one process works on a mailbox at a time, and the object has no
// lock of its own. Other processes see changes through the files: Load() reads the
// TOC again whenever it changed on disk.
//
// Crash safety: an append puts the message on disk (fsync) before it reports
// success, and a failed append cuts the data file back to its old size. The TOC is
// extended in place when a new entry sorts last, and otherwise replaced through
// ".new" and ".old". Compaction writes the new data file beside the old one and
// renames it into place, then switches the TOC; a crash at any moment leaves a
// mailbox that loads with every message whose append had succeeded.
//
// Operations return 0 for success and 1 for failure (no such message, mailbox in
// error) unless said otherwise. Failures of files are reported by the file code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_ops.h"
#include "store/receive_check.h"
#include "store/toc_entry.h"

class CTernMessage;

// What an append came to: the delivery engine bounces a refusal and tries a
// message that could not be written again later.
enum class TernAddResult {
  Added,      // on disk; listed in the TOC (or, when the TOC could not be written,
              // found by the scan the disagreeing TOC will cause)
  Refused,    // the receive check refused the sender; nothing was written
  NotWritten  // the mailbox is in error or the data file could not be written
};

struct TernMailboxCounts {
  int32_t messages = 0;
  int32_t unread = 0;
  int64_t bytes = 0;
};

// Seconds by which the data file may be newer than its TOC before the TOC counts
// as out of date, and between two re-checks of the senders.
inline constexpr long kTernTocStaleSeconds = 60;
inline constexpr long kTernSenderRecheckSeconds = 60;

class CTernMailbox {
 public:
  // The mailbox name in directory (the owner's directory under the mailbox root).
  // senderCheck, when given, hides the messages whose senders the owner may not
  // receive from now (see Load). No file is touched until Load().
  CTernMailbox(std::string directory, std::string owner, std::string name,
               TernSenderCheck senderCheck = {});
  CTernMailbox(const CTernMailbox&) = delete;
  CTernMailbox& operator=(const CTernMailbox&) = delete;

  const std::string& Name() const { return m_Name; }
  const std::string& Owner() const { return m_Owner; }
  const std::string& DataPath() const { return m_DataPath; }
  const std::string& TocPath() const { return m_TocPath; }

  // Brings the mailbox in line with its files (each time the mailbox is locked):
  //   - makes a missing data file and a missing TOC (empty, header only);
  //   - reads the TOC when it changed on disk since this object last read or wrote
  //     it; a TOC whose header or lines are malformed, or whose entries do not lie
  //     end to end from offset 0, is corrupt: warnings 406 and 67, and a rescan;
  //   - a data file more than 60 seconds newer than the TOC: warning 407, rescan;
  //     a data file whose size is not the entries' sizes added up: warning 408,
  //     rescan;
  //   - at most every 60 seconds, asks the sender check about each entry's sender
  //     (its envelope sender, or its From text when that is empty or "??@??")
  //     with the owner's settings in force: a refused one is hidden, an allowed one
  //     shown. Without the settings or the check nothing is hidden.
  // 0 when loaded; 1 when the files cannot be read or made, which puts the mailbox
  // in error: every other operation then fails until a later Load() succeeds.
  int Load();
  bool InError() const { return m_Error; }

  // Messages, unread messages (flag Unread) and bytes of the visible entries, or of
  // all entries with includeHidden.
  int Counts(TernMailboxCounts& counts, bool includeHidden = false) const;
  // A copy of message n's entry.
  int Info(int32_t n, TernTocEntry& entry) const;
  int SizeAndId(int32_t n, int32_t& size, std::string& id) const;
  bool IsUnread(int32_t n) const;
  // The number of the first visible message whose mailbox ID is id (letter case
  // counts), or 0.
  int32_t Find(std::string_view id) const;

  // Message n, open for reading over the data file at its offset and size and
  // standing at its first line after the separator line (Rewind(false) goes back to
  // the separator line; Size() counts it). Null when there is no message n or the
  // reader cannot start. REQUIRES: the reader is closed before the mailbox is
  // compacted or released.
  std::unique_ptr<CTernMessage> OpenMessage(int32_t n) const;

  // Sets or clears status flag bits of message n and rewrites the TOC. A TOC that
  // cannot be written leaves the change in memory and returns 1.
  int SetFlags(int32_t n, uint32_t bits);
  int ClearFlags(int32_t n, uint32_t bits);

  int SortOrder() const { return m_SortOrder; }
  // Puts the entries in order k: nothing when k is the order already, the list
  // reversed when k is the same key the other way round, else sorted by k (entries
  // that compare equal keep their order). Then records k and rewrites the TOC.
  int SetSortOrder(int k);

  // Appends message (open for reading; it is rewound and read from the line after
  // its separator line, if it has one) behind a separator line naming
  // envelopeSender, and inserts its entry in sort order. Unless check is empty, it
  // runs first, asked about envelopeSender (or the message's From text when that is
  // empty or "??@??") and the owner; a refusal writes nothing and leaves the
  // refusal's text in reason when given. The entry's status flags are flags with
  // the Attachments bit set by whether the message has attachments.
  TernAddResult Add(CTernMessage& message, uint32_t flags, std::string_view envelopeSender,
                    const TernReceiveCheck& check = {}, std::string* reason = nullptr);

  // Marks message n for removal at the next compaction. The mark is written with
  // the next rewrite of the TOC; releasing the mailbox without compacting keeps the
  // message.
  int MarkForRemoval(int32_t n);
  // Takes back every mark for removal (after a compaction that failed, so that no
  // later compaction carries them out unasked).
  void ClearRemovalMarks();
  // Removes the marked messages for good: the data file without them is written
  // and put on disk beside the old one, the new TOC likewise, and then both are
  // renamed into place, the data file first. Until then nothing changes, on disk or
  // in memory, so a compaction that fails leaves the mailbox as it was. 0 also when
  // nothing is marked.
  int Compact();

  // Rebuilds the entries from the data file alone, in data file order, each unread
  // (with Attachments when it has any), and writes the TOC.
  int Rescan();

  // Removes the data file and TOC of mailbox name of the user userKey under the
  // mailbox root, with their ".new" and ".old" files, under the mailbox's named
  // lock. Files that are not there are passed over. 0, or 1 when the lock cannot be
  // taken or a file that is there cannot be removed.
  static int DeleteFiles(const std::string& root, const std::string& userKey,
                         const std::string& name);

 private:
  // The index of message n in m_Entries, or -1.
  int32_t IndexOf(int32_t n) const;
  void RebuildVisible();
  bool EnsureFiles();
  // Reads the TOC into the entries: 1 read, 0 corrupt, -1 cannot be read.
  int ReadToc();
  bool EntriesLieEndToEnd() const;
  void RecheckSenders();
  // A scan of the data file on load, announced by warning code.
  void ReportScan(int code) const;
  int RescanForLoad();
  // Files written through ".new" and ".old" are for the owner alone.
  static constexpr uint32_t kNewFileMode = TernFileMode::Create | TernFileMode::Truncate |
                                           TernFileMode::NoLock | TernFileMode::Private;
  // The writer of a whole TOC: the header and every entry. entries must outlive it.
  static TernFileWriter TocWriter(const std::vector<TernTocEntry>& entries, int order);
  // Writes the whole TOC of entries in order through ".new" and ".old".
  bool WriteToc(const std::vector<TernTocEntry>& entries, int order);
  // Writes the TOC after a change: extends it by the line of m_Entries[appended]
  // when that entry came last and the file holds everything else, else rewrites it.
  int SaveToc(size_t appended = SIZE_MAX);
  bool AppendTocLine(const TernTocEntry& entry);
  int ChangeFlags(int32_t n, uint32_t set, uint32_t clear);
  // Adding: the sender the receive check is asked about, the bytes written, and
  // the entry of the message just written at offset.
  bool WriteMessage(CTernMessage& message, std::string_view envelopeSender, int32_t& offset,
                    int32_t& size);
  bool EntryAt(int32_t offset, int32_t size, TernTocEntry& entry) const;
  // Compacting: the data file without the marked entries, and the entries after.
  bool WriteCompacted(CTernFile& target) const;
  std::vector<TernTocEntry> EntriesAfterCompaction() const;

  const std::string m_Directory;
  const std::string m_Owner;
  const std::string m_Name;
  const std::string m_DataPath;
  const std::string m_TocPath;
  const TernSenderCheck m_SenderCheck;

  std::vector<TernTocEntry> m_Entries;  // in list order
  std::vector<int32_t> m_Visible;       // indexes of the entries that are not hidden
  int m_SortOrder = 0;
  int64_t m_TotalSize = 0;             // sizes of all entries added up
  bool m_Error = false;
  // The TOC file as this object last read or wrote it, and whether that file holds
  // exactly the entries in memory (false after a failed write, a mark or a change
  // of the hidden flags, so that the next write rewrites it whole).
  TernFileStamp m_TocStamp;
  TernFileStamp m_DataStamp;  // the data file as this object last wrote or scanned it
  bool m_TocInSync = false;
  bool m_TocEndsWithLineEnd = true;
  time_t m_LastRecheck = 0;
  bool m_Rechecked = false;
};
