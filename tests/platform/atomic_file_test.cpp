#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "base/error.h"
#include "platform/files.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST(AtomicFileWriterTest, ReplacesTheWholeFileAndKeepsItsPermissions) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(
      WriteFileBytes(target, "old content that is longer than the new"));
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);

  ASSERT_TRUE(ReplaceFileAtomically(target, "new"));
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("new"));
  EXPECT_EQ(ModeOf(target), 0640u);
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});  // no temp left

  // A missing target is created.
  const std::string fresh = dir.File("fresh.clf");
  ASSERT_TRUE(ReplaceFileAtomically(fresh, std::string("a\0b", 3)));
  EXPECT_EQ(ReadFileBytes(fresh),
            std::optional<std::string>(std::string("a\0b", 3)));
  EXPECT_EQ(dir.Names(), (std::set<std::string>{"fresh.clf", "kb.clf"}));
}

TEST(AtomicFileWriterTest, TargetThatCannotBeWrittenCreatesNothing) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir.File("sub")));
  const std::set<std::string> before = dir.Names();

  EXPECT_FALSE(ReplaceFileAtomically(dir.File("missing/kb.clf"), "x"));
  EXPECT_FALSE(ReplaceFileAtomically(dir.File("sub"), "x"));  // a directory
  EXPECT_FALSE(ReplaceFileAtomically("", "x"));
  EXPECT_FALSE(
      ReplaceFileAtomically(dir.File("a") + std::string(1, '\0'), "x"));
  EXPECT_EQ(dir.Names(), before);
  EXPECT_TRUE(fs::is_empty(dir.File("sub")));

  // A read-only file is left alone, as opening it for writing would fail.
  // Root may write anything, so the case means nothing there.
  if (geteuid() != 0) {
    const std::string locked = dir.File("locked.clf");
    ASSERT_TRUE(WriteFileBytes(locked, "keep"));
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    EXPECT_FALSE(ReplaceFileAtomically(locked, "x"));
    EXPECT_EQ(ReadFileBytes(locked), std::optional<std::string>("keep"));
  }
}

// The owner's write bit decides, also for root, whom access() never denies.
TEST(AtomicFileWriterTest, FileWithoutOwnerWritePermissionIsLeftAlone) {
  TempDir dir;
  const std::string locked = dir.File("locked.clf");
  ASSERT_TRUE(WriteFileBytes(locked, "keep"));
  for (mode_t mode : {0444, 0466, 0077}) {
    ASSERT_EQ(chmod(locked.c_str(), mode), 0);
    errno = 0;
    EXPECT_FALSE(ReplaceFileAtomically(locked, "x")) << std::oct << mode;
    EXPECT_EQ(errno, EACCES);
  }
  ASSERT_EQ(chmod(locked.c_str(), 0644), 0);
  EXPECT_EQ(ReadFileBytes(locked), std::optional<std::string>("keep"));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"locked.clf"});
}

// Temporary files of killed saves older than a minute go with the next save
// of the same file; younger ones may belong to a save in progress.
TEST(AtomicFileWriterTest, NextSaveRemovesStaleTemporaryFiles) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(target, "old"));
  auto age = [&](const std::string& name, int seconds) {
    const timespec times[2] = {{::time(nullptr) - seconds, 0},
                               {::time(nullptr) - seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.File(name).c_str(), times, 0), 0);
  };
  for (const char* name : {"kb.clf.saving-1-1", "kb.clf.saving-2-7",
                           "kb.clf.saving-3-1", "other.clf.saving-1-1",
                           "kb.clf.savings"})
    ASSERT_TRUE(WriteFileBytes(dir.File(name), std::string(1000, 'x')));
  ASSERT_TRUE(fs::create_directory(dir.File("kb.clf.saving-dir")));
  age("kb.clf.saving-1-1", 61 + 60);
  age("kb.clf.saving-2-7", 3600);
  age("kb.clf.saving-3-1", 30);  // young: a save may still be writing it
  age("other.clf.saving-1-1", 3600);  // another file's
  age("kb.clf.savings", 3600);
  age("kb.clf.saving-dir", 3600);  // not a regular file
  ASSERT_TRUE(ReplaceFileAtomically(target, "new"));
  EXPECT_EQ(dir.Names(),
            (std::set<std::string>{"kb.clf", "kb.clf.saving-3-1",
                                   "other.clf.saving-1-1", "kb.clf.savings",
                                   "kb.clf.saving-dir"}));
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("new"));
}

TEST(AtomicFileWriterTest, WriterDroppedBeforeCommitLeavesTheOldFile) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(target, "old"));
  {
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(target));
    EXPECT_TRUE(fs::exists(writer.temp_path()));
    EXPECT_EQ(DirectoryOf(writer.temp_path()), dir.path());
    writer.Write("half of the new");
  }
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("old"));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});
}

TEST(AtomicFileWriterTest, SymbolicLinkStaysAndItsFileIsReplaced) {
  TempDir dir;
  const std::string real = dir.File("real.clf");
  const std::string link = dir.File("link.clf");
  ASSERT_TRUE(WriteFileBytes(real, "old"));
  ASSERT_EQ(symlink("real.clf", link.c_str()), 0);

  ASSERT_TRUE(ReplaceFileAtomically(link, "new"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(real), std::optional<std::string>("new"));
  EXPECT_EQ(dir.Names(), (std::set<std::string>{"link.clf", "real.clf"}));
}

// A full disk is played by a file size limit in a child process: writes
// beyond it fail with EFBIG.
TEST(AtomicFileWriterTest, WriteErrorThrowsRemovesTheTempFileAndKeepsTheOld) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(target, "old"));

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      ReplaceFileAtomically(target, std::string(1 << 20, 'x'));
    } catch (const IoError& e) {
      const std::string expected = "Could not write " + target + ": ";
      code = std::string(e.what()).rfind(expected, 0) == 0 &&
                     std::string(e.kind_name()) == "EInOutError"
                 ? 0
                 : 3;
    } catch (...) {
      code = 4;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("old"));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});
}

// A writer killed at any moment leaves the old file or the new one, whole.
TEST(AtomicFileWriterTest, KilledWriterLeavesTheOldOrTheNewFileWhole) {
  constexpr std::size_t kChunk = 1 << 16;
  constexpr int kChunks = 256;  // 16 MiB
  const std::string old_content = "the old knowledge base\r\n";
  auto chunk = [](int i) {
    return std::string(kChunk, static_cast<char>('a' + i % 26));
  };
  std::string new_content;
  for (int i = 0; i < kChunks; ++i) new_content += chunk(i);

  const int delays_us[] = {0, 0, 100, 500, 2000, 8000, 30000, -1};
  int old_seen = 0, new_seen = 0;
  for (const int delay : delays_us) {
    TempDir dir;
    const std::string target = dir.File("kb.clf");
    ASSERT_TRUE(WriteFileBytes(target, old_content));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      try {
        AtomicFileWriter writer;
        if (!writer.Open(target)) _exit(2);
        writer.Write(chunk(0));
        if (write(fds[1], "w", 1) != 1) _exit(3);
        for (int i = 1; i < kChunks; ++i) writer.Write(chunk(i));
        writer.Commit();
      } catch (...) {
        _exit(4);
      }
      _exit(0);
    }
    close(fds[1]);
    char byte = 0;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    close(fds[0]);
    if (delay >= 0) {
      if (delay > 0) usleep(static_cast<useconds_t>(delay));
      kill(pid, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (delay < 0) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const std::optional<std::string> now = ReadFileBytes(target);
    ASSERT_TRUE(now.has_value());
    if (*now == old_content) {
      ++old_seen;
    } else {
      ASSERT_EQ(now->size(), new_content.size()) << "delay " << delay;
      ASSERT_TRUE(*now == new_content) << "delay " << delay;
      ++new_seen;
    }
  }
  // The first kills land long before 16 MiB are written and synced; the
  // run without a kill finishes.
  EXPECT_GE(old_seen, 1);
  EXPECT_GE(new_seen, 1);
}

}  // namespace
}  // namespace corvane
