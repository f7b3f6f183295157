#include "ops/dir_clean.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace ztv {
namespace {

struct Walk {
  uint8_t options = 0;
  uint32_t count = 0;
  bool failed = false;
  std::string firstFailure;

  void Fail(const std::string& path) {
    if (!failed) firstFailure = path;
    failed = true;
  }

  bool Stop() const { return failed && !(options & DeleteOptions::ContinueOnError); }

  void Clean(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
      // What cannot be listed cannot be emptied; a directory that is not
      // there has nothing to delete.
      if (errno != ENOENT) Fail(dir);
      return;
    }
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = JoinPath(dir, name);
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) continue;
      if ((options & DeleteOptions::ResetAttributes) && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
        ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
      if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) == 0)
          ++count;
        else
          Fail(path);
      } else if (options & DeleteOptions::Recurse) {
        Clean(path);
        if ((options & DeleteOptions::RemoveSubDirs) && (!failed || (options & DeleteOptions::ContinueOnError))) {
          if (::rmdir(path.c_str()) == 0)
            ++count;
          else
            Fail(path);
        }
      }
      if (Stop()) break;
    }
    ::closedir(d);
  }
};

}  // namespace

uint32_t DeleteDirContents(const std::string& dir, uint8_t options, std::string* firstFailure) {
  Walk walk;
  walk.options = options;
  walk.Clean(DropTrailingSeparator(dir));
  if (firstFailure) *firstFailure = walk.firstFailure;
  return walk.failed ? (walk.count | kDeleteFailedBit) : walk.count;
}

bool IsDirectory(const std::string& path) { return DirectoryExists(path); }

}  // namespace ztv
