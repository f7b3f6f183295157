#include "backup/file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(DeleteOrRename, DeletesPlainAndReadOnlyFilesAndSymlinks) {
  TempDir dir;
  EXPECT_TRUE(DeleteOrRename(dir / "missing"));
  WriteFile(dir / "f", "x");
  ::chmod((dir / "f").c_str(), 0444);
  EXPECT_TRUE(DeleteOrRename(dir / "f"));
  EXPECT_FALSE(fs::exists(dir / "f"));

  // A link is removed itself; its target stays untouched.
  WriteFile(dir / "outside/keep.txt", "keep");
  fs::create_symlink(dir / "outside/keep.txt", dir / "link");
  EXPECT_TRUE(DeleteOrRename(dir / "link"));
  EXPECT_FALSE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(ReadFile(dir / "outside/keep.txt"), "keep");
}

TEST(DeleteOrRename, MovesAsideWhatCannotBeDeleted) {
  TempDir dir;
  // A non-empty directory standing where a file is to be written cannot be
  // deleted as a file: it is moved aside under the next free name.
  WriteFile(dir / "blocked/inner.txt", "1");
  WriteFile(dir / "_delete_me0.$$$/other", "occupied");  // cannot be deleted either
  EXPECT_TRUE(DeleteOrRename(dir / "blocked"));
  EXPECT_FALSE(fs::exists(dir / "blocked"));
  EXPECT_EQ(ReadFile(dir / "_delete_me1.$$$/inner.txt"), "1");

  // A stale "_delete_me" file that can be deleted is reused.
  WriteFile(dir / "b2/x", "2");
  fs::remove_all(dir / "_delete_me0.$$$");
  WriteFile(dir / "_delete_me0.$$$", "stale");
  EXPECT_TRUE(DeleteOrRename(dir / "b2"));
  EXPECT_EQ(ReadFile(dir / "_delete_me0.$$$/x"), "2");
  EXPECT_EQ(DeleteMeName("/a/b/", 3), "/a/b/_delete_me3.$$$");
}

// Runs `body` as an unprivileged user when the tests run as root, so that
// permissions are enforced; returns the child's exit code.
template <typename F>
int AsUnprivileged(F body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(DeleteOrRename, FailsWithTheFileNameWhenNothingHelps) {
  TempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  WriteFile(dir / "locked/sub/f", "x");
  ::chmod((dir / "locked").c_str(), 0555);
  const std::string expected = "Не удается удалить или переименовать файл [" + (dir / "locked/sub") + "]";
  int rc = AsUnprivileged([&] {
    try {
      DeleteOrRename(dir / "locked/sub");
      return 1;
    } catch (const Exception& e) {
      return std::string(e.what()) == expected ? 0 : 2;
    }
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(fs::exists(dir / "locked/sub/f"));
}

TEST(ClearDirectory, EmptiesTreesWithoutFollowingLinks) {
  TempDir dir;
  WriteFile(dir / "x/a.txt", "a");
  WriteFile(dir / "x/sub/deep/b.txt", "b");
  WriteFile(dir / "x/.hidden", "h");
  WriteFile(dir / "x/ro.txt", "r");
  ::chmod((dir / "x/ro.txt").c_str(), 0444);
  WriteFile(dir / "xy/keep.txt", "keep");       // a sibling with a longer name
  WriteFile(dir / "target/keep.txt", "keep");
  fs::create_directory_symlink(dir / "target", dir / "x/link");

  EXPECT_TRUE(ClearDirectory(dir / "x", false));
  EXPECT_TRUE(fs::exists(dir / "x"));
  EXPECT_TRUE(fs::is_empty(dir / "x"));
  EXPECT_EQ(ReadFile(dir / "xy/keep.txt"), "keep");
  EXPECT_EQ(ReadFile(dir / "target/keep.txt"), "keep");

  EXPECT_TRUE(ClearDirectory(dir / "x/", true));
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_TRUE(ClearDirectory(dir / "missing", true));
}

}  // namespace
}  // namespace ztv
