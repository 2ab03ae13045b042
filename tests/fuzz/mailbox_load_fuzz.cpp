// Fuzz target: loading a mailbox from any table of contents and any data file (the
// input is the TOC, the bytes 0x00 0x01, then the data file; without them, all data
// file). Whatever the files hold, the load must end with entries that cover the
// data file exactly and messages that open, and a second load of what the first
// left behind must find the same entries without scanning again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "base/file_ops.h"
#include "message/message.h"
#include "platform/clock.h"
#include "platform/eventsink.h"
#include "store/mailbox.h"

namespace {

// The directory of the files, made once and removed when the run ends.
struct Workspace {
  Workspace() {
    char name[] = "/dev/shm/ostrel-mailbox-fuzz-XXXXXX";
    char fallback[] = "/tmp/ostrel-mailbox-fuzz-XXXXXX";
    const char* made = mkdtemp(name);
    if (!made) made = mkdtemp(fallback);
    if (!made) abort();
    path = made;
    PlatformSetEventFile("");
    PlatformSetEventSyslog(false);
    PlatformSetTime(1718193600);
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

const std::string& Directory() {
  static const Workspace workspace;
  return workspace.path;
}

std::string Entries(const CTernMailbox& box) {
  std::string text;
  TernTocEntry e;
  for (int32_t n = 1; box.Info(n, e) == 0; ++n) text += TernTocLine(e);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = Directory();
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find(std::string("\0\1", 2));
  std::string toc = split == std::string::npos ? "" : input.substr(0, split);
  std::string mail = split == std::string::npos ? input : input.substr(split + 2);
  std::string path = PathJoin(dir, "Inbox");
  for (const char* suffix : {"", ".toc", ".toc.old", ".toc.new"}) unlink((path + suffix).c_str());
  std::ofstream(path, std::ios::binary) << mail;
  if (split != std::string::npos) std::ofstream(path + ".toc", std::ios::binary) << toc;

  CTernMailbox box(dir, "jo", "Inbox");
  if (box.Load() != 0) __builtin_trap();
  TernMailboxCounts counts;
  if (box.Counts(counts, true) != 0 || counts.bytes != static_cast<int64_t>(mail.size()))
    __builtin_trap();
  for (int32_t n = 1; n <= counts.messages; ++n)
    if (!box.OpenMessage(n)) __builtin_trap();

  CTernMailbox again(dir, "jo", "Inbox");
  if (again.Load() != 0 || Entries(again) != Entries(box)) __builtin_trap();
  return 0;
}
