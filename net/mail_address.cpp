// CTernMailAddress: splitting a text into prefix, address part and suffix,
// normalising the address part, and peeling it into the routing form and the
// canonical address.
#include "net/mail_address.h"

#include <new>
#include <optional>
#include <vector>

#include "net/local_domains.h"
#include "net/network_address.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// For each position i of text (and its end), the first position at or after i that
// holds no blank; text.size() when only blanks follow. Keeps the look-ahead of the
// blank rules linear in the length of the text.
std::vector<size_t> NextNonBlank(std::string_view text) {
  std::vector<size_t> next(text.size() + 1);
  next[text.size()] = text.size();
  for (size_t i = text.size(); i-- > 0;) next[i] = IsBlank(text[i]) ? next[i + 1] : i;
  return next;
}

// The address part of a text: [start, end).
struct AddressPart {
  size_t start;
  size_t end;
};

// One pass over the text. The address part begins behind the last "<", behind a
// group name's ":", or behind leading blanks; it ends at ">", ";", or trailing
// blanks. Quoted text and backslash-escaped characters do not count.
AddressPart FindAddressPart(std::string_view text) {
  const size_t n = text.size();
  const std::vector<size_t> next = NextNonBlank(text);
  bool inQuotes = false, seenAngleOrAt = false, seenWord = false;
  size_t start = 0;
  std::optional<size_t> end;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '\\') {
      ++i;  // the next character is passed over unexamined
      continue;
    }
    if (c == '"') {
      inQuotes = !inQuotes;
      continue;
    }
    if (inQuotes) {
      if (!IsBlank(c) && c != ':' && c != ';' && c != '<' && c != '>' && c != '@') seenWord = true;
      continue;
    }
    if (IsBlank(c)) {
      size_t j = next[i + 1];
      if (!end && (j == n || text[j] == ';')) end = i;
      if (!seenWord && !seenAngleOrAt) start = i + 1;
    } else if (c == ':') {
      if (!seenAngleOrAt) {
        start = i + 1;
        seenWord = false;
      }
    } else if (c == ';') {
      end = i;
    } else if (c == '<') {
      start = i + 1;
      seenAngleOrAt = true;
    } else if (c == '>') {
      if (seenAngleOrAt) end = i;
    } else if (c == '@') {
      seenAngleOrAt = true;
    } else {
      seenWord = true;
    }
  }
  size_t stop = end.value_or(n);
  if (stop < start) stop = n;
  return {start, stop};
}

// Drops comments, backslashes (keeping what they escape), blanks inside quotes and
// blanks outside quotes next to ".", "@" and comments or at either end:
// " jo . bloggs (Jo) @ example.org " becomes jo.bloggs@example.org.
std::string Normalise(std::string_view part) {
  const size_t n = part.size();
  const std::vector<size_t> next = NextNonBlank(part);
  std::string out;
  bool inComment = false, inQuotes = false;
  for (size_t i = 0; i < n; ++i) {
    char c = part[i];
    if (inComment) {
      if (c == ')') inComment = false;
      continue;
    }
    if (c == '"') {
      inQuotes = !inQuotes;
      out += c;
    } else if (c == '\\') {
      if (i + 1 < n) out += part[++i];
    } else if (!inQuotes && (c == '(' || c == ')')) {
      inComment = c == '(';
    } else if (IsBlank(c)) {
      if (inQuotes) continue;
      size_t j = next[i + 1];
      bool dropForNext = j == n || part[j] == '.' || part[j] == '@' || part[j] == '(';
      bool dropForPrevious = out.empty() || out.back() == '.' || out.back() == '@' || out.back() == ')';
      if (!dropForNext && !dropForPrevious) out += c;
    } else {
      out += c;
    }
  }
  return out;
}

// Positions of separators that are not preceded by a backslash.
bool Counts(std::string_view w, size_t position) { return position == 0 || w[position - 1] != '\\'; }

size_t FindFirst(std::string_view w, char separator, size_t from) {
  for (size_t p = from; p < w.size(); ++p)
    if (w[p] == separator && Counts(w, p)) return p;
  return std::string_view::npos;
}

// The last counting separator after the first character.
size_t FindLast(std::string_view w, char separator) {
  for (size_t p = w.size(); p-- > 1;)
    if (w[p] == separator && Counts(w, p)) return p;
  return std::string_view::npos;
}

// One peeling step of a non-empty work text into local part and domain; false when
// the text is malformed (a route without ":", nothing after the separator).
bool Peel(std::string_view w, std::string_view& local, std::string_view& domain) {
  if (w[0] == '@') {  // source route: @relay.example.com:rest
    size_t colon = FindFirst(w, ':', 1);
    if (colon == std::string_view::npos || colon + 1 == w.size()) return false;
    domain = w.substr(1, colon - 1);
    local = w.substr(colon + 1);
    return true;
  }
  for (char separator : {'@', '%'}) {  // local@domain, local%domain
    size_t p = FindLast(w, separator);
    if (p == std::string_view::npos) continue;
    if (p + 1 == w.size()) return false;
    local = w.substr(0, p);
    domain = w.substr(p + 1);
    return true;
  }
  size_t bang = FindFirst(w, '!', 0);  // domain!local
  if (bang != std::string_view::npos) {
    if (bang + 1 == w.size()) return false;
    domain = w.substr(0, bang);
    local = w.substr(bang + 1);
    return true;
  }
  local = w;
  domain = {};
  return true;
}

// The routing form and canonical address built from a normalised address part.
struct Forms {
  std::string routing;
  std::string canonical;
};

// The domain as the canonical address names it when it is the first one seen.
std::string FirstDomain(std::string_view domain, bool local, const CTernLocalDomains& domains) {
  if (local) return domains.Domain().empty() ? std::string(domain) : domains.Domain();
  if (domain.find('.') != std::string_view::npos) return std::string(domain);
  // A dotless name is written as the name its addresses resolve back to.
  CTernNetAddress address(domain);
  std::string name;
  return address.GetCanonicalName(name) ? name : std::string(domain);
}

bool BuildForms(std::string_view w, const CTernLocalDomains& domains, bool resolveLiterals,
                bool keepLocalDomains, Forms& forms) {
  std::string& r = forms.routing;
  std::string& c = forms.canonical;
  bool firstDomainPassed = false;
  while (!w.empty()) {
    std::string_view local, domain;
    if (!Peel(w, local, domain)) return false;
    w = (domain.empty() && !local.empty()) ? std::string_view() : local;
    if (domain.empty()) {
      if (local.empty()) continue;
      if (!r.empty()) r += '!';
      r += local;
      if (!c.empty()) {
        c.insert(0, local);
      } else {
        c = local;
        if (!domains.Domain().empty()) c += "@" + domains.Domain();
      }
      continue;
    }
    // The local-domain test may wait for the resolver, so it runs only when its
    // answer matters: for the first domain, and while leading local domains are
    // being left out of the route.
    std::optional<bool> isLocal;
    auto domainIsLocal = [&] {
      if (!isLocal) isLocal = domains.IsLocal(domain, resolveLiterals);
      return *isLocal;
    };
    if (!c.empty()) {
      c.insert(0, "%" + std::string(domain));
    } else {
      c = "@" + FirstDomain(domain, domainIsLocal(), domains);
    }
    if (!firstDomainPassed && !keepLocalDomains && domainIsLocal()) continue;
    firstDomainPassed = true;
    if (!r.empty()) r += '!';
    r += domain;
  }
  return true;
}

}  // namespace

CTernMailAddress::CTernMailAddress(bool resolveLiterals) : m_ResolveLiterals(resolveLiterals) {}

int CTernMailAddress::Parse(const char* text) {
  if (!text) {
    CTernLockGuard guard(m_Lock);
    ClearLocked();
    return 0;
  }
  return Parse(std::string_view(text));
}

int CTernMailAddress::Parse(std::string_view text) {
  CTernLockGuard guard(m_Lock);
  return ParseLocked(text, false);
}

int CTernMailAddress::ParseKeepingLocalDomains(std::string_view text) {
  CTernLockGuard guard(m_Lock);
  return ParseLocked(text, true);
}

void CTernMailAddress::ClearLocked() {
  m_HasForms = false;
  m_Routing.clear();
  m_Canonical.clear();
  m_Display.clear();
  m_Input.clear();
}

int CTernMailAddress::ParseLocked(std::string_view text, bool keepLocalDomains) {
  ClearLocked();
  try {
    std::shared_ptr<const CTernLocalDomains> domains = TernRefreshLocalDomains();
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    if (text.size() >= kMailAddressMaxLength || text.empty()) return 1;
    AddressPart part = FindAddressPart(text);
    std::string normalised = Normalise(text.substr(part.start, part.end - part.start));
    Forms forms;
    if (!BuildForms(normalised, *domains, m_ResolveLiterals, keepLocalDomains, forms)) return 1;
    std::string display;
    display.reserve(part.start + forms.canonical.size() + (text.size() - part.end));
    display.append(text.substr(0, part.start)).append(forms.canonical).append(text.substr(part.end));
    m_Input.assign(text);
    m_Display = std::move(display);
    m_Routing = std::move(forms.routing);
    m_Canonical = std::move(forms.canonical);
    m_HasForms = true;
    return 0;
  } catch (const std::bad_alloc&) {
    ClearLocked();
    return -1;
  }
}

bool CTernMailAddress::GetForm(int number, std::string& form) const {
  CTernLockGuard guard(m_Lock);
  if (!m_HasForms) {
    form.clear();
    return false;
  }
  switch (number) {
    case kMailFormRouting: form = m_Routing; break;
    case kMailFormCanonical: form = m_Canonical; break;
    case kMailFormDisplay: form = m_Display; break;
    default: form = m_Input; break;
  }
  return true;
}

std::string CTernMailAddress::Form(int number) const {
  std::string form;
  GetForm(number, form);
  return form;
}

bool CTernMailAddress::HasForms() const {
  CTernLockGuard guard(m_Lock);
  return m_HasForms;
}

bool CTernMailAddress::IsLocal() const {
  CTernLockGuard guard(m_Lock);
  return m_Routing.find('!') == std::string::npos;
}
