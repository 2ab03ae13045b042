// The UDP server: a bound UDP endpoint, a receiver thread that queues each datagram
// with its sender, and workers that hand them to the datagram handler one at a
// time. The DNS resolver is its subclass. See net/server.h for the pools.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

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

 protected:
  // Run by a worker for each datagram. The default prints
  // "Grunt %d received '%s' from %s\n" (bytes that are not printable as '.').
  virtual void HandleDatagram(const std::string& datagram, CTernNetAddress& sender, int number);
  // The default prints "Helper %d is on-line!\n", waits 5 seconds at a time until a
  // stop is requested or the thread is surplus, and prints "Helper %d returns.\n".
  void Background(int number) override;

 private:
  struct Datagram {
    std::string data;
    CTernNetAddress sender;
  };

  void ReceiverLoop() override;
  bool ServeNext(int number) override;
  void DropQueued() override;
  void CloseReceiver() override;

  CTernUdpEndpoint m_Endpoint;
  CTernNetAddress m_BoundAddress;  // guarded by m_Lock
  size_t m_Largest = 0;            // set before the receiver starts

  CTernLock m_QueueLock;  // guards m_Queue
  std::deque<Datagram> m_Queue;
};
