// A real Firebird 3 server run as a program: a server directory whose
// bin/fbserver is a link to the distribution's server binary, registered in
// a registry file of the test's own, with its own configuration (loopback
// only, a free port, a copy of the security database, its own lock
// directory). IBServerStop finds and stops it, IBServerStart starts it again,
// and a client connects in between.
#include <gtest/gtest.h>

#include <memory>

#include "control/run_close_program.h"
#include "control_support.h"

namespace ztv {
namespace {

using test::TempDir;

class RealFirebirdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = test::FirebirdSandbox::Unavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    fb_ = std::make_unique<test::FirebirdSandbox>(dir_);
    registry_ = std::make_unique<test::TestRegistry>(dir_, test::FirebirdKey(fb_->Dir()));
    services_ = CreateSystemdServices(dir_ / "no-systemd");
    env_.services = services_.get();
    env_.clock = &clock_;
  }

  bool Accepts() const { return fb_->Accepts(); }
  bool ClientConnects() const { return fb_->ClientConnects(); }

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

TEST_F(RealFirebirdTest, StoppedAndStartedAgain) {
  ASSERT_EQ(test::CountNamed("fbserver"), 0) << "another fbserver runs on this machine";
  IBServerStart(2, "", false, env_);
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000)) << "the server did not start";
  EXPECT_TRUE(ClientConnects());
  EXPECT_EQ(RunningServers(false, env_), 4);
  int kind = 0;
  std::string dir;
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(dir, fb_->Dir() + "/bin/");

  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_EQ(record.FServerKind, 2);
  EXPECT_EQ(record.FServerPath, fb_->Dir() + "/bin/fbserver");
  EXPECT_FALSE(record.FServerIsService);
  EXPECT_EQ(ProcessCount("fbserver"), 0);
  EXPECT_FALSE(Accepts());
  EXPECT_FALSE(ClientConnects());
  auto sleeps = clock_.Sleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_LE(sleeps.size(), 102u);
  EXPECT_EQ(sleeps, std::vector<int64_t>(sleeps.size(), 200));

  IBServerStart(record, env_);
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000)) << "the server did not start again";
  EXPECT_TRUE(ClientConnects());
  EXPECT_EQ(ProcessCount("fbserver"), 1);

  IBServerStop(record, env_);
  EXPECT_EQ(ProcessCount("fbserver"), 0);
}

}  // namespace
}  // namespace ztv
