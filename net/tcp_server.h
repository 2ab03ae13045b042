// The TCP server: a listening endpoint, a listener thread that accepts connections
// into a queue, and workers that each handle one connection at a time. The SMTP,
// POP3 and HTTP servers are subclasses that override the connection handler (and,
// for SMTP, the background routine). See net/server.h for the pools.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>

#include "base/lock.h"
#include "net/network_address.h"
#include "net/server.h"
#include "net/tcp_endpoint.h"

class CTernTcpServer : public CTernServer {
 public:
  // A stopped server; name appears in its messages ("SMTP", "POP", ...).
  explicit CTernTcpServer(std::string_view name);
  // Stops the server first when threads still run.
  ~CTernTcpServer() override;

  // Listens on the first of the address's IPv4 addresses that can be listened on
  // and starts one listener, `workers` workers and `background` background threads.
  // True when the server listens and all its threads run. Fails with 141 (workers
  // below 1, background below 0, an address with no IPv4 address), 143 (already
  // started), 146 (nothing could be listened on), 148 (a thread not created; those
  // created keep running).
  bool Start(int workers, int background, const CTernNetAddress& address);

  // Where the server listens: the IPv4 address and the bound port (the port the
  // system chose when started on port 0). The wildcard address before Start.
  CTernNetAddress ListenAddress() const;
  uint16_t Port() const;

 protected:
  // Run by a worker for each accepted connection; the framework closes the
  // connection afterwards. The default answers each line ending in "\r\n" with the
  // thread number, ": " and the line, until the peer closes or a stop is requested.
  virtual void HandleConnection(CTernTcpEndpoint& connection, int number);

 private:
  void ReceiverLoop() override;
  bool ServeNext(int number) override;
  void DropQueued() override;
  void CloseReceiver() override;

  CTernNetAddress m_ListenAddress;  // guarded by m_Lock
  CTernTcpEndpoint m_Listening;     // used by Start, the listener thread and Stop

  CTernLock m_QueueLock;  // guards m_Pending
  std::deque<std::unique_ptr<CTernTcpEndpoint>> m_Pending;
};
