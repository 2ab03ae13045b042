// CTernException: construction reports the message as an error event.
#include "base/exception.h"

#include "base/format.h"
#include "base/messages.h"
#include "base/report.h"

CTernException::CTernException(int32_t code, const char* text, int32_t number)
    : m_Code(code), m_Number(number) {
  if (text) m_Text = std::string(text);
  Report();
}

CTernException::CTernException(int32_t code, const std::string& text, int32_t number)
    : m_Code(code), m_Text(text), m_Number(number) {
  Report();
}

std::string CTernException::Message() const {
  CTernMessages messages;
  // Always the text first and the number second; a missing text fills as nothing.
  return TernFormat(messages.Text(m_Code), {TernArg(Text()), TernArg(m_Number)});
}

void CTernException::Report() const {
  TernWriteEvent(TernEventType::Error, m_Code, Message(), m_Number != 0, m_Number);
}
