// The mail address parser without configured local domains (the configured ones are
// exercised with the real configuration in tests/config): splitting, normalising,
// peeling, limits and malformed texts; and the local-domain test itself.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/address_resolver.h"
#include "net/local_domains.h"
#include "net/mail_address.h"
#include "net/network_address.h"

namespace {

struct Parsed {
  int result;
  std::string routing, canonical, display;
};

Parsed ParseText(std::string_view text) {
  CTernMailAddress address;
  Parsed p;
  p.result = address.Parse(text);
  p.routing = address.Form(kMailFormRouting);
  p.canonical = address.Form(kMailFormCanonical);
  p.display = address.Form(kMailFormDisplay);
  return p;
}

uint32_t Ip(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(ParseDotted(text, a));
  return a;
}

// A resolver answering from tables, installed for the life of the object.
class TableResolver : public CTernAddressResolver {
 public:
  std::map<std::string, std::vector<uint32_t>> hosts;
  std::map<uint32_t, std::string> names;
  int LookupHost(const std::string& name, std::vector<uint32_t>& addresses) override {
    auto it = hosts.find(name);
    if (it == hosts.end()) return 1;
    addresses = it->second;
    return 0;
  }
  int LookupName(uint32_t address, std::string& name) override {
    auto it = names.find(address);
    if (it == names.end()) return 1;
    name = it->second;
    return 0;
  }
};

class InstalledResolver {
 public:
  InstalledResolver() : resolver(std::make_shared<TableResolver>()) { TernSetAddressResolver(resolver); }
  ~InstalledResolver() { TernSetAddressResolver(nullptr); }
  std::shared_ptr<TableResolver> resolver;
};

class MailAddressTest : public ::testing::Test {
 protected:
  void SetUp() override { TernSetLocalDomainSource(nullptr); }
};

}  // namespace

TEST_F(MailAddressTest, FormsOfWrittenAddresses) {
  struct Case {
    const char* text;
    const char* routing;
    const char* canonical;
    const char* display;
  } cases[] = {
      // Without a Domain setting a bare name stays bare.
      {"jo", "jo", "jo", "jo"},
      {"jo@example.net", "example.net!jo", "jo@example.net", "jo@example.net"},
      {"Jo Bloggs <jo@example.net>", "example.net!jo", "jo@example.net", "Jo Bloggs <jo@example.net>"},
      {"jo@example.net (Jo Bloggs)", "example.net!jo", "jo@example.net", "jo@example.net"},
      {"\"jo bloggs\"@example.net", "example.net!\"jobloggs\"", "\"jobloggs\"@example.net",
       "\"jobloggs\"@example.net"},
      {" jo . bloggs (Jo) @ example.net ", "example.net!jo.bloggs", "jo.bloggs@example.net",
       " jo.bloggs@example.net "},
      {"Friends: jo@example.net;", "example.net!jo", "jo@example.net", "Friends: jo@example.net;"},
      {"example.net!jo", "example.net!jo", "jo@example.net", "jo@example.net"},
      {"jo%example.net", "example.net!jo", "jo@example.net", "jo@example.net"},
      {"@relay.example.com:jo@example.net", "relay.example.com!example.net!jo",
       "jo%example.net@relay.example.com", "jo%example.net@relay.example.com"},
      {"a!b.example!c", "a!b.example!c", "c%b.example@a", "c%b.example@a"},
      {"<jo@example.net>\r\n", "example.net!jo", "jo@example.net", "<jo@example.net>"},
      {"\"Bloggs, Jo\" <jo@example.net>", "example.net!jo", "jo@example.net",
       "\"Bloggs, Jo\" <jo@example.net>"},
      {"<>", "", "", "<>"},
  };
  for (const Case& c : cases) {
    Parsed p = ParseText(c.text);
    EXPECT_EQ(p.result, 0) << c.text;
    EXPECT_EQ(p.routing, c.routing) << c.text;
    EXPECT_EQ(p.canonical, c.canonical) << c.text;
    EXPECT_EQ(p.display, c.display) << c.text;
  }
}

TEST_F(MailAddressTest, MalformedTextsAreInvalidAndKeepNoForms) {
  const char* bad[] = {"", "\r\n", "jo@", "example.net!", "@relay.example.com",
                       "@relay.example.com:", "jo%", "<jo@>", "a!b!"};
  for (const char* text : bad) {
    CTernMailAddress address;
    ASSERT_EQ(address.Parse("jo!x@example.net"), 0);
    EXPECT_FALSE(address.IsLocal());
    EXPECT_EQ(address.Parse(text), 1) << text;
    std::string form = "left over";
    EXPECT_FALSE(address.GetForm(kMailFormCanonical, form)) << text;
    EXPECT_EQ(form, "");
    EXPECT_FALSE(address.HasForms());
    EXPECT_TRUE(address.IsLocal()) << text;
  }
}

TEST_F(MailAddressTest, AMissingTextEmptiesTheObject) {
  CTernMailAddress address;
  ASSERT_EQ(address.Parse("jo@example.net"), 0);
  EXPECT_EQ(address.Parse(static_cast<const char*>(nullptr)), 0);
  EXPECT_FALSE(address.HasForms());
  EXPECT_TRUE(address.IsLocal());
}

TEST_F(MailAddressTest, LengthLimitCountsWithoutTrailingLineEnds) {
  std::string at4093 = std::string(4081, 'a') + "@example.net";
  ASSERT_EQ(at4093.size(), 4093u);
  CTernMailAddress address;
  EXPECT_EQ(address.Parse(at4093), 0);
  EXPECT_EQ(address.Form(kMailFormCanonical), at4093);
  EXPECT_EQ(address.Parse(at4093 + "\r\n\r\n"), 0);
  EXPECT_EQ(address.Form(kMailFormInput), at4093);
  EXPECT_EQ(address.Parse(at4093 + "a"), 1);
  EXPECT_EQ(address.Parse(std::string(100000, '@')), 1);
}

TEST_F(MailAddressTest, InputTextKeepsEverythingButTrailingLineEnds) {
  CTernMailAddress address;
  ASSERT_EQ(address.Parse("Jo <jo@example.net> \r\n"), 0);
  EXPECT_EQ(address.Form(kMailFormInput), "Jo <jo@example.net> ");
  EXPECT_EQ(address.Form(99), "Jo <jo@example.net> ");
  EXPECT_EQ(address.Form(kMailFormDisplay), "Jo <jo@example.net> ");
}

TEST_F(MailAddressTest, ZeroBytesAndEscapesAreJustCharacters) {
  CTernMailAddress address;
  std::string text("j\0o@example.net", 15);
  ASSERT_EQ(address.Parse(text), 0);
  EXPECT_EQ(address.Form(kMailFormCanonical), text);
  // An escaped "@" is no separator; the backslash itself is dropped.
  ASSERT_EQ(address.Parse("jo\\\\@x@example.net"), 0);
  EXPECT_EQ(address.Form(kMailFormRouting), "example.net!jo\\@x");
}

TEST_F(MailAddressTest, ADotlessDomainIsWrittenAsItsCanonicalName) {
  InstalledResolver installed;
  installed.resolver->hosts["mail"] = {Ip("10.0.0.1")};
  installed.resolver->names[Ip("10.0.0.1")] = "mail.example.net";
  Parsed p = ParseText("jo@mail");
  EXPECT_EQ(p.routing, "mail!jo");
  EXPECT_EQ(p.canonical, "jo@mail.example.net");
  // Without an answer the name is kept as written.
  p = ParseText("jo@nowhere");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.canonical, "jo@nowhere");
}

TEST(LocalDomains, DomainAndWholeEntriesOfOtherDomains) {
  CTernLocalDomains domains("example.org", "Example.COM\x1Cmail.example.net\x1C");
  struct Case {
    const char* domain;
    bool local;
  } cases[] = {
      {"example.org", true},    {"EXAMPLE.ORG", true},  {"example.com", true},
      {"[Example.Com]", true},  {"mail.example.net", true}, {"ample.com", false},
      {"example.co", false},    {"example.net", false}, {"", true},
      {"[]", true},             {"10.0.0.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(domains.IsLocal(c.domain, true), c.local) << c.domain;
  CTernLocalDomains none;
  EXPECT_FALSE(none.IsLocal("example.org", true));
}

TEST(LocalDomains, LiteralsAreResolvedOnlyWhenAsked) {
  InstalledResolver installed;
  installed.resolver->names[Ip("10.0.0.1")] = "Mail.Example.NET";
  installed.resolver->names[Ip("10.0.0.2")] = "example.org";
  CTernLocalDomains domains("example.org", "mail.example.net");
  EXPECT_TRUE(domains.IsLocal("[10.0.0.1]", true));
  EXPECT_FALSE(domains.IsLocal("[10.0.0.1]", false));
  // A literal whose name is the Domain setting itself is local too.
  EXPECT_TRUE(domains.IsLocal("[10.0.0.2]", true));
  EXPECT_FALSE(domains.IsLocal("[10.0.0.3]", true));
}
