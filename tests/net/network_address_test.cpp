// Network addresses: the dotted IPv4 text, lazy resolution through the installed
// resolver, canonical names and the description used in endpoint messages.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/address_resolver.h"
#include "net/network_address.h"

namespace {

uint32_t Ip(const char* text) {
  uint32_t a = 0xDEADBEEF;
  EXPECT_TRUE(ParseDotted(text, a)) << text;
  return a;
}

// A resolver answering from tables, counting the look-ups it is asked; installed for
// the life of the object.
class TableResolver : public CTernAddressResolver {
 public:
  std::map<std::string, std::vector<uint32_t>> hosts;
  std::map<uint32_t, std::string> names;
  int hostLookups = 0;
  int nameLookups = 0;

  int LookupHost(const std::string& name, std::vector<uint32_t>& addresses) override {
    hostLookups++;
    auto it = hosts.find(name);
    if (it == hosts.end()) return 1;
    addresses = it->second;
    return 0;
  }
  int LookupName(uint32_t address, std::string& name) override {
    nameLookups++;
    auto it = names.find(address);
    if (it == names.end()) return 1;
    name = it->second;
    return 0;
  }
};

class Installed {
 public:
  Installed() : resolver(std::make_shared<TableResolver>()) { TernSetAddressResolver(resolver); }
  ~Installed() { TernSetAddressResolver(nullptr); }
  std::shared_ptr<TableResolver> resolver;
};

}  // namespace

TEST(Dotted, PartsShiftIntoTheLowBits) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"1.2.3.4", "1.2.3.4"},   {"1.2", "1.0.0.2"},         {"1.2.3", "1.2.0.3"},
      {"7", "0.0.0.7"},         {"255.255.255.255", "255.255.255.255"},
      {"0.0.0.0", "0.0.0.0"},   {"010.001.0.00255", "10.1.0.255"},
  };
  for (const Case& c : cases) {
    uint32_t a = 0;
    ASSERT_TRUE(ParseDotted(c.text, a)) << c.text;
    EXPECT_EQ(FormatDotted(a), c.expected) << c.text;
  }
}

TEST(Dotted, RefusesWhatIsNoAddressAndLeavesTheOutputAlone) {
  const char* bad[] = {"256.1.1.1", "1.2.3.4.5", "1.2.x.4", "",          "1..2",
                       "1.2.",      ".1",        "-1.2.3.4", " 1.2.3.4", "1.2.3.4 ",
                       "99999999999999999999",   "1.2.3.256", "0x7f.1",  "1,2,3,4"};
  for (const char* text : bad) {
    uint32_t a = 0xDEADBEEF;
    EXPECT_FALSE(ParseDotted(text, a)) << text;
    EXPECT_EQ(a, 0xDEADBEEFu) << text;
  }
  // A zero byte in the text is no digit.
  uint32_t a = 0;
  EXPECT_FALSE(ParseDotted(std::string_view("1.2\0.3", 6), a));
}

TEST(Dotted, ValuesAreInNetworkByteOrder) {
  uint32_t a = Ip("10.20.30.40");
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&a);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[1], 20);
  EXPECT_EQ(bytes[2], 30);
  EXPECT_EQ(bytes[3], 40);
}

TEST(NetAddress, WithoutAHostItIsTheWildcard) {
  for (CTernNetAddress address : {CTernNetAddress(), CTernNetAddress("", 25)}) {
    std::vector<uint32_t> list;
    ASSERT_TRUE(address.Resolve(list));
    EXPECT_EQ(list, std::vector<uint32_t>{0});
    std::string text;
    ASSERT_TRUE(address.GetFirstAddressText(text));
    EXPECT_EQ(text, "0.0.0.0");
  }
  EXPECT_EQ(CTernNetAddress("", 25).Describe(), "[0.0.0.0].25");
}

TEST(NetAddress, WithoutAResolverOnlyDottedTextsResolve) {
  CTernNetAddress dotted("127.0.0.2", 110);
  std::vector<std::string> texts;
  ASSERT_TRUE(dotted.GetAddressTexts(texts));
  EXPECT_EQ(texts, std::vector<std::string>{"127.0.0.2"});
  EXPECT_EQ(dotted.Describe(), "127.0.0.2 [127.0.0.2].110");

  CTernNetAddress named("mail.example.org", 25);
  std::vector<uint32_t> list{1, 2};
  EXPECT_FALSE(named.Resolve(list));
  EXPECT_TRUE(list.empty());
  std::string text = "left over";
  EXPECT_FALSE(named.GetFirstAddressText(text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(named.GetCanonicalName(text));
  // Nothing resolved: the description has no address part.
  EXPECT_EQ(named.Describe(), "mail.example.org.25");
}

TEST(NetAddress, ResolvesLazilyAndKeepsTheList) {
  Installed installed;
  installed.resolver->hosts["mail.example.org"] = {Ip("10.0.0.1"), Ip("10.0.0.2")};
  CTernNetAddress address("mail.example.org", 25);
  EXPECT_EQ(installed.resolver->hostLookups, 0);
  EXPECT_EQ(address.Describe(), "mail.example.org.25");  // describing does not resolve

  std::vector<std::string> texts;
  ASSERT_TRUE(address.GetAddressTexts(texts));
  EXPECT_EQ(texts, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  std::vector<uint32_t> list;
  ASSERT_TRUE(address.Resolve(list));
  EXPECT_EQ(list, (std::vector<uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.2")}));
  EXPECT_EQ(installed.resolver->hostLookups, 1);
  EXPECT_EQ(address.Describe(1), "mail.example.org [10.0.0.2].25");
}

TEST(NetAddress, TheResolverIsAskedBeforeADottedTextStandsForItself) {
  Installed installed;
  installed.resolver->hosts["10.9.9.9"] = {Ip("10.0.0.7")};
  CTernNetAddress address("10.9.9.9");
  std::string text;
  ASSERT_TRUE(address.GetFirstAddressText(text));
  EXPECT_EQ(text, "10.0.0.7");
  CTernNetAddress unknown("10.9.9.8");
  ASSERT_TRUE(unknown.GetFirstAddressText(text));
  EXPECT_EQ(text, "10.9.9.8");
}

TEST(NetAddress, DescribeWritesBadAddrNumPastTheEnd) {
  CTernNetAddress address("mail.example.org");
  address.AddAddress(Ip("10.0.0.1"));
  address.AddAddress(Ip("10.0.0.2"));
  address.AddAddress(Ip("10.0.0.3"));
  EXPECT_EQ(address.Describe(2), "mail.example.org [10.0.0.3]");
  EXPECT_EQ(address.Describe(3), "mail.example.org [BadAddrNum]");
  address.SetPort(25);
  EXPECT_EQ(address.Describe(99), "mail.example.org [BadAddrNum].25");
  EXPECT_EQ(CTernNetAddress(Ip("10.0.0.1"), 0).Describe(), "[10.0.0.1]");
}

TEST(NetAddress, CanonicalNameIsTheFirstAddressThatHasOne) {
  Installed installed;
  installed.resolver->hosts["mail"] = {Ip("10.0.0.1"), Ip("10.0.0.2"), Ip("10.0.0.3")};
  installed.resolver->names[Ip("10.0.0.2")] = "mx2.example.org";
  installed.resolver->names[Ip("10.0.0.3")] = "mx3.example.org";
  CTernNetAddress address("mail", 25);
  std::string name;
  ASSERT_TRUE(address.GetCanonicalName(name));
  EXPECT_EQ(name, "mx2.example.org");
  EXPECT_EQ(installed.resolver->nameLookups, 2);
  EXPECT_EQ(address.Host(), "mail");  // a host text is kept
  EXPECT_EQ(address.Describe(), "mx2.example.org [10.0.0.1].25");
  // Kept: asking again looks nothing up.
  ASSERT_TRUE(address.GetCanonicalName(name));
  EXPECT_EQ(installed.resolver->nameLookups, 2);
  EXPECT_EQ(installed.resolver->hostLookups, 1);
}

TEST(NetAddress, AnAddressWithoutHostTakesItsCanonicalNameAsHost) {
  Installed installed;
  installed.resolver->names[Ip("192.0.2.5")] = "peer.example.net";
  CTernNetAddress address(Ip("192.0.2.5"), 4000);
  std::string name;
  ASSERT_TRUE(address.GetCanonicalName(name));
  EXPECT_EQ(address.Host(), "peer.example.net");
  EXPECT_EQ(address.Describe(), "peer.example.net [192.0.2.5].4000");

  CTernNetAddress nameless(Ip("192.0.2.6"), 0);
  EXPECT_FALSE(nameless.GetCanonicalName(name));
  EXPECT_EQ(name, "");
  EXPECT_EQ(nameless.Host(), "");
}

TEST(NetAddress, SetAddressForgetsHostAndName) {
  Installed installed;
  installed.resolver->hosts["mail.example.org"] = {Ip("10.0.0.1")};
  installed.resolver->names[Ip("10.0.0.1")] = "mail.example.org";
  CTernNetAddress address("mail.example.org", 25);
  std::string name;
  ASSERT_TRUE(address.GetCanonicalName(name));
  address.SetAddress(Ip("10.1.1.1"));
  EXPECT_EQ(address.Host(), "");
  EXPECT_EQ(address.Describe(), "[10.1.1.1].25");
  CTernNetAddress copy(address);
  EXPECT_EQ(copy.Describe(), "[10.1.1.1].25");
  copy = CTernNetAddress("other", 1);
  EXPECT_EQ(copy.Describe(), "other.1");
  EXPECT_EQ(address.Port(), 25);
}
