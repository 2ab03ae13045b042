// How every part of the system reports an error or a warning: by message code. The
// code becomes the event identifier and its text from the message table (filled with
// the caller's arguments) the event's text.
//
// The foundation renders the text here and hands the finished event to the event
// writer of the log folder (log/eventlog.h), which installs itself the first time it
// is configured or asked for. Before that, events go straight to the platform's event
// sink under the default source name "KESTRIN", and the debug trace, whose threshold
// only the log folder can raise, writes nothing. So the foundation reports without
// depending on the log folder, and the log folder may use the foundation's locks.
#pragma once

#include <cstdint>
#include <string>

#include "base/format.h"

enum class TernEventType { Error, Warning };

// Reports code's text unchanged; data, when not 0, goes as 4 bytes of event data.
void TernReportEvent(TernEventType type, int code, int32_t data = 0);

// Reports code's text used as a format, filled with one to three texts or numbers in
// the order the text names them. The last numeric argument, when not 0, also goes
// as event data. Forms in use: (text), (text, number), (text, text),
// (text, text, number), (text, number, number).
void TernReportEventArgs(TernEventType type, int code, std::initializer_list<TernArg> args);
template <typename... A>
  requires(sizeof...(A) >= 1 && sizeof...(A) <= 3)
void TernReportEventF(TernEventType type, int code, const A&... args) {
  TernReportEventArgs(type, code, {TernArg(args)...});
}

// Writes one event with a finished text (every report form ends here).
void TernWriteEvent(TernEventType type, int code, const std::string& text, bool hasData,
                    int32_t data);

// Debug trace: one line at a numeric level, written when the level is not above the
// trace's threshold (see log/eventlog.h).
void TernDebugTrace(int level, const char* text);
void TernDebugTrace(int level, int code);

// The writers the log folder installs. Both must be safe to call from any thread.
using TernEventWriter = void (*)(TernEventType type, int code, const std::string& text,
                                 bool hasData, int32_t data);
using TernTraceWriter = void (*)(int level, const char* text);
void TernInstallReportWriters(TernEventWriter events, TernTraceWriter trace);
