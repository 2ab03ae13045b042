// The mail address parser. It turns an address as written in a command, a header,
// a configuration value or a form into the forms the rest of the system works with:
//   - the routing form: for a local address the user name alone; for a remote one
//     the domains, outermost first, and the local part joined by "!"
//     (jo@example.net gives example.net!jo);
//   - the canonical address local-part@domain, a local domain written as the Domain
//     setting and source routes folded into the "%" notation;
//   - the display form: the whole text with its address part replaced by the
//     canonical address (Jo Bloggs <jo@example.org> keeps the name and brackets);
//   - the input text, less trailing CR and LF.
// Source routes (@relay:jo@host), "%" and "!" notations are peeled into one route;
// bare names are completed with the local domain (net/local_domains.h).
//
// Text from the network is parsed here: any length and any bytes are safe. One
// object may be shared between threads; it holds its lock for a whole parse and
// while handing out a form. A parse may wait for the address resolver (the
// canonical name of a dotless domain, the name of an IPv4 literal).
#pragma once

#include <string>
#include <string_view>

#include "base/lock.h"

// Form numbers for GetForm; any other number gives the input text.
inline constexpr int kMailFormInput = 1;
inline constexpr int kMailFormRouting = 2;
inline constexpr int kMailFormCanonical = 3;
inline constexpr int kMailFormDisplay = 4;

// Texts of this many characters or more (after trailing CR and LF are removed)
// are invalid.
inline constexpr size_t kMailAddressMaxLength = 4094;

class CTernMailAddress {
 public:
  // resolveLiterals: a domain written as an IPv4 literal is replaced by its reverse-
  // resolved name before it is tested for being local.
  explicit CTernMailAddress(bool resolveLiterals = true);
  CTernMailAddress(const CTernMailAddress&) = delete;
  CTernMailAddress& operator=(const CTernMailAddress&) = delete;

  // Parses text, discarding earlier forms first. 0: valid, the forms are stored;
  // 1: invalid, the object holds no forms; -1: the forms could not be stored (out of
  // memory). A null text empties the object and answers 0. An empty address part,
  // as in "<>", is valid with an empty routing form and canonical address.
  [[nodiscard]] int Parse(const char* text);
  [[nodiscard]] int Parse(std::string_view text);
  // As Parse, but the routing form keeps a leading local domain (a local address
  // gives example.org!jo instead of jo).
  [[nodiscard]] int ParseKeepingLocalDomains(std::string_view text);

  // The form by number (kMailForm...). False, and form emptied, when the object
  // holds no forms.
  bool GetForm(int number, std::string& form) const;
  // The same, empty when the object holds no forms.
  std::string Form(int number) const;
  bool HasForms() const;
  // True when the routing form has no "!" (also when the object holds no forms).
  bool IsLocal() const;

 private:
  int ParseLocked(std::string_view text, bool keepLocalDomains);
  void ClearLocked();

  const bool m_ResolveLiterals;
  mutable CTernLock m_Lock;  // guards every member below
  bool m_HasForms = false;
  std::string m_Routing;
  std::string m_Canonical;
  std::string m_Display;
  std::string m_Input;
};
