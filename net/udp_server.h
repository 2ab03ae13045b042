// The UDP server: a bound UDP endpoint, a receiver thread that queues each datagram
// with its sender, and workers that hand them to the datagram handler one at a
// time. The DNS resolver is its subclass. See net/server.h for the pools.
//
// Besides its bound endpoint the server can open exchanges: sockets connected to
// one peer each, from a local port the system picks at random. The kernel passes
// an exchange only what that peer sends to that port, so a client that opens one
// exchange per request cannot be answered by a guess of a fixed port. The receiver
// waits on the bound endpoint and every exchange at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"
#include "net/network_address.h"
#include "net/server.h"
#include "net/udp_endpoint.h"

// Datagrams waiting for a worker beyond this many are dropped: a flood must not
// take all memory, and a datagram service copes with loss.
constexpr size_t kTernUdpQueueLimit = 10000;

class CTernUdpServer : public CTernServer {
 public:
  explicit CTernUdpServer(std::string_view name);
  // Stops the server first when threads still run.
  ~CTernUdpServer() override;

  // Binds to the address and starts the receiver, `workers` datagram workers and
  // `background` background threads; datagrams longer than largest bytes are
  // dropped (215, a warning). Fails with 208 (workers below 1, background below 0,
  // largest below 1, an address with no IPv4 address), 209 (already started), 210
  // (no bind), 211 (a thread not created).
  bool Start(int workers, int background, int largest, const CTernNetAddress& address);

  // Sends a datagram from the server's endpoint; the length sent or -1.
  long Send(const void* data, long length, CTernNetAddress& destination);

  // The bound IPv4 address and port.
  CTernNetAddress BoundAddress() const;

  // Opens an exchange with peer (its first IPv4 address that connects); its number
  // (1 or more), or 0 when the server is not running or no socket could be made
  // (178 reported by the endpoint, 185 caught).
  uint64_t OpenExchange(const CTernNetAddress& peer);
  // Sends a datagram to the exchange's peer; the length sent, or -1 (also when
  // the exchange is closed).
  long SendOnExchange(uint64_t exchange, const void* data, long length);
  // Closes an exchange; datagrams it received before stay queued. An unknown
  // number is ignored.
  void CloseExchange(uint64_t exchange);
  // The exchanges open now.
  size_t ExchangeCount() const;

 protected:
  // Run by a worker for each datagram; exchange is the number of the exchange that
  // received it, 0 for the bound endpoint. The default prints
  // "Grunt %d received '%s' from %s\n" (bytes that are not printable as '.').
  virtual void HandleDatagram(const std::string& datagram, CTernNetAddress& sender,
                              uint64_t exchange, int number);
  // The default prints "Helper %d is on-line!\n", waits 5 seconds at a time until a
  // stop is requested or the thread is surplus, and prints "Helper %d returns.\n".
  void Background(int number) override;

 private:
  struct Datagram {
    std::string data;
    CTernNetAddress sender;
    uint64_t exchange = 0;
  };

  void ReceiverLoop() override;
  // Receives what one ready socket holds (the bound endpoint for exchange 0) and
  // queues it; false when the bound endpoint failed.
  bool ReceiveOne(uint64_t exchange, std::vector<char>& buffer);
  std::shared_ptr<CTernUdpEndpoint> FindExchange(uint64_t exchange) const;
  bool ServeNext(int number) override;
  bool HasQueued() override;
  void DropQueued() override;
  void CloseReceiver() override;

  CTernUdpEndpoint m_Endpoint;
  CTernNetAddress m_BoundAddress;  // guarded by m_Lock
  size_t m_Largest = 0;            // set before the receiver starts

  CTernLock m_QueueLock;  // guards m_Queue
  std::deque<Datagram> m_Queue;

  int m_Set = -1;  // the socket set the receiver waits on; for the object's life
  mutable CTernLock m_ExchangeLock;  // guards the members below
  std::map<uint64_t, std::shared_ptr<CTernUdpEndpoint>> m_Exchanges;
  uint64_t m_NextExchange = 1;
};
