#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

#include "core/text.h"
#include "platform/linux/parsers.h"
#include "platform/processes.h"

namespace ztv {
namespace {

constexpr uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
constexpr size_t kCommLimit = 15;                   // TASK_COMM_LEN - 1

// Reads at most `limit` bytes of a (proc) file; nothing when it cannot be
// opened or read.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string data;
  char buf[4096];
  bool ok = true;
  while (data.size() < limit) {
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - data.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) return {};
  return data;
}

std::string BaseName(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ImagePath(int pid) {
  char buf[PATH_MAX + 1];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = ::readlink(link.c_str(), buf, PATH_MAX);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  // An image replaced or removed while the process runs.
  static const std::string kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() &&
      path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) path.resize(path.size() - kDeleted.size());
  }
  return path;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<ProcessEntry> ReadEntry(int pid) {
  std::string dir = "/proc/" + std::to_string(pid);
  auto statText = ReadSmallFile(dir + "/stat", 4096);
  if (!statText) return {};
  auto st = ParseProcStat(*statText);
  if (!st || st->pid != pid) return {};
  if (st->state == 'Z' || st->state == 'X' || st->state == 'x') return {};
  if (st->flags & kKernelThreadFlag) return {};

  ProcessEntry entry;
  entry.pid = pid;
  entry.startTime = st->startTime;
  entry.exePath = ImagePath(pid);
  entry.exeFile = st->comm;
  // The kernel keeps only the first 15 bytes of the start name; take the
  // whole name from the image or the arguments when one of them begins so.
  if (st->comm.size() >= kCommLimit) {
    std::vector<std::string> candidates;
    if (!entry.exePath.empty()) candidates.push_back(BaseName(entry.exePath));
    if (auto cmdline = ReadSmallFile(dir + "/cmdline", 8192)) {
      for (auto& arg : ParseCmdline(*cmdline, 2)) candidates.push_back(BaseName(arg));
    }
    for (auto& name : candidates) {
      if (name.size() > st->comm.size() && StartsWith(name, st->comm)) {
        entry.exeFile = name;
        break;
      }
    }
  }
  return entry;
}

bool ParsePid(const char* name, int& pid) {
  if (!*name) return false;
  long value = 0;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return false;
  }
  pid = static_cast<int>(value);
  return pid > 0;
}

}  // namespace

std::optional<std::vector<ProcessEntry>> EnumerateProcesses() {
  DIR* d = ::opendir("/proc");
  if (!d) return {};
  std::vector<int> pids;
  while (dirent* e = ::readdir(d)) {
    int pid = 0;
    if (ParsePid(e->d_name, pid)) pids.push_back(pid);
  }
  ::closedir(d);
  std::sort(pids.begin(), pids.end());
  std::vector<ProcessEntry> result;
  result.reserve(pids.size());
  for (int pid : pids) {
    // A process may end between the listing and the reading.
    if (auto entry = ReadEntry(pid)) result.push_back(std::move(*entry));
  }
  return result;
}

std::optional<ProcessEntry> ReadProcess(int pid) {
  if (pid <= 0) return {};
  return ReadEntry(pid);
}

bool ProcessAlive(int pid, uint64_t startTime) {
  if (pid <= 0) return false;
  auto statText = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!statText) return false;
  auto st = ParseProcStat(*statText);
  return st && st->pid == pid && st->startTime == startTime && st->state != 'Z' && st->state != 'X' &&
         st->state != 'x';
}

bool SignalProcess(int pid, uint64_t startTime, int signal) {
  if (!ProcessAlive(pid, startTime)) return false;
  return ::kill(pid, signal) == 0;
}

std::optional<std::string> ProcessEnvironmentValue(int pid, const std::string& name) {
  if (pid <= 0 || name.empty()) return {};
  auto environ = ReadSmallFile("/proc/" + std::to_string(pid) + "/environ", 1 << 20);
  if (!environ) return {};
  const std::string prefix = name + "=";
  size_t pos = 0;
  while (pos < environ->size()) {
    size_t end = environ->find('\0', pos);
    if (end == std::string::npos) end = environ->size();
    if (environ->compare(pos, prefix.size(), prefix) == 0) return environ->substr(pos + prefix.size(), end - pos - prefix.size());
    pos = end + 1;
  }
  return {};
}

bool ProcessEnvironmentReadable(int pid) {
  return pid > 0 && ReadSmallFile("/proc/" + std::to_string(pid) + "/environ", 1).has_value();
}

bool PathIsUnder(const std::string& path, const std::string& dir) {
  if (path.empty() || dir.empty()) return false;
  std::error_code ec;
  std::string p = std::filesystem::weakly_canonical(path, ec).string();
  if (ec) p = path;
  std::string d = std::filesystem::weakly_canonical(dir, ec).string();
  if (ec) d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  if (p.size() <= d.size()) return false;
  return SameText(p.substr(0, d.size()), d) && (d == "/" || p[d.size()] == '/');
}

bool SameProgramName(const std::string& fileName, const std::string& name) {
  std::string base = BaseName(fileName);
  auto dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  return SameText(base, name);
}

bool ProcessHasName(const ProcessEntry& process, const std::string& name) {
  if (name.empty()) return false;
  return SameProgramName(process.exeFile, name) ||
         (!process.exePath.empty() && SameProgramName(BaseName(process.exePath), name));
}

}  // namespace ztv
