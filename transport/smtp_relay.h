// Which SMTP clients may have mail sent on to addresses outside the local domains:
// the System setting RelayClients lists IPv4 addresses and networks in
// address/prefix form ("192.0.2.0/24", "198.51.100.7"), entries separated by the
// byte 0x1C, commas or blanks. When the setting is absent or lists no valid entry,
// only loopback (127.0.0.0/8) may relay.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The System setting that lists the clients allowed to relay.
inline constexpr char kAttrRelayClients[] = "RelayClients";

class CTernRelayNetworks {
 public:
  // Loopback only.
  CTernRelayNetworks();
  // The networks of a setting's text; entries that are not address or
  // address/prefix (prefix 0 to 32) are skipped. Loopback only when none is valid.
  explicit CTernRelayNetworks(std::string_view text);

  // Whether the IPv4 address (network byte order) lies in one of the networks.
  bool Allows(uint32_t address) const;
  // The same for a dotted text; false when the text is no IPv4 address.
  bool Allows(std::string_view dotted) const;

  // The networks read from the System setting in force now.
  static CTernRelayNetworks FromSettings();

 private:
  struct Network {
    uint32_t base;  // host byte order, masked
    uint32_t mask;  // host byte order
  };
  std::vector<Network> m_Networks;
};
