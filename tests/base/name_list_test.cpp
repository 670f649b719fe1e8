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
