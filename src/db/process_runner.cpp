#include "db/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"
#include "core/text.h"

extern char** environ;

namespace ztv {

void Win32ErrorText(const std::string& Msg, int errorCode, bool RaiseIt, std::string& Text) {
  std::string text = Format("%s Ошибка: %s", Msg, SystemErrorText(errorCode));
  if (RaiseIt) throw Exception(text);
  Text = std::move(text);
}

void Win32ErrorText(const std::string& Msg, bool RaiseIt, std::string& Text) {
  Win32ErrorText(Msg, LastSystemError(), RaiseIt, Text);
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = commandLine.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (true) {
    while (i < n && blank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(commandLine[i]))) {
      if (commandLine[i] == '\\') {
        size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && commandLine[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
          // An even count leaves the quote to the grouping below.
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (commandLine[i] == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          // "" inside quotes is one literal quote.
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += commandLine[i++];
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Both ends close on exec; the child gets the write end through dup2 only.
bool CreatePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  // Reads never block: the loop reads only what the pipe holds.
  const int flags = ::fcntl(fds[0], F_GETFL);
  if (flags >= 0) ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
  return true;
}

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  posix_spawn_file_actions_t* Get() { return &actions_; }
  bool Ok() const { return ok_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

class SpawnAttr {
 public:
  SpawnAttr() { ok_ = posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttr() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  posix_spawnattr_t* Get() { return &attr_; }
  bool Ok() const { return ok_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_;
};

// Kills and reaps a child that is still running when the runner leaves,
// whether normally or by an error.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ~ChildGuard() {
    if (running_) Terminate();
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

  // Asks whether the child still runs; reaps it when it has ended.
  bool Query() {
    if (!running_) return false;
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == 0) return true;
    running_ = false;
    if (result == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    } else {
      // Reaped elsewhere (the caller ignores SIGCHLD): the code is lost.
      exitCode_ = -1;
    }
    return false;
  }

  bool Running() const { return running_; }
  int ExitCode() const { return exitCode_; }

  // The child leads its own process group; the whole group goes, so helper
  // processes it started do not outlive it.
  void Terminate() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    running_ = false;
    exitCode_ = TProcessRunner::kStillActive;
  }

 private:
  pid_t pid_;
  bool running_ = true;
  int exitCode_ = TProcessRunner::kStillActive;
};

struct Stream {
  Fd readEnd;
  Fd writeEnd;
  std::string pending;
  size_t peeked = 0;
  const TProcessRunner::TLineEvent* event = nullptr;

  bool Captured() const { return event != nullptr; }

  void Peek() {
    peeked = 0;
    if (!readEnd.Valid()) return;
    int count = 0;
    if (::ioctl(readEnd.Get(), FIONREAD, &count) == 0 && count > 0) peeked = static_cast<size_t>(count);
  }

  void Emit(std::string line) const {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    (*event)(IsValidUtf8(line) ? line : Cp1251ToUtf8(line));
  }

  // Reads what the last peek counted, 21 bytes at a time; after each read
  // one complete line is cut from the pending text and passed on.
  void ReadPass() {
    if (!readEnd.Valid()) return;
    size_t readThisPass = 0;
    char buffer[TProcessRunner::kReadSize];
    while (readThisPass < peeked) {
      const ssize_t got = ::read(readEnd.Get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      readThisPass += static_cast<size_t>(got);
      pending.append(buffer, static_cast<size_t>(got));
      const size_t lineEnd = pending.find('\n');
      if (lineEnd != std::string::npos) {
        std::string line = pending.substr(0, lineEnd);
        pending.erase(0, lineEnd + 1);
        Emit(std::move(line));
      }
    }
  }

  // The pipe is empty: everything pending is passed on, line by line, the
  // last line also without its line end.
  void Flush() {
    while (!pending.empty()) {
      const size_t lineEnd = pending.find('\n');
      std::string line;
      if (lineEnd == std::string::npos) {
        line.swap(pending);
      } else {
        line = pending.substr(0, lineEnd);
        pending.erase(0, lineEnd + 1);
      }
      Emit(std::move(line));
    }
  }
};

}  // namespace

void TProcessRunner::Execute(uint16_t ShowWindow, const std::string& CommandLine, uint32_t TimeoutSec) {
  exitCode_ = kStillActive;
  std::string unused;
  Stream out;
  Stream err;
  if (OnStdOutput) out.event = &OnStdOutput;
  if (OnStdError) err.event = &OnStdError;
  if (out.Captured() && !CreatePipe(out.readEnd, out.writeEnd)) {
    Win32ErrorText("Не удается создать pipe для StdOutput.", true, unused);
  }
  if (err.Captured() && !CreatePipe(err.readEnd, err.writeEnd)) {
    Win32ErrorText("Не удается создать pipe для StdError.", true, unused);
  }

  const std::vector<std::string> args = SplitCommandLine(CommandLine);
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const std::string kCannotStart = "Не удается создать требуемый процесс.";
  SpawnActions actions;
  SpawnAttr attr;
  if (!actions.Ok() || !attr.Ok()) Win32ErrorText(kCannotStart, ENOMEM, true, unused);
  int rc = posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
  for (auto [stream, target] : {std::pair{&out, 1}, std::pair{&err, 2}}) {
    if (rc != 0) break;
    rc = stream->Captured() ? posix_spawn_file_actions_adddup2(actions.Get(), stream->writeEnd.Get(), target)
                            : posix_spawn_file_actions_addopen(actions.Get(), target, "/dev/null", O_WRONLY, 0);
  }
  // Whatever else the caller has open stays with the caller.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
  // Hidden: a session of its own, so no terminal; otherwise a process group
  // of its own in the caller's session. Either way the child leads a group.
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  flags |= ShowWindow == 0 ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  if (rc == 0) rc = posix_spawnattr_setflags(attr.Get(), flags);
  if (rc == 0) rc = posix_spawnattr_setpgroup(attr.Get(), 0);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr.Get(), &noSignals);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(attr.Get(), &allSignals);
  if (rc != 0) Win32ErrorText(kCannotStart, rc, true, unused);
  if (args.empty()) Win32ErrorText(kCannotStart, ENOENT, true, unused);

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (Environment.count(entry.substr(0, eq)) == 0) envText.push_back(entry);
  }
  for (const auto& [name, value] : Environment) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawnp(&pid, argv[0], actions.Get(), attr.Get(), argv.data(), envp.data());
  if (rc != 0) Win32ErrorText(kCannotStart, rc, true, unused);
  ChildGuard child(pid);
  // Only the child writes into the pipes now.
  out.writeEnd.Reset();
  err.writeEnd.Reset();

  const int64_t start = clock_->NowMs();
  out.Peek();
  err.Peek();
  while (true) {
    out.ReadPass();
    err.ReadPass();
    const bool running = child.Query();
    clock_->Sleep(kPollMs);
    out.Peek();
    err.Peek();
    if (out.peeked == 0 && !out.pending.empty()) out.Flush();
    if (err.peeked == 0 && !err.pending.empty()) err.Flush();
    if (OnPoll) OnPoll(clock_->NowMs() - start);
    if (!running && out.pending.empty() && err.pending.empty() && out.peeked == 0 && err.peeked == 0) break;
    const int64_t elapsedSec = (clock_->NowMs() - start) / 1000;
    if (elapsedSec > static_cast<int64_t>(TimeoutSec)) break;
  }
  if (child.Running()) child.Terminate();
  exitCode_ = child.ExitCode();
}

}  // namespace ztv
