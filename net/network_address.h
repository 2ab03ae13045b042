// A network address: a host (a name, a dotted IPv4 text, or none), a port, and the
// IPv4 addresses the host stands for. Every endpoint and server is given one.
//
// The address list is filled lazily: an object made from a host text looks the host
// up through the installed address resolver (net/address_resolver.h) the first time
// an operation needs the addresses; a dotted IPv4 text stands for itself when the
// resolver finds nothing. An object made without a host holds the wildcard address
// 0 (any local interface).
//
// IPv4 addresses are 32-bit values in network byte order everywhere here. Every
// operation holds the object's lock, so one object may be shared between threads;
// a look-up runs under that lock and can take as long as the resolver's time-outs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"

// Reads a dotted IPv4 text of 1 to 4 parts, each of the digits 0-9 only and at most
// 255: a.b.c.d as usual; a.b.c as a.b.0.c; a.b as a.0.0.b; a alone as 0.0.0.a. An
// empty text or an empty part is no address. On success address gets the value in
// network byte order; on failure it is left unchanged and the result is false.
[[nodiscard]] bool ParseDotted(std::string_view text, uint32_t& address);

// The four bytes of address (network byte order), most significant first, in
// decimal, separated by ".".
std::string FormatDotted(uint32_t address);
// True for dotted text of a loopback address (127.0.0.0/8).
bool IsLoopbackDotted(std::string_view text);

class CTernNetAddress {
 public:
  // No host: the wildcard address 0, port 0.
  CTernNetAddress();
  // A host text, resolved when first needed; an empty text means no host (the
  // wildcard address).
  explicit CTernNetAddress(std::string_view host, uint16_t port = 0);
  // One IPv4 address (network byte order) and a port, with no host text.
  CTernNetAddress(uint32_t address, uint16_t port);
  CTernNetAddress(const CTernNetAddress& other);
  CTernNetAddress& operator=(const CTernNetAddress& other);
  ~CTernNetAddress() = default;

  // Makes sure the address list is filled, then copies it into addresses (replacing
  // what it held). False when the list is empty.
  bool Resolve(std::vector<uint32_t>& addresses);
  // Every address in dotted form, replacing what texts held; false when none.
  bool GetAddressTexts(std::vector<std::string>& texts);
  // The first address in dotted form; false (text emptied) when there is none.
  bool GetFirstAddressText(std::string& text);
  // The host's name as the reverse look-up of its addresses gives it. The first
  // call resolves a host text afresh and asks for the name of each address in turn;
  // the first answer is kept (and becomes the host text when there was none). False
  // (name emptied) when no address has a name.
  bool GetCanonicalName(std::string& name);

  // The text that names this address in messages: the canonical name (or the host
  // text when there is none), then, when the list holds addresses, " [" + the dotted
  // form of address number index + "]" ("BadAddrNum" in its place when index is not
  // below the number of addresses), then "." + the port when the port is not 0.
  // Example: mail.example.org [10.0.0.1].25. The list is not resolved for this.
  std::string Describe(size_t index = 0);

  // Empties the host text and the canonical name and makes the list this address.
  void SetAddress(uint32_t address);
  // Appends one address to the list.
  void AddAddress(uint32_t address);
  void SetPort(uint16_t port);

  uint16_t Port() const;
  // The host text as given (empty when none).
  std::string Host() const;

 private:
  // Empties the list and fills it from the host text. REQUIRES: m_Lock held.
  void ResolveLocked();
  // Resolves when the list is empty. REQUIRES: m_Lock held.
  void EnsureResolvedLocked();

  mutable CTernLock m_Lock;  // guards every member below
  std::string m_Host;
  std::string m_CanonicalName;
  std::vector<uint32_t> m_Addresses;
  uint16_t m_Port = 0;
};
