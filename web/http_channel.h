// Where an HTTP request's bytes come from and its reply goes: a connection of the
// server, or, for reading a request held in memory (tests, fuzzing), a text.
//
// Reads wait at most one second at a time, so that the reader can keep its own
// clocks (silence, the budget of a request's head) and see a stop of the server
// between two waits. A channel belongs to one connection's worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CTernTcpEndpoint;
class CTernTcpServer;

enum class HttpRead {
  Data,    // bytes were appended (for ReadLine: the line is complete or at its limit)
  Silent,  // a second passed; for ReadLine, bytes of the line may have been appended
  Closed,  // the peer closed; for ReadLine, a partial line may have been appended
  Failed,  // a receive error
};

class HttpChannel {
 public:
  virtual ~HttpChannel() = default;

  // Appends to line up to and including the next CR LF, stopping when line holds
  // limit bytes. Data when the line ends in CR LF or reached the limit.
  HttpRead ReadLine(std::string& line, size_t limit);
  // Appends at most count bytes to data.
  HttpRead Read(std::string& data, size_t count);
  // Sends all of bytes; false when they could not all be sent.
  virtual bool Send(std::string_view bytes) = 0;
  // True once the server is being stopped.
  virtual bool Stopping() const = 0;
  // The peer's IPv4 address as dotted text (empty when unknown).
  virtual std::string PeerAddress() = 0;
  // The local end's IPv4 address as dotted text and its port; false when unknown.
  virtual bool LocalAddress(std::string& address, uint16_t& port) = 0;
  // True when the connection is encrypted (TLS).
  virtual bool Encrypted() { return false; }

 protected:
  // Appends at most count bytes that arrive within a second; 0 when none did (and
  // closed set when the peer has closed), -1 on an error.
  virtual long Receive(std::string& data, size_t count, bool& closed) = 0;

 private:
  std::string m_Pending;  // received beyond the last line taken
};

// A connection accepted by the server. Replies go out through the server, which
// gives up on a client that takes nothing for sendWait seconds (less while it is
// stressed).
class HttpEndpointChannel : public HttpChannel {
 public:
  HttpEndpointChannel(CTernTcpEndpoint& endpoint, CTernTcpServer& server, int sendWait)
      : m_Endpoint(endpoint), m_Server(server), m_SendWait(sendWait) {}
  bool Send(std::string_view bytes) override;
  bool Stopping() const override;
  std::string PeerAddress() override;
  bool LocalAddress(std::string& address, uint16_t& port) override;
  bool Encrypted() override;

 protected:
  long Receive(std::string& data, size_t count, bool& closed) override;

 private:
  CTernTcpEndpoint& m_Endpoint;
  CTernTcpServer& m_Server;
  int m_SendWait;
};

// A request held in memory: reads deliver input in pieces of at most piece bytes
// and then report the peer closed; sends are collected. Peer 192.0.2.1, local end
// 192.0.2.2 port 8003.
class HttpTextChannel : public HttpChannel {
 public:
  explicit HttpTextChannel(std::string input, size_t piece = 4096)
      : m_Input(std::move(input)), m_Piece(piece ? piece : 1) {}
  bool Send(std::string_view bytes) override;
  bool Stopping() const override { return false; }
  std::string PeerAddress() override { return "192.0.2.1"; }
  bool LocalAddress(std::string& address, uint16_t& port) override;
  // Everything sent so far.
  const std::string& Sent() const { return m_Sent; }

 protected:
  long Receive(std::string& data, size_t count, bool& closed) override;

 private:
  std::string m_Input;
  size_t m_Piece;
  size_t m_Taken = 0;
  std::string m_Sent;
};
