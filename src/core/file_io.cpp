#include "core/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/errors.h"
#include "core/text.h"

namespace ztv {
namespace {

struct Fault {
  std::atomic<int64_t> count{0};
  std::atomic<int64_t> failAt{0};  // the count at which to fail; 0: never
  std::atomic<int> error{0};
};
Fault g_faults[3];

// Counts one operation of kind `op`; true (with errno set) when it is the
// one to fail.
bool Injected(FileOp op) {
  Fault& f = g_faults[static_cast<int>(op)];
  const int64_t n = ++f.count;
  const int64_t at = f.failAt.load();
  if (at == 0 || n != at) return false;
  errno = f.error.load();
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void InjectFileFault(FileOp op, int64_t nth, int error) {
  Fault& f = g_faults[static_cast<int>(op)];
  f.error = error;
  f.failAt = nth <= 0 ? 0 : f.count.load() + nth;
}

void ClearFileFaults() {
  for (Fault& f : g_faults) {
    f.failAt = 0;
    f.count = 0;
    f.error = 0;
  }
}

int64_t FileOpCount(FileOp op) { return g_faults[static_cast<int>(op)].count.load(); }

ssize_t FileWrite(int fd, const void* data, size_t n) {
  if (Injected(FileOp::Write)) return -1;
  for (;;) {
    const ssize_t r = ::write(fd, data, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

int FileSync(int fd) {
  if (Injected(FileOp::Sync)) return -1;
  return ::fsync(fd);
}

int FileRename(const std::string& from, const std::string& to) {
  if (Injected(FileOp::Rename)) return -1;
  return ::rename(from.c_str(), to.c_str());
}

std::string FileErrorText(int error) {
  const char* reason = nullptr;
  switch (error) {
    case ENOSPC: reason = "недостаточно места на диске"; break;
    case EDQUOT: reason = "превышена дисковая квота"; break;
    case EROFS: reason = "файловая система доступна только для чтения"; break;
    case EACCES:
    case EPERM: reason = "отказано в доступе"; break;
    case EIO: reason = "ошибка ввода-вывода"; break;
    case ENOENT: reason = "файл или каталог не найден"; break;
    case EFBIG: reason = "файл слишком велик"; break;
    default: break;
  }
  const std::string system = SystemErrorText(error);
  return reason ? std::string(reason) + " (" + system + ")" : system;
}

std::string WriteErrorMessage(const std::string& fileName, int error) {
  return Format("Ошибка записи в файл [%s]: %s", fileName, FileErrorText(error));
}

void WriteAll(int fd, const void* data, size_t n, const std::string& fileName) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = FileWrite(fd, p, n);
    if (w <= 0) throw Exception(WriteErrorMessage(fileName, w < 0 ? errno : ENOSPC));
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void RemoveStaleTemporaries(const std::string& path) {
  const std::string dir = FolderOf(path);
  const size_t slash = path.rfind('/');
  const std::string prefix = "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0)
      ::unlinkat(::dirfd(d), entry.c_str(), 0);
  }
  ::closedir(d);
}

std::string PartialFileName(const std::string& target) { return target + ".new"; }

TReplacement::TReplacement(std::string target) : target_(std::move(target)), partial_(PartialFileName(target_)) {
  // A partial file of an interrupted run is nobody's work any more.
  ::unlink(partial_.c_str());
}

TReplacement::~TReplacement() {
  if (!committed_) ::unlink(partial_.c_str());
}

void TReplacement::Prepare() {
  if (prepared_) return;
  const int fd = ::open(partial_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Exception(WriteErrorMessage(partial_, errno));
  struct stat old;
  if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // Owner first: a change of owner clears the special modes.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
      const int err = errno;
      ::close(fd);
      throw Exception(WriteErrorMessage(partial_, err));
    }
    ::fchmod(fd, old.st_mode & 07777);
  }
  if (FileSync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    throw Exception(WriteErrorMessage(partial_, err));
  }
  ::close(fd);
  prepared_ = true;
}

void TReplacement::Commit() {
  Prepare();
  if (FileRename(partial_, target_) != 0)
    throw Exception(Format("Не удается заменить файл [%s]: %s", target_, FileErrorText(errno)));
  committed_ = true;
  const int dir = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace ztv
