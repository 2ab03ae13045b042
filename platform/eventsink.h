// Where error and warning events end up on Linux: one line per event appended to the
// event-log file, and the same event to syslog with the source name as ident.
//
// Line format (fields separated by a tab):
//   YYYY-MM-DD HH:MM:SS <TAB> ERROR|WARNING <TAB> source <TAB> code <TAB> text [<TAB> data]
// CR, LF, tab and backslash in the text are written as \r, \n, \t and \\ so that
// every event stays on one line.
#pragma once

#include <cstdint>
#include <string>

enum class PlatformEventKind { Error, Warning };

// Appends the event; returns false when neither the file nor syslog took it.
bool PlatformWriteEvent(PlatformEventKind kind, const std::string& source, int code,
                        const std::string& text, bool hasData, int32_t data);

// The event-log file. The initial path is $OSTREL_EVENTLOG, else the default
// directory + "/events.log". An empty path writes no file.
void PlatformSetEventFile(const std::string& path);
std::string PlatformEventFile();

// Syslog is on unless $OSTREL_NOSYSLOG is set; tests turn it off.
void PlatformSetEventSyslog(bool on);

// One parsed line of the event-log file (for readers such as tests and tools).
struct PlatformEventLine {
  std::string when;
  PlatformEventKind kind = PlatformEventKind::Error;
  std::string source;
  int code = -1;
  std::string text;
  bool hasData = false;
  int32_t data = 0;
};
bool PlatformParseEventLine(const std::string& line, PlatformEventLine& out);
