// The content filter: the send and receive checks (lists, blocked MIME types,
// scored dictionaries) and the message-level filter with list expansion and the
// removal of duplicate recipients.
#include "transport/content_filter.h"

#include <atomic>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/ascii.h"
#include "base/format.h"
#include "base/list.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/attribute_table.h"
#include "config/configuration.h"
#include "config/dictionaries.h"
#include "config/effective_settings.h"
#include "config/lists.h"
#include "message/envelope.h"
#include "message/message.h"
#include "message/queued_message.h"
#include "net/mail_address.h"

namespace {

std::atomic<ListStore*> g_Lists{nullptr};
std::atomic<DictionaryStore*> g_Dictionaries{nullptr};

// The list setting's direction letter and the reason texts of one direction.
struct Direction {
  char letter;
  int denyText, allowOnlyText, mimeText, contentText;
};
constexpr Direction kSend{'S', kMsgSendDenied, kMsgSendAllowOnly, kMsgSendMimeBlocked,
                          kMsgSendContentBlocked};
constexpr Direction kReceive{'R', kMsgReceiveDenied, kMsgReceiveAllowOnly, kMsgReceiveMimeBlocked,
                             kMsgReceiveContentBlocked};

constexpr char kItemSeparator = '\x1C';

std::string ReasonText(int code, std::string_view argument) {
  CTernMessages messages;
  return TernFormat(messages.Text(code), {std::string(argument)}) + "\r\n";
}


// The routing form of address (the user name alone for a local address); empty when
// the address is empty or does not parse.
std::string RoutingForm(std::string_view address) {
  CTernMailAddress parsed;
  if (address.empty() || parsed.Parse(address) != 0) return "";
  return parsed.Form(kMailFormRouting);
}

bool IsRemoteRoute(std::string_view routing) { return routing.find('!') != std::string_view::npos; }

// The user whose settings apply for an address: the routing form of a local
// address, none for a remote or unparsable one.
std::string SettingsUser(std::string_view address) {
  std::string routing = RoutingForm(address);
  return IsRemoteRoute(routing) ? std::string() : routing;
}

// The filter mode in force: 'F' or 'A' when the checks run, anything else when not.
char FilterModeOf(const AttributeTable& settings) {
  std::string mode;
  if (!settings.Get(kAttrFilterMode, mode) || mode.empty()) return 'U';
  return mode[0];
}

void SetReason(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
}

// The list check of other (the recipient when sending, the sender when receiving).
// 1 when refused. skipContent is set when an 'A' setting allows the address, which
// spares the message the dictionary check.
int ListCheck(ListStore* lists, std::string_view other, const AttributeTable& settings, char mode,
              const Direction& direction, bool& skipContent, std::string* reason) {
  int answer = lists ? lists->CheckList(other, settings, direction.letter) : kListNothing;
  if (answer == kListDeny) {
    SetReason(reason, ReasonText(direction.denyText, other));
    return 1;
  }
  if (answer == kListAllow) {
    skipContent = true;
  } else if (mode == 'A' && answer != kListAllowScored) {
    SetReason(reason, ReasonText(direction.allowOnlyText, other));
    return 1;
  }
  return 0;
}

// The patterns of a BlockedMIMETypes value. Empty items (as a trailing separator
// leaves) are dropped: an empty pattern would match every type and so block all mail.
std::vector<std::string> SplitPatterns(std::string_view value) {
  std::vector<std::string> patterns;
  size_t from = 0;
  while (from <= value.size()) {
    size_t end = value.find(kItemSeparator, from);
    if (end == std::string_view::npos) end = value.size();
    std::string_view item = value.substr(from, end - from);
    size_t first = item.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      size_t last = item.find_last_not_of(" \t");
      patterns.emplace_back(item.substr(first, last - first + 1));
    }
    from = end + 1;
  }
  return patterns;
}

// The MIME check: 1 when a part of the message has a type that a blocked pattern
// matches. A message without parts counts as one part of its own type; a part
// without a type counts as text/plain.
int MimeCheck(CTernMessage& body, const AttributeTable& settings, const Direction& direction,
              std::string* reason) {
  std::string blocked;
  if (!settings.Get(kAttrBlockedMIMETypes, blocked) || blocked.empty()) return 0;
  std::vector<std::string> patterns = SplitPatterns(blocked);
  if (patterns.empty()) return 0;
  std::vector<std::string> types;
  int32_t parts = body.PartCount();
  if (parts <= 0) {
    types.push_back(body.Description().type);
  } else {
    for (int32_t n = 1; n <= parts; ++n) {
      TernContentDescription description;
      if (body.Part(n, description)) types.push_back(description.type);
    }
  }
  for (std::string& type : types) {
    if (type.empty()) type = "text/plain";
    for (const std::string& pattern : patterns) {
      if (MimeTypeMatches(pattern, type)) {
        SetReason(reason, ReasonText(direction.mimeText, type));
        return 1;
      }
    }
  }
  return 0;
}

// Fills buffer from the body after the have bytes it holds already; the bytes it
// now holds. Stops short only at the end of the message or on a read error.
size_t FillChunk(CTernMessage& body, std::vector<char>& buffer, size_t have, bool& ended) {
  while (have < buffer.size()) {
    int32_t n = body.Read(buffer.data() + have, static_cast<int32_t>(buffer.size() - have));
    if (n <= 0) {
      ended = true;
      break;
    }
    have += static_cast<size_t>(n);
  }
  return have;
}

// Appends the found lines of one chunk to what the earlier chunks found, whole lines
// only, keeping the total below kFilterFoundSize.
void AddFound(std::string& all, std::string_view found) {
  while (!found.empty()) {
    size_t end = found.find('\n');
    size_t length = end == std::string_view::npos ? found.size() : end + 1;
    if (all.size() + length >= kFilterFoundSize) return;
    all.append(found.substr(0, length));
    found.remove_prefix(length);
  }
}

// The dictionary check: the message's text is scored in chunks of up to
// kFilterChunkSize bytes against the dictionaries in DictsToUse, and refused as soon
// as the running total reaches the threshold. A full chunk ends after its last
// blank or line break, the rest starting the next chunk, so that no word is cut in
// two and lost to the scoring.
int ContentCheck(DictionaryStore* dictionaries, CTernMessage& body, const AttributeTable& settings,
                 std::string_view quoted, const Direction& direction, std::string* reason) {
  if (!dictionaries) return 0;
  std::string dicts;
  if (!settings.Get(kAttrDictsToUse, dicts) || dicts.empty()) return 0;
  std::string value;
  long threshold = settings.Get(kAttrDDRThreshold, value) ? SettingNumber(value) : 0;
  if (threshold < 1) threshold = kFilterDefaultThreshold;
  if (!body.Rewind()) return 0;

  std::vector<char> buffer(kFilterChunkSize);
  std::string carry;
  std::string found, allFound;
  long long total = 0;
  bool ended = false;
  while (!ended || !carry.empty()) {
    std::memcpy(buffer.data(), carry.data(), carry.size());
    size_t have = FillChunk(body, buffer, carry.size(), ended);
    carry.clear();
    if (have == 0) break;
    size_t length = have;
    if (!ended) {
      for (size_t i = have; i > 0; --i) {
        char c = buffer[i - 1];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
          length = i;
          break;
        }
      }
      carry.assign(buffer.data() + length, have - length);
    }
    int32_t score = 0;
    found.clear();
    if (dictionaries->Score(buffer.data(), length, 3, dicts, score, &found, kFilterFoundSize) != 0)
      continue;
    total += score;
    AddFound(allFound, found);
    if (total >= threshold) {
      SetReason(reason, ReasonText(direction.contentText, quoted) + allFound);
      return 1;
    }
  }
  return 0;
}

// One check. other is the address the settings speak of (the recipient when
// sending, the sender when receiving), own the address whose user's settings apply.
int Check(const FilterObjects& objects, std::string_view own, std::string_view other,
          std::string_view client, CTernMessage* body, bool defaultOnly, std::string* reason,
          const Direction& direction) {
  if (reason) reason->clear();
  if (other.empty()) return 0;
  AttributeTable settings;
  if (GetEffectiveSettings(client, SettingsUser(own), defaultOnly, settings) != 0) return 0;
  char mode = FilterModeOf(settings);
  if (mode != 'F' && mode != 'A') return 0;
  bool skipContent = false;
  if (ListCheck(objects.lists, other, settings, mode, direction, skipContent, reason)) return 1;
  if (!body || !body->IsOpen() || !body->IsReading()) return 0;
  if (MimeCheck(*body, settings, direction, reason)) return 1;
  if (!skipContent && ContentCheck(objects.dictionaries, *body, settings, other, direction, reason))
    return 1;
  return 0;
}

// Disposition (recipient status) and result (notice) of a refusal.
int DispositionOf(const std::string& onForbidden) {
  if (!onForbidden.empty() && onForbidden[0] == 'D') return TernRecipientStatus::Done;
  if (!onForbidden.empty() && onForbidden[0] == 'S') return TernRecipientStatus::Waiting;
  return TernRecipientStatus::GivenUp;
}

int ResultOf(int disposition) {
  if (disposition == TernRecipientStatus::GivenUp) return 1;
  if (disposition == TernRecipientStatus::Done) return 2;
  return 0;
}

}  // namespace

void SetFilterObjects(ListStore* lists, DictionaryStore* dictionaries) {
  g_Lists.store(lists);
  g_Dictionaries.store(dictionaries);
}

ListStore* FilterLists() { return g_Lists.load(); }
DictionaryStore* FilterDictionaries() { return g_Dictionaries.load(); }
FilterObjects FilterObjectsInUse() { return {FilterLists(), FilterDictionaries()}; }

int CheckSend(std::string_view sender, std::string_view recipient, std::string_view client,
              CTernMessage* body, bool defaultOnly, std::string* reason) {
  return Check(FilterObjectsInUse(), sender, recipient, client, body, defaultOnly, reason, kSend);
}

int CheckReceive(std::string_view sender, std::string_view recipient, std::string_view client,
                 CTernMessage* body, bool defaultOnly, std::string* reason) {
  return Check(FilterObjectsInUse(), recipient, sender, client, body, defaultOnly, reason,
               kReceive);
}

int CheckReceiveWith(std::string_view sender, const AttributeTable& settings, std::string* reason) {
  if (reason) reason->clear();
  if (sender.empty()) return 0;
  char mode = FilterModeOf(settings);
  if (mode != 'F' && mode != 'A') return 0;
  bool skipContent = false;
  return ListCheck(FilterLists(), sender, settings, mode, kReceive, skipContent, reason);
}

bool MimeTypeMatches(std::string_view pattern, std::string_view type) {
  auto split = [](std::string_view text, std::string_view& major, std::string_view& minor) {
    size_t slash = text.find('/');
    major = text.substr(0, slash);
    minor = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
  };
  auto agree = [](std::string_view a, std::string_view b) {
    return a.empty() || b.empty() || a == "*" || b == "*" || TernEqualsNoCase(a, b);
  };
  std::string_view patternType, patternSub, typeType, typeSub;
  split(pattern, patternType, patternSub);
  split(type, typeType, typeSub);
  return agree(patternType, typeType) && agree(patternSub, typeSub);
}

namespace {

// What the message-level filter works with for one message.
struct MessageFilter {
  CTernQueuedMessage& message;
  const FilterObjects& objects;
  CTernMessage* body;  // open for reading, or null: the lists alone decide
  std::string sender, client;
  bool untraceable;  // the sender names no local user whose settings apply
  bool unfiltered;   // resubmitted after an approval: no send checks
  int disposition;   // of a refused recipient, from the sender's OnForbidden
  bool changed = false;

  int CheckSend(std::string_view from, std::string_view to, std::string_view via, bool defaultOnly,
                std::string& reason) {
    return Check(objects, from, to, via, body, defaultOnly, &reason, kSend);
  }
  void Refuse(TernRecipient& recipient, std::string text) {
    recipient.reason = kFilterReasonNotAllowed;
    recipient.status = disposition;
    recipient.notice = ResultOf(disposition);
    recipient.reasonText = std::move(text);
    changed = true;
  }
  void ExpandLists();
  void CheckRecipients();
};

// Recipients that name list objects are replaced by the lists' members; members
// added are visited too, and a list met again is dropped, so lists that hold each
// other end. A list the sender may not send to stays, refused, for the report.
void MessageFilter::ExpandLists() {
  Configuration* configuration = Configuration::Process();
  if (!objects.lists || !configuration) return;
  std::vector<TernRecipient>& recipients = message.Recipients();
  std::unordered_set<std::string> expanded;
  for (size_t i = 0; i < recipients.size();) {
    std::string routing = RoutingForm(recipients[i].address);
    if (routing.empty() || IsRemoteRoute(routing) || configuration->ObjectExists('L', routing) != 1) {
      ++i;
      continue;
    }
    std::string key = TernLoweredAscii(routing);
    if (expanded.count(key)) {
      recipients.erase(recipients.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
      continue;
    }
    std::string reason;
    if (!unfiltered && !untraceable &&
        CheckSend(sender, recipients[i].address, client, false, reason))
      Refuse(recipients[i], std::move(reason));
    if (recipients[i].status != TernRecipientStatus::Waiting) {
      ++i;
      continue;
    }
    std::string name;
    if (configuration->CanonicalName('L', routing, name) != 0) name = routing;
    std::string owner = name.rfind("owner-", 0) == 0 ? name : "owner-" + name;
    CTernList<CTernString> members(CTernString::Order);
    objects.lists->GetMembers(name, members);
    std::vector<std::string> addresses;
    members.ForEach([&](const CTernString& member) {
      const std::string& address = member.Str();
      if (address.empty() || address.front() == '@' || address.back() == '@') return;
      addresses.push_back(address);
    });
    expanded.insert(key);
    recipients.erase(recipients.begin() + static_cast<std::ptrdiff_t>(i));
    for (const std::string& address : addresses) {
      TernRecipient added;
      added.address = address;
      added.secondAddress = owner;
      recipients.push_back(std::move(added));
    }
    changed = true;
  }
}

// The send checks per recipient, and each canonical address kept once (its first
// entry stays).
void MessageFilter::CheckRecipients() {
  std::vector<TernRecipient>& recipients = message.Recipients();
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < recipients.size();) {
    CTernMailAddress parsed;
    if (recipients[i].address.empty() || parsed.Parse(recipients[i].address) != 0) {
      ++i;
      continue;
    }
    if (!seen.insert(parsed.Form(kMailFormCanonical)).second) {
      recipients.erase(recipients.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
      continue;
    }
    TernRecipient& recipient = recipients[i++];
    if (unfiltered || recipient.reason == kFilterReasonNotAllowed) continue;
    std::string reason;
    int refused = 0;
    if (!untraceable) {
      refused = CheckSend(sender, recipient.address, client, false, reason);
    } else if (IsRemoteRoute(parsed.Form(kMailFormRouting))) {
      // Mail from outside passing on to outside: the system's and the client's
      // settings decide, in both directions.
      refused = Check(objects, "", sender, client, body, true, &reason, kReceive);
      if (!refused) refused = CheckSend("", recipient.address, "", true, reason);
    }
    if (refused) Refuse(recipient, std::move(reason));
  }
}

}  // namespace

int FilterMessage(CTernQueuedMessage& message, const FilterObjects& objects) {
  // The body is read for the MIME and dictionary checks; without one the lists
  // alone decide.
  bool opened = false;
  CTernMessage* body = message.Body();
  if (!body) {
    opened = message.OpenBodyForReading();
    body = message.Body();
  } else if (!body->IsReading()) {
    body = nullptr;
  }
  // A sender outside the local domains, an empty one and one that does not parse
  // name no local user whose settings could apply: the sender is untraceable.
  std::string senderRouting = RoutingForm(message.Sender());
  bool untraceable = senderRouting.empty() || IsRemoteRoute(senderRouting);
  std::string onForbidden;
  GetEffectiveValue(message.Peer(), untraceable ? std::string() : senderRouting, kAttrOnForbidden,
                    onForbidden);
  MessageFilter filter{message,
                       objects,
                       body,
                       message.Sender(),
                       message.Peer(),
                       untraceable,
                       message.Kind() == TernMessageKind::Resubmitted,
                       DispositionOf(onForbidden)};
  filter.ExpandLists();
  filter.CheckRecipients();
  if (opened) message.CloseBody();
  if (filter.changed) message.Touch();
  return 0;
}
