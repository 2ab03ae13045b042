// A user's address book: nicknames and the mail addresses they stand for, kept in
// "addressbook.bok" in the user's directory under the mailbox root. The file is a
// header line "# 1 <time written>" and one line per entry, the nickname and the
// address separated by the byte 0x1C, each line ending in CR LF; it is replaced
// through "_new" and "_old", never rewritten in place.
//
// An object holds the user's named lock ("TNADDRESSBOOK" + user, with the mailbox
// root's lock name) from its making to its destruction, so one address book per
// user exists at a time across threads and processes: a second one waits. Web
// mail makes one for the span of a request. The object itself may be shared
// between threads; its entries carry its lock.
//
// Nicknames compare without regard to letter case. Entries come from forms, so
// both parts are checked: neither may be empty or hold CR, LF, NUL or 0x1C (which
// would add lines or fields to the file), and each has a length limit.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"
#include "base/named_lock.h"

// The longest nickname and address an entry may have.
inline constexpr size_t kTernNicknameLimit = 128;
inline constexpr size_t kTernBookAddressLimit = 1024;

struct TernAddressBookEntry {
  std::string nickname;  // as last written (letter case kept)
  std::string address;
};

// Whether text may be one part of an entry: not empty, at most limit bytes, no CR,
// LF, NUL or 0x1C.
bool TernValidBookText(std::string_view text, size_t limit);

class CTernAddressBook {
 public:
  // The address book of user under the mailbox root: waits for the user's named
  // lock, then loads the file. A missing file is made with the header alone (and
  // the user's directory, for the server alone, when it is missing too). Loaded()
  // tells whether that worked.
  CTernAddressBook(std::string root, std::string_view user);
  // Releases the named lock; the entries are discarded (unsaved changes too).
  ~CTernAddressBook();
  CTernAddressBook(const CTernAddressBook&) = delete;
  CTernAddressBook& operator=(const CTernAddressBook&) = delete;

  // False when the user name is not a valid object name, the lock could not be
  // taken, or the file could not be made or read (a header that does not begin
  // "# 1 " included). Every other operation then fails or finds nothing.
  bool Loaded() const { return m_Loaded; }
  const std::string& Path() const { return m_Path; }

  // Adds an entry, or gives an existing nickname (in any letter case) the address
  // and the new letter case. 1 when not loaded or a part is not valid
  // (TernValidBookText); 0 otherwise. Nothing is written until Save().
  int Set(std::string_view nickname, std::string_view address);
  // Removes the entry of nickname: 0, or 1 when there is none.
  int Remove(std::string_view nickname);
  // The address of nickname; false when there is no such entry.
  bool Find(std::string_view nickname, std::string& address) const;
  // Every entry, in order of nickname without regard to letter case.
  std::vector<TernAddressBookEntry> List() const;

  // Writes the file anew through "_new" and "_old" with the time of writing in its
  // header. 0, or 1 when not loaded or the file could not be replaced (the previous
  // file then stays).
  int Save();

  // Removes the user's "addressbook.bok" and its "_new" and "_old" files under the
  // user's named lock. Files that are not there are passed over. 0, or 1 when the
  // name is invalid, the lock cannot be taken or a file cannot be removed.
  static int Delete(const std::string& root, std::string_view user);

 private:
  // The file's text: header at time now, then every entry.
  std::string Text(long now) const;
  // Reads the file into the entries; false when it cannot be read or its header
  // is wrong.
  bool Load();

  const std::string m_Root;
  const std::string m_UserKey;
  const std::string m_Path;
  CTernNamedLock m_NamedLock;
  bool m_Held = false;
  bool m_Loaded = false;

  mutable CTernLock m_Lock;  // guards m_Entries
  std::map<std::string, TernAddressBookEntry> m_Entries;  // by nickname in lower case
};
