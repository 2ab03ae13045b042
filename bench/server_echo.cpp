// Benchmark: the TCP server with its default echo handler under N concurrent
// clients on loopback. Each client sends its lines one at a time and waits for each
// answer; prints lines per second and the round-trip percentiles.
//
//   bench_server_echo [clients=50] [lines per client=2000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/network_address.h"
#include "net/tcp_endpoint.h"
#include "net/tcp_server.h"

namespace {

uint32_t Loopback() {
  uint32_t address = 0;
  return ParseDotted("127.0.0.1", address) ? address : 0;
}

using Clock = std::chrono::steady_clock;

struct Totals {
  std::mutex mutex;
  std::vector<double> roundTrips;  // microseconds
  long failures = 0;
};

void RunClient(uint16_t port, int lines, int id, Totals& totals) {
  uint32_t loopback = Loopback();
  CTernTcpEndpoint client;
  std::vector<double> mine;
  mine.reserve(static_cast<size_t>(lines));
  long failures = 0;
  if (!client.Connect(CTernNetAddress(loopback, port))) {
    failures = lines;
  } else {
    CTernString reply;
    for (int i = 0; i < lines; ++i) {
      std::string line = "client " + std::to_string(id) + " line " + std::to_string(i) + "\r\n";
      auto start = Clock::now();
      long n = client.Send(line);
      long got = n < 0 ? -1 : client.ReceiveLine(reply, "\r\n", 10);
      auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      std::string text = reply.Str();
      bool echoed = got > 0 && text.size() > line.size() &&
                    text.compare(text.size() - line.size(), line.size(), line) == 0;
      if (!echoed) {
        ++failures;
        if (got <= 0) break;
      }
      mine.push_back(took);
    }
    client.Close();
  }
  std::lock_guard<std::mutex> guard(totals.mutex);
  totals.roundTrips.insert(totals.roundTrips.end(), mine.begin(), mine.end());
  totals.failures += failures;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[at];
}

}  // namespace

int main(int argc, char** argv) {
  int clients = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
  int lines = argc > 2 ? std::max(1, atoi(argv[2])) : 2000;
  uint32_t loopback = Loopback();
  // Each connection holds its worker until it closes: one worker per client.
  CTernTcpServer server("ECHO");
  if (!server.Start(clients, 0, CTernNetAddress(loopback, 0))) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  Totals totals;
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back(RunClient, server.Port(), lines, i, std::ref(totals));
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  server.Stop();

  std::sort(totals.roundTrips.begin(), totals.roundTrips.end());
  size_t done = totals.roundTrips.size();
  std::printf("echo: %d clients x %d lines, %d workers\n", clients, lines, clients);
  std::printf("  lines answered  %zu of %ld (%ld failed)\n", done,
              static_cast<long>(clients) * lines, totals.failures);
  std::printf("  wall time       %.2f s\n", seconds);
  std::printf("  throughput      %.0f lines/s\n", static_cast<double>(done) / seconds);
  std::printf("  round trip      p50 %.0f us, p99 %.0f us, max %.0f us\n",
              Percentile(totals.roundTrips, 0.50), Percentile(totals.roundTrips, 0.99),
              Percentile(totals.roundTrips, 1.0));
  return totals.failures == 0 ? 0 : 1;
}
