// What the template engine needs of a request: its variables, its headers and the
// response it writes into. The HTTP server's request provides it; tests provide a
// plain one.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TemplateRequest {
 public:
  virtual ~TemplateRequest() = default;

  // A form variable: true and value set when present (several values of one name
  // are joined by the byte 0x1C).
  virtual bool GetVariable(const std::string& name, std::string& value) const = 0;
  // Sets a variable, replacing any value it had.
  virtual void ReplaceVariable(const std::string& name, const std::string& value) = 0;
  // Every variable, in the request's order.
  virtual std::vector<std::pair<std::string, std::string>> Variables() const = 0;
  // A request header (names compare without regard to case).
  virtual bool GetHeader(const std::string& name, std::string& value) const = 0;
  // Appends to the response; the length written, or -1 when the response is finished.
  virtual long Write(std::string_view text) = 0;
  // Whether the variable holds HTML that the server built itself (never text that
  // came with the request), so that a page may show it unescaped.
  virtual bool ServerHtml(const std::string& name) const {
    (void)name;
    return false;
  }
};
