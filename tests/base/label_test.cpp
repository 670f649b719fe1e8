#include "base/label.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>

namespace corvane {
namespace {

TEST(LabelTest, IsEmptyUntilGivenATextAndComparesAsText) {
  Label label;
  EXPECT_TRUE(label.empty());
  EXPECT_EQ(label, "");
  EXPECT_EQ(label.str(), std::string());
  label = "Greet";
  EXPECT_FALSE(label.empty());
  EXPECT_EQ(label.size(), 5u);
  EXPECT_EQ(label, "Greet");
  EXPECT_NE(label, "greet");  // Byte for byte, not ignoring case.
  EXPECT_EQ(std::string("Greet"), label);
  EXPECT_EQ(std::string_view(label), "Greet");
  const std::string& text = label;
  EXPECT_EQ(text, "Greet");
  label = std::string();
  EXPECT_TRUE(label.empty());
  EXPECT_EQ(label, "");
}

TEST(LabelTest, CopiesAreIndependentAndMovesTakeTheText) {
  Label a;
  a = std::string("A long label that does not fit inline");
  Label b = a;
  b = std::string_view("B");
  EXPECT_EQ(a, "A long label that does not fit inline");
  EXPECT_EQ(b, "B");
  Label c = std::move(a);
  EXPECT_EQ(c, "A long label that does not fit inline");
  Label d;
  d = c;
  EXPECT_EQ(d, c);
  const Label& same = d;
  d = same;  // Self-assignment keeps the text.
  EXPECT_EQ(d, "A long label that does not fit inline");
  std::ostringstream out;
  out << d << "|" << Label();
  EXPECT_EQ(out.str(), "A long label that does not fit inline|");
}

TEST(LabelTest, AReferenceToItsTextFollowsLaterAssignments) {
  Label label;
  label = "first";
  const std::string& text = label;
  label = "second, and longer than the first one";
  EXPECT_EQ(text, "second, and longer than the first one");
  label = "";
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace corvane
