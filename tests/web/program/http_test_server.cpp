// The HTTP server with two handlers that show what a request brought, for the
// system tests of what no page of the program shows yet: Echo answers with the
// form variables, Upload saves the file part named by the variable "field" and
// sends the saved bytes back with the part's type in X-Upload-Type.
//
//   http_test_server SPOOLDIR   prints the port it listens on (loopback), then
//                               serves until its standard input ends.
#include <cstdio>
#include <string>

#include "base/file_ops.h"
#include "base/disk_file.h"
#include "net/socket_start.h"
#include "web/http_server.h"

namespace {

void Echo(HttpRequest& request) {
  request.Write("Content-Type: text/plain\r\n\r\n");
  for (const auto& [name, value] : request.Variables()) request.Write(name + "=" + value + "\n");
}

void Upload(HttpRequest& request, const std::string& directory) {
  std::string field, type, saved = PathJoin(directory, "upload.bin");
  request.GetVariable("field", field);
  if (!request.SaveUploadedPart(field, saved, type)) {
    request.SendNotFound(field);
    return;
  }
  CTernDiskFile file(saved, TernFileMode::ReadOnly | TernFileMode::NoLock);
  std::string bytes;
  if (!file.Open() || file.Read(bytes) < 0) {
    request.SendBadRequest();
    return;
  }
  request.WriteHeader("Content-Type", "application/octet-stream");
  request.WriteHeader("X-Upload-Type", type);
  request.Write("\r\n");
  request.Write(bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: http_test_server SPOOLDIR\n");
    return 2;
  }
  std::string directory = argv[1];
  TernStartSockets();
  HttpServer server("OstrelHTTP", directory);
  server.AddPageRoute("Echo", Echo);
  server.AddPageRoute("Upload", [&directory](HttpRequest& r) { Upload(r, directory); });
  if (!server.Start(5, 0, CTernNetAddress("127.0.0.1", 0))) return 1;
  printf("%u\n", static_cast<unsigned>(server.Port()));
  fflush(stdout);
  for (int c; (c = getchar()) != EOF;) {
  }
  server.Stop();
  return 0;
}
