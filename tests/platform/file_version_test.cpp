#include "platform/file_version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <regex>
#include <set>
#include <string>

#include "platform/atomic_file.h"
#include "platform/files.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

// Writes `data` over `path` unless it changed from `base`; the conflict
// file's path, or "" when the file was replaced.
std::string SaveOver(const std::string& path, const std::string& data,
                     const FileVersion& base) {
  AtomicFileWriter writer;
  EXPECT_TRUE(writer.Open(path));
  writer.Write(data);
  std::string conflict;
  if (writer.CommitUnlessChanged(base, &conflict)) return "";
  EXPECT_FALSE(conflict.empty());
  return conflict;
}

TEST(FileVersionTest, SameContentIgnoresIdentityAndTime) {
  TempDir dir;
  const std::string path = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(path, "abc"));
  const FileVersion first = CurrentFileVersion(path);
  EXPECT_TRUE(first.exists);
  EXPECT_EQ(first.size, 3u);
  EXPECT_TRUE(first.SameContent(VersionOfBytes("abc")));
  // Rewritten with the same bytes under a new inode and time: the same.
  ASSERT_TRUE(ReplaceFileAtomically(path, "abc"));
  const FileVersion again = CurrentFileVersion(path);
  EXPECT_NE(again.inode, first.inode);
  EXPECT_TRUE(again.SameContent(first));
  // One byte changed, the size kept: another version.
  ASSERT_TRUE(WriteFileBytes(path, "abd"));
  EXPECT_FALSE(CurrentFileVersion(path).SameContent(first));
  EXPECT_FALSE(VersionOfBytes("").SameContent(FileVersion()));
  EXPECT_TRUE(CurrentFileVersion(dir.File("missing")).SameContent({}));
  // Pieces hash as the whole.
  ContentHash pieces;
  pieces.Add("ab");
  pieces.Add("");
  pieces.Add("d");
  EXPECT_EQ(pieces.value(), VersionOfBytes("abd").hash);
  // Every split of a text that crosses several words, and one byte more
  // or changed anywhere, at either end.
  std::string text;
  for (int i = 0; i < 41; ++i) text.push_back(static_cast<char>('a' + i % 26));
  const uint64_t whole = VersionOfBytes(text).hash;
  for (std::size_t a = 0; a <= text.size(); ++a) {
    for (std::size_t b = a; b <= text.size(); b += 3) {
      ContentHash split;
      split.Add(std::string_view(text).substr(0, a));
      split.Add(std::string_view(text).substr(a, b - a));
      split.Add(std::string_view(text).substr(b));
      ASSERT_EQ(split.value(), whole) << a << " " << b;
    }
    std::string changed = text;
    changed[a % text.size()] ^= 1;
    EXPECT_NE(VersionOfBytes(changed).hash, whole) << a;
  }
  EXPECT_NE(VersionOfBytes(text + '\0').hash, whole);
  EXPECT_NE(VersionOfBytes(text.substr(1)).hash, whole);
}

TEST(FileVersionTest, ConflictNamesCarryTheLocalTime) {
  tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 2;  // March
  local.tm_mday = 7;
  local.tm_hour = 9;
  local.tm_min = 5;
  local.tm_sec = 3;
  local.tm_isdst = -1;
  EXPECT_EQ(ConflictFileName("kb.clf", static_cast<int64_t>(mktime(&local))),
            "kb.clf.conflict-20260307-090503");
}

TEST(CommitUnlessChangedTest, ReplacesOnlyTheVersionItWasMadeFrom) {
  TempDir dir;
  const std::string path = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(path, "read"));
  const FileVersion read = CurrentFileVersion(path);

  // Touched only: still the version read.
  ASSERT_EQ(utime(path.c_str(), nullptr), 0);
  EXPECT_EQ(SaveOver(path, "saved", read), "");
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("saved"));

  // Edited on disk since: left alone, the save goes beside it.
  const FileVersion saved = CurrentFileVersion(path);
  ASSERT_TRUE(WriteFileBytes(path, "edited by hand"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string conflict = SaveOver(path, "learnt", saved);
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("edited by hand"));
  EXPECT_TRUE(std::regex_match(
      conflict, std::regex(".*/kb\\.clf\\.conflict-[0-9]{8}-[0-9]{6}")))
      << conflict;
  EXPECT_EQ(ReadFileBytes(conflict), std::optional<std::string>("learnt"));
  struct stat st {};
  ASSERT_EQ(stat(conflict.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A second conflict in the same second takes the next free name.
  const std::string next = SaveOver(path, "more", saved);
  if (next.substr(0, conflict.size()) == conflict) {
    EXPECT_EQ(next, conflict + "-2");
  }
  EXPECT_EQ(ReadFileBytes(next), std::optional<std::string>("more"));
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("edited by hand"));
}

TEST(CommitUnlessChangedTest, AFileThatAppearedOrWentIsJudgedByItsContent) {
  TempDir dir;
  const std::string path = dir.File("new.clf");
  const FileVersion none = CurrentFileVersion(path);
  ASSERT_FALSE(none.exists);
  // Created by someone else since: kept.
  ASSERT_TRUE(WriteFileBytes(path, "theirs"));
  EXPECT_NE(SaveOver(path, "mine", none), "");
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("theirs"));
  // Still missing: created.
  const std::string other = dir.File("other.clf");
  EXPECT_EQ(SaveOver(other, "mine", none), "");
  EXPECT_EQ(ReadFileBytes(other), std::optional<std::string>("mine"));
}

TEST(CommitUnlessChangedTest, SavesOfThisProcessFromOneVersionFollowEachOther) {
  TempDir dir;
  const std::string path = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(path, "v1"));
  const FileVersion v1 = CurrentFileVersion(path);
  // Two brains read v1; each saves in turn, and a third after both.
  EXPECT_EQ(SaveOver(path, "from brain a", v1), "");
  EXPECT_EQ(SaveOver(path, "from brain b", v1), "");
  EXPECT_EQ(SaveOver(path, "from brain c", v1), "");
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("from brain c"));
  // An edit on disk breaks the chain for every brain that read v1.
  ASSERT_TRUE(WriteFileBytes(path, "by hand"));
  EXPECT_NE(SaveOver(path, "from brain d", v1), "");
  EXPECT_EQ(ReadFileBytes(path), std::optional<std::string>("by hand"));
  // A brain that read the edit saves over it.
  const FileVersion edited = CurrentFileVersion(path);
  EXPECT_EQ(SaveOver(path, "from brain e", edited), "");
}

}  // namespace
}  // namespace corvane
