#include "platform/linux/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace ztv {
namespace {

// Records sent from the forked processes to the caller over a pipe: a tag
// and a value, 32 bits each.
constexpr int32_t kTagPid = 1;
constexpr int32_t kTagError = 2;

void SendRecord(int fd, int32_t tag, int32_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<unsigned char>(static_cast<uint32_t>(tag) >> (8 * i));
    bytes[4 + i] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
  }
  // Eight bytes are written at once on a pipe; nothing to do on failure.
  ssize_t n;
  do {
    n = ::write(fd, bytes, sizeof bytes);
  } while (n < 0 && errno == EINTR);
}

int32_t ReadI32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return static_cast<int32_t>(v);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Runs in the forked grandchild: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char* const* argv, const char* directory, char* const* envp,
                            const SpawnCredentials* credentials, const gid_t* groups, int reportFd) {
  // The program leads a session of its own, as a daemon does. Servers rely
  // on it: the Firebird server, started inside another session, often lets
  // SIGTERM go unanswered for a minute.
  ::setsid();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);

  int devnull = ::open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    if (devnull > 2) ::close(devnull);
  }
  if (credentials) {
    // Groups first: after the user id changes they can no longer be set.
    if (::setgroups(credentials->groups.size(), groups) != 0 || ::setgid(credentials->gid) != 0 ||
        ::setuid(credentials->uid) != 0) {
      SendRecord(reportFd, kTagError, errno);
      _exit(127);
    }
  }
  if (directory && ::chdir(directory) != 0) {
    SendRecord(reportFd, kTagError, errno);
    _exit(127);
  }
#ifdef SYS_close_range
  // Descriptors the caller left inheritable are not the program's business.
  ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
  ::execve(program, argv, envp ? envp : environ);
  SendRecord(reportFd, kTagError, errno);
  _exit(127);
}

}  // namespace

int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::string& directory, int& pid) {
  return SpawnDetached(program, args, directory, {}, nullptr, pid);
}

int SpawnDetached(const std::string& program, const std::vector<std::string>& args, const std::string& directory,
                  const std::vector<std::string>& environment, const SpawnCredentials* credentials, int& pid) {
  pid = 0;
  std::vector<char*> envp;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::vector<gid_t> groups;
  if (credentials) groups.assign(credentials->groups.begin(), credentials->groups.end());
  // Everything the forked processes need is prepared before the fork.
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const char* dir = directory.empty() ? nullptr : directory.c_str();

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  pid_t middle = ::fork();
  if (middle < 0) {
    int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return e;
  }
  if (middle == 0) {
    ::close(fds[0]);
    pid_t child = ::fork();
    if (child < 0) {
      SendRecord(fds[1], kTagError, errno);
      _exit(1);
    }
    if (child == 0)
      ExecChild(program.c_str(), argv.data(), dir, environment.empty() ? nullptr : envp.data(), credentials,
                groups.data(), fds[1]);
    SendRecord(fds[1], kTagPid, child);
    _exit(0);
  }
  ::close(fds[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }

  // The pipe reaches end of file when the program has been executed (the
  // descriptor closes on exec) or has failed.
  std::string data;
  unsigned char buf[64];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (data.size() < 64) data.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  ::close(fds[0]);

  int error = 0;
  int childPid = 0;
  for (size_t pos = 0; pos + 8 <= data.size(); pos += 8) {
    auto p = reinterpret_cast<const unsigned char*>(data.data() + pos);
    int32_t tag = ReadI32(p), value = ReadI32(p + 4);
    if (tag == kTagPid) childPid = value;
    if (tag == kTagError && error == 0) error = value != 0 ? value : EIO;
  }
  if (error != 0) return error;
  if (childPid <= 0) return ECHILD;
  pid = childPid;
  return 0;
}

CapturedRun RunCaptured(const std::vector<std::string>& args, int timeoutMs, size_t outputLimit) {
  CapturedRun run;
  if (args.empty()) {
    run.spawnError = EINVAL;
    return run;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    run.spawnError = errno;
    return run;
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    run.spawnError = errno;
    CloseFd(outPipe[0]);
    CloseFd(outPipe[1]);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  int rc = ::posix_spawnp(&child, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  CloseFd(outPipe[1]);
  CloseFd(errPipe[1]);
  if (rc != 0) {
    run.spawnError = rc;
    CloseFd(outPipe[0]);
    CloseFd(errPipe[0]);
    return run;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* sinks[2] = {&run.out, &run.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      run.timedOut = true;
      ::kill(child, SIGKILL);
      break;
    }
    pollfd pfds[2];
    int n = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0) continue;
      pfds[n].fd = fds[i];
      pfds[n].events = POLLIN;
      pfds[n].revents = 0;
      which[n++] = i;
    }
    int ready = ::poll(pfds, static_cast<nfds_t>(n), static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      ::kill(child, SIGKILL);
      break;
    }
    for (int k = 0; k < n; ++k) {
      if (!(pfds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int i = which[k];
      char buf[4096];
      ssize_t got = ::read(fds[i], buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        CloseFd(fds[i]);
        continue;
      }
      size_t room = outputLimit > sinks[i]->size() ? outputLimit - sinks[i]->size() : 0;
      sinks[i]->append(buf, std::min(room, static_cast<size_t>(got)));
    }
  }
  CloseFd(fds[0]);
  CloseFd(fds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

std::string FindOnPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry stands for the current directory.
    const std::string candidate = (end == pos ? std::string(".") : dirs.substr(pos, end - pos)) + "/" + name;
    pos = end + 1;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

}  // namespace ztv
