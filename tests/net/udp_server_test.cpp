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
  void HandleDatagram(const std::string& datagram, CTernNetAddress& sender, int) override {
    std::string from;
    sender.GetFirstAddressText(from);
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Received.push_back(datagram + "@" + from);
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
  EXPECT_EQ(server.Received()[0], "first@127.0.0.2");
  EXPECT_EQ(server.Received()[1], exact + "@127.0.0.2");
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
