// The distribution's own Firebird 3 server (fbguard and firebird from the
// firebird3.0-server package) in a private instance of the test's own (its
// root, lock folder and port; see FirebirdSandbox), registered as an
// administrator registers it. Found, stopped guardian first, started again
// as user firebird, asked about its attachments before it is stopped, driven
// through a systemctl stand-in, and reached by host-less database names.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "control/run_close_program.h"
#include "control_support.h"
#include "db/database.h"
#include "db/firebird_instance.h"
#include "platform/linux/spawn.h"

namespace ztv {
namespace {

using test::TempDir;

template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

// The account a process runs as, by name.
std::string ProcessUser(const ProcessEntry& p) {
  struct stat st {};
  if (::stat(("/proc/" + std::to_string(p.pid)).c_str(), &st) != 0) return "?";
  return st.st_uid == 0 ? "root" : (st.st_uid == test::UidOf("firebird") ? "firebird" : std::to_string(st.st_uid));
}

class RealFirebirdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = test::FirebirdSandbox::Unavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(test::NoForeignProcess("firebird"));
    fb_ = std::make_unique<test::FirebirdSandbox>(dir_);
    registry_ = std::make_unique<test::TestRegistry>(dir_, fb_->RegistryKey());
    services_ = CreateSystemdServices(dir_ / "no-systemd");
    env_.services = services_.get();
    env_.clock = &clock_;
    env_.attachments = DefaultAttachmentCount;
  }

  // Creates a database through the server and returns its file.
  std::string CreateDatabase(const std::string& file) {
    const std::string path = fb_->DataDir() + "/" + file;
    std::ofstream(dir_ / "create.sql") << "create database '" << fb_->DatabaseName(path)
                                       << "' user 'SYSDBA' password 'tulipwood';\ncommit;\n";
    auto run = RunCaptured({"isql-fb", "-q", "-i", dir_ / "create.sql"}, 60000);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    return path;
  }

  test::ProcessTestLock processLock_;
  TempDir dir_;
  test::ProcessReaper reaper_{dir_.Path()};
  std::unique_ptr<test::FirebirdSandbox> fb_;
  std::unique_ptr<test::TestRegistry> registry_;
  // The server takes real time to go; the waits are recorded and passed for
  // real.
  test::ScaledClock clock_{1};
  std::unique_ptr<ServiceManager> services_;
  ControlEnv env_;
};

TEST_F(RealFirebirdTest, TheDistributionsServerIsStoppedAndStartedAsItsOwnUser) {
  ASSERT_TRUE(fb_->StartLikeTheDistribution());
  ASSERT_EQ(fb_->GuardianCount(), 1);
  ASSERT_EQ(fb_->ServerCount(), 1);
  EXPECT_EQ(RunningServers(false, env_), 4);
  int kind = 0;
  std::string dir;
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(dir, "/usr/sbin/");
  EXPECT_EQ(ServerToolPath(dir, "gbak"), "/usr/bin/gbak");

  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_EQ(record.FServerKind, 2);
  EXPECT_EQ(record.FServerPath, "/usr/sbin/firebird");
  EXPECT_FALSE(record.FServerIsService);
  // Guardian and server are gone, and nothing brings the server back.
  EXPECT_EQ(fb_->GuardianCount(), 0);
  EXPECT_EQ(fb_->ServerCount(), 0);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_EQ(fb_->ServerCount(), 0);
  EXPECT_FALSE(fb_->Accepts());

  IBServerStart(record, env_);
  EXPECT_TRUE(fb_->Accepts());  // waited for until it takes connections
  EXPECT_TRUE(fb_->ClientConnects());
  const auto guardians = fb_->Processes(fb_->GuardianExe());
  const auto servers = fb_->Processes(fb_->ServerExe());
  ASSERT_EQ(guardians.size(), 1u);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(ProcessUser(guardians[0]), "firebird");
  EXPECT_EQ(ProcessUser(servers[0]), "firebird");
  // A database the server creates is the server's.
  const std::string db = CreateDatabase("made-after-start.fdb");
  struct stat st {};
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, test::UidOf("firebird"));

  // Starting it again while it runs starts no second server.
  IBServerStart(record, env_);
  EXPECT_EQ(fb_->ServerCount(), 1);
  EXPECT_EQ(fb_->GuardianCount(), 1);
}

TEST_F(RealFirebirdTest, AServerWithAnAttachmentIsStoppedOnlyWhenTheUserAgrees) {
  ASSERT_TRUE(fb_->StartLikeTheDistribution());
  const std::string db = CreateDatabase("attached.fdb");
  // An isql-fb session holds the database open until its input closes.
  FILE* session = ::popen("isql-fb -q >/dev/null 2>&1", "w");
  ASSERT_NE(session, nullptr);
  std::fprintf(session, "connect '%s' user 'SYSDBA' password 'tulipwood';\n", fb_->DatabaseName(db).c_str());
  std::fflush(session);
  std::string why;
  ASSERT_TRUE(test::WaitFor([&] { return DefaultAttachmentCount(2, why) == 1; }, 20000)) << why;

  std::vector<std::string> asked;
  bool answer = false;
  env_.confirm = [&](const std::string& caption, const std::string& text) {
    asked.push_back(caption + "|" + text);
    return answer;
  };
  TServerRecord record;
  EXPECT_EQ(ErrorOf([&] { IBServerStop(record, env_); }), "Не удаётся выгрузить FireBird");
  EXPECT_EQ(asked, (std::vector<std::string>{
                       "Инсталляция обновления|FireBird имеет подключенных к базе пользователей. Оборвать соединения?"}));
  EXPECT_EQ(fb_->ServerCount(), 1);
  EXPECT_EQ(fb_->GuardianCount(), 1);
  EXPECT_TRUE(fb_->ClientConnects());

  answer = true;
  IBServerStop(record, env_);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(fb_->ServerCount(), 0);
  EXPECT_EQ(fb_->GuardianCount(), 0);
  ::pclose(session);

  // Without attachments nothing is asked.
  IBServerStart(record, env_);
  IBServerStop(record, env_);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(fb_->ServerCount(), 0);
}

TEST_F(RealFirebirdTest, TheServerOfAnotherInstanceIsLeftRunning) {
  test::FirebirdSandbox other(dir_, "other-instance");
  ASSERT_NE(other.Port(), fb_->Port());
  ASSERT_TRUE(other.StartLikeTheDistribution());
  EXPECT_EQ(RunningServers(false, env_), 0);  // not ours
  ASSERT_TRUE(fb_->StartLikeTheDistribution());
  EXPECT_EQ(RunningServers(false, env_), 4);
  // Only our server is asked about its attachments.
  std::string why;
  EXPECT_EQ(DefaultAttachmentCount(2, why), 0) << why;
  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_EQ(fb_->ServerCount(), 0);
  EXPECT_EQ(other.ServerCount(), 1);
  EXPECT_EQ(other.GuardianCount(), 1);
  EXPECT_TRUE(other.ClientConnects());
}

TEST_F(RealFirebirdTest, ASystemctlStandInDrivesTheRealGuardianThroughTheRegisteredUnit) {
  test::FakeSystemctl systemctl(dir_);
  auto services = CreateSystemdServices(systemctl.RuntimeDir());
  env_.services = services.get();
  // The unit name comes from the registry.
  registry_->Write(test::FirebirdKeyValues(fb_->RegistryKey(), "\"ServiceUnit\"=\"ztv-firebird-test\"\n"));
  systemctl.AddUnit("ztv-firebird-test", "inactive");
  systemctl.SetExec("ztv-firebird-test", "setpriv --reuid firebird --regid firebird --init-groups env FIREBIRD=" +
                                             fb_->Root() + " FIREBIRD_LOCK=" + fb_->LockDir() +
                                             " /usr/sbin/fbguard -forever");
  ASSERT_TRUE(ServiceOperation("ztv-firebird-test", kServiceOpStart, false, env_));
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_EQ(ServerFlags(2, false, env_), kServerFlagService | kServerFlagInstalled | kServerFlagProgram);

  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_TRUE(record.FServerIsService);
  EXPECT_EQ(systemctl.State("ztv-firebird-test"), "inactive");
  EXPECT_TRUE(test::WaitFor([&] { return fb_->ServerCount() == 0 && fb_->GuardianCount() == 0; }, 10000));

  IBServerStart(record, env_);
  EXPECT_EQ(systemctl.State("ztv-firebird-test"), "active");
  EXPECT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_TRUE(fb_->ClientConnects());
}

TEST_F(RealFirebirdTest, AHostlessDatabaseNameGoesThroughTheServer) {
  ASSERT_TRUE(fb_->StartLikeTheDistribution());
  const std::string db = CreateDatabase("hostless.fdb");
  EXPECT_EQ(LoopbackDatabaseName(db), fb_->DatabaseName(db));
  TDbConnection connection;
  connection.SetDatabaseName(db);  // as the workplace's list holds it
  connection.SetParam("isc_dpb_user_name", "SYSDBA");
  connection.SetParam("isc_dpb_password", "not-the-password");
  // The server checks the password, even for root.
  const std::string error = ErrorOf([&] { connection.Connect(); });
  EXPECT_NE(error.find("user name and password are not defined"), std::string::npos) << error;
  connection.SetParam("isc_dpb_password", "tulipwood");
  connection.Connect();
  EXPECT_TRUE(connection.Connected());
  connection.Disconnect();
}

}  // namespace
}  // namespace ztv
