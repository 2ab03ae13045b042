// Event-log writer and debug trace, sharing one readers/writer lock.
#include "log/eventlog.h"

#include <cstdio>

#include "base/lock.h"
#include "platform/clock.h"
#include "platform/eventsink.h"

namespace {

struct WriterState {
  CTernRWLock lock;
  std::string source = "KESTRIN";
  int32_t debugLevel = 0;
  std::string debugPath = std::string(OSTREL_DEFAULT_DIR) + "/KestrinDebug.TXT";
  FILE* debugFile = nullptr;
};

WriterState& State() {
  // Never destroyed: events may be reported from static destructors.
  static WriterState* state = new WriterState;
  return *state;
}

void WriteEvent(TernEventType type, int code, const std::string& text, bool hasData,
                int32_t data) {
  WriterState& s = State();
  bool ok;
  {
    CTernReadGuard guard(s.lock);
    ok = PlatformWriteEvent(
        type == TernEventType::Error ? PlatformEventKind::Error : PlatformEventKind::Warning,
        s.source, code, text, hasData, data);
  }
  // A failed event is never reported as an event (that could loop): trace only.
  if (!ok) TernDebugTrace(3, "Reporting of event failed\n");
}

void WriteTrace(int level, const char* text) {
  WriterState& s = State();
  {
    CTernReadGuard guard(s.lock);
    if (level > s.debugLevel) return;
  }
  CTernWriteGuard guard(s.lock);
  if (!s.debugFile) s.debugFile = fopen(s.debugPath.c_str(), "ab+");
  if (s.debugFile) {
    fprintf(s.debugFile, "%ld L%d %s\r\n", static_cast<long>(PlatformNow()), level,
            text ? text : "");
    fflush(s.debugFile);
  }
}

// The writer state, with the writers installed into the foundation's reporting.
WriterState& Installed() {
  static const bool installed = [] {
    TernInstallReportWriters(WriteEvent, WriteTrace);
    return true;
  }();
  (void)installed;
  return State();
}

}  // namespace

void TernEventLogInstall() { Installed(); }

void TernEventSetSource(const std::string& name) {
  WriterState& s = Installed();
  CTernWriteGuard guard(s.lock);
  s.source = name;
}

std::string TernEventSource() {
  WriterState& s = Installed();
  CTernReadGuard guard(s.lock);
  return s.source;
}

void TernDebugSetLevel(int32_t level) {
  WriterState& s = Installed();
  CTernWriteGuard guard(s.lock);
  s.debugLevel = level;
}

int32_t TernDebugLevel() {
  WriterState& s = Installed();
  CTernReadGuard guard(s.lock);
  return s.debugLevel;
}

void TernDebugSetFile(const std::string& path) {
  WriterState& s = Installed();
  CTernWriteGuard guard(s.lock);
  if (s.debugFile) fclose(s.debugFile);
  s.debugFile = nullptr;
  s.debugPath = path;
}
