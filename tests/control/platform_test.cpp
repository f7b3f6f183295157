// The platform pieces under the control routines: the /proc process list,
// windows as their owning processes, detached program start, and the
// parsers of what the kernel, systemctl and scripts hand us.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "control_support.h"
#include "platform/launcher.h"
#include "platform/linux/parsers.h"
#include "platform/linux/spawn.h"
#include "platform/processes.h"
#include "platform/windows.h"

namespace ztv {
namespace {

using test::TempDir;

// Whether a script has finished writing its line to `path`.
bool LineWritten(const std::string& path) {
  return std::filesystem::exists(path) && test::ReadFile(path).find('\n') != std::string::npos;
}

TEST(ProcStatParser, CommandNamesWithBlanksAndParentheses) {
  auto st = ParseProcStat(
      "4242 (we (ird) name) x) S 1 2 3 4 5 4194560 7 8 9 10 11 12 13 14 15 16 1 0 987654 100 200\n");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->pid, 4242);
  EXPECT_EQ(st->comm, "we (ird) name) x");
  EXPECT_EQ(st->state, 'S');
  EXPECT_EQ(st->flags, 4194560u);
  EXPECT_EQ(st->startTime, 987654u);

  auto zombie = ParseProcStat("7 (Bureo) Z 1 2 3 4 5 0 7 8 9 10 11 12 13 14 15 16 1 0 55");
  ASSERT_TRUE(zombie);
  EXPECT_EQ(zombie->state, 'Z');
  EXPECT_EQ(zombie->startTime, 55u);
}

TEST(ProcStatParser, RejectsMalformedLines) {
  for (const char* bad : {"", "12", "12 (x", "x (a) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                          "12 (a) S 1 2 3", "12 (a) SS 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                          "12 (a) S 1 2 3 4 5 -6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                          "0 (a) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                          "12 ()S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"}) {
    EXPECT_FALSE(ParseProcStat(bad)) << bad;
  }
}

TEST(SystemctlParser, ReadsPropertiesAndRejectsGarbage) {
  auto values = ParseSystemctlShow("ActiveState=activating\r\nLoadState=loaded\n\nDescription=a=b\n");
  ASSERT_TRUE(values);
  EXPECT_EQ(values->at("ActiveState"), "activating");
  EXPECT_EQ(values->at("LoadState"), "loaded");
  EXPECT_EQ(values->at("Description"), "a=b");
  EXPECT_FALSE(ParseSystemctlShow("LoadState=loaded\nno equals sign\n"));
  EXPECT_FALSE(ParseSystemctlShow("=value\n"));
  EXPECT_FALSE(ParseSystemctlShow("A=1\nA=2\n"));
}

TEST(SystemctlParser, ActiveStatesMapToServiceStates) {
  EXPECT_EQ(ServiceStateFromActiveState("inactive"), 1);
  EXPECT_EQ(ServiceStateFromActiveState("failed"), 1);
  EXPECT_EQ(ServiceStateFromActiveState("active"), 4);
  EXPECT_EQ(ServiceStateFromActiveState("activating"), 2);
  EXPECT_EQ(ServiceStateFromActiveState("deactivating"), 3);
  EXPECT_EQ(ServiceStateFromActiveState("reloading"), 5);
  EXPECT_FALSE(ServiceStateFromActiveState("Active"));
  EXPECT_FALSE(ServiceStateFromActiveState(""));
}

TEST(ShebangParser, InterpreterAndOneArgument) {
  auto sb = ParseShebang("#! /bin/sh  -e -x \r\necho\n");
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->interpreter, "/bin/sh");
  EXPECT_EQ(sb->argument, "-e -x");
  sb = ParseShebang("#!/usr/bin/env\n");
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->argument, "");
  EXPECT_FALSE(ParseShebang("#!/bin/sh"));  // no end of line within the head
  EXPECT_FALSE(ParseShebang("#!   \n"));
  EXPECT_FALSE(ParseShebang(std::string("#!/bin/s\0h\n", 11)));
  EXPECT_FALSE(ParseShebang("\x7f" "ELF"));
}

TEST(LauncherParameters, BlanksSeparateAndQuotesGroup) {
  EXPECT_EQ(SplitParameters("  -a  \"two words\" x\"y z\"  "),
            (std::vector<std::string>{"-a", "two words", "xy z"}));
  EXPECT_EQ(SplitParameters("\"\""), (std::vector<std::string>{""}));
  EXPECT_TRUE(SplitParameters("   ").empty());
}

class ProcessTest : public ::testing::Test {
 protected:
  test::ProcessTestLock lock_;
  TempDir dir_;
  test::ProcessReaper reaper_{dir_.Path()};
};

TEST_F(ProcessTest, BareNamesMatchWithoutExtensionAndLetterCase) {
  auto upper = test::StartStandin(dir_ / "a/BUREO.EXE", "exit");
  auto lower = test::StartStandin(dir_ / "b/bureo.exe", "exit");
  auto other = test::StartStandin(dir_ / "c/Bureo2", "exit");
  ASSERT_TRUE(upper.pid && lower.pid && other.pid);
  EXPECT_EQ(upper.exeFile, "BUREO.EXE");
  EXPECT_EQ(upper.exePath, dir_ / "a/BUREO.EXE");

  auto list = EnumerateProcesses();
  ASSERT_TRUE(list);
  int named = 0;
  for (const auto& p : *list) named += ProcessHasName(p, "Bureo");
  EXPECT_EQ(named, 2);
  EXPECT_TRUE(SameProgramName("/x/y/Fb_Inet_Server.exe", "fb_inet_server"));
  EXPECT_FALSE(SameProgramName("Bureo.exe", "Bureo.exe"));
}

TEST_F(ProcessTest, LongNamesAreNotCutAtTheKernelsLimit) {
  // The kernel keeps 15 bytes of a command name.
  auto p = test::StartStandin(dir_ / "fb_inet_server_classic", "exit");
  ASSERT_TRUE(p.pid);
  EXPECT_EQ(p.exeFile, "fb_inet_server_classic");
  auto again = ReadProcess(p.pid);
  ASSERT_TRUE(again);
  EXPECT_TRUE(ProcessHasName(*again, "fb_inet_server_classic"));
  EXPECT_FALSE(ProcessHasName(*again, "fb_inet_server_"));
}

TEST_F(ProcessTest, ALinkRunsUnderItsOwnNameAndTheImageName) {
  test::InstallStandin(dir_ / "real/standin-image");
  std::filesystem::create_directories(dir_ / "bin");
  std::filesystem::create_symlink(dir_ / "real/standin-image", dir_ / "bin/fbserver");
  auto p = test::StartStandin(dir_ / "bin/fbserver", "exit");
  ASSERT_TRUE(p.pid);
  EXPECT_EQ(p.exeFile, "fbserver");
  EXPECT_EQ(p.exePath, dir_ / "real/standin-image");
  EXPECT_TRUE(ProcessHasName(p, "FBSERVER"));
  EXPECT_TRUE(ProcessHasName(p, "standin-image"));
}

TEST_F(ProcessTest, ZombiesAreNotListed) {
  test::InstallStandin(dir_ / "Bureo");
  pid_t child = ::fork();
  if (child == 0) {
    ::execl((dir_ / "Bureo").c_str(), (dir_ / "Bureo").c_str(), "now", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  // Not reaped yet: the kernel keeps it as a zombie.
  bool zombie = test::WaitFor(
      [&] {
        std::string stat = test::ReadFile("/proc/" + std::to_string(child) + "/stat");
        auto st = ParseProcStat(stat);
        return st && st->state == 'Z';
      },
      5000);
  EXPECT_TRUE(zombie);
  EXPECT_FALSE(ReadProcess(child));
  auto list = EnumerateProcesses();
  ASSERT_TRUE(list);
  for (const auto& p : *list) EXPECT_NE(p.pid, child);
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST_F(ProcessTest, WindowClassesStandForTheirPrograms) {
  EXPECT_EQ(WindowClassProgram("TfWorkplace"), "Bureo");
  EXPECT_EQ(WindowClassProgram("ib_server"), "IBServer");
  EXPECT_EQ(WindowClassProgram("FB_Server"), "firebird");
  EXPECT_EQ(WindowClassProgram("#32770"), "");

  WindowSystem& windows = SystemWindows();
  EXPECT_FALSE(windows.FindTopLevel("TfWorkplace", ""));
  auto p = test::StartStandin(dir_ / "bureo", "twice");
  ASSERT_TRUE(p.pid);
  WindowHandle w = windows.FindTopLevel("TfWorkplace", "");
  ASSERT_TRUE(w);
  EXPECT_EQ(w.pid, p.pid);
  EXPECT_FALSE(windows.FindTopLevel("#32770", "Firebird Server"));
  EXPECT_FALSE(windows.FindTopLevel("TfWorkplace", "some title"));

  EXPECT_TRUE(windows.PostClose(w));
  // The first close request is ignored by this program, the second ends it.
  SystemClock().Sleep(50);
  EXPECT_TRUE(windows.Exists(w));
  EXPECT_TRUE(windows.PostClose(w));
  EXPECT_TRUE(test::WaitFor([&] { return !windows.Exists(w); }, 5000));
  EXPECT_FALSE(windows.PostClose(w));
  // A handle whose process is gone never stands for a newer process.
  WindowHandle stale{p.pid, p.startTime + 1};
  EXPECT_FALSE(windows.Exists(stale));
}

TEST_F(ProcessTest, StartedProgramsAreDetachedAndGetTheirArguments) {
  std::string script = dir_ / "dir with blank/args.sh";
  test::WriteFile(script, "#!/bin/sh\necho \"$0|$1|$2|$(pwd)\" > \"" + dir_.Path() + "/out.txt\"\n");
  ::chmod(script.c_str(), 0755);
  std::filesystem::create_directories(dir_ / "work");
  auto r = SystemLauncher().ShellOpen("Open", script, "-a \"b c\"", dir_ / "work", kShow);
  ASSERT_EQ(r.code, kLaunchStarted);
  EXPECT_GT(r.pid, 0);
  ASSERT_TRUE(test::WaitFor([&] { return LineWritten(dir_ / "out.txt"); }, 5000));
  EXPECT_EQ(test::ReadFile(dir_ / "out.txt"), script + "|-a|b c|" + dir_ / "work" + "\n");

  // A path with blanks needs no quotes in the old-style start.
  auto p = test::StartStandin(dir_ / "x y/Bureo", "exit");
  ASSERT_TRUE(p.pid);
  // Its parent is not this test: it was left to init.
  std::string statText = test::ReadFile("/proc/" + std::to_string(p.pid) + "/stat");
  int ppid = std::stoi(statText.substr(statText.rfind(')') + 4));
  EXPECT_NE(ppid, ::getpid());
  EXPECT_EQ(::getsid(p.pid), p.pid);

  std::filesystem::remove(dir_ / "out.txt");
  r = SystemLauncher().Exec(script + " one two", kShowNormal);
  ASSERT_EQ(r.code, kLaunchStarted);
  ASSERT_TRUE(test::WaitFor([&] { return LineWritten(dir_ / "out.txt"); }, 5000));
  EXPECT_EQ(test::ReadFile(dir_ / "out.txt").substr(0, script.size() + 9), script + "|one|two|");
}

TEST_F(ProcessTest, ScriptsWithoutExecuteBitRunThroughTheirInterpreter) {
  std::string script = dir_ / "UpdateInstaller";
  test::WriteFile(script, "#!/bin/sh -e\necho ran > \"" + dir_.Path() + "/ran.txt\"\n");
  ::chmod(script.c_str(), 0644);
  auto r = SystemLauncher().Exec(script, kShowNormal);
  ASSERT_EQ(r.code, kLaunchStarted);
  EXPECT_TRUE(test::WaitFor([&] { return std::filesystem::exists(dir_ / "ran.txt"); }, 5000));
}

TEST_F(ProcessTest, FailuresMapToTheOldResultCodes) {
  ProgramLauncher& launcher = SystemLauncher();
  EXPECT_EQ(launcher.Exec(dir_ / "missing", kShowNormal).code, kLaunchFileNotFound);
  EXPECT_EQ(launcher.Exec(dir_ / "no/such/dir/prog", kShowNormal).code, kLaunchPathNotFound);
  EXPECT_EQ(launcher.Exec("ztv-no-such-program-on-path", kShowNormal).code, kLaunchFileNotFound);
  EXPECT_EQ(launcher.Exec(dir_.Path(), kShowNormal).code, kLaunchAccessDenied);
  EXPECT_EQ(launcher.Exec("", kShowNormal).code, kLaunchFileNotFound);

  // A program unpacked without its execute bit, until it gets one.
  test::InstallStandin(dir_ / "installer");
  ::chmod((dir_ / "installer").c_str(), 0644);
  EXPECT_EQ(launcher.Exec(dir_ / "installer", kShowNormal).code, kLaunchAccessDenied);
  ASSERT_TRUE(EnsureExecutable(dir_ / "installer"));
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "installer").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_FALSE(EnsureExecutable(dir_ / "missing"));

  // Text that is no program.
  test::WriteFile(dir_ / "notes", "just text\n");
  ::chmod((dir_ / "notes").c_str(), 0755);
  EXPECT_EQ(launcher.Exec(dir_ / "notes", kShowNormal).code, kLaunchBadFormat);
  // A bad interpreter line.
  test::WriteFile(dir_ / "broken", "#!");
  ::chmod((dir_ / "broken").c_str(), 0644);
  EXPECT_EQ(launcher.Exec(dir_ / "broken", kShowNormal).code, kLaunchBadFormat);
  test::WriteFile(dir_ / "nointerp", "#!/no/such/interpreter\n");
  ::chmod((dir_ / "nointerp").c_str(), 0644);
  EXPECT_EQ(launcher.Exec(dir_ / "nointerp", kShowNormal).code, kLaunchFileNotFound);
  // A Windows program where no wine is installed.
  test::WriteFile(dir_ / "Setup.exe", std::string("MZ\x90\0\x03\0\0\0", 8));
  {
    test::ScopedEnv path("PATH", dir_.Path());
    EXPECT_EQ(launcher.Exec(dir_ / "Setup.exe", kShowNormal).code, kLaunchBadFormat);
  }
  // The directory to start in must exist; verbs other than open have no
  // meaning here.
  EXPECT_EQ(launcher.ShellOpen("open", dir_ / "installer", "", dir_ / "nodir", kShow).code, kLaunchPathNotFound);
  EXPECT_EQ(launcher.ShellOpen("print", dir_ / "installer", "", "", kShow).code, kLaunchNoAssociation);
}

TEST(CapturedRun, CollectsOutputAndExitCode) {
  auto run = RunCaptured({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 10000);
  EXPECT_EQ(run.spawnError, 0);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.out, "out\n");
  EXPECT_EQ(run.err, "err\n");
  auto big = RunCaptured({"/bin/sh", "-c", "head -c 200000 /dev/zero"}, 10000, 1000);
  EXPECT_EQ(big.exitCode, 0);
  EXPECT_EQ(big.out.size(), 1000u);
  auto slow = RunCaptured({"/bin/sh", "-c", "sleep 5"}, 100);
  EXPECT_TRUE(slow.timedOut);
  auto missing = RunCaptured({"ztv-no-such-program-on-path"}, 1000);
  EXPECT_NE(missing.spawnError, 0);
}

}  // namespace
}  // namespace ztv
