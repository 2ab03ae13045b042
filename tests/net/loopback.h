// Test helpers for the network tests: loopback addresses and a listening endpoint on
// a port the system chooses, so that tests never collide over ports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "net/network_address.h"
#include "net/tcp_endpoint.h"
#include "platform/clock.h"
#include "platform/sync.h"

// 127.0.0.n in network byte order.
inline uint32_t Loopback(int n) {
  uint32_t address = 0;
  EXPECT_TRUE(ParseDotted("127.0.0." + std::to_string(n), address));
  return address;
}

// Listens on 127.0.0.n at a port of the system's choosing; returns the port.
inline uint16_t ListenOnLoopback(CTernTcpEndpoint& listener, int n = 1) {
  EXPECT_TRUE(listener.Listen(CTernNetAddress(Loopback(n), 0)));
  CTernNetAddress bound;
  EXPECT_TRUE(listener.LocalName(bound));
  return bound.Port();
}

// Waits up to seconds for condition to hold; true when it did.
template <typename Condition>
bool WaitFor(Condition condition, int seconds = 5) {
  time_t end = PlatformNow() + seconds;
  while (!condition()) {
    if (PlatformNow() > end) return false;
    PlatformSleepMs(10);
  }
  return true;
}
