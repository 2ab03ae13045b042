// CTernRelayNetworks: the clients allowed to relay, from the RelayClients setting.
#include "transport/smtp_relay.h"

#include <algorithm>

#include "base/number.h"
#include "config/effective_settings.h"
#include "net/network_address.h"
#include "platform/socket.h"

namespace {

bool IsSeparator(char c) { return c == '\x1c' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

CTernRelayNetworks::CTernRelayNetworks() : CTernRelayNetworks(std::string_view()) {}

CTernRelayNetworks::CTernRelayNetworks(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::string_view entry = text.substr(at, end - at);
    at = end;
    if (entry.empty()) continue;
    int prefix = 32;
    size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
      std::string_view digits = entry.substr(slash + 1);
      if (!TernParseNumber(digits, prefix, 0, 32)) continue;
      entry = entry.substr(0, slash);
    }
    // Only the usual four-part form: "10.1" would otherwise mean 10.0.0.1.
    if (std::count(entry.begin(), entry.end(), '.') != 3) continue;
    uint32_t address = 0;
    if (!ParseDotted(entry, address)) continue;
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    m_Networks.push_back({PlatformAddressHostOrder(address) & mask, mask});
  }
  if (m_Networks.empty()) m_Networks.push_back({0x7F000000u, 0xFF000000u});
}

bool CTernRelayNetworks::Allows(uint32_t address) const {
  uint32_t host = PlatformAddressHostOrder(address);
  for (const Network& n : m_Networks)
    if ((host & n.mask) == n.base) return true;
  return false;
}

bool CTernRelayNetworks::Allows(std::string_view dotted) const {
  uint32_t address = 0;
  return std::count(dotted.begin(), dotted.end(), '.') == 3 && ParseDotted(dotted, address) &&
         Allows(address);
}

CTernRelayNetworks CTernRelayNetworks::FromSettings() {
  std::string value;
  if (GetEffectiveValue("", "", kAttrRelayClients, value) != 0) value.clear();
  return CTernRelayNetworks(value);
}
