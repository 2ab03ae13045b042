// Rendering of reports by message code, and the hand-over to the installed writers.
#include "base/report.h"

#include <atomic>

#include "base/messages.h"
#include "platform/eventsink.h"

namespace {

std::atomic<TernEventWriter> g_EventWriter{nullptr};
std::atomic<TernTraceWriter> g_TraceWriter{nullptr};

}  // namespace

void TernInstallReportWriters(TernEventWriter events, TernTraceWriter trace) {
  g_EventWriter.store(events);
  g_TraceWriter.store(trace);
}

void TernWriteEvent(TernEventType type, int code, const std::string& text, bool hasData,
                    int32_t data) {
  if (TernEventWriter writer = g_EventWriter.load()) {
    writer(type, code, text, hasData, data);
    return;
  }
  PlatformWriteEvent(
      type == TernEventType::Error ? PlatformEventKind::Error : PlatformEventKind::Warning,
      "KESTRIN", code, text, hasData, data);
}

void TernReportEvent(TernEventType type, int code, int32_t data) {
  CTernMessages messages;
  TernWriteEvent(type, code, messages.Text(code), data != 0, data);
}

void TernReportEventArgs(TernEventType type, int code, std::initializer_list<TernArg> args) {
  CTernMessages messages;
  std::string text = TernFormat(messages.Text(code), args);
  int32_t data = 0;
  for (const TernArg& a : args)
    if (!a.IsText()) data = static_cast<int32_t>(a.Number());
  TernWriteEvent(type, code, text, data != 0, data);
}

void TernDebugTrace(int level, const char* text) {
  if (TernTraceWriter writer = g_TraceWriter.load()) writer(level, text);
}

void TernDebugTrace(int level, int code) {
  if (!g_TraceWriter.load()) return;
  CTernMessages messages;
  TernDebugTrace(level, messages.Text(code));
}
