#include "control_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/text.h"
#include "platform/launcher.h"
#include "platform/linux/spawn.h"

namespace ztv::test {
namespace {

// Behaves like systemctl for the verbs the service layer uses (show, start,
// stop, is-active), keeping each unit in files of $FAKE_SYSTEMCTL_DIR:
//   U.state    ActiveState; without it the unit does not exist
//   U.load     LoadState when it is not "loaded" (masked units refuse start)
//   U.pending  start and stop leave the unit activating / deactivating
//   U.settle   a pending unit settles after this many more queries
//   U.fail     start ends in "failed"
//   U.exec     command line that start runs in the background (pid in
//              U.pid) and stop ends with SIGTERM
// Every call is appended to calls.log as "verb unit".
constexpr const char* kFakeSystemctl = R"SH(#!/bin/sh
dir=${FAKE_SYSTEMCTL_DIR:?}
verb=
units=
props=
while [ $# -gt 0 ]; do
  case "$1" in
    --no-block|--value|--system|--quiet|-q) ;;
    --property=*) props="$props ${1#--property=}" ;;
    -p) shift; props="$props $1" ;;
    --) shift; units="$units $*"; break ;;
    -*) echo "systemctl: unrecognized option '$1'" >&2; exit 1 ;;
    *) if [ -z "$verb" ]; then verb=$1; else units="$units $1"; fi ;;
  esac
  shift
done
props=$(echo "$props" | tr ',' ' ')
unit_of() { case "$1" in *.service|*.socket|*.target|*.mount|*.timer|*.path|*.slice|*.scope) echo "$1" ;; *) echo "$1.service" ;; esac; }
settle() {
  f="$dir/$1"
  [ -f "$f.settle" ] || return 0
  n=$(cat "$f.settle")
  if [ "$n" -le 0 ]; then
    case "$(cat "$f.state")" in
      activating) echo active >"$f.state" ;;
      deactivating) echo inactive >"$f.state" ;;
    esac
    rm -f "$f.settle"
  else
    echo $((n - 1)) >"$f.settle"
  fi
}
load_state() {
  if [ ! -f "$dir/$1.state" ]; then echo not-found
  elif [ -f "$dir/$1.load" ]; then cat "$dir/$1.load"
  else echo loaded; fi
}
rc=0
for raw in $units; do
  u=$(unit_of "$raw")
  f="$dir/$u"
  echo "$verb $u" >>"$dir/calls.log"
  case "$verb" in
    show)
      [ -f "$f.state" ] && settle "$u"
      for p in ${props:-LoadState ActiveState}; do
        case "$p" in
          LoadState) echo "LoadState=$(load_state "$u")" ;;
          ActiveState) if [ -f "$f.state" ]; then echo "ActiveState=$(cat "$f.state")"; else echo "ActiveState=inactive"; fi ;;
          *) echo "$p=" ;;
        esac
      done ;;
    is-active)
      if [ -f "$f.state" ]; then s=$(cat "$f.state"); else s=inactive; fi
      echo "$s"; [ "$s" = active ] || rc=3 ;;
    start)
      l=$(load_state "$u")
      if [ "$l" = not-found ]; then echo "Failed to start $u: Unit $u not found." >&2; rc=5; continue; fi
      if [ "$l" = masked ]; then echo "Failed to start $u: Unit $u is masked." >&2; rc=1; continue; fi
      [ "$(cat "$f.state")" = active ] && continue
      if [ -f "$f.pending" ]; then echo activating >"$f.state"; continue; fi
      if [ -f "$f.fail" ]; then echo failed >"$f.state"; continue; fi
      if [ -f "$f.exec" ]; then
        $(cat "$f.exec") </dev/null >/dev/null 2>&1 &
        echo $! >"$f.pid"
      fi
      echo active >"$f.state" ;;
    stop)
      if [ "$(load_state "$u")" = not-found ]; then echo "Failed to stop $u: Unit $u not loaded." >&2; rc=5; continue; fi
      if [ -f "$f.pending" ]; then echo deactivating >"$f.state"; continue; fi
      if [ -f "$f.pid" ]; then
        pid=$(cat "$f.pid")
        kill -TERM "$pid" 2>/dev/null
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.02; i=$((i + 1)); done
        rm -f "$f.pid"
      fi
      echo inactive >"$f.state" ;;
    *) echo "Unknown command verb $verb." >&2; exit 1 ;;
  esac
done
exit $rc
)SH";

std::string ReadCmdlineArg0(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string arg0;
  std::getline(in, arg0, '\0');
  return arg0;
}

void WriteText(const std::string& path, const std::string& text) { WriteFile(path, text); }

}  // namespace

void ScaledClock::Sleep(int64_t milliseconds) {
  FakeClock::Sleep(milliseconds);
  int64_t real = milliseconds / scale_;
  if (real < 1 && milliseconds > 0) real = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(real));
}

void CappedClock::Sleep(int64_t milliseconds) {
  FakeClock::Sleep(milliseconds);
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(milliseconds, cap_)));
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) {
    had_ = true;
    old_ = old;
  }
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

ProcessTestLock::ProcessTestLock() {
  fd_ = ::open("/tmp/ztv-control-processes.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

ProcessTestLock::~ProcessTestLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool WaitUntilGone(int pid, uint64_t startTime, int timeoutMs) {
  return WaitFor([&] { return !ProcessAlive(pid, startTime); }, timeoutMs);
}

void KillProcessesUnder(const std::string& dir) {
  std::string prefix = dir + "/";
  auto processes = EnumerateProcesses();
  if (!processes) return;
  for (const auto& p : *processes) {
    if (ReadCmdlineArg0(p.pid).compare(0, prefix.size(), prefix) != 0) continue;
    SignalProcess(p.pid, p.startTime, SIGKILL);
    if (!WaitUntilGone(p.pid, p.startTime, 5000)) ADD_FAILURE() << "process " << p.pid << " did not end";
  }
}

namespace {

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

bool IsolateProcesses() {
  const char* off = std::getenv("ZTV_TEST_NO_ISOLATION");
  if (off && *off && std::string(off) != "0") return false;
  if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return false;  // not allowed here: run as we are
  std::fflush(nullptr);
  // The first child is process 1 of the new space.
  const pid_t init = ::fork();
  if (init < 0) {
    std::perror("fork");
    std::_Exit(1);
  }
  if (init > 0) {
    int status = 0;
    while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    std::_Exit(ExitStatusOf(status));
  }
  // Process 1: dies with the program that started it (taking every process
  // of the space with it), shows its own /proc, and reaps every orphan
  // until the test program has ended.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    std::perror("mounting a private /proc");
    std::_Exit(1);
  }
  const pid_t test = ::fork();
  if (test < 0) {
    std::perror("fork");
    std::_Exit(1);
  }
  if (test == 0) return true;
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid == test) std::_Exit(ExitStatusOf(status));
    if (pid < 0 && errno != EINTR) std::_Exit(1);
  }
}

bool NoForeignProcess(const std::string& name) {
  const int count = CountNamed(name);
  EXPECT_EQ(count, 0) << "a program named \"" << name
                      << "\" runs outside this test; the code under test would take it for its own (run the "
                         "tests as root so that they get a process space of their own)";
  return count == 0;
}

bool LoopbackAccepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

namespace {

const char* kFirebirdLibRoot = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
const char* kFirebirdSecurityDb = "/var/lib/firebird/3.0/system/security3.fdb";
const char* kFirebirdPassword = "tulipwood";

std::string UserName() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw ? pw->pw_name : "root";
}

void ChownToFirebird(const std::string& path) {
  const passwd* fb = ::getpwnam("firebird");
  if (!fb) return;
  namespace fs = std::filesystem;
  EXPECT_EQ(::lchown(path.c_str(), fb->pw_uid, fb->pw_gid), 0) << path;
  if (!fs::is_directory(fs::symlink_status(path))) return;
  for (const auto& e : fs::recursive_directory_iterator(path)) {
    EXPECT_EQ(::lchown(e.path().c_str(), fb->pw_uid, fb->pw_gid), 0) << e.path();
  }
}

std::string FirebirdKeyWith(const std::string& dir, const std::string& values) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Firebird Project\\Firebird Server\\Instances]\n\"DefaultInstance\"=\"" +
         dir + "\"\n" + values + "\n";
}

std::string RootConf(int port, const std::string& root) {
  return "RemoteBindAddress = 127.0.0.1\nRemoteServicePort = " + std::to_string(port) +
         "\nSecurityDatabase = " + root + "/security3.fdb\n";
}

}  // namespace

std::string FirebirdSandbox::Unavailable() {
  for (const char* file : {"/usr/sbin/firebird", "/usr/sbin/fbguard", kFirebirdLibRoot})
    if (!std::filesystem::exists(file)) return "the Firebird 3 server (firebird3.0-server) is not installed";
  if (FindOnPath("fbsvcmgr").empty() || FindOnPath("isql-fb").empty())
    return "fbsvcmgr and isql-fb (firebird3.0-utils) are not installed";
  if (::access(kFirebirdSecurityDb, R_OK) != 0) return std::string(kFirebirdSecurityDb) + " cannot be read";
  if (!::getpwnam("firebird")) return "the account firebird is missing";
  if (::geteuid() != 0) return "the server is started as user firebird, which needs root";
  if (FindOnPath("runuser").empty()) return "runuser is missing";
  return "";
}

FirebirdSandbox::FirebirdSandbox(const TempDir& dir, const std::string& name)
    : root_(dir / (name + ".root")),
      lock_(dir / (name + ".lock")),
      data_(dir / (name + ".data")),
      port_(FreeLoopbackPort()) {
  namespace fs = std::filesystem;
  EXPECT_GT(port_, 0) << "no free loopback port";
  EXPECT_FALSE(Accepts()) << "port " << port_ << " is taken";
  // The server runs as user firebird: the test's folder must be open to it.
  ::chmod(dir.Path().c_str(), 0755);
  fs::create_directories(root_);
  fs::create_directories(lock_);
  fs::create_directories(data_);
  for (const char* entry : {"UDF", "firebird.msg", "intl", "lib", "plugins", "plugins.conf"}) {
    const std::string from = std::string(kFirebirdLibRoot) + "/" + entry;
    if (fs::exists(from)) fs::create_symlink(from, root_ + "/" + entry);
  }
  fs::copy_file(kFirebirdSecurityDb, root_ + "/security3.fdb");
  WriteText(root_ + "/firebird.conf", RootConf(port_, root_));
  WriteText(root_ + "/databases.conf",
            "security.db = " + root_ + "/security3.fdb\n{\n  RemoteAccess = false\n}\n");
  for (const auto& d : {root_, lock_, data_}) ChownToFirebird(d);
  // The copy gets the tests' SYSDBA password, whatever the machine's is.
  WriteText(dir / (name + ".password.sql"),
            std::string("create or alter user SYSDBA password '") + kFirebirdPassword + "';\ncommit;\n");
  auto run = RunCaptured({"runuser", "-u", "firebird", "--", "env", "FIREBIRD=" + root_, "FIREBIRD_LOCK=" + lock_,
                          "isql-fb", "-q", "-user", "SYSDBA", "-i", dir / (name + ".password.sql"),
                          root_ + "/security3.fdb"},
                         60000);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out + run.err, "");
}

FirebirdSandbox::~FirebirdSandbox() {
  // Guardians first, so that nothing starts the server again.
  for (const auto& exe : {GuardianExe(), ServerExe()}) {
    for (const auto& p : Processes(exe)) {
      SignalProcess(p.pid, p.startTime, SIGKILL);
      if (!WaitUntilGone(p.pid, p.startTime, 5000)) ADD_FAILURE() << "process " << p.pid << " did not end";
    }
  }
}

std::string FirebirdSandbox::RegistryKey() const {
  return FirebirdKeyWith(Dir(), "\"RootDirectory\"=\"" + root_ + "\"\n\"LockDirectory\"=\"" + lock_ + "\"\n");
}

bool FirebirdSandbox::StartLikeTheDistribution() const {
  auto run = RunCaptured({"runuser", "-u", "firebird", "--", "env", "FIREBIRD=" + root_, "FIREBIRD_LOCK=" + lock_,
                          GuardianExe(), "-daemon", "-forever"},
                         30000);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return run.exitCode == 0 && WaitUntilAccepting(20000);
}

std::vector<ProcessEntry> FirebirdSandbox::Processes(const std::string& exe) const {
  std::vector<ProcessEntry> found;
  auto all = EnumerateProcesses();
  if (!all) return found;
  for (const auto& p : *all) {
    if (p.exePath != exe) continue;
    if (ProcessEnvironmentValue(p.pid, "FIREBIRD").value_or("") == root_) found.push_back(p);
  }
  return found;
}

bool FirebirdSandbox::WaitUntilAccepting(int timeoutMs) const {
  return WaitFor([&] { return Accepts(); }, timeoutMs);
}

bool FirebirdSandbox::ClientConnects() const {
  auto run = RunCaptured({"fbsvcmgr", "127.0.0.1/" + std::to_string(port_) + ":service_mgr", "-user", "SYSDBA",
                          "-password", kFirebirdPassword, "-info_server_version"},
                         30000);
  return run.exitCode == 0 && run.out.find("Firebird") != std::string::npos;
}

std::string FirebirdSandbox::DatabaseName(const std::string& path) const {
  return "127.0.0.1/" + std::to_string(port_) + ":" + path;
}

StandinFirebird::StandinFirebird(const TempDir& dir, const std::string& name)
    : dir_(dir / name), root_(dir / (name + ".root")), port_(FreeLoopbackPort()) {
  InstallStandin(ServerExe());
  std::filesystem::create_directories(root_);
  WriteText(root_ + "/firebird.conf", RootConf(port_, root_));
}

std::string StandinFirebird::RegistryKey(const std::string& extraValues) const {
  return FirebirdKeyWith(dir_, "\"RootDirectory\"=\"" + root_ + "\"\n\"ServerUser\"=\"" + UserName() + "\"\n" +
                                   extraValues);
}

ProcessEntry StandinFirebird::Start(const std::string& mode) const {
  ProcessEntry p = StartStandin(ServerExe(), mode, {{"FIREBIRD", root_}});
  EXPECT_TRUE(WaitFor([&] { return LoopbackAccepts(port_); }, 5000)) << "the stand-in server does not listen";
  return p;
}

std::string StandinProgram() { return ZTV_STANDIN_PROGRAM; }

void InstallStandin(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::filesystem::copy_file(StandinProgram(), path, std::filesystem::copy_options::overwrite_existing);
  ::chmod(path.c_str(), 0755);
}

ProcessEntry StartStandin(const std::string& path, const std::string& mode,
                          const std::vector<std::pair<std::string, std::string>>& environment) {
  if (!std::filesystem::exists(path)) InstallStandin(path);
  std::string ready = path + ".ready";
  std::filesystem::remove(ready);
  LaunchOptions options;
  options.environment = environment;
  auto result = SystemLauncher().Start(path, {mode, ready}, options);
  EXPECT_EQ(result.code, kLaunchStarted) << path;
  ProcessEntry entry;
  if (result.code != kLaunchStarted) return entry;
  bool up = WaitFor([&] { return std::filesystem::exists(ready); }, 10000);
  EXPECT_TRUE(up) << path << " did not come up";
  if (auto p = ReadProcess(result.pid)) entry = *p;
  return entry;
}

int CountNamed(const std::string& name) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string pidText = entry.path().filename().string();
    if (pidText.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    auto open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) continue;
    char state = stat[close + 2];
    if (state == 'Z' || state == 'X') continue;
    if (SameText(stat.substr(open + 1, close - open - 1), name)) ++count;
  }
  return count;
}

FakeSystemctl::FakeSystemctl(const TempDir& dir)
    : stateDir_(dir / "units"),
      runtimeDir_(dir / "run-systemd-system"),
      path_("PATH", dir / "fakebin" + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")),
      stateEnv_("FAKE_SYSTEMCTL_DIR", dir / "units") {
  std::filesystem::create_directories(stateDir_);
  std::filesystem::create_directories(runtimeDir_);
  WriteText(dir / "fakebin/systemctl", kFakeSystemctl);
  ::chmod((dir / "fakebin/systemctl").c_str(), 0755);
}

std::string FakeSystemctl::UnitFile(const std::string& name, const std::string& ext) const {
  return stateDir_ + "/" + name + ".service" + ext;
}

void FakeSystemctl::AddUnit(const std::string& name, const std::string& state) {
  WriteText(UnitFile(name, ".state"), state + "\n");
}

void FakeSystemctl::SetLoadState(const std::string& name, const std::string& load) {
  WriteText(UnitFile(name, ".load"), load + "\n");
}

void FakeSystemctl::SetPending(const std::string& name, int settleAfter) {
  WriteText(UnitFile(name, ".pending"), "");
  if (settleAfter >= 0) WriteText(UnitFile(name, ".settle"), std::to_string(settleAfter) + "\n");
}

void FakeSystemctl::SetFailsOnStart(const std::string& name) { WriteText(UnitFile(name, ".fail"), ""); }

void FakeSystemctl::SetExec(const std::string& name, const std::string& command) {
  WriteText(UnitFile(name, ".exec"), command + "\n");
}

std::string FakeSystemctl::State(const std::string& name) const {
  return Trim(ReadFile(UnitFile(name, ".state")));
}

std::vector<std::string> FakeSystemctl::Calls() const {
  std::vector<std::string> calls;
  std::ifstream in(stateDir_ + "/calls.log");
  std::string line;
  while (std::getline(in, line)) calls.push_back(line);
  return calls;
}

TestRegistry::TestRegistry(const TempDir& dir, const std::string& body)
    : file_(dir / "registry.reg"), env_("ZTV_REGISTRY", dir / "registry.reg") {
  Write(body);
}

void TestRegistry::Write(const std::string& body) { WriteText(file_, "REGEDIT4\n\n" + body); }

unsigned UidOf(const std::string& user) {
  const passwd* pw = ::getpwnam(user.c_str());
  return pw ? pw->pw_uid : static_cast<unsigned>(-1);
}

std::string FirebirdKeyValues(const std::string& key, const std::string& values) {
  // The key ends with the blank line after its values.
  return key.substr(0, key.size() - 1) + values + "\n";
}

std::string FirebirdKey(const std::string& dir) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Firebird Project\\Firebird Server\\Instances]\n\"DefaultInstance\"=\"" +
         dir + "\"\n\n";
}

std::string InterBaseRootKey(const std::string& dir) {
  return "[HKEY_LOCAL_MACHINE\\Software\\Borland\\Interbase\\CurrentVersion]\n\"RootDirectory\"=\"" + dir +
         "\"\n\n";
}

std::string InterBaseServerDirKey(const std::string& dir) {
  return "[HKEY_LOCAL_MACHINE\\Software\\InterBase Corp\\InterBase\\CurrentVersion]\n\"ServerDirectory\"=\"" +
         dir + "\"\n\n";
}

}  // namespace ztv::test
