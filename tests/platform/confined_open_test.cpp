#include "platform/confined_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "base/error.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Runs every case twice: through openat2 and through the component walk.
class ConfinedOpenTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !KernelHasOpenat2())
      GTEST_SKIP() << "this kernel has no openat2";
    ForceConfinedWalkForTesting(GetParam());
    ASSERT_FALSE(outer_.path().empty());
    fs::create_directories(outer_ / "root" / "sub" / "deep");
    outer_.Write("root/a.txt", "inside");
    outer_.Write("root/sub/b.txt", "inside b");
    outer_.Write("secret.txt", "outside");
    root_ = ConfinedRoot::Open(outer_.File("root"));
  }
  void TearDown() override { ForceConfinedWalkForTesting(false); }

  // The content read through OpenBeneath, or "<errno name>" on failure.
  std::string ReadBeneath(const std::string& path, bool no_symlinks = false) {
    const int fd = root_.OpenBeneath(path, O_RDONLY, 0, no_symlinks);
    if (fd < 0) return ErrorName(errno);
    std::string data;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
      data.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return data;
  }

  static std::string ErrorName(int error) {
    switch (error) {
      case EXDEV: return "<EXDEV>";
      case ELOOP: return "<ELOOP>";
      case ENOENT: return "<ENOENT>";
      case ENOTDIR: return "<ENOTDIR>";
      case EINVAL: return "<EINVAL>";
      default: return "<errno " + std::to_string(error) + ">";
    }
  }

  TempDir outer_;
  ConfinedRoot root_;
};

TEST_P(ConfinedOpenTest, ReadsInsideAndRefusesEscapes) {
  fs::create_symlink("../secret.txt", outer_ / "root" / "up_link");
  fs::create_symlink(outer_.File("secret.txt"), outer_ / "root" / "abs_link");
  fs::create_symlink("../..", outer_ / "root" / "sub" / "up_dir");
  fs::create_symlink(outer_.path(), outer_ / "root" / "abs_dir");
  fs::create_symlink("a.txt", outer_ / "root" / "in_link");
  fs::create_symlink("sub/deep/..", outer_ / "root" / "in_dir");
  fs::create_symlink("../a.txt", outer_ / "root" / "sub" / "back_link");
  const std::string absolute = outer_.File("secret.txt");
  struct Case {
    const char* path;
    const char* read;  // content, or the error
  };
  const Case cases[] = {
      {"a.txt", "inside"},
      {"./sub//b.txt", "inside b"},
      {"sub/../a.txt", "inside"},
      {"sub/deep/../../a.txt", "inside"},
      {"../secret.txt", "<EXDEV>"},
      {"sub/../../secret.txt", "<EXDEV>"},
      {"..", "<EXDEV>"},
      {"/etc/passwd", "<EXDEV>"},
      {absolute.c_str(), "<EXDEV>"},
      {"up_link", "<EXDEV>"},
      {"abs_link", "<EXDEV>"},
      {"sub/up_dir/secret.txt", "<EXDEV>"},
      {"abs_dir/secret.txt", "<EXDEV>"},
      {"in_link", "inside"},             // a link that stays inside is fine
      {"in_dir/b.txt", "inside b"},      // also through a directory link
      {"sub/back_link", "inside"},       // ".." in a link target, still inside
      {"a.txt/x", "<ENOTDIR>"},
      {"missing.txt", "<ENOENT>"},
      {"", "<ENOENT>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ReadBeneath(c.path), c.read) << c.path;
  // With no_symlinks, even links that stay inside are refused.
  EXPECT_EQ(ReadBeneath("in_link", true), "<ELOOP>");
  EXPECT_EQ(ReadBeneath("in_dir/b.txt", true), "<ELOOP>");
  EXPECT_EQ(ReadBeneath("sub/../a.txt", true), "inside");
  EXPECT_EQ(ReadBeneath(std::string("a.txt\0x", 7)), "<EINVAL>");
}

TEST_P(ConfinedOpenTest, CreatesBeneathWithModeAndNeverOutside) {
  ::umask(022);
  const int fd =
      root_.OpenBeneath("sub/new.log", O_WRONLY | O_CREAT | O_APPEND, 0640);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::write(fd, "x", 1), 1);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd);
  EXPECT_EQ(outer_.Read("root/sub/new.log"), "x");

  // A dangling link out of the root must not create its target.
  fs::create_symlink("../created.txt", outer_ / "root" / "dangling");
  EXPECT_LT(root_.OpenBeneath("dangling", O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_FALSE(fs::exists(outer_ / "created.txt"));
  // A dangling link inside the root creates its target there.
  fs::create_symlink("sub/made.txt", outer_ / "root" / "dangling_in");
  const int made = root_.OpenBeneath("dangling_in", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(made, 0) << std::strerror(errno);
  ::close(made);
  EXPECT_TRUE(fs::exists(outer_ / "root" / "sub" / "made.txt"));
  EXPECT_LT(root_.OpenBeneath("../escape.txt", O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_FALSE(fs::exists(outer_ / "escape.txt"));
  EXPECT_EQ(outer_.Read("secret.txt"), "outside");
}

// A second thread swaps a directory of the path between a real directory
// and a link to outside the root; no write may ever land outside.
TEST_P(ConfinedOpenTest, LinkSwappedToOutsideNeverLeadsOutside) {
  fs::create_directories(outer_ / "root" / "real");
  fs::create_directories(outer_ / "away");
  const std::string swap = outer_.File("root/swap");
  const std::string real = outer_.File("root/real");
  const std::string tmp_link = outer_.File("root/tmp_link");
  fs::create_symlink("real", swap);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    bool to_link = true;
    while (!stop.load()) {
      ::unlink(tmp_link.c_str());
      if (to_link) {
        if (::symlink(outer_.File("away").c_str(), tmp_link.c_str()) == 0)
          ::rename(tmp_link.c_str(), swap.c_str());
      } else {
        ::unlink(swap.c_str());
        ::symlink("real", tmp_link.c_str());
        ::rename(tmp_link.c_str(), swap.c_str());
      }
      to_link = !to_link;
    }
  });
  // Until both states were met, within a bound of time: on a loaded
  // machine the swapper may run seldom.
  int inside = 0, refused = 0, other = 0;
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 3000 || inside == 0 || refused == 0; ++i) {
    if ((i & 255) == 0 && std::chrono::steady_clock::now() > give_up) break;
    const int fd =
        root_.OpenBeneath("swap/log.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) {
      if (errno == EXDEV) {
        ++refused;
      } else {
        ++other;
        std::this_thread::yield();
      }
      continue;
    }
    ++inside;
    EXPECT_EQ(::write(fd, "l\n", 2), 2);
    ::close(fd);
  }
  stop = true;
  swapper.join();
  EXPECT_FALSE(fs::exists(outer_ / "away" / "log.txt"));
  EXPECT_GT(inside, 0);
  EXPECT_GT(refused, 0) << other << " other failures";
  EXPECT_EQ(outer_.Read("root/real/log.txt").size(),
            static_cast<std::size_t>(2 * inside));
}

TEST_P(ConfinedOpenTest, AFileOrLinkSwappedAtTheLastComponentIsRefused) {
  const std::string target = outer_.File("root/target.txt");
  const std::string tmp = outer_.File("root/target.tmp");
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    bool to_link = true;
    while (!stop.load()) {
      ::unlink(tmp.c_str());
      if (to_link) {
        ::symlink(outer_.File("secret.txt").c_str(), tmp.c_str());
      } else {
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) ::close(fd);
      }
      ::rename(tmp.c_str(), target.c_str());
      to_link = !to_link;
    }
  });
  for (int i = 0; i < 3000; ++i) {
    const int fd = root_.OpenBeneath("target.txt", O_WRONLY | O_APPEND);
    if (fd < 0) continue;
    EXPECT_EQ(::write(fd, "w", 1), 1);
    ::close(fd);
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(outer_.Read("secret.txt"), "outside");
}

INSTANTIATE_TEST_SUITE_P(BothWays, ConfinedOpenTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? std::string("Walk")
                                             : std::string("Openat2");
                         });

TEST(ConfinedRootTest, OpenThrowsForMissingDirectoryAndFilesAndMovesOwnership) {
  TempDir dir;
  dir.Write("file.txt", "x");
  EXPECT_THROW(ConfinedRoot::Open(dir.File("missing")), IoError);
  EXPECT_THROW(ConfinedRoot::Open(dir.File("file.txt")), IoError);
  ConfinedRoot none;
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(none.fd(), -1);
  EXPECT_LT(none.OpenBeneath("file.txt", O_RDONLY), 0);
  EXPECT_EQ(errno, EBADF);

  int fd = -1;
  {
    ConfinedRoot first = ConfinedRoot::Open(dir.path());
    fd = first.fd();
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ConfinedRoot second = std::move(first);
    EXPECT_FALSE(first.valid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(second.fd(), fd);
    const int file = second.OpenBeneath("file.txt", O_RDONLY);
    EXPECT_GE(file, 0);
    ::close(file);
  }
  // Gone with the last owner.
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

}  // namespace
}  // namespace corvane
