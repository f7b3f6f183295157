#include "backup/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "core/text.h"
#include "platform/paths.h"

namespace ztv {
namespace {

// Bounds the search for a free "_delete_me" name.
constexpr int kMaxDeleteMe = 100000;

bool EntryExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A file without any write permission stands for a read-only file: the
// attribute is cleared before deleting, as the backup does.
void ClearReadOnly(const std::string& path, const struct stat& st) {
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

// Deletes a file or symbolic link (never a directory).
bool DeleteEntry(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  ClearReadOnly(path, st);
  return ::unlink(path.c_str()) == 0;
}

}  // namespace

std::string DeleteMeName(const std::string& dir, int n) {
  return JoinPath(DropTrailingSeparator(dir), Format("_delete_me%d.$$$", n));
}

bool DeleteOrRename(const std::string& fileName) {
  // The usual cases take one call: nothing there, or a file that goes (a
  // read-only one too: deleting needs no write permission on the file).
  if (::unlink(fileName.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  if (!EntryExists(fileName)) return true;
  if (DeleteEntry(fileName)) return true;

  const std::string dir = ExtractFileDir(fileName);
  std::string target;
  for (int n = 0; n < kMaxDeleteMe; ++n) {
    std::string candidate = DeleteMeName(dir, n);
    if (!EntryExists(candidate) || DeleteEntry(candidate)) {
      target = candidate;
      break;
    }
  }
  if (!target.empty() && ::rename(fileName.c_str(), target.c_str()) == 0) return true;
  if (SameText(fileName, RunningProgramPath())) return false;
  throw Exception(Format("Не удается удалить или переименовать файл [%s]", fileName));
}

bool ClearDirectory(const std::string& dirIn, bool removeDir) {
  bool result = true;
  const std::string dir = DropTrailingSeparator(dirIn);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return true;  // nothing to enumerate: nothing to do
  struct stat self;
  if (::fstat(dirfd(d), &self) == 0 && (self.st_mode & S_IWUSR) == 0)
    ::fchmod(dirfd(d), (self.st_mode & 07777) | S_IWUSR | S_IXUSR);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = JoinPath(dir, name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      result = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!ClearDirectory(path, true)) result = false;
    } else {
      ClearReadOnly(path, st);
      if (::unlink(path.c_str()) != 0) result = false;
    }
  }
  ::closedir(d);
  if (removeDir && ::rmdir(dir.c_str()) != 0) result = false;
  return result;
}

namespace {

int64_t UsageBelow(int dirFd, dev_t device) {
  DIR* d = ::fdopendir(dirFd);
  if (!d) {
    ::close(dirFd);
    return 0;
  }
  int64_t total = 0;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device) continue;
    total += static_cast<int64_t>(st.st_blocks) * 512;
    if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) total += UsageBelow(sub, device);
    }
  }
  ::closedir(d);
  return total;
}

}  // namespace

int64_t DiskUsage(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return 0;
  }
  return UsageBelow(fd, st.st_dev);
}

}  // namespace ztv
