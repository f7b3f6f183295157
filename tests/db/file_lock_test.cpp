// Whether a file counts as held: by a whole-file lock of another process (the
// kind the database engine takes), by a file we may not open for writing.
#include "db/file_lock.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include "support/temp_dir.h"

namespace ztv {
namespace {

// A child process that holds `path` with the given flock mode until told.
class LockHolder {
 public:
  LockHolder(const std::string& path, int mode) {
    int ready[2], release[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(release), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open(path.c_str(), O_RDWR);
      const char ok = (fd >= 0 && ::flock(fd, mode) == 0) ? '1' : '0';
      (void)!::write(ready[1], &ok, 1);
      char c;
      (void)!::read(release[0], &c, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char ok = '0';
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    ::close(ready[0]);
  }
  ~LockHolder() {
    ::close(release_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

TEST(IsFileLocked, ExclusiveOrSharedLockOfAnotherHolderCounts) {
  test::TempDir dir;
  const std::string path = dir / "base.gdb";
  test::WriteFile(path, "data");
  EXPECT_FALSE(IsFileLocked(path));
  {
    LockHolder holder(path, LOCK_EX);
    EXPECT_TRUE(IsFileLocked(path));
  }
  EXPECT_FALSE(IsFileLocked(path));
  {
    // The classic server variants hold their databases shared.
    LockHolder holder(path, LOCK_SH);
    EXPECT_TRUE(IsFileLocked(path));
  }
  // The check itself leaves no lock behind.
  EXPECT_FALSE(IsFileLocked(path));
  EXPECT_EQ(test::ReadFile(path), "data");
}

TEST(IsFileLocked, MissingFileIsNotLockedAndAFolderCannotBeOpenedForWriting) {
  test::TempDir dir;
  EXPECT_FALSE(IsFileLocked(dir / "missing.gdb"));
  EXPECT_TRUE(IsFileLocked(dir.Path()));
}

// Runs IsFileLocked as an account that may read but not write the file (or
// not even read it), the way an administrator who is not the server's user
// sees the server's database. 1 locked, 0 not, -1 the check could not run.
int LockedAsNobody(const std::string& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::_exit(IsFileLocked(path) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1 ? WEXITSTATUS(status) : -1;
}

TEST(IsFileLocked, AFileWeMayNotWriteIsJudgedByItsLockAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to take another account";
  test::TempDir dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  const std::string path = dir / "base.gdb";
  test::WriteFile(path, "data");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(LockedAsNobody(path), 0);
  {
    LockHolder holder(path, LOCK_EX);
    EXPECT_EQ(LockedAsNobody(path), 1);
  }
  // Not even readable: nothing can be told, so it is not taken for locked.
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(LockedAsNobody(path), 0);
}

}  // namespace
}  // namespace ztv
