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
  s.lock.ReadLock();
  std::string source = s.source;
  bool ok = PlatformWriteEvent(
      type == TernEventType::Error ? PlatformEventKind::Error : PlatformEventKind::Warning,
      source, code, text, hasData, data);
  s.lock.ReadUnlock();
  // A failed event is never reported as an event (that could loop): trace only.
  if (!ok) TernDebugTrace(3, "Reporting of event failed\n");
}

void WriteTrace(int level, const char* text) {
  WriterState& s = State();
  s.lock.ReadLock();
  bool skip = level > s.debugLevel;
  s.lock.ReadUnlock();
  if (skip) return;
  s.lock.WriteLock();
  if (!s.debugFile) s.debugFile = fopen(s.debugPath.c_str(), "ab+");
  if (s.debugFile) {
    fprintf(s.debugFile, "%ld L%d %s\r\n", static_cast<long>(PlatformNow()), level,
            text ? text : "");
    fflush(s.debugFile);
  }
  s.lock.WriteUnlock();
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
  s.lock.WriteLock();
  s.source = name;
  s.lock.WriteUnlock();
}

std::string TernEventSource() {
  WriterState& s = Installed();
  s.lock.ReadLock();
  std::string name = s.source;
  s.lock.ReadUnlock();
  return name;
}

void TernDebugSetLevel(int32_t level) {
  WriterState& s = Installed();
  s.lock.WriteLock();
  s.debugLevel = level;
  s.lock.WriteUnlock();
}

int32_t TernDebugLevel() {
  WriterState& s = Installed();
  s.lock.ReadLock();
  int32_t level = s.debugLevel;
  s.lock.ReadUnlock();
  return level;
}

void TernDebugSetFile(const std::string& path) {
  WriterState& s = Installed();
  s.lock.WriteLock();
  if (s.debugFile) fclose(s.debugFile);
  s.debugFile = nullptr;
  s.debugPath = path;
  s.lock.WriteUnlock();
}
