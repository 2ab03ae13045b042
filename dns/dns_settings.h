// Where the resolver asks: the name servers and the search list of the machine's
// TCP/IP parameters (registry key SYSTEM\CurrentControlSet\Services\Tcpip\Parameters,
// which the registry file carries or the platform answers from resolv.conf).
//
// A name server entry is a dotted IPv4 address, optionally followed by ":" and a
// port (53 when none is given), so that a resolver on another port of this host,
// or a test's own server, can be named: "127.0.0.1:5353". Entries are separated by
// blanks or commas; any other entry (an IPv6 address among them) is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/network_address.h"

constexpr uint16_t kTernDnsPort = 53;

struct TernDnsSettings {
  std::vector<CTernNetAddress> servers;  // IPv4 address and port of each server
  std::vector<std::string> searchList;   // domains tried after a name without a dot
  int skipped = 0;                       // name server entries that were not usable
};

// The name servers of a NameServer value, in order; skipped counts the entries
// left out.
std::vector<CTernNetAddress> TernDnsParseServers(std::string_view value, int& skipped);

// The domains of a SearchList value, in order, without final dots; when the value
// names none, the Domain value (when set) is the only one.
std::vector<std::string> TernDnsParseSearchList(std::string_view searchList,
                                                std::string_view domain);

// Reads NameServer, SearchList and Domain from the TCP/IP parameters.
TernDnsSettings TernDnsReadSettings();
