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

}  // namespace
}  // namespace ztv
