// Data collections.
#include "engine/collection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/a1U2.h"
#include "engine/effects.h"
#include "platform/files.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

class CollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path();
    brain_.SetFileRoot(dir_.path());
    colours_ = brain_.FindOrCreateCollection("colours");
    for (const char* m : {"red", "dark red", "blue"}) colours_->Include(m);
  }
  TempDir dir_;
  BrainClass brain_;
  DataCollectionClass* colours_ = nullptr;
  std::filesystem::path root_;
};

TEST_F(CollectionTest, SortedMembersAndWordLookups) {
  ASSERT_EQ(colours_->Members.Count(), 3);
  EXPECT_EQ(colours_->Members.At(0), "blue");
  EXPECT_EQ(colours_->Members.At(1), "dark red");
  EXPECT_EQ(colours_->Members.At(2), "red");
  EXPECT_TRUE(colours_->HasWordMember("I like Dark Red shoes"));
  EXPECT_FALSE(colours_->HasWordMember(""));
  EXPECT_EQ(colours_->FirstWordMember("redness"), "~");
  EXPECT_EQ(colours_->FirstSubstringMember("redness"), "red");
  EXPECT_EQ(colours_->FirstWordMember("reddish red or blue"), "blue");
  EXPECT_EQ(colours_->FirstWordMember(""), "~");
  EXPECT_EQ(colours_->FirstSubstringMember(""), "~");
  EXPECT_TRUE(colours_->HasSubstringMember("bluebird"));
}

TEST_F(CollectionTest, IndexedPickOverSplitWordsInMemberOrder) {
  EXPECT_EQ(colours_->IndexedWordMember("red and blue and red", "1"), "red");
  EXPECT_EQ(colours_->IndexedWordMember("red and blue and red", " 0 "), "blue");
  EXPECT_EQ(colours_->IndexedWordMember("red and blue and red", "2"), "");
  EXPECT_EQ(colours_->IndexedWordMember("dark red", "1"), "");  // 'dark red' never
  EXPECT_EQ(colours_->IndexedWordMember("red", "x"), "");
  EXPECT_EQ(colours_->IndexedWordMember("", "0"), "");
}

TEST_F(CollectionTest, PickMemberByIndexText) {
  EXPECT_EQ(colours_->PickMember("colours|1", brain_.random()), "dark red");
  EXPECT_EQ(colours_->PickMember("colours|x", brain_.random()), "blue");
  EXPECT_EQ(colours_->PickMember("colours|9", brain_.random()), "");
  EXPECT_EQ(colours_->PickMember("colours|-1", brain_.random()), "");
  EXPECT_EQ(colours_->PickMember("", brain_.random()), "");
  const std::string any = colours_->PickMember("colours", brain_.random());
  EXPECT_GE(colours_->Members.IndexOf(any), 0);
}

TEST_F(CollectionTest, IncludeTrimsAndRefusesEqualsExcludeIgnoresCase) {
  colours_->Include("  Red ");
  EXPECT_EQ(colours_->Members.Count(), 3);
  colours_->Exclude("RED");
  EXPECT_EQ(colours_->Members.IndexOf("red"), -1);
  colours_->Include("");
  EXPECT_EQ(colours_->Members.Count(), 2);
  colours_->Include("   ");  // blanks only: the empty member, once
  colours_->Include(" ");
  EXPECT_EQ(colours_->Members.Count(), 3);
  EXPECT_EQ(colours_->Members.At(0), "");
}

TEST_F(CollectionTest, AllMembersJoinsAndNeedsAText) {
  EXPECT_EQ(colours_->AllMembers("x"), "blue, dark red, red");
  EXPECT_EQ(colours_->AllMembers(""), "");
  DataCollectionClass* c = brain_.FindOrCreateCollection("c");
  c->Members.SetUnsorted();
  c->Members.Add("");
  c->Members.Add("a");
  c->Members.Add("");
  c->Members.Add("b");
  EXPECT_EQ(c->AllMembers("x"), "a, , b");
}

TEST_F(CollectionTest, UnsortedAppendsAndLooksUpInListOrder) {
  colours_->Members.SetUnsorted();
  colours_->Include("aardvark");
  EXPECT_EQ(colours_->Members.At(3), "aardvark");
  colours_->Include("green");
  colours_->Include("Green");
  EXPECT_EQ(colours_->Members.Count(), 5);
  colours_->Members.Insert(0, "zebra");
  EXPECT_EQ(colours_->FirstWordMember("blue zebra"), "zebra");
}

TEST_F(CollectionTest, FilesRoundTripRefuseEscapesAndNeverRaise) {
  colours_->SaveToFile("out.txt", brain_.paths(), RealEffects());
  DataCollectionClass* copy = brain_.FindOrCreateCollection("copy");
  copy->Include("old");
  copy->LoadFromFile("out.txt", brain_.paths());
  ASSERT_EQ(copy->Members.Count(), 3);
  EXPECT_EQ(copy->Members.At(1), "dark red");
  EXPECT_EQ(*ReadFileBytes((root_ / "out.txt").string()), "blue\r\ndark red\r\nred\r\n");

  // Mixed line ends, an empty line, repeats dropped by the sorted list,
  // lines not trimmed.
  WriteFileBytes((root_ / "mixed.txt").string(), "b\nA\r\n\r a \nb\nlast");
  copy->LoadFromFile("C:\\Inetpub\\wwwroot\\mixed.txt", brain_.paths());
  ASSERT_EQ(copy->Members.Count(), 5);
  EXPECT_EQ(copy->Members.At(0), "");
  EXPECT_EQ(copy->Members.At(1), " a ");
  EXPECT_EQ(copy->Members.At(2), "A");
  EXPECT_EQ(copy->Members.At(3), "b");
  EXPECT_EQ(copy->Members.At(4), "last");

  // Refused and missing paths leave the members as they are.
  for (const char* bad : {"../outside.txt", "/etc/hostname", "D:\\x.txt", "missing.txt", ""}) {
    copy->LoadFromFile(bad, brain_.paths());
    EXPECT_EQ(copy->Members.Count(), 5) << bad;
    colours_->SaveToFile(bad, brain_.paths(), RealEffects());
  }
  EXPECT_FALSE(std::filesystem::exists(root_.parent_path() / "outside.txt"));
}

TEST_F(CollectionTest, LoadingAnUnsortedCollectionKeepsFileOrderAndRepeats) {
  WriteFileBytes((root_ / "u.txt").string(), "b\na\nb\n");
  colours_->Members.SetUnsorted();
  colours_->LoadFromFile("u.txt", brain_.paths());
  ASSERT_EQ(colours_->Members.Count(), 3);
  EXPECT_EQ(colours_->Members.At(0), "b");
  EXPECT_EQ(colours_->Members.At(2), "b");
}

}  // namespace
}  // namespace corvane
