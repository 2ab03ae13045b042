// Event capture for tests.
#include "tests/support/events.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

EventCapture::EventCapture() {
  char path[] = "/tmp/ostrel-events-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  m_Path = path;
  m_Previous = PlatformEventFile();
  PlatformSetEventSyslog(false);
  PlatformSetEventFile(m_Path);
}

EventCapture::~EventCapture() {
  PlatformSetEventFile(m_Previous);
  unlink(m_Path.c_str());
}

std::vector<PlatformEventLine> EventCapture::Events() const {
  std::vector<PlatformEventLine> out;
  std::ifstream in(m_Path);
  std::string line;
  while (std::getline(in, line)) {
    PlatformEventLine event;
    if (PlatformParseEventLine(line, event)) out.push_back(event);
  }
  return out;
}

std::vector<int> EventCapture::Codes() const {
  std::vector<int> codes;
  for (const auto& e : Events()) codes.push_back(e.code);
  return codes;
}

int EventCapture::Count(int code) const {
  int n = 0;
  for (const auto& e : Events()) n += e.code == code;
  return n;
}

PlatformEventLine EventCapture::Find(int code) const {
  for (const auto& e : Events())
    if (e.code == code) return e;
  return PlatformEventLine{};
}

void EventCapture::Clear() { truncate(m_Path.c_str(), 0); }
