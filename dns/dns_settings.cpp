// Reading the name servers and the search list.
#include "dns/dns_settings.h"

#include <algorithm>
#include <charconv>

#include "platform/registry_file.h"
#include "platform/registry_file_tcpip.h"

namespace {

std::vector<std::string_view> Entries(std::string_view value) {
  std::vector<std::string_view> entries;
  size_t at = 0;
  while (at < value.size()) {
    size_t end = value.find_first_of(" \t,", at);
    if (end == std::string_view::npos) end = value.size();
    if (end > at) entries.push_back(value.substr(at, end - at));
    at = end + 1;
  }
  return entries;
}

bool ParseServer(std::string_view entry, CTernNetAddress& server) {
  size_t colon = entry.find(':');
  std::string_view host = entry.substr(0, colon);
  uint32_t address = 0;
  // Four parts, as name servers are written; the short forms are no server.
  if (std::count(host.begin(), host.end(), '.') != 3 || !ParseDotted(host, address)) return false;
  unsigned port = kTernDnsPort;
  if (colon != std::string_view::npos) {
    std::string_view digits = entry.substr(colon + 1);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        port < 1 || port > 65535 || digits.front() == '+')
      return false;
  }
  server = CTernNetAddress(address, static_cast<uint16_t>(port));
  return true;
}

std::string Value(const char* name) {
  std::string value;
  if (!PlatformRegistryGetValue(kPlatformTcpipKey, name, value).Ok()) value.clear();
  return value;
}

}  // namespace

std::vector<CTernNetAddress> TernDnsParseServers(std::string_view value, int& skipped) {
  std::vector<CTernNetAddress> servers;
  skipped = 0;
  for (std::string_view entry : Entries(value)) {
    CTernNetAddress server;
    if (ParseServer(entry, server)) {
      servers.push_back(server);
    } else {
      skipped++;
    }
  }
  return servers;
}

std::vector<std::string> TernDnsParseSearchList(std::string_view searchList,
                                                std::string_view domain) {
  std::vector<std::string> domains;
  for (std::string_view entry : Entries(searchList)) {
    while (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
    if (!entry.empty()) domains.emplace_back(entry);
  }
  if (domains.empty()) {
    while (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
    if (!domain.empty()) domains.emplace_back(domain);
  }
  return domains;
}

TernDnsSettings TernDnsReadSettings() {
  TernDnsSettings settings;
  settings.servers = TernDnsParseServers(Value("NameServer"), settings.skipped);
  settings.searchList = TernDnsParseSearchList(Value("SearchList"), Value("Domain"));
  return settings;
}
