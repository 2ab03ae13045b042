// Benchmark: the mailbox store on this machine's disk (fsync included).
//   - appends a second to a mailbox of 0, 100, 1,000, 10,000 and 50,000 messages, and
//     the cost of one append at 10,000 against one at 0 (the new entry sorts last, as
//     delivered mail does, so the table of contents grows by a line);
//   - for comparison, appends whose entry sorts first (the table is replaced whole),
//     and the whole delivery step (open + append + release through the manager);
//   - open + counts of a 10,000-message mailbox: not loaded (a new manager), and
//     loaded (the same manager again);
//   - compaction of one message from a 100 MB mailbox, and rescan MB/s.
// Mailboxes are made by writing their data files and letting the first load scan
// them. Run: build/bench/bench_mailbox [directory] (default: a new one under /var/tmp).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/file_ops.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "message/separator.h"
#include "platform/eventsink.h"
#include "store/mailbox.h"
#include "store/mailbox_manager.h"

namespace {

constexpr long kFirstDate = 1000000000;
constexpr size_t kBody = 2000;       // bytes of body of the messages appended and filled in
constexpr int kAppends = 200;        // appends timed per size
constexpr int kRepeats = 5;          // the median of this many runs is reported

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string MessageText(long i, size_t bodyBytes, long date) {
  std::string text = "From: Ann <ann@example.org>\r\nTo: jo@example.org\r\nSubject: message " +
                     std::to_string(i) + "\r\nDate: " + CTernTime(date).MailDate(0) +
                     "\r\nMessage-Id: <" + std::to_string(i) + "@bench.example.org>\r\n\r\n";
  std::string line(76, 'x');
  line += "\r\n";
  for (size_t n = 0; n + line.size() <= bodyBytes; n += line.size()) text += line;
  return text;
}

// A mailbox of count messages, dated a second apart, scanned into its TOC by its
// first load. Returns the seconds of that load (0 for an empty one), -1 on failure.
double MakeMailbox(const std::string& dir, const std::string& name, long count, size_t body) {
  std::string path = PathJoin(dir, name);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (long i = 0; i < count; ++i)
      out << TernSeparatorLine("ann@example.org", CTernTime(kFirstDate + i))
          << MessageText(i, body, kFirstDate + i);
    if (!out) return -1;
  }
  CTernMailbox box(dir, "jo", name);
  double start = Now();
  if (box.Load() != 0) return -1;
  return Now() - start;
}

// A message open for reading, as the deliverer hands it over.
struct Source {
  explicit Source(const std::string& path, const std::string& text) : path(path) {
    std::ofstream(path, std::ios::binary) << text;
    message = std::make_unique<CTernMessage>(path, 0, 0, TernMessageOption::NoSeparatorDetection,
                                             TernMessageMode::Read);
    message->Open();
  }
  ~Source() { unlink(path.c_str()); }
  std::string path;
  std::unique_ptr<CTernMessage> message;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double CpuNow() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

struct PerAppend {
  double seconds = -1;  // elapsed, fsync included
  double cpu = -1;      // processor time of the whole process
};

// One run: kAppends messages appended to a new mailbox of count messages; late
// dates sort last, early ones first.
PerAppend AppendRun(const std::string& dir, long count, bool sortLast) {
  PerAppend result;
  std::string name = "box" + std::to_string(count) + (sortLast ? "l" : "f");
  if (MakeMailbox(dir, name, count, kBody) < 0) return result;
  CTernMailbox box(dir, "jo", name);
  if (box.Load() != 0) return result;
  Source source(PathJoin(dir, "source"), MessageText(count, kBody, sortLast ? kFirstDate * 2 : 1));
  double start = Now(), cpuStart = CpuNow();
  for (int i = 0; i < kAppends; ++i)
    if (box.Add(*source.message, 1, "ann@example.org") != TernAddResult::Added) return result;
  result.seconds = (Now() - start) / kAppends;
  result.cpu = (CpuNow() - cpuStart) / kAppends;
  CTernMailbox::DeleteFiles(PathSplit(dir).directory, PathSplit(dir).name, name);
  return result;
}

// Seconds per delivery step (open, append, release) through a manager.
double DeliverySeconds(const std::string& root, long count) {
  std::string user = "d" + std::to_string(count);
  std::string dir = PathJoin(root, user);
  if (!DirMake(dir, 0700) || MakeMailbox(dir, "Inbox", count, kBody) < 0) return -1;
  CTernMailboxManager manager(root, user);
  Source source(PathJoin(root, "source"), MessageText(count, kBody, kFirstDate * 2));
  double start = Now();
  for (int i = 0; i < kAppends; ++i) {
    CTernOpenMailbox box = manager.Open("Inbox", 5);
    if (!box || box->Add(*source.message, 1, "ann@example.org") != TernAddResult::Added) return -1;
  }
  return (Now() - start) / kAppends;
}

bool OpenAndCounts(const std::string& root) {
  std::string dir = PathJoin(root, "c");
  if (!DirMake(dir, 0700) || MakeMailbox(dir, "Inbox", 10000, kBody) < 0) return false;
  std::vector<double> cold, cached;
  for (int r = 0; r < 5; ++r) {
    double start = Now();
    CTernMailboxManager manager(root, "c");
    for (int pass = 0; pass < 2; ++pass) {
      CTernOpenMailbox box = manager.Open("Inbox", 5);
      TernMailboxCounts counts;
      if (!box || box->Counts(counts) != 0 || counts.messages != 10000) return false;
      box.Close();
      (pass == 0 ? cold : cached).push_back(Now() - start);
      start = Now();
    }
  }
  std::printf("open + counts, 10,000 messages: %.2f ms not loaded, %.3f ms loaded\n",
              Median(cold) * 1e3, Median(cached) * 1e3);
  return true;
}

bool CompactAndRescan(const std::string& root) {
  std::string dir = PathJoin(root, "big");
  if (!DirMake(dir, 0700)) return false;
  const long count = 20000;  // of about 5 KB: 100 MB
  double firstScan = MakeMailbox(dir, "Inbox", count, 5000);
  if (firstScan < 0) return false;
  CTernMailbox box(dir, "jo", "Inbox");
  if (box.Load() != 0) return false;
  TernMailboxCounts counts;
  box.Counts(counts);
  double mb = static_cast<double>(counts.bytes) / 1e6;
  double start = Now();
  if (box.Rescan() != 0) return false;
  double rescan = Now() - start;
  std::printf("rescan, %.0f MB in %ld messages: %.0f MB/s (first, from the page cache: %.0f MB/s)\n",
              mb, count, mb / rescan, mb / firstScan);
  if (box.MarkForRemoval(count / 2) != 0) return false;
  start = Now();
  if (box.Compact() != 0) return false;
  std::printf("compaction of one message from %.0f MB: %.2f s\n", mb, Now() - start);
  return true;
}

bool Appends(const std::string& dir) {
  const std::vector<long> sizes = {0, 100, 1000, 10000, 50000};
  // The sizes take turns, so that a slow moment of the disk does not fall on one.
  std::vector<std::vector<double>> seconds(sizes.size()), cpu(sizes.size());
  for (int r = 0; r < kRepeats; ++r) {
    for (size_t k = 0; k < sizes.size(); ++k) {
      PerAppend run = AppendRun(dir, sizes[k], true);
      if (run.seconds <= 0) return false;
      seconds[k].push_back(run.seconds);
      cpu[k].push_back(run.cpu);
    }
  }
  std::printf("appends (%d per run, median of %d runs; %zu-byte bodies), entry sorting last:\n",
              kAppends, kRepeats, kBody);
  std::printf("%10s %12s %12s %14s\n", "messages", "appends/s", "ms/append", "cpu ms/append");
  for (size_t k = 0; k < sizes.size(); ++k)
    std::printf("%10ld %12.0f %12.2f %14.3f\n", sizes[k], 1 / Median(seconds[k]),
                Median(seconds[k]) * 1e3, Median(cpu[k]) * 1e3);
  std::printf("append cost at 10,000 against empty: %.2f elapsed, %.2f processor\n",
              Median(seconds[3]) / Median(seconds[0]), Median(cpu[3]) / Median(cpu[0]));
  PerAppend first = AppendRun(dir, 10000, false);
  if (first.seconds <= 0) return false;
  std::printf("entry sorting first at 10,000 (TOC replaced): %.2f ms/append, %.3f cpu ms\n",
              first.seconds * 1e3, first.cpu * 1e3);
  double step0 = DeliverySeconds(dir, 0), step10000 = DeliverySeconds(dir, 10000);
  if (step0 <= 0 || step10000 <= 0) return false;
  std::printf("open + append + release: %.2f ms at 0, %.2f ms at 10,000\n", step0 * 1e3,
              step10000 * 1e3);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  char made[] = "/var/tmp/ostrel-bench-mailbox-XXXXXX";
  std::string dir = argc > 1 ? argv[1] : (mkdtemp(made) ? made : "");
  if (dir.empty()) return 1;
  // The scans' warnings go beside the mailboxes, not into the system's event log.
  PlatformSetEventFile(PathJoin(dir, "events.log"));
  bool ok = Appends(dir) && OpenAndCounts(dir) && CompactAndRescan(dir);
  if (argc <= 1) {
    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0) ok = false;
  }
  if (!ok) std::fprintf(stderr, "benchmark failed\n");
  return ok ? 0 : 1;
}
