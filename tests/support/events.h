// Test helper: points the event log at a private file for the life of the object and
// reads back which events were written.
#pragma once

#include <string>
#include <vector>

#include "platform/eventsink.h"

class EventCapture {
 public:
  EventCapture();
  ~EventCapture();
  EventCapture(const EventCapture&) = delete;
  EventCapture& operator=(const EventCapture&) = delete;

  std::vector<PlatformEventLine> Events() const;
  std::vector<int> Codes() const;
  bool Has(int code) const { return Count(code) > 0; }
  int Count(int code) const;
  // The first event with this code (code -1 in the result when there is none).
  PlatformEventLine Find(int code) const;
  void Clear();
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
  std::string m_Previous;
};
