// The event-log writer and the debug trace.
//
// Every error and warning of the system is reported here by message code: the code
// becomes the event identifier and its text (filled with the caller's arguments)
// the event's text. The debug trace is a file written line by line at a numeric
// level; its threshold is 0 and nothing raises it, so in operation it stays empty.
#pragma once

#include <cstdint>
#include <string>

#include "base/format.h"

enum class TernEventType { Error, Warning };

// The source name under which events are written: "KESTRIN" until start-up sets it.
void TernEventSetSource(const std::string& name);
std::string TernEventSource();

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

// Debug trace: writes "<seconds> L<level> <text>\r\n" when level is not above the
// debug level. The file is opened on first use, in append mode.
void TernDebugTrace(int level, const char* text);
void TernDebugTrace(int level, int code);
void TernDebugSetLevel(int32_t level);
int32_t TernDebugLevel();
// The trace file: the default directory + "/KestrinDebug.TXT" unless set.
void TernDebugSetFile(const std::string& path);
