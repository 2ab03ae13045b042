// The UDP endpoint on loopback: datagrams with their senders, over-long datagrams,
// waits, the fixed peer, and the messages of misuse.
#include "net/udp_endpoint.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/net/loopback.h"
#include "tests/support/events.h"

namespace {

uint16_t BindOnLoopback(CTernUdpEndpoint& endpoint, int n = 1) {
  EXPECT_TRUE(endpoint.Bind(CTernNetAddress(Loopback(n), 0)));
  CTernNetAddress bound;
  EXPECT_TRUE(endpoint.LocalName(bound));
  return bound.Port();
}

}  // namespace

TEST(UdpEndpoint, DatagramArrivesWithItsSender) {
  EventCapture events;
  CTernUdpEndpoint receiver, sender;
  uint16_t port = BindOnLoopback(receiver);
  uint16_t from = BindOnLoopback(sender, 2);
  CTernNetAddress to(Loopback(1), port);
  ASSERT_EQ(sender.SendTo("query", 5, &to), 5);
  char buffer[64];
  CTernNetAddress source;
  ASSERT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 5, &source), 5);
  EXPECT_EQ(std::string(buffer, 5), "query");
  EXPECT_FALSE(receiver.TimedOut());
  std::string text;
  source.GetFirstAddressText(text);
  EXPECT_EQ(text, "127.0.0.2");
  EXPECT_EQ(source.Port(), from);
  EXPECT_TRUE(events.Codes().empty());
}

TEST(UdpEndpoint, AnOverLongDatagramCountsAsAFullBuffer) {
  CTernUdpEndpoint receiver, sender;
  CTernNetAddress to(Loopback(1), BindOnLoopback(receiver));
  BindOnLoopback(sender);
  std::string big(600, 'z');
  ASSERT_EQ(sender.SendTo(big.data(), 600, &to), 600);
  char buffer[513];
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 5, nullptr), 513);
  EXPECT_EQ(buffer[512], 'z');
}

TEST(UdpEndpoint, AnExpiredWaitGivesZeroWithTheFlag) {
  CTernUdpEndpoint receiver;
  BindOnLoopback(receiver);
  char buffer[16];
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 1, nullptr), 0);
  EXPECT_TRUE(receiver.TimedOut());
}

TEST(UdpEndpoint, AConnectedEndpointSendsWithoutADestination) {
  EventCapture events;
  CTernUdpEndpoint receiver, peer, unconnected;
  uint16_t port = BindOnLoopback(receiver);
  ASSERT_TRUE(peer.Connect(CTernNetAddress(Loopback(1), port)));
  EXPECT_EQ(peer.SendTo("ping", 4, nullptr), 4);
  char buffer[16];
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 5, nullptr), 4);
  BindOnLoopback(unconnected);
  EXPECT_EQ(unconnected.SendTo("ping", 4, nullptr), -1);
  EXPECT_TRUE(events.Has(188));
}

TEST(UdpEndpoint, MisuseIsReportedByCode) {
  EventCapture events;
  CTernUdpEndpoint endpoint;
  char buffer[8];
  CTernNetAddress nowhere("no-such-host.invalid", 53);
  EXPECT_EQ(endpoint.ReceiveFrom(buffer, sizeof buffer, 1, nullptr), -1);
  EXPECT_TRUE(events.Has(182));
  EXPECT_FALSE(endpoint.Close());
  EXPECT_TRUE(events.Has(179));
  BindOnLoopback(endpoint);
  EXPECT_FALSE(endpoint.Bind(CTernNetAddress(Loopback(1), 0)));
  EXPECT_TRUE(events.Has(191));
  EXPECT_EQ(endpoint.ReceiveFrom(buffer, 0, 1, nullptr), -1);
  EXPECT_TRUE(events.Has(189));
  EXPECT_EQ(endpoint.SendTo(nullptr, 3, &nowhere), -1);
  EXPECT_TRUE(events.Has(190));
  EXPECT_EQ(endpoint.SendTo("x", 1, &nowhere), -1);
  EXPECT_TRUE(events.Has(177));
  EXPECT_TRUE(endpoint.Close());
  EXPECT_FALSE(endpoint.IsOpen());
}

TEST(UdpEndpoint, BindingATakenAddressFails) {
  EventCapture events;
  CTernUdpEndpoint first, second;
  uint16_t port = BindOnLoopback(first);
  EXPECT_FALSE(second.Bind(CTernNetAddress(Loopback(1), port)));
  EXPECT_EQ(events.Count(181), 1);
  EXPECT_FALSE(second.IsOpen());
}
