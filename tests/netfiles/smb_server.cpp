#include "smb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/network.h"

namespace ztv::test {
namespace {

constexpr const char* kNssWrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";

// Waits up to `ms` for the child `pid` to end; true when it has.
bool Reap(pid_t pid, int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Ends `pid` (SIGTERM, then SIGKILL) and reaps it.
void EndProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!Reap(pid, 5000)) {
    ::kill(pid, SIGKILL);
    Reap(pid, 5000);
  }
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

bool EnterOwnNetworkNamespace(std::string& why) {
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    why = std::string("cannot make a network namespace (needs root): ") + std::strerror(errno);
    return false;
  }
  if (std::system("ip link set lo up") != 0) {
    why = "cannot bring up loopback in the test's network namespace";
    return false;
  }
  // samba-dcerpcd and its workers write their logs into the machine's log
  // folder whatever the configuration says; in this mount namespace that
  // folder is one of the test's own.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = std::string("cannot make the mounts private: ") + std::strerror(errno);
    return false;
  }
  static TempDir logs;
  if (::access("/var/log/samba", F_OK) == 0 &&
      ::mount(logs.Path().c_str(), "/var/log/samba", nullptr, MS_BIND, nullptr) != 0) {
    why = std::string("cannot cover /var/log/samba: ") + std::strerror(errno);
    return false;
  }
  // Orphans of the servers (samba-dcerpcd outlives smbd) come to us, so
  // that they can be reaped after they were ended by pid.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  return true;
}

std::string SmbPassword(const std::string& user) { return "pw-" + user; }

SambaServer::SambaServer() {
  const std::string root = dir_.Path();
  ::chmod(root.c_str(), 0755);  // the share's users pass through
  for (const char* d : {"client-lock", "priv", "lock", "state", "cache", "pid", "ncalrpc", "log", "binddns", "share", "share/sub"})
    ::mkdir((root + "/" + d).c_str(), 0755);
  share_ = root + "/share";
  ::chmod(share_.c_str(), 0777);
  ::chmod((share_ + "/sub").c_str(), 0777);
  conf_ = root + "/smb.conf";
  std::ofstream conf(conf_);
  conf << "[global]\n"
          "  workgroup = ZTVTEST\n"
          "  netbios name = ZTVTEST\n"
          "  server role = standalone server\n"
          "  interfaces = 127.0.0.1\n"
          "  bind interfaces only = yes\n"
          "  smb ports = 445\n"
          "  disable netbios = yes\n"
          "  name resolve order = host\n"
          "  private dir = " << root << "/priv\n"
          "  lock directory = " << root << "/lock\n"
          "  state directory = " << root << "/state\n"
          "  cache directory = " << root << "/cache\n"
          "  pid directory = " << root << "/pid\n"
          "  ncalrpc dir = " << root << "/ncalrpc\n"
          "  binddns dir = " << root << "/binddns\n"
          "  log file = " << root << "/log/log.%m\n"
          "  log level = 1\n"
          "  passdb backend = tdbsam:" << root << "/priv/passdb.tdb\n"
          "  load printers = no\n"
          "  printing = bsd\n"
          "  printcap name = /dev/null\n"
          "  disable spoolss = yes\n"
          "  map to guest = never\n"
          "  kernel oplocks = no\n"
          "  create mask = 0666\n"
          "  force create mode = 0666\n"
          // Administrators get no privileges by membership: closing needs
          // root (ztvadmin), so ztvlister may list but not close.
          "  enable privileges = no\n"
          "[share]\n"
          "  path = " << share_ << "\n"
          "  read only = no\n";
  conf.close();
  // The clients' own settings: addresses only, no NetBIOS.
  clientConf_ = root + "/client.conf";
  std::ofstream(clientConf_) << "[global]\n"
                                "  name resolve order = host\n"
                                "  disable netbios = yes\n"
                                "  lock directory = " << root << "/client-lock\n"
                                "  cache directory = " << root << "/client-lock\n"
                                "  state directory = " << root << "/client-lock\n";
  // Unix accounts of the server only: ztvadmin maps to root, ztvlister is
  // in the root group (so an Administrator) without being root.
  std::ofstream(root + "/passwd") << "root:x:0:0:root:/root:/bin/false\n"
                                     "ztvadmin:x:0:0:admin:/nonexistent:/bin/false\n"
                                     "ztvlister:x:61010:61010:lister:/nonexistent:/bin/false\n"
                                     "ztvuser1:x:61001:61001:user1:/nonexistent:/bin/false\n"
                                     "ztvuser2:x:61002:61002:user2:/nonexistent:/bin/false\n"
                                     "nobody:x:65534:65534:nobody:/nonexistent:/bin/false\n";
  std::ofstream(root + "/group") << "root:x:0:ztvadmin,ztvlister\n"
                                    "ztvlister:x:61010:\n"
                                    "ztvuser1:x:61001:\n"
                                    "ztvuser2:x:61002:\n"
                                    "nogroup:x:65534:\n";
  env_ = "LD_PRELOAD=" + std::string(kNssWrapper) + " NSS_WRAPPER_PASSWD=" + root + "/passwd NSS_WRAPPER_GROUP=" +
         root + "/group";
  if (::access(kNssWrapper, R_OK) != 0) {
    ADD_FAILURE() << kNssWrapper << " is missing (package libnss-wrapper, scripts/setup)";
    return;
  }
  for (const char* user : {kSmbAdmin, kSmbLister, kSmbUser1, kSmbUser2}) {
    const std::string pw = SmbPassword(user);
    if (!Run("pdbedit -s " + ShellQuote(conf_) + " -a -t -u " + user, pw + "\n" + pw + "\n")) return;
  }
  if (!Run("net -s " + ShellQuote(conf_) +
           " groupmap add sid=S-1-5-32-544 unixgroup=root type=builtin ntgroup=Administrators"))
    return;

  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    const int log = ::open((root + "/log/smbd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::setenv("LD_PRELOAD", kNssWrapper, 1);
    ::setenv("NSS_WRAPPER_PASSWD", (root + "/passwd").c_str(), 1);
    ::setenv("NSS_WRAPPER_GROUP", (root + "/group").c_str(), 1);
    ::execlp("smbd", "smbd", "-s", conf_.c_str(), "-F", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  smbd_ = pid;
  for (int i = 0; i < 1000; ++i) {
    if (LoopbackAccepts(445)) return;
    if (::waitpid(smbd_, nullptr, WNOHANG) == smbd_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "smbd does not listen on 127.0.0.1:445\n" << LogTail();
  Stop();
}

SambaServer::~SambaServer() { Stop(); }

void SambaServer::Stop() {
  if (smbd_ > 0) {
    EndProcess(smbd_);
    smbd_ = -1;
  }
  // smbd starts samba-dcerpcd on demand; it outlives smbd.
  std::ifstream pidFile(dir_.Path() + "/pid/samba-dcerpcd.pid");
  pid_t dcerpcd = -1;
  if (pidFile >> dcerpcd && dcerpcd > 1) EndProcess(dcerpcd);
  // Its workers end with it; reap those that were handed to us.
  for (int i = 0; i < 100 && ::waitpid(-1, nullptr, WNOHANG) > 0; ++i) {
  }
}

bool SambaServer::Run(const std::string& command, const std::string& input) {
  const std::string full = env_ + " " + command + " >>" + dir_.Path() + "/log/setup.out 2>&1";
  FILE* p = ::popen(full.c_str(), "w");
  if (!p) {
    ADD_FAILURE() << "cannot run " << command;
    return false;
  }
  std::fwrite(input.data(), 1, input.size(), p);
  const int status = ::pclose(p);
  if (status != 0) {
    ADD_FAILURE() << command << " failed\n" << LogTail();
    return false;
  }
  return true;
}

std::string SambaServer::ServerPath(const std::string& relative) const {
  std::string path = "C:" + share_;
  for (char& c : path)
    if (c == '/') c = '\\';
  return relative.empty() ? path : path + "\\" + relative;
}

std::string SambaServer::LogTail() const {
  std::string out;
  for (const char* f : {"setup.out", "smbd.out", "log.smbd"}) {
    std::ifstream in(dir_.Path() + "/log/" + f);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    if (text.size() > 2000) text = text.substr(text.size() - 2000);
    out += std::string("== ") + f + "\n" + text;
  }
  return out;
}

SmbClient::SmbClient(const SambaServer& server, const std::string& user) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  const std::string password = SmbPassword(user);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execl("/usr/bin/python3", "python3", ZTV_SMB_CLIENT_SCRIPT, server.ClientConfigFile().c_str(), user.c_str(),
            "share", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  to_ = in[1];
  from_ = out[0];
  pid_ = pid;
  // The password goes in on standard input, never on a command line.
  const std::string ready = Command(password);
  if (ready != "ready") ADD_FAILURE() << "SMB client " << user << ": " << ready;
}

SmbClient::~SmbClient() {
  if (to_ >= 0) ::close(to_);  // end of input: the client logs off and ends
  if (pid_ > 0 && !Reap(pid_, 5000)) EndProcess(pid_);
  if (from_ >= 0) ::close(from_);
}

std::string SmbClient::Command(const std::string& line) {
  if (!line.empty()) {
    const std::string text = line + "\n";
    if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "error: client gone";
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string answer = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return answer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "error: no answer";
    pollfd p{from_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[512];
    const ssize_t n = ::read(from_, chunk, sizeof chunk);
    if (n <= 0) return "error: client ended";
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

int SmbClient::Open(const std::string& relative) {
  const std::string answer = Command("open " + relative);
  if (answer.empty() || answer.find_first_not_of("0123456789") != std::string::npos) {
    ADD_FAILURE() << "open " << relative << ": " << answer;
    return -1;
  }
  return std::stoi(answer);
}

std::string SmbClient::Write(int fnum) { return Command("write " + std::to_string(fnum)); }
std::string SmbClient::Close(int fnum) { return Command("close " + std::to_string(fnum)); }

}  // namespace ztv::test
