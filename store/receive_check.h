// The receive check a mailbox asks: may the owner receive mail from a sender? The
// content filter makes that decision in a layer above the store, so whoever adds
// mail or builds the mailbox table hands the filter's functions in:
//
//   box.Add(message, flags, sender, CheckReceive);       // the delivery engine
//   table.SetSenderCheck(CheckReceiveWith);              // the start-up
//
// Both follow the filter's convention: 1 when the owner may not receive from
// sender, 0 when the owner may.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class AttributeTable;
class CTernMessage;

// The whole check on a message being added: sender, the owner's user name as the
// recipient, no client, the message open for reading (it is rewound and read),
// defaultOnly true; reason, when given, receives the refusal's text. An empty
// check lets every message in.
using TernReceiveCheck =
    std::function<int(std::string_view sender, std::string_view recipient,
                      std::string_view client, CTernMessage* body, bool defaultOnly,
                      std::string* reason)>;

// The check of a sender alone against the owner's settings in force, collected
// once for all the messages of a mailbox (lists only, no content).
using TernSenderCheck =
    std::function<int(std::string_view sender, const AttributeTable& settings,
                      std::string* reason)>;
