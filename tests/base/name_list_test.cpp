#include "base/name_list.h"

#include <gtest/gtest.h>

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
