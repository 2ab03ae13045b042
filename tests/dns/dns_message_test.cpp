// DNS messages: names refused before a query, the query's bytes, and the reply
// parser against well-formed and hostile packets.
#include "dns/dns_message.h"

#include <gtest/gtest.h>

#include "tests/dns/scripted_server.h"

namespace {

std::string Header(unsigned id, unsigned flags, unsigned qd, unsigned an, unsigned ns = 0,
                   unsigned ar = 0) {
  return U16(id) + U16(flags) + U16(qd) + U16(an) + U16(ns) + U16(ar);
}

const std::string kQuestion = WireName("mx.example.org") + U16(kDnsTypeMX) + U16(1);

TernDnsParseResult Parse(const std::string& bytes, TernDnsReply& reply) {
  return TernDnsParseReply(bytes.data(), bytes.size(), reply);
}

}  // namespace

TEST(DnsMessage, NamesThatCanBeAskedFor) {
  std::string label63(63, 'a');
  std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  ASSERT_EQ(name253.size(), 253u);
  struct Case {
    std::string name;
    bool valid;
  } cases[] = {
      {"example.org", true},      {"example.org.", true},   {"localhost", true},
      {"_dmarc.example.org", true}, {label63 + ".org", true}, {name253, true},
      {name253 + ".", true},      {"", false},              {".", false},
      {"a..b", false},            {".example.org", false},  {"example.org..", false},
      {label63 + "a.org", false}, {name253 + "c", false},   {std::string(3000, 'x'), false},
      {"a b.org", false},         {"a\\.b.org", false},     {"tab\there.org", false},
      {"bad\x80.org", false},     {std::string("nul\0.org", 8), false},
  };
  for (const Case& c : cases) EXPECT_EQ(TernDnsValidName(c.name), c.valid) << c.name;
  std::string message = "untouched";
  EXPECT_FALSE(TernDnsBuildQuery(1, "a..b", kDnsTypeA, message));
  EXPECT_EQ(message, "untouched");
}

TEST(DnsMessage, QueryBytes) {
  std::string message;
  ASSERT_TRUE(TernDnsBuildQuery(0xBEEF, "Mx.Example.org.", kDnsTypeMX, message));
  EXPECT_EQ(message, Header(0xBEEF, 0x0100, 1, 0) + WireName("Mx.Example.org") + U16(15) + U16(1));
}

TEST(DnsMessage, AWellFormedReplyWithCompression) {
  // Answers: MX 10 and MX 20 (targets compressed against the question), an A
  // record with a TXT record in between that is passed over.
  std::string answers =
      std::string("\xC0\x0C", 2) + U16(15) + U16(1) + U32(3600) + U16(6) + U16(10) +
      WireName("a").substr(0, 2) + std::string("\xC0\x0C", 2) +
      std::string("\xC0\x0C", 2) + U16(15) + U16(1) + U32(60) + U16(4) + U16(20) +
      std::string("\xC0\x0C", 2) + std::string("\xC0\x0C", 2) + U16(16) + U16(1) + U32(1) +
      U16(3) + "\x02hi" + WireName("a.mx.example.org") + U16(1) + U16(1) + U32(5) + U16(4) +
      AData("192.0.2.1");
  std::string bytes = Header(7, 0x8580, 1, 4) + kQuestion + answers;
  TernDnsReply reply;
  ASSERT_EQ(Parse(bytes, reply), TernDnsParseResult::Ok);
  EXPECT_EQ(reply.id, 7);
  EXPECT_TRUE(reply.authoritative);
  EXPECT_TRUE(reply.recursionAvailable);
  EXPECT_FALSE(reply.truncated);
  ASSERT_EQ(reply.questions.size(), 1u);
  EXPECT_EQ(reply.questions[0].name, "mx.example.org");
  ASSERT_EQ(reply.answers.size(), 3u);
  EXPECT_EQ(reply.answers[0].record.target, "a.mx.example.org");
  EXPECT_EQ(reply.answers[0].record.preference, 10);
  EXPECT_EQ(reply.answers[0].ttl, 3600u);
  EXPECT_EQ(reply.answers[1].record.target, "mx.example.org");
  EXPECT_EQ(FormatDotted(reply.answers[2].record.address), "192.0.2.1");
}

TEST(DnsMessage, HostilePacketsAreRefused) {
  std::string good = Header(7, 0x8180, 1, 1) + kQuestion + std::string("\xC0\x0C", 2) + U16(1) +
                     U16(1) + U32(60) + U16(4) + AData("192.0.2.1");
  std::string longName;
  for (int i = 0; i < 5; ++i) longName += std::string(1, 60) + std::string(60, 'x');
  struct Case {
    const char* what;
    std::string bytes;
    TernDnsParseResult result;
  } cases[] = {
      {"good", good, TernDnsParseResult::Ok},
      {"short", good.substr(0, 11), TernDnsParseResult::Short},
      {"a query", Header(7, 0x0100, 1, 0) + kQuestion, TernDnsParseResult::NotReply},
      {"pointer to itself", Header(7, 0x8180, 1, 0) + std::string("\xC0\x0C", 2) + U16(1) + U16(1),
       TernDnsParseResult::Malformed},
      {"pointer loop", Header(7, 0x8180, 1, 1) + kQuestion + std::string("\x01x\xC0\x22", 4) +
                           U16(1) + U16(1) + U32(1) + U16(4) + AData("1.2.3.4"),
       TernDnsParseResult::Malformed},
      {"pointer forward", Header(7, 0x8180, 1, 1) + kQuestion + std::string("\xC0\x40", 2) +
                              U16(1) + U16(1) + U32(1) + U16(4) + AData("1.2.3.4"),
       TernDnsParseResult::Malformed},
      {"pointer into the header", Header(7, 0x8180, 1, 1) + kQuestion +
                                      std::string("\xC0\x02", 2) + U16(1) + U16(1) + U32(1) +
                                      U16(4) + AData("1.2.3.4"),
       TernDnsParseResult::Malformed},
      {"pointer cut off", Header(7, 0x8180, 1, 0) + std::string("\x01x\xC0", 3) + U16(1) + U16(1),
       TernDnsParseResult::Malformed},
      {"name over 255", Header(7, 0x8180, 1, 0) + longName + std::string(1, '\0') + U16(1) + U16(1),
       TernDnsParseResult::Malformed},
      {"extended label", Header(7, 0x8180, 1, 0) + std::string("\x41x", 2) + std::string(1, '\0') +
                             U16(1) + U16(1),
       TernDnsParseResult::Malformed},
      {"label past the end", Header(7, 0x8180, 1, 0) + "\x09short", TernDnsParseResult::Malformed},
      {"counts beyond the packet", Header(7, 0x8180, 1, 60000) + kQuestion,
       TernDnsParseResult::Malformed},
      {"a record missing", Header(7, 0x8180, 1, 2) + good.substr(12) + std::string(10, '\0'),
       TernDnsParseResult::Malformed},
      {"rdlength past the end", good.substr(0, good.size() - 6) + U16(9) + AData("1.2.3.4"),
       TernDnsParseResult::Malformed},
      {"A of 5 bytes", Header(7, 0x8180, 1, 1) + kQuestion + std::string("\xC0\x0C", 2) + U16(1) +
                           U16(1) + U32(60) + U16(5) + AData("192.0.2.1") + "x",
       TernDnsParseResult::Malformed},
      {"MX of 2 bytes", Header(7, 0x8180, 1, 1) + kQuestion + std::string("\xC0\x0C", 2) +
                            U16(15) + U16(1) + U32(60) + U16(2) + U16(10),
       TernDnsParseResult::Malformed},
      {"CNAME longer than its data", Header(7, 0x8180, 1, 1) + kQuestion +
                                         std::string("\xC0\x0C", 2) + U16(5) + U16(1) + U32(60) +
                                         U16(3) + WireName("target.example"),
       TernDnsParseResult::Malformed},
      {"bad authority record", Header(7, 0x8180, 1, 0, 1) + kQuestion + std::string("\xC0\x0C", 2) +
                                   U16(2) + U16(1) + U32(60) + U16(1) + "\x05",
       TernDnsParseResult::Malformed},
  };
  for (const Case& c : cases) {
    TernDnsReply reply;
    EXPECT_EQ(Parse(c.bytes, reply), c.result) << c.what;
  }
}

// A label holding "." or unprintable bytes never reads as several labels.
TEST(DnsMessage, OddLabelsAreEscaped) {
  std::string bytes = Header(1, 0x8180, 1, 0) + std::string("\x0bwww.bank.co\x01\x01\x00", 15) +
                      U16(1) + U16(1);
  TernDnsReply reply;
  ASSERT_EQ(Parse(bytes, reply), TernDnsParseResult::Ok);
  EXPECT_EQ(reply.questions[0].name, "www\\046bank\\046co.\\001");
}

TEST(DnsMessage, OnlyTheQuestionsChainBelongsToTheAnswer) {
  auto record = [](const std::string& owner, int32_t type, const std::string& target) {
    TernDnsAnswer a;
    a.record.name = owner;
    a.record.type = type;
    a.record.target = target;
    return a;
  };
  std::vector<TernDnsAnswer> answers = {
      record("www.example.org", kDnsTypeCNAME, "web.example.org"),
      record("victim.example", kDnsTypeA, ""),
      record("WEB.example.org", kDnsTypeCNAME, "www.example.org"),  // back: a loop
      record("web.example.org", kDnsTypeA, ""),
      record("www.example.org", kDnsTypeCNAME, "elsewhere.example"),  // a second link
  };
  std::string end;
  std::vector<TernDnsAnswer> kept = TernDnsChainAnswers(answers, "WWW.example.org", end);
  EXPECT_EQ(end, "web.example.org");
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].record.type, kDnsTypeCNAME);
  EXPECT_EQ(kept[1].record.name, "web.example.org");
  EXPECT_TRUE(TernDnsChainAnswers(answers, "other.example", end).empty());
  EXPECT_EQ(end, "other.example");
}
