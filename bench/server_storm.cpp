// Benchmark: a connection storm against the TCP server's default echo handler on
// loopback. All connections are opened at once, then each sends one line and closes
// its sending side; the server (a handful of workers) must answer every one of them,
// with no connection lost or reset. Prints the counts and the time taken. The pool
// stays at its workers unless a ceiling lets it grow (every connection comes from
// 127.0.0.1, so the per-client limit stays off).
//
//   bench_server_storm [connections=2000] [workers=5] [ceiling]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/network_address.h"
#include "net/tcp_server.h"
#include "platform/socket.h"

namespace {

uint32_t Loopback() {
  uint32_t address = 0;
  return ParseDotted("127.0.0.1", address) ? address : 0;
}

using Clock = std::chrono::steady_clock;
constexpr int kClientThreads = 8;

struct Counts {
  std::atomic<long> connected{0}, answered{0}, resets{0}, lost{0};
};

// Reads until the server closes; false on a reset or a stall.
bool ReadAnswer(PlatformSocket s, std::string& answer) {
  char block[256];
  for (;;) {
    if (PlatformSocketWaitReadable(s, 60) != 1) return false;
    long n = PlatformSocketReceive(s, block, sizeof block);
    if (n < 0) return false;
    if (n == 0) return true;
    answer.append(block, static_cast<size_t>(n));
  }
}

void RunClients(uint16_t port, int first, int count, std::atomic<int>& ready, Counts& counts) {
  uint32_t loopback = Loopback();
  std::vector<PlatformSocket> sockets;
  for (int i = 0; i < count; ++i) {
    PlatformSocket s = PlatformSocketOpen(true);
    if (s != kPlatformInvalidSocket && PlatformSocketConnect(s, loopback, port) == 0) {
      sockets.push_back(s);
      counts.connected++;
    } else {
      if (s != kPlatformInvalidSocket) PlatformSocketClose(s);
      sockets.push_back(kPlatformInvalidSocket);
      counts.lost++;
    }
  }
  // Every connection of every thread is open before any line is sent.
  ready++;
  while (ready.load() < kClientThreads) std::this_thread::yield();
  for (int i = 0; i < count; ++i) {
    if (sockets[i] == kPlatformInvalidSocket) continue;
    std::string line = "storm " + std::to_string(first + i) + "\r\n";
    if (PlatformSocketSend(sockets[i], line.data(), line.size()) < 0) counts.resets++;
    PlatformSocketShutdownSend(sockets[i]);
  }
  for (int i = 0; i < count; ++i) {
    if (sockets[i] == kPlatformInvalidSocket) continue;
    std::string expected = "storm " + std::to_string(first + i) + "\r\n";
    std::string answer;
    if (!ReadAnswer(sockets[i], answer))
      counts.resets++;
    else if (answer.size() > expected.size() &&
             answer.compare(answer.size() - expected.size(), expected.size(), expected) == 0)
      counts.answered++;
    else
      counts.lost++;
    PlatformSocketClose(sockets[i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int connections = argc > 1 ? std::max(kClientThreads, atoi(argv[1])) : 2000;
  int workers = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
  int ceiling = argc > 3 ? std::max(workers, atoi(argv[3])) : workers;
  uint32_t loopback = Loopback();
  CTernTcpServer server("STORM");
  if (ceiling > workers)
    server.SetLoadLimits({ceiling, 0, TernLoadLimits{}.stressedWait, TernLoadLimits{}.surplusIdle});
  if (!server.Start(workers, 0, CTernNetAddress(loopback, 0))) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  Counts counts;
  std::atomic<int> ready{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  int per = connections / kClientThreads;
  for (int t = 0; t < kClientThreads; ++t) {
    int count = t == kClientThreads - 1 ? connections - per * t : per;
    threads.emplace_back(RunClients, server.Port(), per * t, count, std::ref(ready),
                         std::ref(counts));
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  server.Stop();

  std::printf("storm: %d connections at once, %d workers, ceiling %d\n", connections, workers,
              ceiling);
  std::printf("  connected %ld, answered %ld, lost %ld, reset or stalled %ld\n",
              counts.connected.load(), counts.answered.load(), counts.lost.load(),
              counts.resets.load());
  std::printf("  wall time %.2f s, %.0f connections/s\n", seconds, connections / seconds);
  return counts.answered.load() == connections ? 0 : 1;
}
