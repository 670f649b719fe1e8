#include "base/owning_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"

namespace corvane {
namespace {

// Records its destruction in a shared log, so the order can be checked.
struct Tracked {
  Tracked(std::string n, std::vector<std::string>* l)
      : name(std::move(n)), log(l) {}
  ~Tracked() { log->push_back(name); }
  std::string name;
  std::vector<std::string>* log;
};

using List = OwningList<Tracked>;

std::vector<std::string> Names(const List& list) {
  std::vector<std::string> names;
  for (const std::unique_ptr<Tracked>& item : list)
    names.push_back(item != nullptr ? item->name : "<null>");
  return names;
}

TEST(OwningListTest, AddKeepsOrderAndAddressesAcrossGrowth) {
  std::vector<std::string> log;
  List list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  Tracked* first = list.Add(std::make_unique<Tracked>("a", &log));
  EXPECT_EQ(list.Count(), 1);
  std::vector<Tracked*> added{first};
  for (const char* n : {"b", "c", "d", "e"})
    added.push_back(list.Add(std::make_unique<Tracked>(n, &log)));
  ASSERT_EQ(list.Count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(list.At(i), added[i]);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(list.IndexOf(added[3]), 3);
  EXPECT_EQ(list.IndexOf(nullptr), -1);
  EXPECT_TRUE(log.empty());
}

TEST(OwningListTest, ReadingOutsideThrowsWithTheIndex) {
  std::vector<std::string> log;
  List list;
  EXPECT_THROW(list.At(0), IndexError);
  list.Add(std::make_unique<Tracked>("a", &log));
  EXPECT_THROW(list.At(1), IndexError);
  EXPECT_THROW(list.At(-1), IndexError);
  EXPECT_THROW(list.Remove(1), IndexError);
  try {
    list.Replace(3, nullptr);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (3)");
  }
  EXPECT_EQ(list.Count(), 1);
}

TEST(OwningListTest, NullEntriesCountAsEntries) {
  std::vector<std::string> log;
  List list;
  list.Add(nullptr);
  EXPECT_EQ(list.Count(), 1);
  list.Add(std::make_unique<Tracked>("a", &log));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"<null>", "a"}));

  // Replacing the only entry by nothing keeps one entry.
  List one;
  one.Add(std::make_unique<Tracked>("x", &log));
  std::unique_ptr<Tracked> old = one.Replace(0, nullptr);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->name, "x");
  EXPECT_EQ(one.Count(), 1);
  EXPECT_EQ(one.At(0), nullptr);
  one.Replace(0, std::make_unique<Tracked>("y", &log));
  EXPECT_EQ(Names(one), (std::vector<std::string>{"y"}));
}

TEST(OwningListTest, RemoveAndReplaceHandBackTheObject) {
  std::vector<std::string> log;
  List list;
  for (const char* n : {"a", "b", "c"})
    list.Add(std::make_unique<Tracked>(n, &log));
  std::unique_ptr<Tracked> b = list.Remove(1);
  EXPECT_EQ(b->name, "b");
  EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "c"}));
  std::unique_ptr<Tracked> a = list.Replace(0, std::move(b));
  EXPECT_EQ(a->name, "a");
  EXPECT_EQ(Names(list), (std::vector<std::string>{"b", "c"}));
  EXPECT_TRUE(log.empty());

  List single;
  single.Add(std::make_unique<Tracked>("s", &log));
  std::unique_ptr<Tracked> s = single.Remove(0);
  EXPECT_EQ(s->name, "s");
  EXPECT_TRUE(single.empty());
  single.Add(std::make_unique<Tracked>("t", &log));
  EXPECT_EQ(Names(single), (std::vector<std::string>{"t"}));
}

TEST(OwningListTest, TakeAllEmptiesInOrderAndTheListCanBeFilledAgain) {
  std::vector<std::string> log;
  for (int n : {0, 1, 3}) {
    List list;
    for (int i = 0; i < n; ++i)
      list.Add(std::make_unique<Tracked>(std::to_string(i), &log));
    std::vector<std::unique_ptr<Tracked>> all = list.TakeAll();
    ASSERT_EQ(static_cast<int>(all.size()), n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(all[i]->name, std::to_string(i));
    EXPECT_TRUE(list.empty());
    list.Add(std::make_unique<Tracked>("again", &log));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"again"}));
  }
}

TEST(OwningListTest, DestroysTheObjectsInListOrder) {
  for (int n : {1, 4}) {
    std::vector<std::string> log;
    {
      List list;
      for (int i = 0; i < n; ++i)
        list.Add(std::make_unique<Tracked>(std::to_string(i), &log));
    }
    std::vector<std::string> expected;
    for (int i = 0; i < n; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(log, expected);
  }
}

}  // namespace
}  // namespace corvane
