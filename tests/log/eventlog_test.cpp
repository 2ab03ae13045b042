// The debug trace and the event writer's failure path.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "log/eventlog.h"
#include "tests/support/events.h"
#include "tests/support/tempdir.h"

TEST(DebugTrace, WritesOnlyAtOrBelowTheLevel) {
  TempDir dir;
  std::string path = dir.File("KestrinDebug.TXT");
  TernDebugSetFile(path);
  PlatformSetTime(1000);
  TernDebugTrace(3, "not written at level 0");
  EXPECT_EQ(TempDir::Read(path), "");
  TernDebugTrace(0, "written");
  TernDebugSetLevel(3);
  TernDebugTrace(3, 471);
  TernDebugSetLevel(0);
  PlatformClearTime();
  TernDebugSetFile(std::string(OSTREL_DEFAULT_DIR) + "/KestrinDebug.TXT");
  EXPECT_EQ(TempDir::Read(path), "1000 L0 written\r\n1000 L3 Test message, ok!\r\n");
}

TEST(EventLog, LinesSurviveLineBreaksInTexts) {
  EventCapture events;
  TernWriteEvent(TernEventType::Warning, 437, "221 host\tclosing\r\nnext\\", true, -7);
  auto list = events.Events();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].text, "221 host\tclosing\r\nnext\\");
  EXPECT_EQ(list[0].data, -7);
  EXPECT_EQ(list[0].kind, PlatformEventKind::Warning);
}

TEST(EventLog, UnwritableFileFallsBackToTheTraceWithoutLooping) {
  TempDir dir;
  std::string trace = dir.File("trace");
  TernDebugSetFile(trace);
  TernDebugSetLevel(3);
  std::string previous = PlatformEventFile();
  PlatformSetEventSyslog(false);
  PlatformSetEventFile(dir.File("missing-dir/deeper/events.log"));
  TernReportEvent(TernEventType::Error, 6);
  PlatformSetEventFile(previous);
  TernDebugSetLevel(0);
  TernDebugSetFile(std::string(OSTREL_DEFAULT_DIR) + "/KestrinDebug.TXT");
  EXPECT_NE(TempDir::Read(trace).find("Reporting of event failed"), std::string::npos);
}

TEST(EventLog, SourceNameAndForms) {
  EventCapture events;
  std::string before = TernEventSource();
  TernEventSetSource("Ostrel");
  TernReportEventF(TernEventType::Warning, 108, "/some/file", 24);
  TernReportEventF(TernEventType::Error, 101, "a", "b", 0);
  TernReportEventF(TernEventType::Error, 148, 3, 5);
  TernReportEvent(TernEventType::Error, 6);
  TernEventSetSource(before);
  auto list = events.Events();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].source, "Ostrel");
  EXPECT_EQ(list[0].kind, PlatformEventKind::Warning);
  EXPECT_EQ(list[0].text, "Warning: Too many open files. Trying to open /some/file (24).");
  EXPECT_EQ(list[0].data, 24);
  EXPECT_EQ(list[1].text, "Error: File a rename to b failed, error 0.");
  EXPECT_FALSE(list[1].hasData);
  EXPECT_EQ(list[2].text, "Error: Started only 3 of 5 threads.");
  EXPECT_EQ(list[2].data, 5);
  EXPECT_FALSE(list[3].hasData);
}
