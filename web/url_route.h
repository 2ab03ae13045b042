// The HTTP server's route table: URL path prefixes mapped to page handlers or to
// directories of files. A request goes to the route with the longest prefix that
// its path begins with, compared without regard to letter case.
//
// The table is filled at start-up, before the first connection, and read by every
// worker afterwards; it carries its own lock, so registration and look-ups may
// also overlap.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"

class HttpRequest;

// A page handler: answers the request completely through it.
using HttpHandler = std::function<void(HttpRequest&)>;

// Route kinds.
constexpr int kUrlRoutePage = 0;
constexpr int kUrlRouteDirectory = 1;

struct UrlRoute {
  std::string prefix;     // begins with "/"
  int kind = kUrlRoutePage;
  HttpHandler handler;    // kind kUrlRoutePage
  std::string directory;  // kind kUrlRouteDirectory: the directory the prefix maps to
};

class UrlRouteTable {
 public:
  UrlRouteTable() = default;
  UrlRouteTable(const UrlRouteTable&) = delete;
  UrlRouteTable& operator=(const UrlRouteTable&) = delete;

  // Adds "/" + name for a handler ("/" for the empty name; a name that already
  // begins with "/" keeps it).
  void AddPage(std::string_view name, HttpHandler handler);
  // Adds a directory route; a leading "/" is added to the prefix when missing.
  void AddDirectory(std::string_view prefix, const std::string& directory);

  // The route with the longest prefix that path begins with (letter case aside);
  // of equally long prefixes the first registered. False when none matches.
  bool Match(std::string_view path, UrlRoute& route) const;
  // The handler registered under exactly "/" + name (letter case counts); empty
  // when there is none.
  HttpHandler Handler(std::string_view name) const;
  int Count() const;

 private:
  void Add(UrlRoute route);

  mutable CTernLock m_Lock;  // guards m_Routes
  std::vector<UrlRoute> m_Routes;
};
