// The linear congruential generator behind TernRandom().
#include "message/random.h"

#include <cstdint>

#include "base/lock.h"
#include "message/clock.h"

namespace {

struct Generator {
  CTernLock lock;  // guards seeded and state
  bool seeded = false;
  uint32_t state = 0;
};

Generator& TheGenerator() {
  static Generator* generator = new Generator;
  return *generator;
}

}  // namespace

int TernRandom() {
  Generator& g = TheGenerator();
  CTernLockGuard guard(g.lock);
  if (!g.seeded) {
    g.state = static_cast<uint32_t>(CTernClock::Now());
    g.seeded = true;
  }
  g.state = g.state * 22695477u + 1u;
  return static_cast<int>((g.state >> 12) & 0x7FFF);
}
