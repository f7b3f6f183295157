// The optimisation's parts that need no database server: work file names,
// the gbak command line's quoting and path, renames that never replace, the
// free-space refusal, the single-tick rule and the OK button without a tick.
#include "ops/backup_restore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text.h"
#include "db/process_runner.h"
#include "ops/scripted_interaction.h"
#include "platform/paths.h"
#include "support/registry_fixture.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(OptimiseWorkFiles, GdbAndFdbPathsGiveTheSameNames) {
  for (const char* path : {"/data/base.gdb", "/data/base.fdb"}) {
    const TOptimiseFiles f = OptimiseWorkFiles(path);
    EXPECT_EQ(f.Database, path);
    EXPECT_EQ(f.NewDb, "/data/base_newDb.gdb");
    EXPECT_EQ(f.BackDb, "/data/base_backDb.gbk");
    EXPECT_EQ(f.RestDb, "/data/base_restDb.gdb");
    EXPECT_EQ(f.Log, "/data/base_B-R.log");
  }
}

TEST(OptimiseWorkFiles, PathsAsTheWorkplaceListHoldsThemKeepTheirForm) {
  const TOptimiseFiles f = OptimiseWorkFiles("C:\\Data\\base.fdb");
  EXPECT_EQ(f.NewDb, "C:\\Data\\base_newDb.gdb");
  EXPECT_EQ(f.BackDb, "C:\\Data\\base_backDb.gbk");
  EXPECT_EQ(f.RestDb, "C:\\Data\\base_restDb.gdb");
  EXPECT_EQ(f.Log, "C:\\Data\\base_B-R.log");
}

TEST(OptimiseWorkFiles, FourCharactersGoWhateverTheyAreAndCyrillicCountsByCharacter) {
  EXPECT_EQ(OptimiseWorkFiles("/d/base.ib").NewDb, "/d/bas_newDb.gdb");
  // A Cyrillic name is cut by characters, never inside a character's bytes.
  const TOptimiseFiles f = OptimiseWorkFiles("/d/база.гдб");
  EXPECT_EQ(f.NewDb, "/d/база_newDb.gdb");
  EXPECT_TRUE(IsValidUtf8(f.RestDb));
  EXPECT_EQ(OptimiseWorkFiles("abc").NewDb, "_newDb.gdb");
}

TEST(GbakCommandLine, QuotedArgumentsSplitBackUnchanged) {
  const std::vector<std::string> args = {"/usr/bin/gbak", "/a b/c.gdb", "with\"quote", "back\\slash\\", "tail\\\\",
                                         "\\\"mixed\\\\\"", ""};
  std::string line;
  for (const auto& a : args) line += QuoteArgument(a) + " ";
  EXPECT_EQ(SplitCommandLine(line), args);
}

TEST(GbakCommandLine, GbakIsJoinedByTheNativeSeparator) {
  TempDir dir;
  // A server folder that holds its own gbak, given with its trailing
  // separator as ServerDir gives it: one separator, no backslash.
  WriteFile(dir / "gbak", "");
  EXPECT_EQ(GbakPath(dir.Path() + "/"), dir / "gbak");
  EXPECT_EQ(GbakPath(dir.Path()), dir / "gbak");
  // The distribution's layout: the server in sbin, its tools in bin.
  if (FileExists("/usr/bin/gbak")) {
    EXPECT_EQ(GbakPath("/usr/sbin/"), "/usr/bin/gbak");
  }
}

TEST(RenameNoReplace, NeverReplacesAnExistingFile) {
  TempDir dir;
  WriteFile(dir / "a", "original");
  WriteFile(dir / "b", "other");
  EXPECT_FALSE(RenameNoReplace(dir / "a", dir / "b"));
  EXPECT_EQ(ReadFile(dir / "a"), "original");
  EXPECT_EQ(ReadFile(dir / "b"), "other");
  EXPECT_TRUE(RenameNoReplace(dir / "a", dir / "c"));
  EXPECT_FALSE(FileExists(dir / "a"));
  EXPECT_EQ(ReadFile(dir / "c"), "original");
  EXPECT_FALSE(RenameNoReplace(dir / "missing", dir / "d"));
}

TEST(OptimisationAllowed, RefusesUnlessTheInstallationWorks) {
  ScriptedInteraction ui;
  EXPECT_TRUE(OptimisationAllowed(1, ui));
  EXPECT_TRUE(ui.Events().empty());
  EXPECT_FALSE(OptimisationAllowed(2, ui));
  ASSERT_EQ(ui.Events().size(), 1u);
  EXPECT_EQ(ui.Events()[0],
            "message:Оптимизация базы данных|Текущая версия ЗТВ неработоспособна. Необходимо восстановление из "
            "резервной копии.");
}

class BackupRestoreState : public ::testing::Test {
 protected:
  BackupRestoreState() : ops_(ui_, clock_, server_) {
    for (int i = 1; i <= 3; ++i) {
      TDbListRecord r;
      r.ID = i;
      r.Name = "База " + std::to_string(i);
      r.DbPath = dir_ / ("base" + std::to_string(i) + ".gdb");
      ops_.ssDbList.push_back(r);
    }
  }
  ScriptedInteraction ui_;
  FakeClock clock_;
  TServerRecord server_;
  TempDir dir_;
  TBackupRestore ops_;
};

TEST_F(BackupRestoreState, OnlyOneDatabaseCanBeTicked) {
  EXPECT_TRUE(ops_.SetBackupFlag(1, true));
  EXPECT_EQ(ops_.CheckedCount, 1);
  EXPECT_FALSE(ops_.SetBackupFlag(2, true));
  EXPECT_EQ(ui_.Events(),
            std::vector<std::string>{"message:Оптимизация базы данных|Выбрать можно только одну базу данных"});
  EXPECT_FALSE(ops_.ssDbList[2].BackupFlag);
  EXPECT_TRUE(ops_.ssDbList[1].BackupFlag);
  EXPECT_EQ(ops_.CheckedCount, 1);
  // Ticking the ticked one again changes nothing; clearing frees the tick.
  EXPECT_TRUE(ops_.SetBackupFlag(1, true));
  EXPECT_EQ(ops_.CheckedCount, 1);
  EXPECT_FALSE(ops_.SetBackupFlag(1, false));
  EXPECT_EQ(ops_.CheckedCount, 0);
  // Clearing a record that was never ticked does not count below zero.
  EXPECT_FALSE(ops_.SetBackupFlag(0, false));
  EXPECT_EQ(ops_.CheckedCount, 0);
  EXPECT_TRUE(ops_.SetBackupFlag(2, true));
  EXPECT_EQ(ops_.CheckedCount, 1);
  EXPECT_EQ(ui_.Events().size(), 1u);
}

TEST_F(BackupRestoreState, OkWithoutATickKeepsTheWindowOpen) {
  EXPECT_EQ(ops_.btnOKClick(), TOkAnswer::KeepOpen);
  EXPECT_EQ(ui_.Events(), std::vector<std::string>{
                              "message:Оптимизация базы данных|Не выбрано ни одной базы данных для проведения "
                              "оптимизации"});
}

}  // namespace
}  // namespace ztv
