// The linear congruential generator behind TernRandom().
#include "message/random.h"

#include <cstdint>
#include <exception>
#include <random>

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
    // The time alone would give processes started in the same second the same
    // identifiers; the system's random source tells them apart.
    uint32_t entropy = 0;
    try {
      entropy = std::random_device()();
    } catch (const std::exception&) {
      // No random source: the time alone.
    }
    g.state = static_cast<uint32_t>(CTernClock::Now()) ^ entropy;
    g.seeded = true;
  }
  g.state = g.state * 22695477u + 1u;
  return static_cast<int>((g.state >> 12) & 0x7FFF);
}
