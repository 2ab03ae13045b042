// Fuzz target: the mail date parser, which reads Date headers and separator lines
// from strangers. Whatever the bytes, it must not crash, read out of bounds or hang;
// a date it accepts is not before 1970, and written back as a mail date it parses to
// the same time.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "message/date_parser.h"
#include "message/mail_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  time_t t = -1;
  if (!TernParseDate(text, -500, t)) return 0;
  if (t < 0) __builtin_trap();
  CTernTime value(t);
  time_t back = -1;
  if (!TernParseDate(value.MailDate(0), 0, back) || back != value.Seconds()) __builtin_trap();
  long date, timeOfDay;
  value.Split(130, date, timeOfDay);
  if (timeOfDay < 0 || timeOfDay > 235959) __builtin_trap();
  return 0;
}
