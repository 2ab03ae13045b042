// The route table: registration and the longest-prefix look-up.
#include "web/url_route.h"

#include <utility>

#include "base/ascii.h"

namespace {

std::string WithLeadingSlash(std::string_view text) {
  if (!text.empty() && text.front() == '/') return std::string(text);
  return "/" + std::string(text);
}

}  // namespace

void UrlRouteTable::Add(UrlRoute route) {
  CTernLockGuard guard(m_Lock);
  m_Routes.push_back(std::move(route));
}

void UrlRouteTable::AddPage(std::string_view name, HttpHandler handler) {
  UrlRoute route;
  route.prefix = WithLeadingSlash(name);
  route.kind = kUrlRoutePage;
  route.handler = std::move(handler);
  Add(std::move(route));
}

void UrlRouteTable::AddDirectory(std::string_view prefix, const std::string& directory) {
  UrlRoute route;
  route.prefix = WithLeadingSlash(prefix);
  route.kind = kUrlRouteDirectory;
  route.directory = directory;
  Add(std::move(route));
}

bool UrlRouteTable::Match(std::string_view path, UrlRoute& route) const {
  CTernLockGuard guard(m_Lock);
  const UrlRoute* best = nullptr;
  for (const UrlRoute& candidate : m_Routes) {
    if (!TernBeginsNoCase(path, candidate.prefix)) continue;
    // Only a strictly longer prefix replaces the one chosen.
    if (!best || candidate.prefix.size() > best->prefix.size()) best = &candidate;
  }
  if (!best) return false;
  route = *best;
  return true;
}

HttpHandler UrlRouteTable::Handler(std::string_view name) const {
  std::string prefix = WithLeadingSlash(name);
  CTernLockGuard guard(m_Lock);
  for (const UrlRoute& route : m_Routes)
    if (route.kind == kUrlRoutePage && route.prefix == prefix) return route.handler;
  return {};
}

int UrlRouteTable::Count() const {
  CTernLockGuard guard(m_Lock);
  return static_cast<int>(m_Routes.size());
}
