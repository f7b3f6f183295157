// A real Firebird 3 server run as a program: a server directory whose
// bin/fbserver is a link to the distribution's server binary, registered in
// a registry file of the test's own, with its own configuration (loopback
// only, a free port, a copy of the security database, its own lock
// directory). IBServerStop finds and stops it, IBServerStart starts it again,
// and a client connects in between.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "control/run_close_program.h"
#include "control_support.h"
#include "platform/linux/spawn.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const char* kServerBinary = "/usr/sbin/firebird";
const char* kFirebirdRoot = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
const char* kSecurityDb = "/var/lib/firebird/3.0/system/security3.fdb";
const char* kPassword = "tulipwood";

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// A port nobody listens on now, from the kernel's ephemeral range.
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

class RealFirebirdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kServerBinary) || FindOnPath("fbsvcmgr").empty() || ::access(kSecurityDb, R_OK) != 0)
      GTEST_SKIP() << "Firebird 3 server (firebird3.0-server, firebird3.0-utils) is not installed";
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    ASSERT_FALSE(Accepts(port_));

    fs::create_directories(serverDir_ + "/bin");
    fs::create_symlink(kServerBinary, serverDir_ + "/bin/fbserver");
    fs::create_directories(root_);
    fs::create_directories(lock_);
    for (const char* entry : {"UDF", "firebird.msg", "intl", "lib", "plugins", "plugins.conf"})
      fs::create_symlink(std::string(kFirebirdRoot) + "/" + entry, root_ + "/" + entry);
    fs::copy_file(kSecurityDb, root_ + "/security3.fdb");
    test::WriteFile(root_ + "/firebird.conf", "RemoteBindAddress = 127.0.0.1\nRemoteServicePort = " +
                                                  std::to_string(port_) + "\nSecurityDatabase = " + root_ +
                                                  "/security3.fdb\n");
    test::WriteFile(root_ + "/databases.conf", "security.db = " + root_ + "/security3.fdb\n{\n  RemoteAccess = false\n}\n");

    services_ = CreateSystemdServices(dir_ / "no-systemd");
    env_.services = services_.get();
    env_.clock = &clock_;
  }

  bool ClientConnects() {
    auto run = RunCaptured({"fbsvcmgr", "127.0.0.1/" + std::to_string(port_) + ":service_mgr", "-user", "SYSDBA",
                            "-password", kPassword, "-info_server_version"},
                           30000);
    return run.exitCode == 0 && run.out.find("Firebird") != std::string::npos;
  }

  test::ProcessTestLock processLock_;
  TempDir dir_;
  test::ProcessReaper reaper_{dir_.Path()};
  std::string serverDir_ = dir_ / "Firebird_3_0";
  std::string root_ = dir_ / "root";
  std::string lock_ = dir_ / "lock";
  int port_ = 0;
  test::TestRegistry registry_{dir_, test::FirebirdKey(dir_ / "Firebird_3_0")};
  test::ScopedEnv rootEnv_{"FIREBIRD", dir_ / "root"};
  test::ScopedEnv lockEnv_{"FIREBIRD_LOCK", dir_ / "lock"};
  // The server takes real time to go; the waits are recorded and passed for
  // real.
  test::ScaledClock clock_{1};
  std::unique_ptr<ServiceManager> services_;
  ControlEnv env_;
};

TEST_F(RealFirebirdTest, StoppedAndStartedAgain) {
  ASSERT_EQ(test::CountNamed("fbserver"), 0) << "another fbserver runs on this machine";
  IBServerStart(2, "", false, env_);
  ASSERT_TRUE(test::WaitFor([&] { return Accepts(port_); }, 20000)) << "the server did not start";
  EXPECT_TRUE(ClientConnects());
  EXPECT_EQ(RunningServers(false, env_), 4);
  int kind = 0;
  std::string dir;
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(dir, serverDir_ + "/bin/");

  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_EQ(record.FServerKind, 2);
  EXPECT_EQ(record.FServerPath, serverDir_ + "/bin/fbserver");
  EXPECT_FALSE(record.FServerIsService);
  EXPECT_EQ(ProcessCount("fbserver"), 0);
  EXPECT_FALSE(Accepts(port_));
  EXPECT_FALSE(ClientConnects());
  auto sleeps = clock_.Sleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_LE(sleeps.size(), 102u);
  EXPECT_EQ(sleeps, std::vector<int64_t>(sleeps.size(), 200));

  IBServerStart(record, env_);
  ASSERT_TRUE(test::WaitFor([&] { return Accepts(port_); }, 20000)) << "the server did not start again";
  EXPECT_TRUE(ClientConnects());
  EXPECT_EQ(ProcessCount("fbserver"), 1);

  IBServerStop(record, env_);
  EXPECT_EQ(ProcessCount("fbserver"), 0);
}

}  // namespace
}  // namespace ztv
