// Mail addresses against the local domains of a real configuration: the forms of
// local and remote addresses, the Domain and OtherDomains settings, and changes of
// them taking effect without a restart.
#include <gtest/gtest.h>

#include <string>

#include "net/local_domains.h"
#include "net/mail_address.h"
#include "tests/config/settings_fixture.h"

namespace {

struct Forms {
  int result;
  std::string routing, canonical, display;
};

Forms Parse(std::string_view text, bool keepLocalDomains = false) {
  CTernMailAddress address;
  Forms f;
  f.result = keepLocalDomains ? address.ParseKeepingLocalDomains(text) : address.Parse(text);
  f.routing = address.Form(kMailFormRouting);
  f.canonical = address.Form(kMailFormCanonical);
  f.display = address.Form(kMailFormDisplay);
  return f;
}

}  // namespace

class MailAddressDomains : public SettingsFixture {};

TEST_F(MailAddressDomains, FormsWithALocalDomain) {
  LoadConfig("DS,Domain=example.org\r\n");
  struct Case {
    const char* text;
    const char* routing;
    const char* canonical;
  } cases[] = {
      {"jo", "jo", "jo@example.org"},
      {"jo@Example.ORG", "jo", "jo@example.org"},
      {"jo@example.net", "example.net!jo", "jo@example.net"},
      {"example.net!jo", "example.net!jo", "jo@example.net"},
      {"jo%example.net", "example.net!jo", "jo@example.net"},
      {"@relay.example.com:jo@example.net", "relay.example.com!example.net!jo",
       "jo%example.net@relay.example.com"},
      {"@example.org:jo@example.net", "example.net!jo", "jo%example.net@example.org"},
      // Leading local domains leave the route; the canonical address keeps the hops.
      {"jo%example.org@example.org", "jo", "jo%example.org@example.org"},
      {"example.org!example.org!jo", "jo", "jo%example.org@example.org"},
      {"example.org!example.net!jo", "example.net!jo", "jo%example.net@example.org"},
      {"jo@[]", "jo", "jo@example.org"},
  };
  for (const Case& c : cases) {
    Forms f = Parse(c.text);
    EXPECT_EQ(f.result, 0) << c.text;
    EXPECT_EQ(f.routing, c.routing) << c.text;
    EXPECT_EQ(f.canonical, c.canonical) << c.text;
  }
  Forms f = Parse("Jo Bloggs <jo@example.org>");
  EXPECT_EQ(f.routing, "jo");
  EXPECT_EQ(f.canonical, "jo@example.org");
  EXPECT_EQ(f.display, "Jo Bloggs <jo@example.org>");
  CTernMailAddress address;
  ASSERT_EQ(address.Parse("jo@example.org (Jo Bloggs)"), 0);
  EXPECT_EQ(address.Form(kMailFormDisplay), "jo@example.org");
  EXPECT_TRUE(address.IsLocal());
  ASSERT_EQ(address.Parse("jo@example.net"), 0);
  EXPECT_FALSE(address.IsLocal());
}

TEST_F(MailAddressDomains, KeepingLocalDomainsKeepsTheLeadingOne) {
  LoadConfig("DS,Domain=example.org\r\n");
  struct Case {
    const char* text;
    const char* routing;
  } cases[] = {
      {"jo@example.org", "example.org!jo"},
      {"jo", "jo"},
      {"@example.org:jo@example.net", "example.org!example.net!jo"},
      {"jo@example.net", "example.net!jo"},
  };
  for (const Case& c : cases) {
    Forms f = Parse(c.text, true);
    EXPECT_EQ(f.result, 0) << c.text;
    EXPECT_EQ(f.routing, c.routing) << c.text;
  }
  CTernMailAddress address;
  ASSERT_EQ(address.ParseKeepingLocalDomains("jo@example.org"), 0);
  EXPECT_FALSE(address.IsLocal());
}

TEST_F(MailAddressDomains, WithoutDomainBareNamesStayBare) {
  LoadConfig("DS,OtherDomains=example.org\r\n");
  Forms f = Parse("jo");
  EXPECT_EQ(f.routing, "jo");
  EXPECT_EQ(f.canonical, "jo");
  // A domain of OtherDomains is local and stays as written.
  f = Parse("jo@Example.org");
  EXPECT_EQ(f.routing, "jo");
  EXPECT_EQ(f.canonical, "jo@Example.org");
}

TEST_F(MailAddressDomains, OtherDomainsAreWholeEntriesWithoutRegardToCase) {
  LoadConfig("DS,Domain=example.org,OtherDomains=Example.COM\x1Cmail.example.net\r\n");
  struct Case {
    const char* text;
    const char* routing;
    const char* canonical;
  } cases[] = {
      {"jo@example.com", "jo", "jo@example.org"},
      {"jo@MAIL.example.net", "jo", "jo@example.org"},
      {"jo@[example.com]", "jo", "jo@example.org"},
      {"jo@ample.com", "ample.com!jo", "jo@ample.com"},
      {"jo@example.net", "example.net!jo", "jo@example.net"},
  };
  for (const Case& c : cases) {
    Forms f = Parse(c.text);
    EXPECT_EQ(f.routing, c.routing) << c.text;
    EXPECT_EQ(f.canonical, c.canonical) << c.text;
  }
}

TEST_F(MailAddressDomains, AChangeTakesEffectWithoutARestart) {
  PlatformSetTime(Local(2024, 3, 5, 10, 0, 0));
  LoadConfig("DS,Domain=example.org\r\n");
  EXPECT_EQ(Parse("jo@example.com").routing, "example.com!jo");

  // Another process adds example.com: seen once the configuration looks at its
  // files again (at most every 10 seconds) and loads them.
  WriteShared("DS,Domain=example.org,OtherDomains=example.com\r\n");
  PlatformAdvance(1);
  EXPECT_EQ(Parse("jo@example.com").routing, "example.com!jo");
  PlatformAdvance(11);
  EXPECT_EQ(Parse("jo@example.com").routing, "jo");

  // A change made here is seen at once, even within the second of the last load.
  ASSERT_EQ(Config().SetAttribute('S', "", "Domain", "example.net", true), 0);
  Forms f = Parse("jo");
  EXPECT_EQ(f.canonical, "jo@example.net");
  EXPECT_EQ(Parse("jo@example.org").routing, "example.org!jo");

  // Without a configuration nothing is local and bare names stay bare.
  InstallLocalDomains(nullptr);
  f = Parse("jo");
  EXPECT_EQ(f.canonical, "jo");
  EXPECT_EQ(Parse("jo@example.com").routing, "example.com!jo");
}

TEST_F(MailAddressDomains, ValuesTooLongForTheirBuffersCountAsAbsent) {
  std::string longDomain(kTernDomainBufferSize, 'd');
  LoadConfig("DS,Domain=" + longDomain + "\r\n");
  Forms f = Parse("jo");
  EXPECT_EQ(f.canonical, "jo");
  std::string fits(kTernDomainBufferSize - 1, 'd');
  ASSERT_EQ(Config().SetAttribute('S', "", "Domain", fits, false), 0);
  EXPECT_EQ(Parse("jo").canonical, "jo@" + fits);
}
