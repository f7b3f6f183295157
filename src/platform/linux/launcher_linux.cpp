#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

extern char** environ;

#include "core/text.h"
#include "platform/launcher.h"
#include "platform/linux/parsers.h"
#include "platform/linux/spawn.h"

namespace ztv {
namespace {

constexpr size_t kHeadSize = 256;

int CodeForErrno(int e) {
  switch (e) {
    case 0:
      return kLaunchStarted;
    case ENOENT:
      return kLaunchFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kLaunchPathNotFound;
    case EACCES:
    case EPERM:
    case ETXTBSY:
    case EISDIR:
      return kLaunchAccessDenied;
    case ENOEXEC:
    case ELIBBAD:
      return kLaunchBadFormat;
    case ENOMEM:
    case EAGAIN:
    case E2BIG:
    case EMFILE:
    case ENFILE:
      return kLaunchOutOfResources;
    default:
      return kLaunchNoAssociation;
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentDir(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return path;
  return std::string(buf) + "/" + path;
}

bool ReadHead(const std::string& path, std::string& head, int& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  char buf[kHeadSize];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  error = n < 0 ? errno : 0;
  ::close(fd);
  if (n < 0) return false;
  head.assign(buf, static_cast<size_t>(n));
  return true;
}

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The account's ids and groups; false when there is no such account.
bool LookUpAccount(const std::string& user, SpawnCredentials& credentials) {
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  credentials.uid = pw.pw_uid;
  credentials.gid = pw.pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(user.c_str(), pw.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(user.c_str(), pw.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  credentials.groups.assign(groups.begin(), groups.begin() + count);
  return true;
}

// The caller's environment with `extra` set on top.
std::vector<std::string> MergedEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [n, v] : extra) replaced = replaced || n == name;
    if (!replaced) result.push_back(std::move(entry));
  }
  for (const auto& [n, v] : extra) result.push_back(n + "=" + v);
  return result;
}

LaunchResult Start(const std::string& program, const std::vector<std::string>& args,
                   const LaunchOptions& options) {
  const std::string& directory = options.directory;
  if (program.empty()) return {kLaunchFileNotFound, 0};
  std::string path = program;
  if (path.find('/') == std::string::npos) {
    path = FindOnPath(program);
    if (path.empty()) return {kLaunchFileNotFound, 0};
  }
  // The program is named relative to the caller's directory, not to the
  // directory it is started in.
  path = Absolute(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int e = errno;
    if (e == ENOENT) return {IsDirectory(ParentDir(path)) ? kLaunchFileNotFound : kLaunchPathNotFound, 0};
    return {CodeForErrno(e), 0};
  }
  if (!S_ISREG(st.st_mode)) return {kLaunchAccessDenied, 0};
  if (!directory.empty() && !IsDirectory(directory)) return {kLaunchPathNotFound, 0};

  std::string head;
  int readError = 0;
  if (!ReadHead(path, head, readError)) return {CodeForErrno(readError), 0};
  bool executable = ::access(path.c_str(), X_OK) == 0;

  std::string exec = path;
  std::vector<std::string> argv;
  if (StartsWith(head, "#!") && !executable) {
    // A script unpacked without its execute bit runs through its
    // interpreter, as the kernel would run it.
    auto shebang = ParseShebang(head);
    if (!shebang) return {kLaunchBadFormat, 0};
    exec = shebang->interpreter;
    argv.push_back(shebang->interpreter);
    if (!shebang->argument.empty()) argv.push_back(shebang->argument);
  } else if (StartsWith(head, "MZ")) {
    std::string wine = FindOnPath("wine");
    if (wine.empty()) return {kLaunchBadFormat, 0};
    exec = wine;
    argv.push_back(wine);
  }
  argv.push_back(path);
  argv.insert(argv.end(), args.begin(), args.end());

  SpawnCredentials credentials;
  const bool otherUser = !options.user.empty();
  if (otherUser && !LookUpAccount(options.user, credentials)) return {kLaunchAccessDenied, 0};
  std::vector<std::string> environment;
  if (!options.environment.empty()) environment = MergedEnvironment(options.environment);
  int pid = 0;
  int e = SpawnDetached(exec, argv, directory, environment, otherUser ? &credentials : nullptr, pid);
  if (e != 0) return {CodeForErrno(e), 0};
  return {kLaunchStarted, pid};
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NamesFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class LinuxLauncher : public ProgramLauncher {
 public:
  LaunchResult Exec(const std::string& commandLine, int) override {
    std::string line = Trim(commandLine);
    if (line.empty()) return {kLaunchFileNotFound, 0};
    if (NamesFile(line)) return ztv::Start(line, {}, LaunchOptions{});
    if (line[0] == '"') {
      size_t close = line.find('"', 1);
      if (close == std::string::npos) return ztv::Start(line.substr(1), {}, LaunchOptions{});
      return ztv::Start(line.substr(1, close - 1), SplitParameters(line.substr(close + 1)), LaunchOptions{});
    }
    // Like the system's start call: the shortest prefix ending before a
    // blank that names a file is the program.
    for (size_t i = 1; i < line.size(); ++i) {
      if (IsBlank(line[i]) && !IsBlank(line[i - 1]) && NamesFile(line.substr(0, i)))
        return ztv::Start(line.substr(0, i), SplitParameters(line.substr(i + 1)), LaunchOptions{});
    }
    auto words = SplitParameters(line);
    std::vector<std::string> args(words.begin() + 1, words.end());
    return ztv::Start(words.front(), args, LaunchOptions{});
  }

  LaunchResult ShellOpen(const std::string& verb, const std::string& file, const std::string& parameters,
                         const std::string& directory, int) override {
    if (!verb.empty() && !SameText(verb, "open")) return {kLaunchNoAssociation, 0};
    LaunchOptions options;
    options.directory = directory;
    return ztv::Start(file, SplitParameters(parameters), options);
  }

  LaunchResult Start(const std::string& file, const std::vector<std::string>& args,
                     const LaunchOptions& options) override {
    return ztv::Start(file, args, options);
  }
};

}  // namespace

std::vector<std::string> SplitParameters(const std::string& parameters) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : parameters) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (IsBlank(c) && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

bool EnsureExecutable(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = mode | S_IXUSR;
  if (mode & S_IRGRP) wanted |= S_IXGRP;
  if (mode & S_IROTH) wanted |= S_IXOTH;
  if (wanted != mode && ::chmod(path.c_str(), wanted) != 0) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

ProgramLauncher& SystemLauncher() {
  static LinuxLauncher launcher;
  return launcher;
}

}  // namespace ztv
