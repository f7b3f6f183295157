#include "db/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ztv {
namespace {

int OpenRetrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

bool IsFileLocked(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  int fd = OpenRetrying(path, O_RDWR);
  if (fd < 0) {
    // Not ours to write (the server's file, a read-only mount): the lock is
    // what counts, and it can be tried on a descriptor for reading too. A
    // file we may not even read tells nothing; the server's own count of
    // attachments decides then.
    if (errno != EACCES && errno != EPERM && errno != EROFS) return true;
    fd = OpenRetrying(path, O_RDONLY);
    if (fd < 0) return false;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  const bool locked = rc != 0;
  // Closing the descriptor releases a lock taken here.
  ::close(fd);
  return locked;
}

}  // namespace ztv
