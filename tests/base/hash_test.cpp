// CTernHash: the lookup2 hash, bucket sizing and growth, iteration order, keys
// without regard to case, and the ownership rules of values.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/hash.h"
#include "tests/support/events.h"

namespace {

// lookup2 written a second way: the mix as a table of rounds, and the last
// (possibly empty) block zero-padded with its c word moved up one byte to make
// room for the length.
uint32_t ReferenceLookup2(const std::string& key) {
  const unsigned char* k = reinterpret_cast<const unsigned char*>(key.data());
  auto word = [&](size_t at) {
    uint32_t w = 0;
    for (size_t j = 4; j-- > 0;) w = (w << 8) | (at + j < key.size() ? k[at + j] : 0u);
    return w;
  };
  uint32_t v[3] = {0x9E3779B9u, 0x9E3779B9u, 0};
  auto mix = [&] {
    static const int shifts[9] = {13, 8, 13, 12, 16, 5, 3, 10, 15};
    for (int i = 0; i < 9; ++i) {
      uint32_t& x = v[i % 3];
      uint32_t y = v[(i + 1) % 3];
      x -= y;
      uint32_t z = v[(i + 2) % 3];
      x -= z;
      x ^= (i % 3 == 1) ? (z << shifts[i]) : (z >> shifts[i]);
    }
  };
  size_t whole = key.size() / 12 * 12;
  for (size_t at = 0; at < whole; at += 12) {
    v[0] += word(at);
    v[1] += word(at + 4);
    v[2] += word(at + 8);
    mix();
  }
  v[0] += word(whole);
  v[1] += word(whole + 4);
  v[2] += (word(whole + 8) << 8) + static_cast<uint32_t>(key.size());
  mix();
  return v[2];
}

uint32_t HashOf(const std::string& key) { return CTernHash::Hash(key.data(), key.size()); }

// The order a table must iterate in, from a model of its chains: new keys go to
// the front of their chain after doubling when the count exceeds the mask, and
// doubling moves entries, bucket by bucket, to the front of their new chains.
std::vector<std::string> ModelOrder(size_t buckets, const std::vector<std::string>& keys) {
  std::vector<std::deque<std::string>> chains(buckets);
  size_t count = 0;
  for (const auto& key : keys) {
    if (count > chains.size() - 1) {
      std::vector<std::deque<std::string>> grown(chains.size() * 2);
      for (const auto& chain : chains)
        for (const auto& k : chain) grown[HashOf(k) & (grown.size() - 1)].push_front(k);
      chains.swap(grown);
    }
    chains[HashOf(key) & (chains.size() - 1)].push_front(key);
    count++;
  }
  std::vector<std::string> order;
  for (const auto& chain : chains) order.insert(order.end(), chain.begin(), chain.end());
  return order;
}

std::vector<std::string> Iterate(CTernHash& table) {
  std::vector<std::string> keys;
  std::string key;
  for (bool more = table.First(&key, nullptr); more; more = table.Next(&key, nullptr))
    keys.push_back(key);
  return keys;
}

int g_Released = 0;
void CountRelease(void* value) {
  g_Released++;
  delete static_cast<int*>(value);
}
void* CopyInt(const void* value) { return new int(*static_cast<const int*>(value)); }

}  // namespace

TEST(Hash, Lookup2MatchesReferenceAndKnownValues) {
  // Every tail length, several whole blocks, and bytes above 0x7F.
  std::string key;
  for (int n = 0; n <= 40; ++n) {
    EXPECT_EQ(HashOf(key), ReferenceLookup2(key)) << "length " << n;
    key.push_back(static_cast<char>(0x61 + n * 7));
  }
  // Values from a third, separately written version.
  EXPECT_EQ(HashOf(""), 0xBD49D10Du);
  EXPECT_EQ(HashOf("a"), 0x29EEC818u);
  EXPECT_EQ(HashOf("jsmith"), 0xEDE9A8EEu);
  EXPECT_EQ(HashOf("hello world!"), 0x1ECCB293u);
  EXPECT_EQ(HashOf("Four score and seven years ago"), 0x50F2424Bu);
  EXPECT_EQ(HashOf("\xff\x80"
                   "abc"),
            0x79B5C4F5u);
}

TEST(Hash, BucketCountFromInitialSize) {
  EXPECT_EQ(CTernHash(0).Buckets(), 2u);
  EXPECT_EQ(CTernHash(1).Buckets(), 2u);
  EXPECT_EQ(CTernHash(2).Buckets(), 4u);
  EXPECT_EQ(CTernHash(5).Buckets(), 8u);
  EXPECT_EQ(CTernHash(4095).Buckets(), 4096u);
  EXPECT_EQ(CTernHash(4096).Buckets(), 8192u);

  EventCapture events;
  try {
    CTernHash bad(-1);
    FAIL() << "a negative size must throw";
  } catch (const CTernException& e) {
    EXPECT_EQ(e.Code(), 58);
  }
  EXPECT_TRUE(events.Has(58));
}

TEST(Hash, DoublesBeforeTheInsertThatExceedsTheMask) {
  CTernHash table(0);
  table.Insert("one", nullptr);
  table.Insert("two", nullptr);
  EXPECT_EQ(table.Buckets(), 2u);
  table.Insert("three", nullptr);
  EXPECT_EQ(table.Buckets(), 4u);
  // Replacing an existing key never grows the table.
  for (int i = 0; i < 3; ++i) table.Insert("two", nullptr);
  EXPECT_EQ(table.Buckets(), 4u);
  EXPECT_EQ(table.Count(), 3u);
  for (const char* key : {"one", "two", "three"}) EXPECT_TRUE(table.Find(key));
  table.Clear();
}

TEST(Hash, IteratesBucketByBucketInChainOrder) {
  for (int32_t size : {0, 16}) {
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i) keys.push_back("key" + std::to_string(i * 37));
    CTernHash table(size);
    for (const auto& k : keys) table.Insert(k, nullptr);
    std::vector<std::string> expected = ModelOrder(size == 0 ? 2 : 32, keys);
    EXPECT_EQ(Iterate(table), expected) << "initial size " << size;
    EXPECT_EQ(table.Buckets(), 64u);
    table.Clear();
  }
}

TEST(Hash, KeysWithoutRegardToCase) {
  int* first = new int(1);
  int* second = new int(2);
  g_Released = 0;
  CTernHash objects(4096, true);
  objects.Insert("jsmith", first, CountRelease);
  int* found = nullptr;
  ASSERT_TRUE(objects.Find("JSMITH", &found));
  EXPECT_EQ(found, first);

  // A later insert in other letters replaces the value and the stored spelling.
  objects.Insert("JSmith", second, CountRelease);
  EXPECT_EQ(g_Released, 1);
  EXPECT_EQ(objects.Count(), 1u);
  EXPECT_EQ(Iterate(objects), std::vector<std::string>{"JSmith"});
  ASSERT_TRUE(objects.Find("jsmith", &found));
  EXPECT_EQ(found, second);
  EXPECT_EQ(objects.Buckets(), 8192u);
  objects.Clear(CountRelease);
  EXPECT_EQ(g_Released, 2);

  // A case-blind key sits where its lower-case form would: both tables iterate
  // in the same order.
  CTernHash blind(0, true);
  CTernHash lower(0, false);
  for (const char* k : {"Alpha", "BRAVO", "charlie", "Delta", "ECHO", "foxtrot", "GOLF"}) {
    std::string l(k);
    std::transform(l.begin(), l.end(), l.begin(), ::tolower);
    blind.Insert(k, nullptr);
    lower.Insert(l, nullptr);
  }
  std::vector<std::string> order = Iterate(blind);
  for (auto& k : order) std::transform(k.begin(), k.end(), k.begin(), ::tolower);
  EXPECT_EQ(order, Iterate(lower));
  blind.Clear();
  lower.Clear();

  // With regard to case the spellings are different keys; a zero byte is a byte.
  CTernHash sensitive;
  sensitive.Insert("jsmith", nullptr);
  sensitive.Insert("JSMITH", nullptr);
  sensitive.Insert(std::string_view("jsmith\0x", 8), nullptr);
  EXPECT_EQ(sensitive.Count(), 3u);
  EXPECT_FALSE(sensitive.Find("Jsmith"));
  EXPECT_FALSE(sensitive.Find(std::string_view("jsmith\0y", 8)));
  sensitive.Clear();
}

TEST(Hash, ValuesAreReleasedOnlyWhenReplaced) {
  g_Released = 0;
  int* value = new int(7);
  CTernHash table;
  table.Insert("k", value, CountRelease);
  table.Insert("k", value, CountRelease);  // the same value again: kept alive
  EXPECT_EQ(g_Released, 0);
  table.Insert("j", new int(8), CountRelease);
  // Removing hands the value back without releasing it.
  int* found = nullptr;
  ASSERT_TRUE(table.Find("k", &found, true));
  EXPECT_EQ(*found, 7);
  delete found;
  EXPECT_FALSE(table.Find("k"));
  EXPECT_EQ(table.Count(), 1u);
  EXPECT_EQ(g_Released, 0);
  table.Clear(CountRelease);
  EXPECT_EQ(g_Released, 1);
}

TEST(Hash, IterationSurvivesRemovals) {
  auto fill = [](CTernHash& table) {
    for (int i = 0; i < 12; ++i) table.Insert("k" + std::to_string(i), nullptr);
  };
  std::vector<std::string> order;
  {
    CTernHash table;
    fill(table);
    order = Iterate(table);
  }
  // At each entry in turn, remove the entry due next (at the end of a chain, in
  // another bucket) and then the one just handed out: the iteration goes on with
  // the rest and never meets a removed entry.
  for (size_t at = 0; at + 1 < order.size(); ++at) {
    CTernHash table;
    fill(table);
    std::vector<std::string> seen;
    std::string key;
    for (bool more = table.First(&key, nullptr); more; more = table.Next(&key, nullptr)) {
      seen.push_back(key);
      if (key == order[at]) {
        EXPECT_TRUE(table.Find(order[at + 1], nullptr, true));
        EXPECT_TRUE(table.Find(key, nullptr, true));
      }
    }
    std::vector<std::string> expected = order;
    expected.erase(expected.begin() + at + 1);
    EXPECT_EQ(seen, expected) << "removing after " << order[at];
    EXPECT_EQ(table.Count(), order.size() - 2);
    table.Clear();
  }
  // Growth moves every entry, so an iteration it interrupts ends.
  CTernHash table;
  fill(table);
  ASSERT_TRUE(table.First(nullptr, nullptr));
  for (int i = 12; i < 17; ++i) table.Insert("k" + std::to_string(i), nullptr);
  EXPECT_FALSE(table.Next(nullptr, nullptr));
  table.Clear();
}

TEST(Hash, CopiesEntriesAndKeys) {
  CTernHash source;
  for (const char* k : {"delta", "alpha", "charlie", "bravo"}) source.Insert(k, new int(k[0]));
  CTernHash target(0, true);
  target.Insert("ALPHA", new int(0));
  g_Released = 0;
  source.CopyTo(target, CopyInt, CountRelease);
  EXPECT_EQ(g_Released, 1);  // target's old ALPHA value
  EXPECT_EQ(target.Count(), 4u);
  int* value = nullptr;
  ASSERT_TRUE(target.Find("Alpha", &value));
  EXPECT_EQ(*value, 'a');
  source.CopyTo(source, CopyInt);  // into itself: nothing happens
  EXPECT_EQ(source.Count(), 4u);

  CTernList<CTernString> sorted(CTernString::Order);
  source.Keys(sorted);
  std::vector<std::string> got;
  sorted.ForEach([&](const CTernString& s) { got.push_back(s.Str()); });
  EXPECT_EQ(got, (std::vector<std::string>{"alpha", "bravo", "charlie", "delta"}));
  CTernList<CTernString> plain;
  source.Keys(plain);
  got.clear();
  plain.ForEach([&](const CTernString& s) { got.push_back(s.Str()); });
  EXPECT_EQ(got, Iterate(source));

  source.Clear(CountRelease);
  target.Clear(CountRelease);
}

TEST(Hash, DestroyingANonEmptyTableReports60) {
  EventCapture events;
  {
    CTernHash table;
    table.Insert("left", nullptr);
  }
  EXPECT_EQ(events.Count(60), 1);
  {
    CTernHash table;
    table.Insert("gone", nullptr);
    table.Clear();
  }
  EXPECT_EQ(events.Count(60), 1);
}
