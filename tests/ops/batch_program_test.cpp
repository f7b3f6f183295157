// The window program's batch mode as the scheduler runs it: ztv-updater as a
// child process with "backup" or "restore" as its last word, no display,
// standard input not a terminal, the registry file of the test. Its exit code
// tells whether the operation succeeded.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "control/run_close_program.h"
#include "engine/ztv_procs.h"
#include "installation_fixture.h"
#include "platform/linux/spawn.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::Alive;
using test::ReadFile;
using test::Running;
using test::Snapshot;
using test::WriteFile;

// Runs the program without a display; its standard input is /dev/null.
CapturedRun RunUpdater(const std::vector<std::string>& words, int timeoutMs = 120000) {
  std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                   ZTV_UPDATER_PROGRAM};
  argv.insert(argv.end(), words.begin(), words.end());
  CapturedRun run = RunCaptured(argv, timeoutMs);
  EXPECT_EQ(run.spawnError, 0);
  EXPECT_FALSE(run.timedOut);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class BatchProgramTest : public test::InstallationTest {};

TEST_F(BatchProgramTest, BackupSucceedsWithExitCodeZeroAndTheServerRunsAgain) {
  const std::string missing = test::FirebirdSandbox::Unavailable();
  if (!missing.empty()) GTEST_SKIP() << missing;
  test::FirebirdSandbox fb(dir_);
  serverKey_ = fb.RegistryKey();
  WriteSettings("7.1.2", 1, "7.1.0");
  RunServerProgram(kServerFirebird, "", control_);
  ASSERT_TRUE(fb.WaitUntilAccepting(20000)) << "the server did not start";
  const auto serversBefore = Running("firebird");
  ASSERT_EQ(serversBefore.size(), 1u);
  const ProcessEntry workplace = StartWorkplace();
  const auto installation = Snapshot(inst_);

  // The letter case of the batch word does not matter.
  const CapturedRun run = RunUpdater({"BACKUP"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // No log lines and no question in this mode: the output is the backup's
  // progress and nothing else.
  const auto outLines = Lines(run.out);
  EXPECT_FALSE(outLines.empty());
  for (const auto& line : outLines)
    EXPECT_TRUE(std::regex_search(line, std::regex("^ *[0-9]+% "))) << line;

  EXPECT_FALSE(Alive(workplace));
  EXPECT_FALSE(Alive(serversBefore[0]));
  EXPECT_EQ(BackupContents(), installation);
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(GetCurrentStatus(), 1);
  ASSERT_TRUE(fb.WaitUntilAccepting(20000)) << "the server was not started again";
  EXPECT_TRUE(fb.ClientConnects());
  EXPECT_EQ(Running("firebird").size(), 1u);
}

TEST_F(BatchProgramTest, RestoreAnsweredWithTheDefaultNoChangesNothing) {
  InstallStandinServer();
  WriteSettings("7.2.0", 1, "7.1.2");
  MakeBackupNow();
  WriteSettings("7.2.0", 1, "7.1.2");
  WriteFile(inst_ + "/bin/new.dll", "installed after the backup");
  const std::string backupFile = ReadFile(backup_ + "/Backup.DAT");
  const std::string registry = RegistryText();
  const auto installation = Snapshot(inst_);
  const ProcessEntry workplace = StartWorkplace();
  const ProcessEntry server = StartStandinServer();

  const CapturedRun run = RunUpdater({"restore"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // The question is shown on the terminal with the answer taken.
  EXPECT_NE(run.out.find("Восстановить систему из резервной копии (текущие данные будут потеряны)?"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Нет"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");

  EXPECT_TRUE(Alive(workplace));
  EXPECT_TRUE(Alive(server));
  EXPECT_EQ(RegistryText(), registry);
  EXPECT_EQ(Snapshot(inst_), installation);
  EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), backupFile);
}

TEST_F(BatchProgramTest, FailedBackupExitsWithOneAndTheMessageOnStderr) {
  InstallStandinServer();
  WriteSettings("7.1.2", 0, "7.1.0");  // an update was broken off
  WriteFile(backup_ + "/Backup.DAT", "an older backup");
  const ProcessEntry server = StartStandinServer();

  const CapturedRun run = RunUpdater({"backup"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Текущая версия ЗТВ является нерабочей. Копирование прервано.\n");
  // Refused before anything was closed: the server runs on; the old backup
  // and its version stay too.
  EXPECT_TRUE(Alive(server));
  EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), "an older backup");
  EXPECT_EQ(GetBackupVersion(), "7.1.0");
}

TEST_F(BatchProgramTest, PlatformsThatDrawNowhereTalkOnTheTerminal) {
  // An explicitly chosen platform that draws nowhere is no display: the
  // question goes to the terminal road, which without a terminal takes its
  // default, and the run ends at once instead of waiting for a click.
  InstallStandinServer();
  WriteSettings("7.2.0", 1, "7.1.2");
  for (const std::string platform : {"offscreen", "minimal"}) {
    SCOPED_TRACE(platform);
    const CapturedRun run =
        RunCaptured({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=" + platform,
                     ZTV_UPDATER_PROGRAM, "restore"},
                    20000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Восстановить систему из резервной копии (текущие данные будут потеряны)?"),
              std::string::npos)
        << run.out;
  }
  // A screenshot that cannot be written is a failure.
  const CapturedRun shot = RunCaptured({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                        ZTV_UPDATER_PROGRAM, "--offscreen-screenshot", dir_ / "no/such/dir/x.png"},
                                       20000);
  EXPECT_EQ(shot.exitCode, 1);
  EXPECT_NE(shot.err.find("cannot write"), std::string::npos) << shot.err;
}

TEST_F(BatchProgramTest, AutomaticUpdateWithoutADisplayEndsWithTheUpdate) {
  // A broken installation: the update is refused after the notice and the
  // question (taken with its default Yes), and the program ends.
  InstallStandinServer();
  WriteSettings("7.1.2", 2, "");
  const ProcessEntry server = StartStandinServer();
  CapturedRun run = RunUpdater({"autoRun"}, 30000);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string expected =
      "Уведомление: Предыдущая операция прервана в связи с обновлением.\n"
      "Обновление/восстановление ЗТВ: Текущая версия неработоспособна. Необходимо восстановить ее из резервной "
      "копии.\n";
  EXPECT_EQ(run.err, expected);
  EXPECT_NE(run.out.find("Установить обновление?\n-> Да"), std::string::npos) << run.out;
  EXPECT_TRUE(Alive(server));

  // Settings that cannot be read: nothing starts, the program ends with 1.
  registry_.Write("");
  run = RunUpdater({"autoRun"}, 30000);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Не удается получить данные из реестра Windows. Возможно, требуется переустановка ЗТВ.\n");
  EXPECT_TRUE(Alive(server));
}

}  // namespace
}  // namespace ztv
