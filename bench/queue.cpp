// Benchmark: the cost of Enqueue + Take + Finish as the queue grows. The queue holds
// 100, 1,000 or 10,000 waiting entries that are not due (given back a moment ago),
// so every Take reads past all of them to reach the message just enqueued; Finish
// rewrites the whole queue file through "_new" and "_old" (with its fsyncs) and
// removes the message's files.
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "message/clock.h"
#include "message/queue.h"
#include "message/queued_message.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The CPU time of this thread: the figures hold on a machine whose other work takes
// the processor away part of the time.
double CpuNow() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

struct Timer {
  double elapsed = 0, cpu = 0;
  template <class F>
  auto Run(F f) {
    double start = Now(), cpuStart = CpuNow();
    auto result = f();
    elapsed += Now() - start;
    cpu += CpuNow() - cpuStart;
    return result;
  }
};

std::string MakeMessage(const std::string& dir) {
  std::unique_ptr<CTernQueuedMessage> m = CTernQueuedMessage::Create(dir);
  if (!m || !m->Hold()) return "";
  m->SetSender("from@example.org");
  m->AddRecipient("to@example.net");
  if (!m->OpenBodyForWriting() || !m->WriteBody("Subject: bench\r\n\r\nbody\r\n") ||
      !m->CloseBody() || !m->SaveEnvelope())
    return "";
  return m->Identifier();
}

bool Measure(const std::string& dir, int waiting, int rounds) {
  std::string name = "benchq" + std::to_string(waiting);
  // The waiting entries: tried just now, so none is due.
  time_t now = CTernClock::Now();
  std::string text;
  for (int i = 0; i < waiting; ++i) {
    char line[96];
    std::snprintf(line, sizeof line, "%ld %ld M%019d\r\n", static_cast<long>(now),
                  static_cast<long>(now), i);
    text += line;
  }
  FILE* out = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!out || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0)
    return false;

  std::vector<std::string> ids;
  for (int i = 0; i < rounds; ++i) ids.push_back(MakeMessage(dir));
  CTernQueue queue(name, dir);
  queue.Entries();  // the first load is not part of the figures
  Timer enqueue, take, finish;
  for (const std::string& id : ids) {
    if (!enqueue.Run([&] { return queue.Enqueue(id, 0, 0); })) return false;
    std::unique_ptr<CTernQueuedMessage> m = take.Run([&] { return queue.Take(); });
    if (!m || m->Identifier() != id) return false;
    if (!finish.Run([&] { return queue.Finish(std::move(m), true); })) return false;
  }
  if (queue.Entries().size() != static_cast<size_t>(waiting)) return false;
  auto us = [rounds](double seconds) { return seconds * 1e6 / rounds; };
  double total = enqueue.elapsed + take.elapsed + finish.elapsed;
  double totalCpu = enqueue.cpu + take.cpu + finish.cpu;
  std::printf("%8d %10.0f %10.0f %10.0f %12.0f %12.0f\n", waiting, us(enqueue.elapsed),
              us(take.elapsed), us(finish.elapsed), us(total), us(totalCpu));
  return true;
}

}  // namespace

int main() {
  char dir[] = "/tmp/ostrel-bench-queue-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::printf("Enqueue + Take + Finish, microseconds per message (mean of the rounds)\n");
  std::printf("%8s %10s %10s %10s %12s %12s\n", "waiting", "enqueue", "take", "finish", "total",
              "total cpu");
  bool ok = Measure(dir, 100, 200) && Measure(dir, 1000, 200) && Measure(dir, 10000, 100);
  std::string cleanup = std::string("rm -rf '") + dir + "'";
  if (std::system(cleanup.c_str()) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "benchmark failed\n");
  return ok ? 0 : 1;
}
