// CTernList: placement in order (ties included), positional access through the
// cursor, and the out-of-range and no-comparison failures.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/list.h"
#include "tests/support/events.h"

namespace {

int Numeric(const int& a, const int& b) { return a < b ? -1 : (a > b ? 1 : 0); }

// An item with a sort key and a tag that tells equal items apart.
using Tagged = std::pair<int, int>;
int ByKey(const Tagged& a, const Tagged& b) { return Numeric(a.first, b.first); }

template <class T>
std::vector<T> Items(const CTernList<T>& list) {
  std::vector<T> items;
  list.ForEach([&](const T& item) { items.push_back(item); });
  return items;
}

}  // namespace

TEST(List, AddsInOrder) {
  CTernList<int> list(Numeric);
  for (int v : {1, 3, 2}) list.AddInOrder(v);
  EXPECT_EQ(Items(list), (std::vector<int>{1, 2, 3}));
}

TEST(List, EqualItemsGoInFrontUnlessTheyTieWithTheLast) {
  CTernList<Tagged> list(ByKey);
  for (Tagged t : {Tagged{1, 0}, Tagged{2, 0}, Tagged{3, 0}}) list.AddInOrder(t);
  list.AddInOrder({2, 1});  // in front of the existing 2
  list.AddInOrder({1, 1});  // ties with the first: prepended
  list.AddInOrder({3, 1});  // ties with the last: appended
  EXPECT_EQ(Items(list), (std::vector<Tagged>{{1, 1}, {1, 0}, {2, 1}, {2, 0}, {3, 0}, {3, 1}}));
}

TEST(List, LongListsPlaceTiesLikeTheShortWalk) {
  // Hundreds of items with many ties take the halving path; every new item must
  // end up in front of the first item it is equal to or before, or last when it
  // ties with the last.
  std::mt19937 random(7);
  CTernList<Tagged> list(ByKey);
  std::vector<Tagged> model;
  for (int tag = 0; tag < 600; ++tag) {
    Tagged item{static_cast<int>(random() % 90), tag};
    list.AddInOrder(item);
    if (model.empty() || item.first >= model.back().first) {
      model.push_back(item);
    } else {
      auto at = model.begin();
      while (at->first < item.first) ++at;
      model.insert(at, item);
    }
  }
  EXPECT_EQ(Items(list), model);
  EXPECT_EQ(list.Count(), 600u);
}

TEST(List, PositionsOutsideTheListThrow55) {
  EventCapture events;
  CTernList<int> list;
  for (int v : {10, 20, 30}) list.Append(v);
  EXPECT_EQ(list.ItemAt(2), 30);
  try {
    list.ItemAt(3);
    FAIL() << "position 3 of 3 items must throw";
  } catch (const CTernException& e) {
    EXPECT_EQ(e.Code(), 55);
  }
  EXPECT_EQ(events.Count(55), 1);
  EXPECT_EQ(events.Find(55).text, "Error: Index in list is out of range");
  EXPECT_THROW(list.RemoveAt(3), CTernException);
  EXPECT_THROW(list.InsertAt(4, 0), CTernException);
  EXPECT_THROW(list.ItemAt(static_cast<size_t>(-1)), CTernException);
  EXPECT_EQ(events.Count(55), 4);
  list.InsertAt(3, 40);  // the position just past the end appends
  EXPECT_EQ(Items(list), (std::vector<int>{10, 20, 30, 40}));

  CTernList<int> empty;
  EXPECT_THROW(empty.ItemAt(0), CTernException);
  EXPECT_THROW(empty.RemoveAt(0), CTernException);
}

TEST(List, OrderWithoutComparisonThrows56) {
  EventCapture events;
  CTernList<int> list;
  try {
    list.AddInOrder(1);
    FAIL() << "adding in order without a comparison must throw";
  } catch (const CTernException& e) {
    EXPECT_EQ(e.Code(), 56);
  }
  EXPECT_TRUE(events.Has(56));
  EXPECT_EQ(list.Count(), 0u);
  list.SetCompare(Numeric);
  list.AddInOrder(1);
  EXPECT_EQ(list.Count(), 1u);
}

TEST(List, CursorStaysRightThroughMixedEdits) {
  // Random edits against a vector: positional access walks from the cursor, so any
  // slip in keeping it (or the tail) up to date shows up as a wrong item.
  std::mt19937 random(11);
  CTernList<int> list(Numeric);
  std::vector<int> model;
  for (int step = 0; step < 4000; ++step) {
    int value = static_cast<int>(random() % 1000);
    switch (random() % 7) {
      case 0:
        list.Append(value);
        model.push_back(value);
        break;
      case 1:
        list.Prepend(value);
        model.insert(model.begin(), value);
        break;
      case 2: {
        size_t at = random() % (model.size() + 1);
        list.InsertAt(at, value);
        model.insert(model.begin() + at, value);
        break;
      }
      case 3:
      case 4:
        if (model.empty()) break;
        value = static_cast<int>(random() % model.size());
        ASSERT_EQ(list.ItemAt(value), model[value]) << "step " << step;
        break;
      case 5:
        if (model.empty()) break;
        value = static_cast<int>(random() % model.size());
        ASSERT_EQ(list.RemoveAt(value), model[value]) << "step " << step;
        model.erase(model.begin() + value);
        break;
      default:
        if (model.size() > 60 && random() % 8 == 0) {
          list.Clear();
          model.clear();
        }
        break;
    }
    ASSERT_EQ(list.Count(), model.size());
  }
  EXPECT_EQ(Items(list), model);
  // Removing the last item leaves a usable tail.
  while (list.Count() > 1) list.RemoveAt(list.Count() - 1);
  list.Append(-5);
  EXPECT_EQ(list.ItemAt(1), -5);
}
