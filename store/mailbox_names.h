// The names that become paths under the mailbox root: users' directories, mailbox
// names and the files of the store, and the name of a mailbox's named lock.
//
// User and mailbox names come from the network and from forms, so each is checked
// here before it reaches a path: nothing outside a user's own directory can be
// named, and no mailbox can take the name of the list or of another mailbox's
// table of contents or replacement files.
#pragma once

#include <string>
#include <string_view>

// The mailbox every user has, and those the web pages use.
inline constexpr char kTernInbox[] = "Inbox";
inline constexpr char kTernTrash[] = "Trash";
inline constexpr char kTernDrafts[] = "Drafts";
inline constexpr char kTernSentMail[] = "Sent-Mail";

// Files of a user's directory that are not mailboxes.
inline constexpr char kTernMailboxListFile[] = "mailboxes.mbs";
inline constexpr char kTernAddressBookFile[] = "addressbook.bok";

// The table of contents beside a mailbox's data file, and the suffixes of the
// files through which the data file and the table are replaced.
inline constexpr char kTernTocSuffix[] = ".toc";
inline constexpr char kTernNewSuffix[] = ".new";
inline constexpr char kTernOldSuffix[] = ".old";

// Directories of the store are for the server alone.
inline constexpr unsigned kTernMailboxDirMode = 0700;

// True when name may name a mailbox: a valid object name (1 to 127 characters, a
// letter or digit first, then letters, digits, '_', ' ', '.' and '-'), so no comma
// and no path separator; not ending in ".toc", ".new", ".old", "_new" or "_old";
// not "mailboxes.mbs" or "addressbook.bok". Letter case does not matter.
bool TernValidMailboxName(std::string_view name);

// The name of a user's directory under the mailbox root: the user's name with its
// letters folded to lower case, so that mail for "JOE" and "joe" lands in one place.
// Empty when the name is not a valid object name.
std::string TernMailboxUserKey(std::string_view user);

// The mailbox a file of a user's directory belongs to: the file's name less
// ".toc", ".new", ".old", ".toc.new" or ".toc.old" when what is left is a valid
// mailbox name; empty for any other file. With tocOnly only a table of contents
// counts.
std::string TernMailboxOfFile(std::string_view fileName, bool tocOnly);

// The named lock of one mailbox: "TNBOX" + "U" + user key + "B" + mailbox name,
// followed by the mailbox root's path as LockNameOf gives it, so that
// installations with mailbox roots of their own do not hold each other up.
std::string TernMailboxLockName(const std::string& root, std::string_view userKey,
                                std::string_view mailbox);
// The named lock of a user's list of mailboxes, likewise: "TNBOXLIST" + "U" +
// user key + the root's lock name.
std::string TernMailboxListLockName(const std::string& root, std::string_view userKey);
