// The content filter: the access decisions taken for every message the server
// accepts. Per recipient it tests the settings in force (config/effective_settings.h)
// for the people and the client involved against
//   - the lists (config/lists.h): addresses a user may or may not send to or
//     receive from, through the settings direction + "L" + list name;
//   - BlockedMIMETypes: MIME type patterns that no part of the message may match;
//   - DictsToUse and DDRThreshold: the dictionaries (config/dictionaries.h) the
//     message's text is scored against, and the score at which it is refused.
// A refused recipient of a queued message is marked with reason 5 (address or
// content not allowed), a reason text quoting the rule, and the disposition the
// sender's OnForbidden setting asks for; the delivery engine and the notifications
// act on the marks. FilterMessage also expands recipients that name a mailing list
// into the list's members and delivers each address once.
//
// The lists and dictionaries objects are set once at start-up (SetFilterObjects);
// every check may run on any thread at once, since the objects, the configuration
// and the settings guard themselves.
#pragma once

#include <string>
#include <string_view>

class AttributeTable;
class CTernMessage;
class CTernQueuedMessage;
class DictionaryStore;
class ListStore;

// Attribute names read by the filter.
inline constexpr char kAttrFilterMode[] = "FilterMode";
inline constexpr char kAttrBlockedMIMETypes[] = "BlockedMIMETypes";
inline constexpr char kAttrDictsToUse[] = "DictsToUse";
inline constexpr char kAttrDDRThreshold[] = "DDRThreshold";
inline constexpr char kAttrOnForbidden[] = "OnForbidden";

// The size of the pieces of a message's text that are scored at once, the score a
// message may not reach when DDRThreshold is absent or below 1, and the largest
// found text (the matched words) a reason quotes.
inline constexpr size_t kFilterChunkSize = 65536;
inline constexpr int kFilterDefaultThreshold = 50;
inline constexpr size_t kFilterFoundSize = 4096;

// Reason (status code) of a recipient refused by the filter.
inline constexpr int kFilterReasonNotAllowed = 5;

// The lists and dictionaries a check consults. Either may be null: without lists no
// list check answers anything, without dictionaries no message is scored.
struct FilterObjects {
  ListStore* lists = nullptr;
  DictionaryStore* dictionaries = nullptr;
};

// The filter's objects for CheckSend and CheckReceive, set at start-up and cleared
// (null) before they are deleted.
void SetFilterObjects(ListStore* lists, DictionaryStore* dictionaries);
ListStore* FilterLists();
DictionaryStore* FilterDictionaries();
FilterObjects FilterObjectsInUse();

// The send check: may sender send to recipient? The settings are those in force for
// the client and the local user the sender names (none for a sender outside the
// local domains, or no sender). An empty recipient is never refused. body, when
// given, is a message open for reading: its MIME types and its text are checked
// (it is rewound and read; where it stands afterwards is undefined). defaultOnly
// lets only Default Events count. Returns 1 when refused, 0 when not; reason, when
// given, is emptied and on refusal receives the reason text (CR LF ended, matched
// dictionary words after it).
int CheckSend(std::string_view sender, std::string_view recipient, std::string_view client,
              CTernMessage* body, bool defaultOnly, std::string* reason = nullptr);

// The receive check: may recipient receive from sender? The settings are those of
// the client and of the recipient's local user (empty recipient: the system and
// the client alone); the reason quotes the sender. An empty sender is never
// refused. Otherwise as CheckSend.
int CheckReceive(std::string_view sender, std::string_view recipient, std::string_view client,
                 CTernMessage* body, bool defaultOnly, std::string* reason = nullptr);

// The receive check's list part with settings the caller collected already (no
// MIME or dictionary check): 1 when the settings refuse mail from sender, 0 when not.
int CheckReceiveWith(std::string_view sender, const AttributeTable& settings,
                     std::string* reason = nullptr);

// Whether the MIME type pattern matches type: both are split at the first '/' into
// type and subtype; each half agrees when either side is empty or "*", or both are
// equal without regard to case.
bool MimeTypeMatches(std::string_view pattern, std::string_view type);

// The message-level filter, run on a queued message whose body is complete and
// closed (or open for reading), before its envelope is written: expands the
// recipients that name list objects (when objects has lists) into the lists'
// members, runs the send checks per recipient against objects (unless the message
// was resubmitted after an approval), marks refused recipients, and removes every
// recipient whose address came earlier. Changes only the message's recipients in
// memory. Returns 0.
int FilterMessage(CTernQueuedMessage& message, const FilterObjects& objects);
