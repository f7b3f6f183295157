#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "core/text.h"
#include "platform/paths.h"

namespace ztv {

const char kPathSeparator = '/';

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

std::string DropTrailingSeparator(const std::string& path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
    return path.substr(0, path.size() - 1);
  return path;
}

std::string ExtractFileDir(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return {};
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string ExtractFileName(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string StoredToNative(const std::string& stored) { return ReplaceAll(stored, "\\", "/"); }

std::string NativeToStored(const std::string& native) { return ReplaceAll(native, "/", "\\"); }

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ResolvePathCase(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) == 0) return path;
  // Walk the components; for each missing one look for a case-insensitive
  // match in its parent directory.
  std::string result = path[0] == '/' ? "/" : "";
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    auto join = [&](const std::string& name) {
      if (result.empty()) return name;
      return result.back() == '/' ? result + name : result + "/" + name;
    };
    std::string candidate = join(part);
    if (::lstat(candidate.c_str(), &st) != 0) {
      std::string found;
      std::string dir = result.empty() ? "." : result;
      if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
          if (SameText(e->d_name, part)) {
            found = e->d_name;
            break;
          }
        }
        ::closedir(d);
      }
      if (found.empty()) return path;
      candidate = join(found);
    }
    result = candidate;
  }
  return result;
}

void SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::string RunningProgramPath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace ztv
