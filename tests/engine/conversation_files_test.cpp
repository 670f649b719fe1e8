// Files a conversation names: logs, collection files and the word index,
// opened beneath the file root, never the knowledge base or the page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/a1U2.h"
#include "platform/confined_open.h"
#include "platform/files.h"
#include "platform/operator_messages.h"
#include "tests/temp_dir.h"
#include "text/word_index.h"
#include "text/word_index_builder.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// A brain whose file root is `root/` inside a fresh directory, with the
// operator messages collected.
class ConversationFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "root");
    fs::create_directories(dir_ / "outside");
    root_ = dir_.File("root");
    dir_.Write("root/knowledge.txt", "Corvane 8.0 Corvane-Language File\r\n");
    dir_.Write("root/Page.htm", "<html>#RESPONSE</html>");
    dir_.Write("root/Other.CLF", "other");
    brain_.SetFileRoot(root_);
    brain_.ProtectFile(dir_.File("root/knowledge.txt"));
    previous_ = SetOperatorMessageHandler(
        [this](const std::string& text) { messages_.push_back(text); });
  }
  void TearDown() override {
    SetOperatorMessageHandler(previous_);
    ForceConfinedWalkForTesting(false);
  }

  TempDir dir_;
  std::string root_;
  BrainClass brain_;
  std::vector<std::string> messages_;
  OperatorMessageHandler previous_;
};

TEST_F(ConversationFilesTest, LoggedLinesCarryNoControlBytes) {
  brain_.LogLine("log.txt", "a\r\nFact {x} = {y}\tb\x01\x1f\x7f\xc3\xa9");
  brain_.LogLine("log.txt", "\n");
  EXPECT_EQ(dir_.Read("root/log.txt"),
            "a  Fact {x} = {y} b   \xc3\xa9\r\n \r\n");
}

TEST_F(ConversationFilesTest, KnowledgeBaseAndPageAreNeverTargets) {
  brain_.AddMember("Pets", "cat");
  const std::string knowledge_before = dir_.Read("root/knowledge.txt");
  fs::create_symlink("knowledge.txt", dir_ / "root" / "notes.txt");
  fs::create_symlink("Other.CLF", dir_ / "root" / "plain.txt");
  struct Case {
    const char* file;
  };
  // The protected file by name, by a link, and every name of the language
  // and page formats in any case, also where the file does not exist yet.
  const Case cases[] = {{"knowledge.txt"}, {"notes.txt"},   {"plain.txt"},
                        {"Page.htm"},      {"other.clf"},   {"C:\\Inetpub\\wwwroot\\PAGE.HTM"},
                        {"new.Html"},      {"sub/new.clf"}, {"x.hTm"}};
  for (const Case& c : cases) {
    messages_.clear();
    brain_.LogLine(c.file, "Action {rm -rf /}");
    brain_.SaveCollection("Pets", c.file);
    brain_.LoadCollection("Loaded", c.file);
    EXPECT_EQ(messages_.size(), 3u) << c.file;
    if (!messages_.empty()) {
      EXPECT_NE(messages_[0].find("Refused the file"), std::string::npos);
    }
    EXPECT_EQ(brain_.FindCollection("Loaded")->Members.Count(), 0) << c.file;
  }
  EXPECT_EQ(dir_.Read("root/knowledge.txt"), knowledge_before);
  EXPECT_EQ(dir_.Read("root/Page.htm"), "<html>#RESPONSE</html>");
  EXPECT_EQ(dir_.Read("root/Other.CLF"), "other");
  EXPECT_TRUE(fs::is_symlink(dir_ / "root" / "notes.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "root" / "new.Html"));
  EXPECT_FALSE(fs::exists(dir_ / "root" / "x.hTm"));
  // Other names work as before.
  messages_.clear();
  brain_.SaveCollection("Pets", "pets.txt");
  brain_.LogLine("pets.log", "saved");
  EXPECT_EQ(dir_.Read("root/pets.txt"), "cat\r\n");
  EXPECT_EQ(dir_.Read("root/pets.log"), "saved\r\n");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ConversationFilesTest, LinksOutOfTheRootAreNeverFollowed) {
  for (bool walk : {false, true}) {
    ForceConfinedWalkForTesting(walk);
    SCOPED_TRACE(walk ? "walk" : "openat2");
    dir_.Write("outside/list.txt", "secret\r\n");
    fs::remove(dir_ / "root" / "out");
    fs::remove(dir_ / "root" / "up.txt");
    fs::create_symlink(dir_.File("outside"), dir_ / "root" / "out");
    fs::create_symlink("../outside/list.txt", dir_ / "root" / "up.txt");
    brain_.AddMember("Pets", "cat");
    brain_.LogLine("out/log.txt", "escaped");
    brain_.SaveCollection("Pets", "out/saved.txt");
    brain_.SaveCollection("Pets", "up.txt");
    brain_.LogLine("up.txt", "escaped");
    brain_.LoadCollection("Read", "out/list.txt");
    brain_.LoadCollection("Read", "up.txt");
    EXPECT_EQ(brain_.FindCollection("Read")->Members.Count(), 0);
    EXPECT_EQ(dir_.Read("outside/list.txt"), "secret\r\n");
    EXPECT_FALSE(fs::exists(dir_ / "outside" / "log.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "outside" / "saved.txt"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "root" / "up.txt"));

    // A link that stays inside is followed: the file it leads to is
    // replaced and the link stays.
    fs::remove(dir_ / "root" / "alias.txt");
    dir_.Write("root/real.txt", "old\r\n");
    fs::create_symlink("real.txt", dir_ / "root" / "alias.txt");
    brain_.SaveCollection("Pets", "alias.txt");
    EXPECT_TRUE(fs::is_symlink(dir_ / "root" / "alias.txt"));
    EXPECT_EQ(dir_.Read("root/real.txt"), "cat\r\n");
    brain_.LoadCollection("Again", "alias.txt");
    EXPECT_EQ(brain_.FindCollection("Again")->Members.Count(), 1);

    // A link leading nowhere is refused: its target is not created.
    fs::remove(dir_ / "root" / "nowhere.txt");
    fs::create_symlink("made.txt", dir_ / "root" / "nowhere.txt");
    brain_.LogLine("nowhere.txt", "x");
    brain_.SaveCollection("Pets", "nowhere.txt");
    EXPECT_FALSE(fs::exists(dir_ / "root" / "made.txt"));
  }
}

// A second thread swaps a directory of the log's path between a directory
// inside the root and a link to outside; every line lands inside or
// nowhere, and so does every collection saved meanwhile.
TEST_F(ConversationFilesTest, LinkSwappedDuringWritesNeverLeadsOutside) {
  fs::create_directories(dir_ / "root" / "real");
  const std::string swap = dir_.File("root/logs");
  const std::string tmp = dir_.File("root/logs.tmp");
  fs::create_symlink("real", swap);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    bool out = true;
    while (!stop.load()) {
      ::unlink(tmp.c_str());
      ::symlink(out ? dir_.File("outside").c_str() : "real", tmp.c_str());
      ::rename(tmp.c_str(), swap.c_str());
      out = !out;
    }
  });
  brain_.AddMember("Pets", "cat");
  for (int i = 0; i < 2000; ++i) {
    brain_.LogLine("logs/log.txt", "line");
    if (i % 50 == 0) brain_.SaveCollection("Pets", "logs/pets.txt");
  }
  stop = true;
  swapper.join();
  EXPECT_TRUE(fs::is_empty(dir_ / "outside"));
}

TEST_F(ConversationFilesTest, WordIndexIsReadOnlyBeneathTheRoot) {
  const WordIndexBuild build = BuildWordIndex("The cat sat.\n");
  ASSERT_TRUE(build.ok());
  std::string error;
  ASSERT_TRUE(WriteWordIndexFiles(build.files, dir_.File("outside"), &error));
  fs::create_symlink(dir_.File("outside"), dir_ / "root" / "data");
  brain_.word_index().Reset();
  EXPECT_EQ(brain_.AskWordIndex("cat", "data/"), "");
  brain_.word_index().Reset();
  ASSERT_TRUE(WriteWordIndexFiles(build.files, dir_.File("root/inside"), &error));
  EXPECT_EQ(brain_.AskWordIndex("cat", "inside/"), "The cat sat.");
  brain_.word_index().Reset();
}

}  // namespace
}  // namespace corvane
