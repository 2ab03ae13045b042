// Fuzz target: reading an activity-log line back. Lines come from files anyone with
// access to the log directory may have edited; no line may crash the reader, and a
// record written out must read back with the same values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "log/activity_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  long date = 0, time = 0;
  CTernActivityRecord record;
  CTernActivityRecord::ParseLine(text, date, time, record);

  // Round trip: a value without CR, LF or double quotes reads back unchanged.
  std::string value;
  for (char c : text)
    if (c != '\r' && c != '\n' && c != '"') value += c;
  CTernActivityRecord out;
  out.Add(kActInfo, value);
  CTernActivityRecord back;
  if (!CTernActivityRecord::ParseLine(out.Line(1261207, 120000), date, time, back)) {
    if (!value.empty()) __builtin_trap();
    return 0;
  }
  std::string read;
  if (!value.empty() && (!back.Get(kActInfo, read) || read != value)) __builtin_trap();
  return 0;
}
