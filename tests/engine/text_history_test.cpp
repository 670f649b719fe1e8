// The histories' buffer: newest first, bounded in entries and bytes with
// the newest always whole, checked against a plain list of strings over
// many pushes (so that every way the live part is moved down or the buffer
// regrown is met), and copies and views of its own texts.
#include "engine/text_history.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace corvane {
namespace {

// The plain version: insert at the front, drop from the back.
struct PlainHistory {
  std::deque<std::string> texts;  // Newest first.
  void Push(std::string_view text, std::size_t most, std::size_t most_bytes) {
    texts.emplace_front(text);
    std::size_t held = 0;
    for (const std::string& t : texts) held += t.size();
    while (texts.size() > 1 && (texts.size() > most || held > most_bytes)) {
      held -= texts.back().size();
      texts.pop_back();
    }
  }
};

std::vector<std::string> Texts(const TextHistory& h) {
  return std::vector<std::string>(h.begin(), h.end());
}

std::vector<std::string> Texts(const PlainHistory& h) {
  return std::vector<std::string>(h.texts.begin(), h.texts.end());
}

TEST(TextHistoryTest, NewestFirstByPositionAndIteration) {
  TextHistory h;
  EXPECT_TRUE(h.empty());
  EXPECT_EQ(h.begin(), h.end());
  for (const char* t : {"one", "", "three"}) h.Push(t, 100, 1000);
  EXPECT_EQ(h.Count(), 3);
  EXPECT_EQ(h.At(0), "three");
  EXPECT_EQ(h.At(1), "");  // an empty text is an entry like any other
  EXPECT_EQ(h.At(2), "one");
  EXPECT_EQ(Texts(h), (std::vector<std::string>{"three", "", "one"}));
  EXPECT_EQ(h.bytes(), 8u);
  EXPECT_THROW(h.At(3), IndexError);
  EXPECT_THROW(h.At(-1), IndexError);
  h.Clear();
  EXPECT_TRUE(h.empty());
  EXPECT_THROW(h.At(0), IndexError);
}

TEST(TextHistoryTest, EntryLimitBoundary) {
  struct Case {
    int pushes;
    int count;
    const char* oldest;
  };
  const Case cases[] = {
      {99, 99, "t1"},    {100, 100, "t1"},  {101, 100, "t2"},
      {134, 100, "t35"}, {135, 100, "t36"}, {250, 100, "t151"},
  };
  for (const Case& c : cases) {
    TextHistory h;
    for (int i = 1; i <= c.pushes; ++i)
      h.Push("t" + std::to_string(i), 100, 1 << 20);
    EXPECT_EQ(h.Count(), c.count) << c.pushes;
    EXPECT_EQ(h.At(0), "t" + std::to_string(c.pushes)) << c.pushes;
    EXPECT_EQ(h.At(h.Count() - 1), c.oldest) << c.pushes;
  }
}

TEST(TextHistoryTest, ByteBudgetKeepsTheNewestWhole) {
  TextHistory h;
  for (int i = 0; i < 5; ++i) h.Push(std::string(10, 'a' + i), 100, 30);
  // Three of ten bytes fill the budget exactly; a fourth would exceed it.
  EXPECT_EQ(Texts(h), (std::vector<std::string>{std::string(10, 'e'),
                                                std::string(10, 'd'),
                                                std::string(10, 'c')}));
  h.Push(std::string(31, 'x'), 100, 30);
  EXPECT_EQ(h.Count(), 1);
  EXPECT_EQ(h.At(0), std::string(31, 'x'));
  h.Push("y", 100, 30);  // 32 bytes: the big one leaves
  EXPECT_EQ(Texts(h), (std::vector<std::string>{"y"}));
  h.Push(std::string(29, 'z'), 100, 30);  // 30 bytes: both stay
  EXPECT_EQ(h.Count(), 2);
}

TEST(TextHistoryTest, ManyPushesMatchThePlainList) {
  std::mt19937 rng(42);
  for (int round = 0; round < 40; ++round) {
    const int most = 1 + static_cast<int>(rng() % 120);
    const std::size_t most_bytes = 1 + rng() % 3000;
    TextHistory h;
    PlainHistory plain;
    for (int i = 0; i < 600; ++i) {
      // Mostly short texts, some empty, now and then one over the budget.
      std::size_t size = rng() % 40;
      if (rng() % 10 == 0) size = 0;
      if (rng() % 50 == 0) size = most_bytes + rng() % 100;
      std::string text(size, static_cast<char>('a' + i % 26));
      if (!text.empty()) text[0] = static_cast<char>('A' + i % 26);
      h.Push(text, most, most_bytes);
      plain.Push(text, static_cast<std::size_t>(most), most_bytes);
      ASSERT_EQ(Texts(h), Texts(plain)) << "round " << round << " push " << i;
      std::size_t held = 0;
      for (const std::string& t : plain.texts) held += t.size();
      ASSERT_EQ(h.bytes(), held);
      ASSERT_EQ(h.Count(), static_cast<int>(plain.texts.size()));
      // Texts that left do not pile up, and a buffer that held a big text
      // is given back: the buffers stay within a small multiple of what is
      // held, and the offsets within a multiple of the entry limit.
      ASSERT_LE(h.capacity_bytes(),
                6 * held + 4096 + 8 * static_cast<std::size_t>(most) + 64)
          << "round " << round << " push " << i;
    }
  }
}

TEST(TextHistoryTest, AHugeTextThatLeftGivesItsBufferBack) {
  TextHistory h;
  h.Push(std::string(1 << 20, 'h'), 100, 2 << 20);
  for (int i = 0; i < 200; ++i)
    h.Push("small " + std::to_string(i), 100, 2 << 20);
  EXPECT_EQ(h.At(99), "small 100");
  EXPECT_LT(h.capacity_bytes(), std::size_t{16} << 10);
}

TEST(TextHistoryTest, PushingItsOwnTextCopiesItFirst) {
  TextHistory h;
  h.Push("first", 3, 1000);
  // Each push of the oldest makes the buffer move (grow or compact) while
  // the view points into it.
  for (int i = 0; i < 50; ++i) {
    h.Push(h.At(h.Count() - 1), 3, 1000);
    h.Push(std::string(static_cast<std::size_t>(i), 'p'), 3, 1000);
  }
  TextHistory one;
  one.Push(std::string(100, 'q'), 100, 1000);
  for (int i = 0; i < 8; ++i) one.Push(one.At(0), 100, 1000);
  EXPECT_EQ(one.Count(), 9);
  for (const std::string_view text : one)
    EXPECT_EQ(text, std::string(100, 'q'));
}

TEST(TextHistoryTest, CopiesHoldTheLiveTextsAndGoTheirOwnWay) {
  TextHistory h;
  for (int i = 0; i < 130; ++i)
    h.Push("entry " + std::to_string(i), 100, 1 << 20);
  const TextHistory copy = h;
  EXPECT_EQ(Texts(copy), Texts(h));
  EXPECT_LE(copy.capacity_bytes(), h.bytes() + 4 * 100);
  TextHistory assigned;
  assigned.Push("old", 100, 100);
  assigned = copy;
  EXPECT_EQ(Texts(assigned), Texts(h));
  h.Push("only in the original", 100, 1 << 20);
  EXPECT_EQ(copy.At(0), "entry 129");
  EXPECT_EQ(assigned.Count(), 100);
  EXPECT_EQ(assigned.At(99), "entry 30");
  TextHistory moved = std::move(assigned);
  EXPECT_EQ(moved.At(0), "entry 129");
}

}  // namespace
}  // namespace corvane
