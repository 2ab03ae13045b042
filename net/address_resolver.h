// The narrow interface through which addresses look names up: a host look-up (name
// to IPv4 addresses) and a reverse look-up (IPv4 address to name). The system's own
// DNS resolver installs itself here; until something is installed every look-up
// finds nothing, so dotted IPv4 texts still work and names simply stay unresolved.
// The system resolver of the operating system is deliberately never used.
//
// Installing and looking up are safe from any thread: a look-up keeps the resolver
// it started with alive even when another one is installed meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CTernAddressResolver {
 public:
  virtual ~CTernAddressResolver() = default;

  // The IPv4 addresses (network byte order) that name stands for, in the order the
  // answer gives them, following CNAME records and trying the search list for a
  // name without a dot. 0 on success with at least one address; non-zero otherwise
  // (addresses is then empty).
  virtual int LookupHost(const std::string& name, std::vector<uint32_t>& addresses) = 0;

  // The name that the PTR record under "IN-ADDR.ARPA" gives for address (network
  // byte order). 0 on success; non-zero when there is none (name is then empty).
  virtual int LookupName(uint32_t address, std::string& name) = 0;
};

// Installs the process-wide resolver (null: none, look-ups find nothing).
void TernSetAddressResolver(std::shared_ptr<CTernAddressResolver> resolver);
// The installed resolver (null when none is).
std::shared_ptr<CTernAddressResolver> TernAddressResolver();

// Look-ups through the installed resolver; 1 (and an empty result) when none is
// installed or it finds nothing.
int TernLookupHost(const std::string& name, std::vector<uint32_t>& addresses);
int TernLookupName(uint32_t address, std::string& name);
