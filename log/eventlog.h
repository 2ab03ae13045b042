// The event-log writer and the debug trace.
//
// Reports are made through base/report.h (included here for callers above the
// foundation). This writer adds the source name under which events are written and
// the debug trace: a file written line by line at a numeric level, whose threshold is
// 0 and which nothing raises in operation, so it stays empty. It installs itself into
// the foundation's reporting on first use of any function below.
#pragma once

#include <cstdint>
#include <string>

#include "base/report.h"

// Installs this writer into the foundation's reporting (start-up calls it first;
// every other function here does it as well).
void TernEventLogInstall();

// The source name under which events are written: "KESTRIN" until start-up sets it.
void TernEventSetSource(const std::string& name);
std::string TernEventSource();

// Debug trace: writes "<seconds> L<level> <text>\r\n" when level is not above the
// debug level. The file is opened on first use, in append mode.
void TernDebugSetLevel(int32_t level);
int32_t TernDebugLevel();
// The trace file: the default directory + "/KestrinDebug.TXT" unless set.
void TernDebugSetFile(const std::string& path);
