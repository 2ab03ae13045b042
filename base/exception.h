// The one exception type of the system. Constructing one reports its formatted
// message to the event log as an error event, so a thrower only constructs and
// throws and a catcher only cleans up (without reporting it again).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class CTernException {
 public:
  // code: message code; text: argument for the first placeholder (may be null);
  // number: argument for the second placeholder, and event data when not 0.
  explicit CTernException(int32_t code, const char* text = nullptr, int32_t number = 0);
  CTernException(int32_t code, const std::string& text, int32_t number = 0);
  virtual ~CTernException() = default;
  CTernException(const CTernException&) = default;
  CTernException& operator=(const CTernException&) = default;

  int32_t Code() const { return m_Code; }
  const char* Text() const { return m_Text ? m_Text->c_str() : nullptr; }
  int32_t Number() const { return m_Number; }
  // The message text filled with the text and the number.
  std::string Message() const;

 private:
  void Report() const;

  int32_t m_Code;
  std::optional<std::string> m_Text;
  int32_t m_Number;
};
