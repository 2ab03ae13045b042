// CTernNetAddress and the dotted IPv4 text conversions.
#include "net/network_address.h"

#include <cstring>
#include <utility>

#include "net/address_resolver.h"
#include "platform/socket.h"

namespace {

// The 32-bit value whose bytes in memory are b0.b1.b2.b3 (network byte order).
uint32_t FromBytes(uint32_t hostOrder) {
  unsigned char bytes[4] = {static_cast<unsigned char>(hostOrder >> 24),
                            static_cast<unsigned char>(hostOrder >> 16),
                            static_cast<unsigned char>(hostOrder >> 8),
                            static_cast<unsigned char>(hostOrder)};
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace

bool ParseDotted(std::string_view text, uint32_t& address) {
  uint32_t parts[4];
  size_t count = 0;
  size_t i = 0;
  while (true) {
    if (count == 4) return false;  // a fifth part
    uint32_t value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      if (value > 255) return false;
      ++i;
      ++digits;
    }
    if (digits == 0) return false;  // an empty part, or a character that is no digit
    parts[count++] = value;
    if (i == text.size()) break;
    if (text[i] != '.') return false;
    ++i;
  }
  uint32_t v = 0;
  switch (count) {
    case 1: v = parts[0]; break;
    case 2: v = (parts[0] << 24) | parts[1]; break;
    case 3: v = (parts[0] << 24) | (parts[1] << 16) | parts[2]; break;
    default: v = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]; break;
  }
  address = FromBytes(v);
  return true;
}

std::string FormatDotted(uint32_t address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

CTernNetAddress::CTernNetAddress() : m_Addresses{0} {}

CTernNetAddress::CTernNetAddress(std::string_view host, uint16_t port)
    : m_Host(host), m_Port(port) {
  if (m_Host.empty()) m_Addresses.push_back(0);
}

CTernNetAddress::CTernNetAddress(uint32_t address, uint16_t port)
    : m_Addresses{address}, m_Port(port) {}

CTernNetAddress::CTernNetAddress(const CTernNetAddress& other) {
  CTernLockGuard guard(other.m_Lock);
  m_Host = other.m_Host;
  m_CanonicalName = other.m_CanonicalName;
  m_Addresses = other.m_Addresses;
  m_Port = other.m_Port;
}

CTernNetAddress& CTernNetAddress::operator=(const CTernNetAddress& other) {
  if (&other == this) return *this;
  // Copy out under the other's lock, then assign under ours: never both at once.
  std::string host, canonical;
  std::vector<uint32_t> addresses;
  uint16_t port;
  {
    CTernLockGuard guard(other.m_Lock);
    host = other.m_Host;
    canonical = other.m_CanonicalName;
    addresses = other.m_Addresses;
    port = other.m_Port;
  }
  CTernLockGuard guard(m_Lock);
  m_Host = std::move(host);
  m_CanonicalName = std::move(canonical);
  m_Addresses = std::move(addresses);
  m_Port = port;
  return *this;
}

void CTernNetAddress::ResolveLocked() {
  m_Addresses.clear();
  std::vector<uint32_t> found;
  if (TernLookupHost(m_Host, found) == 0) {
    m_Addresses = std::move(found);
    return;
  }
  uint32_t literal;
  if (ParseDotted(m_Host, literal)) m_Addresses.push_back(literal);
}

void CTernNetAddress::EnsureResolvedLocked() {
  if (m_Addresses.empty()) ResolveLocked();
}

bool CTernNetAddress::Resolve(std::vector<uint32_t>& addresses) {
  CTernLockGuard guard(m_Lock);
  EnsureResolvedLocked();
  addresses = m_Addresses;
  return !addresses.empty();
}

bool CTernNetAddress::GetAddressTexts(std::vector<std::string>& texts) {
  CTernLockGuard guard(m_Lock);
  EnsureResolvedLocked();
  texts.clear();
  for (uint32_t a : m_Addresses) texts.push_back(FormatDotted(a));
  return !texts.empty();
}

bool CTernNetAddress::GetFirstAddressText(std::string& text) {
  CTernLockGuard guard(m_Lock);
  EnsureResolvedLocked();
  text = m_Addresses.empty() ? std::string() : FormatDotted(m_Addresses.front());
  return !m_Addresses.empty();
}

bool CTernNetAddress::GetCanonicalName(std::string& name) {
  CTernLockGuard guard(m_Lock);
  if (m_CanonicalName.empty()) {
    if (!m_Host.empty()) ResolveLocked();
    for (uint32_t a : m_Addresses) {
      std::string found;
      if (TernLookupName(a, found) == 0) {
        m_CanonicalName = found;
        if (m_Host.empty()) m_Host = found;
        break;
      }
    }
  }
  name = m_CanonicalName;
  return !name.empty();
}

std::string CTernNetAddress::Describe(size_t index) {
  CTernLockGuard guard(m_Lock);
  std::string text = m_CanonicalName.empty() ? m_Host : m_CanonicalName;
  if (!m_Addresses.empty()) {
    if (!text.empty()) text += ' ';
    text += '[';
    text += index < m_Addresses.size() ? FormatDotted(m_Addresses[index]) : "BadAddrNum";
    text += ']';
  }
  if (m_Port != 0) text += "." + std::to_string(m_Port);
  return text;
}

void CTernNetAddress::SetAddress(uint32_t address) {
  CTernLockGuard guard(m_Lock);
  m_Host.clear();
  m_CanonicalName.clear();
  m_Addresses.assign(1, address);
}

void CTernNetAddress::AddAddress(uint32_t address) {
  CTernLockGuard guard(m_Lock);
  m_Addresses.push_back(address);
}

void CTernNetAddress::SetPort(uint16_t port) {
  CTernLockGuard guard(m_Lock);
  m_Port = port;
}

uint16_t CTernNetAddress::Port() const {
  CTernLockGuard guard(m_Lock);
  return m_Port;
}

std::string CTernNetAddress::Host() const {
  CTernLockGuard guard(m_Lock);
  return m_Host;
}

bool IsLoopbackDotted(std::string_view text) {
  uint32_t address = 0;
  return ParseDotted(text, address) && PlatformAddressHostOrder(address) >> 24 == 127;
}
