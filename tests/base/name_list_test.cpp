#include "base/name_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/error.h"

namespace corvane {
namespace {

TEST(NameListTest, SortedListOrdersIgnoringCaseAndDropsRepeats) {
  NameList list(NameList::kSorted);
  list.Add("red");
  list.Add("dark red");
  list.Add("Blue");
  EXPECT_EQ(list.Add("RED"), 2);  // existing index, nothing added
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.At(0), "Blue");
  EXPECT_EQ(list.At(1), "dark red");
  EXPECT_EQ(list.At(2), "red");
  EXPECT_EQ(list.IndexOf("DARK RED"), 1);
  EXPECT_EQ(list.IndexOf("green"), -1);
}

TEST(NameListTest, LabelsSortAsTextSoTenComesBeforeNine) {
  NameList list(NameList::kSorted);
  list.Add("L=9");
  list.Add("L=10");
  EXPECT_EQ(list.At(0), "L=10");
}

TEST(NameListTest, UnsortedKeepsDuplicatesAndFindsTheFirst) {
  NameList list;
  int a = 1, b = 2;
  list.Add("x", &a);
  list.Add("X", &b);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.ObjectAt(list.IndexOf("x")), &a);
  list.Delete(0);
  EXPECT_EQ(list.ObjectAt(list.IndexOf("x")), &b);
}

TEST(NameListTest, AfterSetUnsortedNewEntriesGoLastAndRepeatsStay) {
  NameList list(NameList::kSorted);
  list.Add("b");
  list.Add("c");
  list.SetUnsorted();
  list.Add("a");
  list.Add("B");
  EXPECT_EQ(list.At(2), "a");
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.IndexOf("B"), 0);
}

TEST(NameListTest, LongUnsortedListsFindTheFirstEqualEntryAfterAnyChange) {
  NameList list;
  std::vector<std::string> mirror;
  auto expect_same = [&](const std::string& name) {
    int expect = -1;
    for (std::size_t i = 0; i < mirror.size(); ++i)
      if (EqualNoCase(mirror[i], name)) {
        expect = static_cast<int>(i);
        break;
      }
    EXPECT_EQ(list.IndexOf(name), expect) << name;
  };
  for (int i = 0; i < 40; ++i) {
    const std::string name = "n" + std::to_string(i % 25);
    list.Add(name);
    mirror.push_back(name);
    expect_same("N" + std::to_string(i % 30));
  }
  list.Delete(3);
  mirror.erase(mirror.begin() + 3);
  expect_same("n3");
  expect_same("n4");
  list.Insert(0, "n24");
  mirror.insert(mirror.begin(), "n24");
  expect_same("n24");
  list.SetName(1, "renamed");
  mirror[1] = "renamed";
  expect_same("renamed");
  expect_same("n0");
  list.Add("late");
  mirror.push_back("late");
  expect_same("LATE");
  list.Clear();
  mirror.clear();
  expect_same("late");
}

// Deletions keep the lookup index of a long list current: positions after
// the deleted entry move down, and a deleted first entry of a name hands
// over to the next equal one (in any case), or to none.
TEST(NameListTest, DeletionsKeepLookupsOfLongListsExact) {
  NameList list;
  std::vector<std::string> mirror;
  std::mt19937 rng(5);
  auto first = [&](const std::string& name) {
    for (std::size_t i = 0; i < mirror.size(); ++i)
      if (EqualNoCase(mirror[i], name)) return static_cast<int>(i);
    return -1;
  };
  for (int i = 0; i < 300; ++i) {
    std::string name = "n" + std::to_string(rng() % 60);
    if (rng() % 2) name[0] = 'N';
    list.Add(name);
    mirror.push_back(name);
  }
  ASSERT_EQ(list.IndexOf("n1"), first("n1"));  // The index is in use.
  for (int round = 0; round < 280; ++round) {
    const int at = static_cast<int>(rng() % mirror.size());
    list.Delete(at);
    mirror.erase(mirror.begin() + at);
    for (int n = 0; n < 62; ++n) {
      const std::string name = "n" + std::to_string(n);
      ASSERT_EQ(list.IndexOf(name), first(name))
          << name << " after deleting position " << at << " in round " << round;
    }
    if (round % 50 == 0) {
      list.Add("n61");
      mirror.push_back("n61");
    }
  }
}

// A sorted list finds by bisection: an operation that would put an entry
// out of order is refused instead of silently breaking later lookups.
TEST(NameListTest, SortedListsRefuseRenamingAndInsertingInPlace) {
  NameList list(NameList::kSorted);
  list.Add("a");
  list.Add("m");
  list.Add("z");
  EXPECT_THROW(list.SetName(0, "zz"), AssertionError);
  EXPECT_THROW(list.Insert(0, "zz"), AssertionError);
  EXPECT_EQ(list.IndexOf("a"), 0);
  EXPECT_EQ(list.IndexOf("z"), 2);
  list.SetUnsorted();
  list.SetName(0, "zz");
  EXPECT_EQ(list.IndexOf("zz"), 0);
}

TEST(NameListTest, AddManyEqualsAddingOneByOne) {
  const std::vector<std::string> names = {"b", "A", "a", "c", "B", "", "a"};
  NameList one(NameList::kSorted), many(NameList::kSorted);
  one.Add("a");
  many.Add("a");
  for (const std::string& n : names) one.Add(n);
  many.AddMany(names);
  ASSERT_EQ(one.Count(), many.Count());
  for (int i = 0; i < one.Count(); ++i) EXPECT_EQ(one.At(i), many.At(i));
}

TEST(NameListTest, OutOfBoundsRaisesIndexError) {
  NameList list;
  EXPECT_THROW(list.At(0), IndexError);
  list.Add("a");
  EXPECT_THROW(list.At(1), IndexError);
  EXPECT_THROW(list.At(-1), IndexError);
  EXPECT_THROW(list.Delete(5), IndexError);
}

}  // namespace
}  // namespace corvane
