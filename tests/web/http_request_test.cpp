// The HTTP request cycle over an in-memory connection: request lines and their
// limits, bodies and their framing, form variables, spooling, replies with their
// default headers, keep-alive, redirects and failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "base/exception.h"
#include "tests/config/settings_fixture.h"
#include "web/http_channel.h"
#include "web/http_server.h"

namespace {

const char kBadPage[] = "<body><h1>HTTP/1.0 400 Bad Request</h1></body>\r\n";

std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string Body(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

int Replies(const std::string& sent) {
  int n = 0;
  for (size_t at = sent.find("HTTP/1.0 "); at != std::string::npos; at = sent.find("HTTP/1.0 ", at + 1)) ++n;
  return n;
}

std::string Post(const std::string& path, const std::string& type, const std::string& body,
                 const std::string& extra = "") {
  return "POST " + path + " HTTP/1.0\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

}  // namespace

class HttpRequestTest : public SettingsFixture {
 protected:
  void SetUp() override {
    LoadConfig("DS,HTTPUseKeepAlives=1,HTTPMaxBodySize=100000\r\n");
    m_Server = std::make_unique<HttpServer>("OstrelHTTP", m_Dir.Path());
    // Echo: the method, URL, version and every variable, one a line.
    m_Server->AddPageRoute("Echo", [](HttpRequest& r) {
      r.Write("Content-Type: text/plain\r\n\r\n");
      r.Write("method=" + std::to_string(static_cast<int>(r.Method())) + " url=" + r.Url() +
              " version=" + std::to_string(r.Version()) + "\n");
      for (const auto& [name, value] : r.Variables()) r.Write(name + "=" + value + "\n");
    });
    m_Server->AddPageRoute("Go", [](HttpRequest& r) {
      std::string to;
      r.GetVariable("to", to);
      r.Redirect(to);
    });
    m_Server->AddDirectoryRoute("/files", m_Dir.Path());
  }

  // One connection that brings raw in pieces of piece bytes; what was sent back.
  std::string Serve(const std::string& raw, size_t piece = 4096) {
    HttpTextChannel channel(raw, piece);
    m_Server->Serve(channel, 7);
    return channel.Sent();
  }

  std::unique_ptr<HttpServer> m_Server;
};

TEST_F(HttpRequestTest, RequestLinesHeadersAndTheirLimits) {
  const std::string line8192 = "GET /Echo?" + std::string(8192 - 19, 'a') + " HTTP/1.0";
  std::string headers100, folded = "X-A: 1\r\n  2\r\n";
  for (int i = 0; i < 100; ++i) headers100 += "X-" + std::to_string(i) + ": v\r\n";
  struct Case {
    std::string raw;
    std::string echo;  // empty: the 400 page
  } cases[] = {
      {"GET /Echo?a=1 HTTP/1.1\r\n\r\n", "method=1 url=/Echo?a=1 version=439\na=1\n"},
      {"\r\n\r\nget /echo HTTP/1.0\r\n\r\n", "method=1 url=/echo version=438\n"},
      {"BREW /Echo/more HTTP/1.2\r\n\r\n", "method=0 url=/Echo/more version=439\n"},
      {line8192 + "\r\n\r\n", "method=1"},
      {"GET /Echo HTTP/1.0\r\n" + headers100 + folded.substr(0, 0) + "\r\n", "method=1"},
      {"GET /Echo HTTP/1.0\r\n" + folded + "\r\n", "method=1"},
      {"GET /Echo\r\n\r\n", ""},
      {"GET /Echo HTTP/2.0\r\n\r\n", ""},
      {"GET /Echo HTTP/1.x\r\n\r\n", ""},
      {"GET /Echo HTTPS/1.0\r\n\r\n", ""},
      {line8192 + "b\r\n\r\n", ""},
      {"GET /Echo HTTP/1.0\r\n" + headers100 + "X-101: v\r\n\r\n", ""},
      {"GET /Echo HTTP/1.0\r\nNo colon here\r\n\r\n", ""},
      {"GET /Echo HTTP/1.0\r\n  folded first\r\n\r\n", ""},
      {"GET /Echo HTTP/1.0\r\nHost: x\r\n", ""},  // the peer closed inside the headers
      {"", ""},
  };
  for (size_t piece : {3, 4096}) {
    for (const Case& c : cases) {
      std::string reply = Serve(c.raw, piece);
      std::string what = c.raw.substr(0, 40) + " in pieces of " + std::to_string(piece);
      if (c.echo.empty()) {
        EXPECT_EQ(StatusLine(reply), "HTTP/1.0 400 Bad Request") << what;
        EXPECT_EQ(Body(reply), kBadPage) << what;
      } else {
        EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << what;
        EXPECT_EQ(Body(reply).substr(0, c.echo.size()), c.echo) << what;
      }
    }
  }
}

TEST_F(HttpRequestTest, KeepAliveOnlyForWholeOkRepliesThatWereAskedFor) {
  m_Server->AddPageRoute("Liar", [](HttpRequest& r) { r.Write("Content-Length: 99\r\n\r\nabc"); });
  m_Dir.Write("page.html", "<p>hi</p>");
  const std::string ka = "Connection: Keep-Alive\r\n";
  const std::string next = "GET /Echo HTTP/1.0\r\n\r\n";
  struct Case {
    std::string first;
    int replies;
  } cases[] = {
      {"GET /Echo HTTP/1.0\r\n" + ka + "\r\n", 2},
      {"GET /Echo HTTP/1.1\r\nConnection: close, keep-alive\r\n\r\n", 2},
      {"GET /files/page.html HTTP/1.0\r\n" + ka + "\r\n", 2},
      {"GET /Echo HTTP/1.0\r\n\r\n", 1},
      {"GET /Go?to=/x HTTP/1.0\r\n" + ka + "\r\n", 1},
      {"GET /files/none HTTP/1.0\r\n" + ka + "\r\n", 1},
      {"GET /Liar HTTP/1.0\r\n" + ka + "\r\n", 1},
      // A body that GET does not read would be taken for the next request.
      {"GET /Echo HTTP/1.0\r\n" + ka + "Content-Length: 5\r\n\r\nGET /", 1},
  };
  for (const Case& c : cases) {
    std::string sent = Serve(c.first + next);
    EXPECT_EQ(Replies(sent), c.replies) << c.first;
    EXPECT_EQ(sent.find("Connection: Keep-Alive") != std::string::npos, c.replies == 2) << c.first;
  }
  LoadConfig("DS,HTTPUseKeepAlives=0\r\n");
  EXPECT_EQ(Replies(Serve(cases[0].first + next)), 1);
}

TEST_F(HttpRequestTest, BodiesAreFramedByOneContentLength) {
  const std::string form = "application/x-www-form-urlencoded";
  std::string reply = Serve(Post("/Echo?a=0&c=3", form + "; charset=utf-8", "a=1&b=x%41+y"));
  EXPECT_EQ(Body(reply), "method=3 url=/Echo?a=0&c=3 version=438\na=1\x1c" "0\nb=xA y\nc=3\n");
  EXPECT_EQ(StatusLine(Serve(Post("/Echo", form, "a=1", "Content-Length: 3\r\n"))), "HTTP/1.0 200 OK");
  const std::string refused[] = {
      "POST /Echo HTTP/1.0\r\nContent-Type: " + form + "\r\n\r\na=1",
      Post("/Echo", form, "a=1", "Transfer-Encoding: chunked\r\n"),
      Post("/Echo", form, "a=1", "Content-Length: 4\r\n"),
      "POST /Echo HTTP/1.0\r\nContent-Length: 3x\r\n\r\na=1",
      "POST /Echo HTTP/1.0\r\nContent-Length: -3\r\n\r\na=1",
      Post("/Echo", form, std::string(100001, 'a')),
  };
  for (const std::string& raw : refused) EXPECT_EQ(Body(Serve(raw)), kBadPage) << raw.substr(0, 90);
  // A body cut short ends the connection without an answer.
  std::string cut = Post("/Echo", form, "a=1");
  EXPECT_EQ(Serve(cut.substr(0, cut.size() - 1)), "");
  // More than 1,000 values are refused.
  std::string many;
  for (int i = 0; i < 1001; ++i) many += "v=1&";
  EXPECT_EQ(Body(Serve(Post("/Echo", form, many))), kBadPage);
}

TEST_F(HttpRequestTest, MultipartFieldsAndUploadedFiles) {
  // Binary content with line ends, zero bytes and a line that only looks like a delimiter.
  std::string binary("\x00\x01\r\n--XyZa\r\n\xff\r\n\x00", 16);
  std::string saved = m_Dir.File("saved.bin"), type, outcome;
  m_Server->AddPageRoute("Upload", [&](HttpRequest& r) {
    std::string t;
    outcome = r.SaveUploadedPart("file", saved, type) ? "saved" : "not saved";
    outcome += r.SaveUploadedPart("note", m_Dir.File("x"), t) ? " note" : "";
    outcome += r.SaveUploadedPart("raw", m_Dir.File("raw.bin"), t) ? " " + t : "";
    for (const auto& [name, value] : r.Variables()) outcome += " " + name + "=" + value;
  });
  std::string body =
      "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n\r\n"
      "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a b.png\"\r\n"
      "Content-Type: image/png\r\n\r\n" + binary +
      "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"raw\"; filename=\"\"\r\n\r\nr"
      "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nagain\r\n--XyZ--\r\n";
  for (size_t piece : {5, 4096}) {
    outcome.clear();
    Serve(Post("/Upload?q=1", "multipart/form-data; boundary=XyZ", body), piece);
    EXPECT_EQ(outcome, "saved application/octet-stream note=hello\x1c" "again file=a b.png raw= q=1");
    EXPECT_EQ(TempDir::Read(saved), binary);
    EXPECT_EQ(type, "image/png");
  }
}

TEST_F(HttpRequestTest, LargeBodiesAreSpooledAndRemovedWhateverHappens) {
  namespace fs = std::filesystem;
  auto spoolFiles = [this] {
    int n = 0;
    for (const auto& entry : fs::directory_iterator(m_Dir.Path()))
      n += entry.path().filename().string().starts_with("h7aa") && entry.path().extension() == ".tmp";
    return n;
  };
  int seen = -1;
  std::string value;
  m_Server->AddPageRoute("Look", [&](HttpRequest& r) {
    seen = spoolFiles();
    r.GetVariable("v", value);
  });
  const std::string form = "application/x-www-form-urlencoded";
  for (int size : {32767, 32768, 40000}) {
    std::string body = "v=" + std::string(static_cast<size_t>(size) - 2, 'x');
    Serve(Post("/Look", form, body));
    EXPECT_EQ(seen, size >= 32768 ? 1 : 0) << size;
    EXPECT_EQ(value.size(), static_cast<size_t>(size) - 2);
    EXPECT_EQ(spoolFiles(), 0) << size;
  }
  // A body that breaks off, and a handler that throws, leave nothing behind.
  EXPECT_EQ(Serve(Post("/Look", form, std::string(40000, 'x')).substr(0, 35000)), "");
  m_Server->AddPageRoute("Throw", [](HttpRequest& r) {
    r.Write("Content-Type: text/plain\r\n\r\npartial");
    throw CTernException(144);
  });
  EXPECT_EQ(Serve(Post("/Throw", form, std::string(40000, 'x'))), "");
  EXPECT_EQ(spoolFiles(), 0);
}

TEST_F(HttpRequestTest, RedirectsBuildLocationOnlyFromASoundHost) {
  struct Case {
    std::string host;  // empty: no Host header
    std::string to;
    std::string location;  // empty: the 400 page
  } cases[] = {
      {"mail.example.org", "/Display?what=a_u.mhtml", "http://mail.example.org:8003/Display?what=a_u.mhtml"},
      {"mail.example.org:8080", "/", "http://mail.example.org:8080/"},
      {"[::1]:8003", "/", "http://[::1]:8003/"},
      {"", "/x", "http://192.0.2.2:8003/x"},
      {"evil.org\rSet-Cookie: a=b", "/", ""},
      {"evil.org\x0bx", "/", ""},
      {"a b", "/", ""},
      {"a/b", "/", ""},
      {"a:80x", "/", ""},
      {"mail.example.org", "/%0d%0aSet-Cookie:%20a=b", ""},
  };
  for (const Case& c : cases) {
    std::string raw = "GET /Go?to=" + c.to + " HTTP/1.0\r\n" +
                      (c.host.empty() ? "" : "Host: " + c.host + "\r\n") + "\r\n";
    std::string reply = Serve(raw);
    if (c.location.empty()) {
      EXPECT_EQ(Body(reply), kBadPage) << c.host << c.to;
      EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
    } else {
      EXPECT_EQ(StatusLine(reply), "HTTP/1.0 302 Moved Temporarily") << c.host;
      EXPECT_NE(reply.find("\r\nLocation: " + c.location + "\r\n"), std::string::npos) << reply;
    }
  }
}

TEST_F(HttpRequestTest, RepliesBeyondTheBufferGoOutEarlyAndWritesEndWithTheReply) {
  long afterFinish = 0;
  bool sentBeforeFinish = false;
  HttpTextChannel* channel = nullptr;
  m_Server->AddPageRoute("Big", [&](HttpRequest& r) {
    r.Write("Content-Type: text/plain\r\n\r\n");
    for (int i = 0; i < 100; ++i) r.Write(std::string(1000, 'a' + i % 26));
    sentBeforeFinish = !channel->Sent().empty();
    r.Finish();
    afterFinish = r.Write("more");
  });
  HttpTextChannel big("GET /Big HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  channel = &big;
  m_Server->Serve(big, 1);
  EXPECT_TRUE(sentBeforeFinish);
  EXPECT_EQ(afterFinish, -1);
  EXPECT_EQ(Body(big.Sent()).size(), 100000u);
  // Its length was not known when the headers went: the connection is not kept.
  EXPECT_EQ(big.Sent().find("Content-Length"), std::string::npos);
  EXPECT_EQ(big.Sent().find("Keep-Alive"), std::string::npos);
}
