// The local mail domains of this server: the system setting Domain (the local
// domain, which completes bare user names) and OtherDomains (further domains whose
// mail is also local, entries separated by the byte 0x1C), as the mail address
// parser needs them.
//
// The values come from a source that the configuration installs; they are read
// again whenever the source's change stamp moves (the configuration was loaded,
// saved or changed), so an edit takes effect at the first parse after it. Without a source both
// are empty. Each refresh yields an immutable snapshot, so a parse compares against
// one consistent pair of values even while another thread refreshes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Where the local domains are read from.
class CTernLocalDomainSource {
 public:
  virtual ~CTernLocalDomainSource() = default;
  // A number that changes whenever the values may have changed (the settings were
  // loaded, saved or edited); a change makes the domains be read again.
  virtual uint64_t ChangeStamp() = 0;
  // The value in force for the system of a setting, into buffer (size bytes). The
  // first byte is set to NUL first; a value of size bytes or more is not copied.
  virtual void SystemValue(const char* name, char* buffer, size_t size) = 0;
};

// Buffer sizes the two settings are read with: longer values count as absent.
inline constexpr size_t kTernDomainBufferSize = 4096;
inline constexpr size_t kTernOtherDomainsBufferSize = 65536;

class CTernLocalDomains {
 public:
  CTernLocalDomains() = default;
  // otherDomains is turned to lower case here.
  CTernLocalDomains(std::string domain, std::string otherDomains);

  // The Domain setting as written; empty when not set.
  const std::string& Domain() const { return m_Domain; }

  // Whether domain is local. T is domain in lower case without "[" and "]"; with
  // resolveLiterals and T a dotted IPv4 text, T becomes the name the reverse
  // look-up gives for it (when there is one). Local when T is empty, when domain or
  // T equals Domain without regard to case, or when T is a whole entry of
  // OtherDomains. May wait for the resolver.
  bool IsLocal(std::string_view domain, bool resolveLiterals) const;

 private:
  std::string m_Domain;
  std::string m_OtherDomains;  // lower case
};

// Installs the source (null: none; the domains are then empty). The next refresh
// reads the values afresh.
void TernSetLocalDomainSource(std::shared_ptr<CTernLocalDomainSource> source);

// Reads the values again when the source's change stamp has moved since they were
// last read, and returns the current snapshot (never null).
std::shared_ptr<const CTernLocalDomains> TernRefreshLocalDomains();
