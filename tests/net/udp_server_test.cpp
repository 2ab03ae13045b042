// The UDP server on loopback: datagrams reach the handler in order with their
// senders, over-long ones are dropped and reported, and start failures.
#include "net/udp_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

class RecordingUdpServer : public CTernUdpServer {
 public:
  RecordingUdpServer() : CTernUdpServer("DNS") {}
  ~RecordingUdpServer() override { Stop(); }

  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Received;
  }

 protected:
  void HandleDatagram(const std::string& datagram, CTernNetAddress& sender, uint64_t exchange,
                      int) override {
    std::string from;
    sender.GetFirstAddressText(from);
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Received.push_back(datagram + "@" + from + "#" + std::to_string(exchange));
  }

 private:
  std::mutex m_Mutex;
  std::vector<std::string> m_Received;
};

}  // namespace

TEST(UdpServer, DatagramsReachTheHandlerAndOverLongOnesAreDropped) {
  EventCapture events;
  RecordingUdpServer server;
  ASSERT_TRUE(server.Start(1, 0, 16, CTernNetAddress(Loopback(1), 0)));
  CTernNetAddress to = server.BoundAddress();
  CTernUdpEndpoint client;
  ASSERT_TRUE(client.Bind(CTernNetAddress(Loopback(2), 0)));
  std::string exact(16, 'e');
  ASSERT_EQ(client.SendTo("first", 5, &to), 5);
  ASSERT_EQ(client.SendTo(std::string(17, 'x').data(), 17, &to), 17);
  ASSERT_EQ(client.SendTo(exact.data(), 16, &to), 16);
  ASSERT_TRUE(WaitFor([&] { return server.Received().size() == 2; }));
  EXPECT_EQ(server.Received()[0], "first@127.0.0.2#0");
  EXPECT_EQ(server.Received()[1], exact + "@127.0.0.2#0");
  auto event = events.Find(215);
  EXPECT_EQ(event.kind, PlatformEventKind::Warning);
  EXPECT_EQ(event.text.rfind("Error: Oversized DNS reply from [127.0.0.2].", 0), 0u) << event.text;
  EXPECT_TRUE(server.Stop());
}

TEST(UdpServer, TheServerAnswersFromItsOwnEndpoint) {
  RecordingUdpServer server;
  ASSERT_TRUE(server.Start(2, 0, 512, CTernNetAddress(Loopback(1), 0)));
  CTernUdpEndpoint peer;
  ASSERT_TRUE(peer.Bind(CTernNetAddress(Loopback(3), 0)));
  CTernNetAddress peerAddress;
  ASSERT_TRUE(peer.LocalName(peerAddress));
  ASSERT_EQ(server.Send("reply", 5, peerAddress), 5);
  char buffer[16];
  CTernNetAddress from;
  ASSERT_EQ(peer.ReceiveFrom(buffer, sizeof buffer, 5, &from), 5);
  EXPECT_EQ(from.Port(), server.BoundAddress().Port());
}

TEST(UdpServer, StartFailuresUseTheServersOwnCodes) {
  EventCapture events;
  RecordingUdpServer server, other;
  EXPECT_FALSE(server.Start(0, 0, 512, CTernNetAddress(Loopback(1), 0)));
  EXPECT_FALSE(server.Start(1, 0, 0, CTernNetAddress(Loopback(1), 0)));
  EXPECT_EQ(events.Count(208), 2);
  ASSERT_TRUE(server.Start(1, 1, 512, CTernNetAddress(Loopback(1), 0)));
  EXPECT_FALSE(server.Start(1, 0, 512, CTernNetAddress(Loopback(1), 0)));
  EXPECT_TRUE(events.Has(209));
  EXPECT_FALSE(other.Start(1, 0, 512, server.BoundAddress()));
  EXPECT_TRUE(events.Has(210));
  EXPECT_FALSE(events.Has(141));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

// An exchange hears only its own peer, on a port of its own, and its datagrams
// reach the workers marked with its number; a closed exchange sends nothing.
TEST(UdpServer, ExchangesHearOnlyTheirPeer) {
  RecordingUdpServer server;
  CTernUdpEndpoint peer, stranger;
  ASSERT_TRUE(peer.Bind(CTernNetAddress(Loopback(4), 0)));
  ASSERT_TRUE(stranger.Bind(CTernNetAddress(Loopback(5), 0)));
  CTernNetAddress peerAddress;
  ASSERT_TRUE(peer.LocalName(peerAddress));
  EXPECT_EQ(server.OpenExchange(peerAddress), 0u);  // not running
  ASSERT_TRUE(server.Start(1, 0, 512, CTernNetAddress(Loopback(1), 0)));
  uint64_t first = server.OpenExchange(peerAddress);
  uint64_t second = server.OpenExchange(peerAddress);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, first);
  EXPECT_EQ(server.ExchangeCount(), 2u);

  char buffer[16];
  CTernNetAddress from, firstPort, secondPort;
  ASSERT_EQ(server.SendOnExchange(first, "q1", 2), 2);
  ASSERT_EQ(peer.ReceiveFrom(buffer, sizeof buffer, 5, &firstPort), 2);
  ASSERT_EQ(server.SendOnExchange(second, "q2", 2), 2);
  ASSERT_EQ(peer.ReceiveFrom(buffer, sizeof buffer, 5, &secondPort), 2);
  EXPECT_NE(firstPort.Port(), secondPort.Port());
  EXPECT_NE(firstPort.Port(), server.BoundAddress().Port());

  ASSERT_EQ(stranger.SendTo("forged", 6, &firstPort), 6);
  ASSERT_EQ(peer.SendTo("a1", 2, &firstPort), 2);
  ASSERT_TRUE(WaitFor([&] { return server.Received().size() == 1; }));
  ASSERT_EQ(peer.SendTo("a2", 2, &secondPort), 2);
  ASSERT_TRUE(WaitFor([&] { return server.Received().size() == 2; }));
  EXPECT_EQ(server.Received()[0], "a1@127.0.0.4#" + std::to_string(first));
  EXPECT_EQ(server.Received()[1], "a2@127.0.0.4#" + std::to_string(second));

  server.CloseExchange(first);
  server.CloseExchange(first);
  EXPECT_EQ(server.SendOnExchange(first, "q", 1), -1);
  EXPECT_EQ(server.ExchangeCount(), 1u);
  EXPECT_TRUE(server.Stop());
  EXPECT_EQ(server.ExchangeCount(), 0u);
  EXPECT_EQ(server.SendOnExchange(second, "q", 1), -1);
}
