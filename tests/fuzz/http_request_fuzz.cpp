// Fuzz target: one HTTP connection's bytes through the request reader, the form
// decoders (query, URL-encoded and multipart bodies), the router and the reply.
// The first byte sets how many bytes each read delivers. Whatever comes, nothing
// may crash or hang; a reply is an HTTP/1.0 status line and header lines without
// stray CR, LF or zero bytes (no header injection); no spool file outlives the
// connection; and a directory route never yields a file outside its directory.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/file_ops.h"
#include "web/http_channel.h"
#include "web/http_files.h"
#include "web/http_server.h"

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }

// The server and its scratch directory, made once and removed at exit.
struct World {
  ~World() {
    delete server;
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  std::string directory;
  std::string files;
  HttpServer* server = nullptr;
};

// Handles a request the way pages will: reads headers and variables, saves file
// parts, writes a header and a body, and redirects when asked to.
void Page(HttpRequest& request, const std::string& directory) {
  std::string value, type;
  request.GetHeader("Cookie", value);
  std::string to;
  if (request.GetVariable("to", to)) {
    request.Redirect(to);
    return;
  }
  for (const auto& [name, text] : request.Variables())
    request.SaveUploadedPart(name, PathJoin(directory, "upload"), type);
  request.WriteHeader("X-Type", type);
  request.Write("\r\n");
  for (const auto& [name, text] : request.Variables()) request.Write(name + "=" + text + "\n");
}

World& Setup() {
  static World world = [] {
    World w;
    char pattern[] = "/tmp/ostrel-http-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) Fail();
    w.directory = pattern;
    w.files = PathJoin(w.directory, "files");
    std::filesystem::create_directory(w.files);
    std::filesystem::create_directory(PathJoin(w.files, "sub"));
    FILE* f = fopen(PathJoin(w.files, "a.gif").c_str(), "wb");
    if (!f) Fail();
    fputs("GIF89a", f);
    fclose(f);
    w.server = new HttpServer("OstrelHTTP", w.directory);
    std::string directory = w.directory;
    w.server->AddPageRoute("", [directory](HttpRequest& r) { Page(r, directory); });
    w.server->AddDirectoryRoute("/files", w.files);
    return w;
  }();
  return world;
}

void CheckReply(const std::string& sent) {
  if (sent.empty()) return;
  if (sent.compare(0, 9, "HTTP/1.0 ") != 0) Fail();
  size_t end = sent.find("\r\n\r\n");
  if (end == std::string::npos) Fail();
  std::string head = sent.substr(0, end + 2);
  for (size_t at = 0; at < head.size();) {
    size_t lf = head.find("\r\n", at);
    std::string line = head.substr(at, lf - at);
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) Fail();
    at = lf + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  World& world = Setup();
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

  HttpTextChannel channel(input, data[0] == 0 ? 4096 : data[0]);
  world.server->Serve(channel, 1);
  CheckReply(channel.Sent());
  for (const auto& entry : std::filesystem::directory_iterator(world.directory))
    if (entry.path().extension() == ".tmp") Fail();

  HttpFormVariables variables;
  (void)HttpParseForm(input, variables);
  if (HttpUrlDecode(input).size() > input.size()) Fail();
  std::string file;
  if (HttpResolveFile(world.files, input, file) &&
      file.compare(0, world.files.size() + 1, world.files + "/") != 0)
    Fail();
  return 0;
}
