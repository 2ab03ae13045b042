// The resolver's trace: lines printed to the console while the process-wide DNS
// trace flag is on, and never otherwise. Safe from any thread; lines never mix.
#pragma once

#include <string>

#include "base/format.h"

// Turns the trace on or off (off at start).
void TernDnsSetTrace(bool on);
bool TernDnsTracing();

// Prints one finished line (which ends with its own "\n").
void TernDnsTraceLine(const std::string& line);

// Prints format filled with args (see base/format.h) when the trace is on; the
// arguments are not even formatted otherwise.
template <typename... A>
void TernDnsTrace(const char* format, const A&... args) {
  if (TernDnsTracing()) TernDnsTraceLine(TernFormat(format, {TernArg(args)...}));
}
