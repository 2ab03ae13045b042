// The HTTP server: serves the administration pages and the web mail client. It is
// a TCP server (net/tcp_server.h); each connection is served by one worker, which
// reads requests one after another (HTTP/1.0, with keep-alive when the
// HTTPUseKeepAlives setting allows it and the client asks), routes each by the
// longest matching path prefix to a page handler or a directory of files, and
// answers through the request (web/http_request.h).
//
// Against idle and slow clients it stands on the framework: the pool grows under
// load; a client address over its connection limit gets a 503 reply; while the
// server is stressed, a kept connection waits kTernStressedKeepAlive seconds for
// its next request and a request's head and body get the stressed wait.
//
// Routes are registered before the server starts and only read afterwards.
// Request bodies of 32 KB and more are spooled to temporary files in the mail
// directory ("h" + connection number + "aa" + serial + ".tmp"); each is removed
// when its request ends, and those a crash left behind when the server starts.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "net/server_start.h"
#include "net/tcp_server.h"
#include "web/http_request.h"
#include "web/url_route.h"

class HttpChannel;

// Seconds a client may take nothing of a reply before it is given up.
inline constexpr int kHttpSendWait = 300;

class HttpServer : public CTernTcpServer {
 public:
  // name goes into the Server header of every reply (and into the server's event
  // texts); bodies are spooled in mailDirectory.
  HttpServer(std::string_view name, const std::string& mailDirectory);
  ~HttpServer() override;

  // Starts on HTTPPort of the product's key (default 8003; when another port
  // cannot be listened on, 8003 is tried once) with HTTPIncoming workers, after
  // removing spool files left behind. With implicit TLS on HTTPSPort (default
  // 8443, not retried), leaving the spool files alone. True when the server listens.
  bool Start(const std::string& product, const TernSettingReader& reader);
  // Starts beside a server that still runs (the HTTP server moving to another
  // port): on HTTPPort only, never falling back to 8003, and leaving the spool
  // files alone (the running server's requests may still use them).
  bool StartBeside(const std::string& product, const TernSettingReader& reader);
  using CTernTcpServer::Start;
  // Re-reads HTTPIncoming and applies it (after the System object changed).
  bool Reconfigure(const TernSettingReader& reader);

  // Routes: "/" + name to a handler ("/" for the empty name), and a path prefix
  // to a directory whose regular files are served.
  void AddPageRoute(std::string_view name, HttpHandler handler);
  void AddDirectoryRoute(std::string_view prefix, const std::string& directory);
  const UrlRouteTable& Routes() const { return m_Routes; }

  // The connection routine: serves requests on connection until it is not kept.
  void ProcessJob(CTernTcpEndpoint& connection, int number);
  // The same over any channel (the connection routine's loop).
  void Serve(HttpChannel& channel, int number);

  const std::string& ServerName() const { return m_ServerName; }
  const std::string& MailDirectory() const { return m_MailDirectory; }
  // The limits a request is read with: the waits (shortened while the server is
  // stressed), and the HTTPMaxBodySize and HTTPUseKeepAlives settings in force now.
  HttpLimits Limits() const;
  // How long a kept connection waits for its next request: silence, or
  // kTernStressedKeepAlive while the server is stressed.
  int IdleWait(int silence) const;

  // Sends every request that does not come encrypted, and whose client may not
  // send passwords in clear (PasswordAllowed), to the same path on the HTTPS port
  // securePort; 0 (the default) serves it here.
  void SetSecureRedirect(uint16_t securePort) { m_SecurePort = securePort; }

  // Tests: shorter waits than 15 seconds of silence, 300 for a request's head and
  // 300 of silence within a body.
  void SetTimeouts(int silence, int headBudget, int bodySilence);

 protected:
  void HandleConnection(CTernTcpEndpoint& connection, int number) override;
  // A 503 reply for a client address that holds too many connections.
  TernRefusal ClientLimitRefusal() const override;

 private:
  // Answers one request that has been read.
  void Dispatch(HttpRequest& request);
  void RemoveStaleSpoolFiles();

  const std::string m_ServerName;
  const std::string m_MailDirectory;
  UrlRouteTable m_Routes;
  std::atomic<uint16_t> m_SecurePort{0};
  std::atomic<int> m_Silence{15};
  std::atomic<int> m_HeadBudget{300};
  std::atomic<int> m_BodySilence{300};
};
