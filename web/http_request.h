// One HTTP request on a connection, and the reply to it.
//
// The connection routine (HttpServer) resets the request, has it read the request
// line, the header lines and a POST body, decodes the form variables, and hands
// it to a page handler or sends a file. The request's headers and body are kept as
// one message object (message/message.h): in memory, or, for bodies of
// kHttpSpoolThreshold bytes or more, in a temporary file in the server's mail
// directory, which is removed when the request is reset or dropped.
//
// The reply is buffered. A handler writes its own header lines, an empty line and
// the body; the status line and the default headers (Date, Server, Content-Type,
// Content-Length and keep-alive for a complete 200 reply, and the security
// headers) go out in front of them at the first flush that finds the header block
// complete. The status line always names HTTP/1.0.
//
// What a request may bring is bounded: lines of kHttpMaxLine bytes, kHttpMaxHeaders
// header lines, kHttpMaxVariables form values, a body of the HTTPMaxBodySize
// setting; a client that stays silent (HttpLimits::silence) or takes longer than
// HttpLimits::headBudget over its request line and headers is dropped.
//
// It is also the request the template engine reads variables from and writes pages
// into (web/template_request.h).
//
// A request belongs to the worker serving its connection; nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "message/message.h"
#include "web/http_form.h"
#include "web/template_request.h"

class HttpChannel;
class HttpServer;

// Limits on what a request may bring.
inline constexpr size_t kHttpMaxLine = 8192;    // request and header lines, CR LF aside
inline constexpr int kHttpMaxHeaders = 100;     // header lines, continuation lines included
inline constexpr int32_t kHttpSpoolThreshold = 32768;  // bodies this long go to a file
inline constexpr size_t kHttpFlushThreshold = 65536;   // a fuller reply buffer is sent
inline constexpr int32_t kHttpBlock = 4096;     // body reads and file sends

// The System setting that bounds a request body, in bytes, and its default: large
// enough for a web mail message with what SMTP accepts attached.
inline constexpr char kAttrHttpMaxBodySize[] = "HTTPMaxBodySize";
inline constexpr long kHttpDefaultMaxBodySize = 60L * 1024 * 1024;
// The System setting that allows keep-alive connections (1 or more).
inline constexpr char kAttrHttpUseKeepAlives[] = "HTTPUseKeepAlives";

// The waits and sizes one request is read with.
struct HttpLimits {
  int silence = 15;      // seconds without a byte before a head is given up; also the
                         // longest idle wait for the next request on a kept connection
                         // (kTernStressedKeepAlive while the server is stressed)
  int headBudget = 300;  // seconds a request line and its headers may take in all
  int bodySilence = 300; // seconds without a byte within a body
  long maxBody = kHttpDefaultMaxBodySize;
  bool keepAlives = false;  // HTTPUseKeepAlives is 1 or more
};

enum class HttpMethod { Other = 0, Get = 1, Head = 2, Post = 3 };

// How reading a request's line and headers ended.
enum class HttpHeadResult {
  Ok,
  Idle,  // a kept connection brought no byte of a next request: close it quietly
  Bad,   // unreadable, malformed or over a limit: answer 400 and close
};

// How reading a request's body ended.
enum class HttpBodyResult {
  Ok,
  Refused,  // framing the server does not take (no length, chunked, conflicting or
            // too large): answer 400 and close
  Failed,   // the body did not arrive: close without an answer
};

// Splits a request line into method, URL and version (a message code). The method
// word is GET, HEAD or POST in any case, else Other; the version word must be
// "HTTP/" (any case) with major 1: minor 0 is HTTP/1.0, a higher minor HTTP/1.1.
// False when a word is missing or the version is not of that form.
bool HttpParseRequestLine(std::string_view line, HttpMethod& method, std::string& url,
                          int& version);

// A header value that may go into a reply: no control bytes (tabs aside).
bool HttpSafeHeaderValue(std::string_view value);
// A Host header fit to build a URL from: a host name, a dotted address or an IPv6
// address in brackets, optionally followed by ":" and a port number.
bool HttpValidHost(std::string_view host);

class HttpRequest : public TemplateRequest {
 public:
  // A request on channel for server; connection is the number the server gives
  // the connection (it names spool files).
  HttpRequest(HttpServer& server, HttpChannel& channel, int connection);
  // Removes a spool file. An unfinished reply is not sent.
  ~HttpRequest() override;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // --- The connection routine ---
  // Makes the request ready for the next one on the connection: status 200,
  // flags, reply, variables and headers cleared, a spool file removed, and the
  // limits read again.
  void Reset();
  // Reads the request line (empty lines before it are passed over) and the header
  // lines. kept: the connection has served a request before, so silence before
  // the first byte ends it quietly (Idle).
  HttpHeadResult ReadHead(bool kept);
  // For POST, reads the body that Content-Length announces.
  HttpBodyResult ReadBody();
  // Sets the variables of a form body (URL-encoded or multipart; a multipart's
  // file parts give their file names) and then of the query. False when the
  // request brought too many values or its body cannot be read back.
  bool DecodeVariables();
  // Drops what is buffered and ends the request without an answer; the
  // connection is not kept.
  void Abandon();

  // --- The request, as handlers read it ---
  HttpMethod Method() const { return m_Method; }
  // The second word of the request line, as received.
  const std::string& Url() const { return m_Url; }
  // The URL up to its first "?".
  std::string Path() const;
  // kMsgHttp10, kMsgHttp11, or kMsgUnknown before a line is read.
  int Version() const { return m_Version; }
  // The first request header of that name (any case); false when absent.
  bool GetHeader(const std::string& name, std::string& value) const override;
  bool GetVariable(const std::string& name, std::string& value) const override;
  // Sets a variable; a second value is joined to the first with 0x1C.
  void SetVariable(const std::string& name, std::string_view value);
  // Sets a variable, dropping any value it had.
  void ReplaceVariable(const std::string& name, const std::string& value) override;
  // Sets a variable to HTML the server built (a page may show it unescaped); any
  // other setting of the name takes the mark away again.
  void SetServerHtml(const std::string& name, const std::string& html);
  bool ServerHtml(const std::string& name) const override;
  // Removes a variable; false when it was not there.
  bool RemoveVariable(const std::string& name);
  // Every variable, in the order in which the names first came.
  std::vector<std::pair<std::string, std::string>> Variables() const override;
  // The variables themselves (to remove some, say).
  HttpFormVariables& Form() { return m_Variables; }
  // The peer's IPv4 address as dotted text.
  const std::string& ClientAddress() const { return m_Client; }
  // True when the request came over an encrypted connection (HTTPS).
  bool Encrypted() const;
  int Connection() const { return m_Connection; }
  HttpServer& Server() { return m_Server; }
  // The cookie of that name: the one this reply sets (SetCookie), else the request's
  // from its Cookie header, whose pieces are split at ";" and trimmed of blanks, CR
  // and LF, each naming itself up to its first "=" (names compare without regard
  // to case; the first piece of the name counts). False when there is none.
  bool GetCookie(std::string_view name, std::string& value) const;

  // --- The reply ---
  // Appends to the reply; a buffer then fuller than kHttpFlushThreshold is
  // flushed. The length written, or -1 once the reply is finished or a send failed.
  long Write(std::string_view text) override;
  long Write(const char* bytes, long length);
  // Writes the header line "name: value"; false (nothing written) when the value
  // holds a control byte or the name is not a plain token.
  bool WriteHeader(std::string_view name, std::string_view value);
  // A status text's message code (kMsgHttp200, kMsgHttp302, kMsgHttp400, kMsgHttp404).
  void SetStatus(int code) { m_Status = code; }
  int Status() const { return m_Status; }
  // Asks for "Cache-Control: no-store" (pages that only a logged-in user sees).
  void SetNoStore() { m_NoStore = true; }
  // Sets a cookie: "Set-Cookie: name=value" followed by "; " and attributes when
  // given goes out among the reply's headers, and GetCookie answers the value for
  // the rest of the request. A second cookie of the name replaces the first. False
  // (nothing set) when the name is not a plain token, the value holds a blank, a
  // ";" or a control byte, or the attributes hold a control byte.
  bool SetCookie(std::string_view name, std::string_view value, std::string_view attributes);
  // Drops the reply written so far, so that a routine can answer the request
  // afresh (an error page instead of half a page). Status, cookies and no-store
  // stay. False, and nothing dropped, once any of the reply has been sent.
  bool DiscardReply();
  // Sends the status line and headers once the header block is complete, and what
  // is buffered. False when a send failed.
  bool Flush();
  // The final flush: a header block without its empty line gets one; afterwards
  // every write is refused.
  bool Finish();
  bool Finished() const { return m_Finished; }
  // Set when the reply went out with "Connection: Keep-Alive" and whole.
  bool KeepAlive() const { return m_KeepAlive; }

  // Answers "302 Moved Temporarily" with Location "http://" ("https://" on an
  // encrypted connection) + host + path, host being the Host header (with ":" and
  // the local port added when it names none) or the local address; a Host or a
  // path unfit for a header gets the 400 page.
  void Redirect(std::string_view path);
  // Answers "302 Moved Temporarily" with Location "https://" + the host of the
  // Host header (or the local address) + ":" + securePort + the request's path.
  void RedirectToSecure(uint16_t securePort);
  // Answers with the file at path (a path the server or a handler chose): its
  // media type, modification time and length, then (not for HEAD) its contents.
  // A missing file gets the 404 page, one that cannot be opened the "Cannot open
  // file" page; both name the request's path, never the file's.
  void SendFile(const std::string& path);
  // The 404 page naming path (HTML-escaped).
  void SendNotFound(std::string_view path);
  // The 400 page.
  void SendBadRequest();
  // Writes the decoded content of the multipart body's file part named field into
  // destination (replacing it); contentType receives the part's type,
  // "application/octet-stream" when it gives none. False when there is no such
  // part or it cannot be written.
  bool SaveUploadedPart(const std::string& field, const std::string& destination,
                        std::string& contentType);
  // A path in the server's mail directory that no file has yet, of the kind the
  // server removes when it starts (so a crash leaves no temporary file for good).
  // Whoever makes a file there removes it when done.
  std::string NewSpoolPath() const;

 private:
  enum class LineResult { Line, Overlong, Silent, Gone };

  // Reading (http_reader.cpp).
  LineResult ReadHeadLine(std::string& line, long startSeconds, bool kept, bool& anyBytes);
  HttpHeadResult ReadHeaders(long startSeconds);
  // The announced body length, or false when the framing is refused.
  bool BodyLength(long& length) const;
  bool StartMessage();
  bool Spool();
  bool OpenForReading();
  bool DecodeMultipart();
  bool ExtractPart(int32_t part, CTernFile& target);
  void ReleaseBody();

  // Replying (http_reply.cpp).
  bool Send(bool final);
  std::string ReplyHead(std::string_view handlerHeaders, long bodyLength);
  bool WantsKeepAlive() const;
  bool SendBytes(std::string_view bytes);
  void SendCannotOpen();

  HttpServer& m_Server;
  HttpChannel& m_Channel;
  int m_Connection;
  std::string m_Client;
  CTernMessages m_Texts;
  HttpLimits m_Limits;

  // The request.
  HttpMethod m_Method = HttpMethod::Other;
  std::string m_Url;
  int m_Version = kMsgUnknown;
  std::unique_ptr<CTernFile> m_File;        // a memory file, or the spool file
  std::unique_ptr<CTernMessage> m_Message;  // headers and body as they were read
  std::unique_ptr<CTernMessage> m_Reader;   // the same read back, with its parts
  std::string m_SpoolPath;                  // removed with the body
  bool m_Spooled = false;
  bool m_UnreadBody = false;  // a body came with a method that does not read one
  HttpFormVariables m_Variables;

  // The reply.
  int m_Status = kMsgHttp200;
  std::string m_Output;
  bool m_HeadersSent = false;
  bool m_Finished = false;
  bool m_SendFailed = false;
  bool m_KeepAlive = false;
  bool m_NoStore = false;
  std::vector<std::pair<std::string, std::string>> m_SetCookies;  // name, whole header value
  std::vector<std::string> m_ServerHtml;  // variables holding server-built HTML
  long m_DeclaredLength = -1;  // the Content-Length sent, -1 when none
  long m_BodySent = 0;
};
