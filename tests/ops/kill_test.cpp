// Runs killed with SIGKILL at moments spread over their whole run: the tool's
// backup over a good backup, the batch backup and the batch restore. After
// every kill nothing is lost (a backup that checks whole, the old one or the
// new one; settings that name its version; no second server), the journal
// tells what was cut short, and the next run recovers.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "backup/backup_verify.h"
#include "backup/tar_backup.h"
#include "engine/ztv_procs.h"
#include "installation_fixture.h"
#include "ops/journal.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::StatSnapshot;
using test::WriteFile;

constexpr int kMoments = 10;

struct Killed {
  bool killed = false;
  std::string err;
};

class KillTest : public test::InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    // Enough to take a while to write: many small files and a few big ones.
    for (int i = 0; i < 2000; ++i)
      WriteFile(inst_ + "/Модули/m" + std::to_string(i % 40) + "/f" + std::to_string(i) + ".dat",
                std::string(2000 + i, static_cast<char>('a' + i % 26)));
    for (int i = 0; i < 3; ++i) WriteFile(inst_ + "/Данные/big" + std::to_string(i), std::string(8 << 20, 'x'));
    fs::create_symlink("Bureo", inst_ + "/bin/bureo");
    InstallStandinServer();
  }

  // Runs `program` on a terminal of its own, answering `answer`, killed
  // after `delayMs` (0: never).
  Killed Run(int delayMs, const std::string& answer, const std::string& program) {
    const auto r = test::RunProgram("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM python3 '" +
                                    std::string(ZTV_KILL_HELPER) + "' " + std::to_string(delayMs) + " '" + answer +
                                    "' " + program);
    EXPECT_TRUE(r.out == "killed\n" || r.out.rfind("exit ", 0) == 0) << r.out << r.err;
    return {r.out == "killed\n", r.err};
  }

  // How long a whole run takes, in milliseconds.
  int Duration(const std::string& answer, const std::string& program) {
    const auto start = std::chrono::steady_clock::now();
    Run(0, answer, program);
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  }

  // The backup on the disk checks whole, and the settings (after the next
  // refresh) name the version it holds.
  void CheckBackupInPlace() {
    const std::string file = backup_ + "/Backup.DAT";
    EXPECT_NO_THROW(VerifyBackup(file));
    TUpdater u;
    u.Refresh();
    EXPECT_EQ(u.BackupVersion, ReadBackupVersion(file));
  }

  int Servers() { return test::CountNamed("firebird"); }
};

TEST_F(KillTest, ToolBackupOverAGoodBackup) {
  const std::string file = backup_ + "/Backup.DAT";
  const std::string tool = std::string(ZTVTOOL_PATH) + " backup create '" + inst_ + "' '" + file + "'";
  ASSERT_EQ(test::RunProgram(tool).code, 0);
  const std::string good = ReadFile(file);
  const int64_t goodEntries = VerifyBackup(file).entries;
  WriteFile(inst_ + "/bin/new.dll", "changed since");
  const int duration = Duration("", tool);
  for (int i = 1; i <= kMoments; ++i) {
    WriteFile(file, good);
    SCOPED_TRACE("killed after " + std::to_string(duration * i / (kMoments + 1)) + " ms");
    Run(duration * i / (kMoments + 1), "", tool);
    // The old backup or the complete new one, never a part of either.
    int64_t entries = 0;
    EXPECT_NO_THROW(entries = VerifyBackup(file).entries);
    if (ReadFile(file) != good) {
      EXPECT_EQ(entries, goodEntries + 1);
    }
    // The next run replaces what the killed one left beside it.
    EXPECT_EQ(test::RunProgram(tool).code, 0);
    EXPECT_FALSE(fs::exists(file + ".new"));
  }
}

TEST_F(KillTest, BatchBackup) {
  WriteSettings("7.1.2", 1, "7.1.1");
  StartStandinServer();
  const std::string program = std::string(ZTV_UPDATER_PROGRAM) + " backup";
  ASSERT_FALSE(Run(0, "y", program).killed);
  const int duration = Duration("y", program);
  int told = 0;
  for (int i = 1; i <= kMoments; ++i) {
    SCOPED_TRACE("killed after " + std::to_string(duration * i / (kMoments + 1)) + " ms");
    const bool killed = Run(duration * i / (kMoments + 1), "y", program).killed;
    CheckBackupInPlace();
    EXPECT_LE(Servers(), 1);
    // The next run tells what the killed one left unfinished, and completes.
    const bool journal = FindInterruptedOperation().has_value();
    if (!killed) {
      EXPECT_FALSE(journal);
    }
    const Killed next = Run(0, "y", program);
    EXPECT_FALSE(next.killed);
    if (journal) {
      EXPECT_NE(next.err.find("Уведомление: Резервное копирование было прервано"), std::string::npos) << next.err;
      ++told;
    }
    EXPECT_FALSE(FindInterruptedOperation().has_value());
    CheckBackupInPlace();
    EXPECT_EQ(GetBackupVersion(), "7.1.2");
    EXPECT_EQ(Servers(), 1);  // started again by the run that completed
  }
  EXPECT_GE(told, 3);
}

TEST_F(KillTest, BatchRestore) {
  WriteSettings("7.1.2", 1, "");
  MakeBackupNow();
  const std::string file = backup_ + "/Backup.DAT";
  const std::string good = ReadFile(file);
  const auto installation = StatSnapshot(inst_);
  const std::string program = std::string(ZTV_UPDATER_PROGRAM) + " restore";
  WriteSettings("7.2.0", 2, "7.1.2");
  const int duration = Duration("y", program);
  ASSERT_EQ(StatSnapshot(inst_), installation);
  for (int i = 1; i <= kMoments; ++i) {
    SCOPED_TRACE("killed after " + std::to_string(duration * i / (kMoments + 1)) + " ms");
    WriteSettings("7.2.0", 2, "7.1.2");
    WriteFile(inst_ + "/bin/new.dll", "left by a broken update");
    const auto beforeRun = StatSnapshot(inst_);
    Run(duration * i / (kMoments + 1), "y", program);
    EXPECT_EQ(ReadFile(file), good);  // the backup is never touched
    EXPECT_LE(Servers(), 1);
    const auto journal = FindInterruptedOperation();
    // A restore that got as far as changing the installation leaves it
    // marked as broken until a restore completes.
    const auto afterKill = StatSnapshot(inst_);
    if (afterKill != beforeRun && afterKill != installation) {
      EXPECT_EQ(GetCurrentStatus(), 0);
    }
    const Killed next = Run(0, "y", program);
    EXPECT_FALSE(next.killed);
    if (journal) {
      EXPECT_NE(next.err.find("Уведомление: Восстановление было прервано"), std::string::npos) << next.err;
    }
    EXPECT_EQ(GetCurrentStatus(), 1);
    EXPECT_EQ(GetCurrentVersion(), "7.1.2");
    EXPECT_EQ(StatSnapshot(inst_), installation);
    EXPECT_FALSE(FindInterruptedOperation().has_value());
  }
}

}  // namespace
}  // namespace ztv
