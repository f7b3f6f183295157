#include "ops/dir_clean.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

namespace ztv {
namespace {

struct Walk {
  uint8_t options;
  uint32_t count = 0;
  bool failed = false;

  bool Stop() const { return failed && !(options & DeleteOptions::ContinueOnError); }

  void Clean(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
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
          failed = true;
      } else if (options & DeleteOptions::Recurse) {
        Clean(path);
        if ((options & DeleteOptions::RemoveSubDirs) && (!failed || (options & DeleteOptions::ContinueOnError))) {
          if (::rmdir(path.c_str()) == 0)
            ++count;
          else
            failed = true;
        }
      }
      if (Stop()) break;
    }
    ::closedir(d);
  }
};

}  // namespace

uint32_t DeleteDirContents(const std::string& dir, uint8_t options) {
  Walk walk{options};
  walk.Clean(DropTrailingSeparator(dir));
  return walk.failed ? (walk.count | kDeleteFailedBit) : walk.count;
}

bool IsDirectory(const std::string& path) { return DirectoryExists(path); }

}  // namespace ztv
