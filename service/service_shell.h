// The service shell: the service entry that the manager calls, status reports, the
// control handler, the console (foreground) mode, and installing and removing the
// service.
#pragma once

#include <cstdint>
#include <string>

// Reports a state to the service manager (nothing in console mode); true on success.
bool OstrelReportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint);
// Writes a service-level error event: "Ostrel error: <code>" and the text. Nothing
// in console mode.
void OstrelAddToEventLog(const std::string& text, int code);
// "<text> (0x<code>)" for an error number, or "" when there is no text.
std::string OstrelSystemErrorText(int code);

// The service entry (the manager's thread): reports, start-up, wait, STOPPED.
void OstrelServiceMain(int argc, char** argv);
// Hands the main thread to the manager; false (and an event) when that fails.
bool OstrelDispatch();
// Foreground mode: start-up, then wait for SIGINT, SIGTERM or SIGQUIT.
int OstrelRunConsole();
// -install and -remove; they print what they do.
void OstrelInstallService();
void OstrelRemoveService();
