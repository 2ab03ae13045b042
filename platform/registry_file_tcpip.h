// The TCP/IP parameters key as this machine has it, for a registry file that does
// not carry the key itself: the host name from gethostname() and the resolver
// settings from resolv.conf, in the form the Windows TCP/IP parameters hold them.
//
//   Hostname    the host name's first label
//   Domain      resolv.conf "domain"; else the rest of the host name after its first
//               label; else empty
//   NameServer  the IPv4 addresses of the "nameserver" lines, in file order,
//               separated by single spaces, each possibly with ":" and a port
//               (other addresses are left out: the resolver speaks IPv4 only)
//   SearchList  the domains of the last "search" line, separated by single spaces
//
// Readers of NameServer and SearchList should split at spaces and commas alike, as
// both separators occur in Windows settings.
#pragma once

#include <string>
#include <vector>

#include "platform/registry_file_text.h"

// The key, below HKEY_LOCAL_MACHINE.
inline constexpr char kPlatformTcpipKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

struct PlatformResolverConf {
  std::string domain;
  std::vector<std::string> nameServers;
  std::vector<std::string> search;
};

// Parses resolv.conf text; unknown lines and malformed entries are skipped.
PlatformResolverConf PlatformParseResolvConf(const std::string& text);

// The four values, in the order above, from this host's name and the resolv.conf
// at path (a missing file gives empty resolver values).
std::vector<PlatformRegValue> PlatformTcpipParameters(const std::string& resolvConfPath);
