// Process counting, closing the workplace program, finding, stopping and
// starting servers that run as programs, on a machine without a service
// manager. Every process here is a real stand-in started from a temporary
// directory and ended by its pid.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "control/run_close_program.h"
#include "control_support.h"
#include "core/errors.h"
#include "db/firebird_instance.h"

namespace ztv {
namespace {

using test::MessageOf;
using test::TempDir;

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() {
    // No service manager: the directory that would show systemd is absent.
    services_ = CreateSystemdServices(dir_ / "no-systemd");
    env_.clock = &clock_;
    env_.services = services_.get();
  }

  test::ProcessTestLock lock_;
  TempDir dir_;
  test::ProcessReaper reaper_{dir_.Path()};
  test::ScaledClock clock_{10};
  std::unique_ptr<ServiceManager> services_;
  ControlEnv env_;
};

TEST_F(ControlTest, ProcessCountByNameAndByPath) {
  EXPECT_EQ(ProcessCount("Bureo"), 0);
  auto a = test::StartStandin(dir_ / "a/BUREO.EXE", "exit");
  auto b = test::StartStandin(dir_ / "b/bureo.exe", "exit");
  ASSERT_TRUE(a.pid && b.pid);
  EXPECT_EQ(ProcessCount("Bureo"), 2);
  EXPECT_TRUE(IsProcessRunning("bureo"));
  EXPECT_EQ(ProcessCount(""), 0);

  // A path counts only the process of that file, however it is written.
  EXPECT_EQ(ProcessCount(dir_ / "a/BUREO.EXE"), 1);
  EXPECT_EQ(ProcessCount(dir_ / "b/../a/./BUREO.EXE"), 1);
  std::filesystem::create_symlink(dir_ / "a", dir_ / "link");
  EXPECT_EQ(ProcessCount(dir_ / "link/BUREO.EXE"), 1);
  test::ScopedEnv var("ZTV_TEST_BUREO_DIR", dir_ / "b");
  EXPECT_EQ(ProcessCount("%ZTV_TEST_BUREO_DIR%/bureo.exe"), 1);
  EXPECT_EQ(ProcessCount("${ZTV_TEST_BUREO_DIR}/bureo.exe"), 1);
  EXPECT_EQ(ProcessCount("$ZTV_TEST_BUREO_DIR/bureo.exe"), 1);
  // Paths compare ignoring letter case, as on the system they come from.
  EXPECT_EQ(ProcessCount(dir_ / "B/BUREO.EXE"), 1);
  EXPECT_EQ(ProcessCount(dir_ / "c/bureo.exe"), 0);

  SignalProcess(a.pid, a.startTime, SIGKILL);
  ASSERT_TRUE(test::WaitUntilGone(a.pid, a.startTime, 5000));
  EXPECT_EQ(ProcessCount("Bureo"), 1);
}

TEST_F(ControlTest, NormalizePathExpandsAndResolves) {
  test::ScopedEnv var("ZTV_TEST_VAR", dir_.Path());
  std::string real = std::filesystem::canonical(dir_.Path()).string();
  EXPECT_EQ(NormalizePath("%ZTV_TEST_VAR%/x/../y"), real + "/y");
  EXPECT_EQ(NormalizePath("%ZTV_NO_SUCH_VAR%/y"), std::filesystem::current_path().string() + "/%ZTV_NO_SUCH_VAR%/y");
  EXPECT_EQ(NormalizePath("\\\\server\\share\\file"), "\\\\server\\share\\file");
  EXPECT_EQ(NormalizePath("/"), "/");
  EXPECT_TRUE(SameProcessFile(real + "/Bureo", "%ZTV_TEST_VAR%/BUREO"));
  EXPECT_FALSE(SameProcessFile("", dir_ / "Bureo"));
  EXPECT_TRUE(SameProcessFile("/opt/x/Bureo.exe", "bureo"));
}

TEST_F(ControlTest, UnloadWorkplaceClosesAProgramThatEndsOnTheFirstRequest) {
  UnloadWorkplace(env_);  // nothing runs: no waits
  EXPECT_TRUE(clock_.Sleeps().empty());
  auto p = test::StartStandin(dir_ / "Bureo", "exit");
  ASSERT_TRUE(p.pid);
  UnloadWorkplace(env_);
  EXPECT_FALSE(ProcessAlive(p.pid, p.startTime));
  EXPECT_EQ(clock_.Sleeps(), (std::vector<int64_t>{1000}));
}

TEST_F(ControlTest, UnloadWorkplaceSendsASecondRequestWhenTheFirstIsIgnored) {
  auto p = test::StartStandin(dir_ / "BUREO", "twice");
  ASSERT_TRUE(p.pid);
  UnloadWorkplace(env_);
  EXPECT_FALSE(ProcessAlive(p.pid, p.startTime));
  EXPECT_EQ(clock_.Sleeps(), (std::vector<int64_t>{1000, 1000}));
}

TEST_F(ControlTest, UnloadWorkplaceGivesUpAfterTwentyOneRequests) {
  auto p = test::StartStandin(dir_ / "bureo", "ignore");
  ASSERT_TRUE(p.pid);
  EXPECT_EQ(MessageOf([&] { UnloadWorkplace(env_); }), "Не удаётся выгрузить ЗТВ");
  EXPECT_TRUE(ProcessAlive(p.pid, p.startTime));
  EXPECT_EQ(clock_.Sleeps(), std::vector<int64_t>(21, 1000));
}

TEST_F(ControlTest, UnloadWorkplaceClosesEveryInstanceOfItsInstallationOnly) {
  auto a = test::StartStandin(dir_ / "inst/a/Bureo", "exit");
  auto b = test::StartStandin(dir_ / "inst/b/Bureo", "twice");
  auto other = test::StartStandin(dir_ / "other-installation/Bureo", "exit");
  ASSERT_TRUE(a.pid && b.pid && other.pid);
  env_.installationDir = dir_ / "inst";
  EXPECT_EQ(WorkplaceProcesses(env_).size(), 2u);
  UnloadWorkplace(env_);
  EXPECT_FALSE(ProcessAlive(a.pid, a.startTime));
  EXPECT_FALSE(ProcessAlive(b.pid, b.startTime));
  // The workplace of another installation is never signalled.
  EXPECT_TRUE(ProcessAlive(other.pid, other.startTime));
  EXPECT_FALSE(IsWorkplaceRunning(env_));
  // One request for the first, a round's pause, two for the second.
  EXPECT_EQ(clock_.Sleeps(), (std::vector<int64_t>{1000, 7000, 1000, 1000}));
  // A folder whose name only begins like the installation's is another one.
  env_.installationDir = dir_ / "other";
  EXPECT_FALSE(IsWorkplaceRunning(env_));
}

// Registers a Firebird installation with its server program.
std::string InstallFirebird(const TempDir& dir, const std::string& sub, const std::string& exe = "sbin/firebird") {
  std::string root = dir / sub;
  test::InstallStandin(root + "/" + exe);
  return root;
}

TEST_F(ControlTest, ServersAreFoundFromTheRegistry) {
  test::TestRegistry registry(dir_, "");
  EXPECT_EQ(MessageOf([] { ServerExePath(2, false); }),
            "Ни один из серверов InterBase, FireBird не найден (отсутствует файл, директория или информация в "
            "реестре)");

  // The registered prefix may end with a separator; the file's letter case
  // may differ. The server is looked for as the distribution keeps it.
  std::string fb = InstallFirebird(dir_, "Firebird_3", "SBIN/Firebird");
  registry.Write(test::FirebirdKey(fb + "/"));
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, false);
  EXPECT_EQ(installed, 4);
  EXPECT_EQ(dirs[1], fb);
  EXPECT_EQ(exes[1], fb + "/SBIN/Firebird");
  EXPECT_EQ(ServerExePath(1, false), "");
  EXPECT_EQ(ServerExePath(0, false), "");

  int kind = 0;
  std::string dir;
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(dir, fb + "/SBIN/");
  // Its tools are in "bin" beside the server's folder, or in that folder.
  test::InstallStandin(fb + "/bin/gbak");
  EXPECT_EQ(ServerToolPath(dir, "gbak"), fb + "/bin/gbak");
  test::InstallStandin(fb + "/SBIN/gbak");
  EXPECT_EQ(ServerToolPath(dir, "gbak"), fb + "/SBIN/gbak");

  // The folder that holds the server may be registered instead of the
  // prefix.
  registry.Write(test::FirebirdKey(fb + "/SBIN"));
  EXPECT_EQ(ServerExePath(2, false), fb + "/SBIN/Firebird");
  registry.Write(test::FirebirdKey(fb));

  // InterBase's second variant: the server directly in ServerDirectory.
  std::string ib = dir_ / "ib";
  test::InstallStandin(ib + "/IBServer");
  registry.Write(test::FirebirdKey(fb) + test::InterBaseRootKey(dir_ / "nothing-here") +
                 test::InterBaseServerDirKey(ib));
  FindInstalledServers(installed, dirs, exes, false);
  EXPECT_EQ(installed, 6);
  EXPECT_EQ(exes[0], ib + "/IBServer");
}

TEST_F(ControlTest, TheClassicVariantCountsOnlyWithAllVariants) {
  std::string fb = InstallFirebird(dir_, "fb", "bin/fb_inet_server");
  test::TestRegistry registry(dir_, test::FirebirdKey(fb));
  EXPECT_NE(MessageOf([] { ServerExePath(2, false); }).find("Ни один из серверов"), std::string::npos);
  EXPECT_EQ(ServerExePath(2, true), fb + "/bin/fb_inet_server");
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, true);
  EXPECT_EQ(installed, 4);

  // Running, it is seen only when all variants are asked for.
  auto p = test::StartStandin(fb + "/bin/fb_inet_server", "exit");
  ASSERT_TRUE(p.pid);
  EXPECT_EQ(RunningServers(false, env_), 0);
  EXPECT_EQ(RunningServers(true, env_), 4);
  EXPECT_EQ(ServerProcessName(2, 1), "fb_inet_server");
  EXPECT_TRUE(IsProcessRunning(ServerProcessName(2, 1)));
}

TEST_F(ControlTest, BothInstalledAndNoneRunning) {
  std::string fb = InstallFirebird(dir_, "fb");
  std::string ib = dir_ / "ib";
  test::InstallStandin(ib + "/bin/IBServer");
  test::TestRegistry registry(dir_, test::FirebirdKey(fb) + test::InterBaseRootKey(ib));

  EXPECT_EQ(RunningServers(false, env_), 0);
  int kind = 0;
  std::string path = "old";
  bool isService = true;
  IBServerStop(kind, path, isService, env_);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(path, fb + "/sbin/firebird");
  EXPECT_FALSE(isService);
  EXPECT_TRUE(clock_.Sleeps().empty());

  std::string dir = "old";
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, -1);
  EXPECT_EQ(dir, "");

  // With one of them running, that one's directory is used.
  auto p = test::StartStandin(ib + "/bin/IBServer", "exit");
  ASSERT_TRUE(p.pid);
  EXPECT_EQ(RunningServers(false, env_), 2);
  ServerDir(kind, false, dir, env_);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(dir, ib + "/bin/");
}

TEST_F(ControlTest, AServerProgramIsStoppedAndStartedAgain) {
  test::StandinFirebird fb(dir_);
  std::string ib = dir_ / "ib";
  test::InstallStandin(ib + "/bin/IBServer");
  test::TestRegistry registry(dir_, fb.RegistryKey() + test::InterBaseRootKey(ib));
  env_.attachments = [](int, std::string&) { return 0; };
  auto p = fb.Start("twice");
  ASSERT_TRUE(p.pid);
  // The same program started with another root is another instance's
  // server: never ours.
  auto foreign = test::StartStandin(fb.ServerExe(), "exit", {{"FIREBIRD", dir_ / "another-root"}});
  ASSERT_TRUE(foreign.pid);
  EXPECT_EQ(ServerFlags(2, false, env_), kServerFlagProgram);
  EXPECT_EQ(ServerFlags(1, false, env_), 0);
  EXPECT_EQ(RunningServers(false, env_), 4);
  EXPECT_EQ(CountServers(-1, env_), 1);

  // This server ignores the first close request: stopping gives up after
  // the bounded wait instead of hanging.
  TServerRecord record;
  EXPECT_EQ(MessageOf([&] { IBServerStop(record, env_); }), "Не удаётся выгрузить FireBird");
  EXPECT_TRUE(ProcessAlive(p.pid, p.startTime));
  // One 200 ms wait after the request, then 101 more while it stays.
  EXPECT_EQ(clock_.Sleeps(), std::vector<int64_t>(102, 200));

  // A second request (the administrator tries again) ends it.
  IBServerStop(record, env_);
  EXPECT_FALSE(ProcessAlive(p.pid, p.startTime));
  EXPECT_TRUE(ProcessAlive(foreign.pid, foreign.startTime));
  EXPECT_EQ(record.FServerKind, 2);
  EXPECT_EQ(record.FServerPath, fb.ServerExe());
  EXPECT_FALSE(record.FServerIsService);
  EXPECT_EQ(RunningServers(false, env_), 0);

  // Started again with its root, it listens; a second start leaves it alone.
  IBServerStart(record, env_);
  EXPECT_EQ(RunningServers(false, env_), 4);
  EXPECT_TRUE(test::LoopbackAccepts(fb.Port()));
  IBServerStart(record, env_);
  EXPECT_EQ(test::CountNamed("firebird"), 2);  // ours and the foreign one

  // InterBase's program is started with its path as the command.
  IBServerStart(1, "", false, env_);
  EXPECT_TRUE(test::WaitFor([] { return test::CountNamed("IBServer") == 1; }, 5000));
  EXPECT_EQ(RunningServers(false, env_), 6);
  IBServerStop(record, env_);
  EXPECT_EQ(record.FServerKind, 2);  // both stopped: Firebird preferred
  EXPECT_EQ(RunningServers(false, env_), 0);
  EXPECT_TRUE(ProcessAlive(foreign.pid, foreign.startTime));
}

TEST_F(ControlTest, AGuardianWithoutItsServerIsStoppedAndNeverDoubled) {
  test::StandinFirebird fb(dir_);
  const std::string guardian = fb.Dir() + "/sbin/fbguard";
  test::InstallStandin(guardian);
  test::TestRegistry registry(dir_, fb.RegistryKey());
  env_.attachments = [](int, std::string&) { return 0; };
  auto guardians = [&] { return test::CountNamed("fbguard"); };

  // A guardian of the instance whose server's start was cut short: it is
  // the running server as far as a stop is concerned, and the stop ends it.
  auto lone = test::StartStandin(guardian, "exit", {{"FIREBIRD", fb.Root()}});
  ASSERT_TRUE(lone.pid);
  EXPECT_EQ(RunningServers(false, env_), 4);
  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_FALSE(ProcessAlive(lone.pid, lone.startTime));
  EXPECT_EQ(RunningServers(false, env_), 0);
  EXPECT_EQ(record.FServerKind, 2);

  // A start with such a guardian about ends it and starts one guardian
  // with its server.
  lone = test::StartStandin(guardian, "exit", {{"FIREBIRD", fb.Root()}});
  ASSERT_TRUE(lone.pid);
  IBServerStart(record, env_);
  EXPECT_FALSE(ProcessAlive(lone.pid, lone.startTime));
  EXPECT_EQ(guardians(), 1);
  EXPECT_EQ(test::CountNamed("firebird"), 1);
  EXPECT_TRUE(test::LoopbackAccepts(fb.Port()));
  // A second start leaves the running pair alone.
  IBServerStart(record, env_);
  EXPECT_EQ(guardians(), 1);
  EXPECT_EQ(test::CountNamed("firebird"), 1);
  // And a stop ends both.
  IBServerStop(record, env_);
  EXPECT_EQ(guardians(), 0);
  EXPECT_EQ(test::CountNamed("firebird"), 0);
}

TEST_F(ControlTest, AServerThatCannotTellItsAttachmentsIsAskedAbout) {
  test::StandinFirebird fb(dir_);
  test::TestRegistry registry(dir_, fb.RegistryKey());
  auto p = fb.Start("exit");
  ASSERT_TRUE(p.pid);
  std::vector<std::string> asked;
  bool answer = false;
  env_.confirm = [&](const std::string& caption, const std::string& text) {
    asked.push_back(caption + "|" + text);
    return answer;
  };
  // The stand-in drops every connection: the real question cannot be
  // answered, so the user is asked.
  env_.attachments = DefaultAttachmentCount;
  EXPECT_EQ(MessageOf([&] { CloseServerApp(2, env_); }), "Не удаётся выгрузить FireBird");
  EXPECT_EQ(asked, (std::vector<std::string>{
                       "Инсталляция обновления|FireBird имеет подключенных к базе пользователей. Оборвать соединения?"}));
  EXPECT_TRUE(ProcessAlive(p.pid, p.startTime));
  answer = true;
  CloseServerApp(2, env_);
  EXPECT_FALSE(ProcessAlive(p.pid, p.startTime));
}

TEST_F(ControlTest, StartingWithAnUndecidedKindFails) {
  for (int kind : {0, -1, 3}) {
    EXPECT_EQ(MessageOf([&] { IBServerStart(kind, "", false, env_); }),
              Format("IBServerStart: Передан неопределенный идентификатор IB-сервера. Поддерживаются сервера: "
                     "Interbase[0,1], FireBird[2]. Передано: %d",
                     kind));
  }
}

TEST_F(ControlTest, AServerProgramThatCannotBeStartedIsReported) {
  std::string missing = dir_ / "fb/sbin/firebird";
  std::filesystem::create_directories(dir_ / "fb/sbin");
  EXPECT_EQ(MessageOf([&] { RunServerProgram(2, missing, env_); }),
            "Не удаётся загрузить \"" + missing + "\" : код ошибки 2 ");
  EXPECT_EQ(MessageOf([&] { RunServerProgram(1, dir_ / "no/dir/IBServer", env_); }),
            "Не удаётся загрузить \"" + dir_ / "no/dir/IBServer" + "\" : код ошибки 3");
  RunServerProgram(0, missing, env_);  // other kinds: nothing
}

TEST(ServerSets, ChoosingAmongKinds) {
  ControlEnv env;
  EXPECT_EQ(SingleServer(4), 2);
  EXPECT_EQ(SingleServer(2), 1);
  EXPECT_EQ(SingleServer(1), 0);
  EXPECT_EQ(SingleServer(6), -1);
  EXPECT_EQ(SingleServer(0), -1);
  EXPECT_EQ(SingleServer(-4), -1);
  EXPECT_EQ(CountServers(6, env), 2);
  EXPECT_EQ(CountServers(9, env), 0);
  EXPECT_EQ(ChooseServer(6, env), 2);
  EXPECT_EQ(ChooseServer(2, env), 1);
  EXPECT_EQ(ChooseServer(0, env), -1);
  EXPECT_EQ(ChooseServer(-1, env), -1);
  EXPECT_EQ(ServerProcessName(1, 0), "IBServer");
  EXPECT_EQ(ServerProcessName(1, 1), "IBServer");
  EXPECT_EQ(ServerProcessName(2, 0), "firebird");
  EXPECT_EQ(ServerProcessName(2, 2), "");
  EXPECT_EQ(ServerKindName(1), "Interbase4/5");
  EXPECT_EQ(ServerKindName(2), "FireBird");
  EXPECT_EQ(GuardianName(2), "FirebirdGuardianDefaultInstance");
}

// The server program's window as a server with connected users shows it on
// the platform where servers ask their own question:
// a close request brings up the users-connected dialog instead of ending
// the server; the dialog's OK ends it, closing the dialog leaves it
// running. Dialogs do not exist on Linux, so the window side is simulated;
// the server process is real.
class DialogWindows : public WindowSystem {
 public:
  explicit DialogWindows(ProcessEntry server) : server_(server) {}
  WindowHandle FindTopLevel(const std::string& className, const std::string& title) override {
    if (className == "#32770" && title == "Firebird Server" && dialogShown_) return kDialog;
    return {};
  }
  WindowHandle FindOwnedTopLevel(const std::string& className,
                                 const std::function<bool(const ProcessEntry&)>& owner) override {
    return SystemWindows().FindOwnedTopLevel(className, owner);
  }
  bool ProgramsShowDialogs() const override { return true; }
  bool Exists(const WindowHandle& w) override { return SystemWindows().Exists(w); }
  bool PostClose(const WindowHandle& w) override {
    if (w.pid == kDialog.pid) {
      dialogShown_ = false;
      return true;
    }
    dialogShown_ = true;
    return true;
  }
  bool PostCommand(const WindowHandle& w, int id) override {
    commands_.push_back(id);
    if (w.pid != kDialog.pid || id != 1) return false;
    dialogShown_ = false;
    return SignalProcess(server_.pid, server_.startTime, SIGTERM);
  }
  bool SetVisible(const WindowHandle&, bool visible) override {
    visibility_.push_back(visible);
    return true;
  }

  std::vector<int> commands_;
  std::vector<bool> visibility_;

 private:
  static constexpr WindowHandle kDialog{-2, 0};
  ProcessEntry server_;
  bool dialogShown_ = false;
};

TEST_F(ControlTest, ConnectedUsersDialogOfTheServer) {
  std::string fb = InstallFirebird(dir_, "fb");
  test::TestRegistry registry(dir_, test::FirebirdKey(fb));
  auto p = test::StartStandin(fb + "/sbin/firebird", "exit");
  ASSERT_TRUE(p.pid);
  DialogWindows windows(p);
  env_.windows = &windows;
  std::vector<std::string> asked;
  bool answer = false;
  env_.confirm = [&](const std::string& caption, const std::string& text) {
    asked.push_back(caption + "|" + text);
    return answer;
  };

  // Cancel: the dialog is closed and the server keeps running.
  EXPECT_EQ(MessageOf([&] { CloseServerApp(2, env_); }), "Не удаётся выгрузить FireBird");
  EXPECT_EQ(asked, (std::vector<std::string>{
                       "Инсталляция обновления|FireBird имеет подключенных к базе пользователей. Оборвать соединения?"}));
  EXPECT_TRUE(ProcessAlive(p.pid, p.startTime));
  EXPECT_EQ(windows.visibility_, (std::vector<bool>{false}));

  // OK: the dialog's OK button ends the server.
  answer = true;
  CloseServerApp(2, env_);
  EXPECT_FALSE(ProcessAlive(p.pid, p.startTime));
  EXPECT_EQ(windows.commands_, (std::vector<int>{1}));
  EXPECT_EQ(windows.visibility_, (std::vector<bool>{false, false, true}));
}

}  // namespace
}  // namespace ztv
