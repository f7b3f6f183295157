// The optimisation when no database server runs: it starts the registered
// server (a private instance of the distribution's own, which the test may
// stop and start) and rebuilds the database on it.
#include <gtest/gtest.h>

#include <filesystem>

#include "control/run_close_program.h"
#include "control_support.h"
#include "core/text.h"
#include "db/database.h"
#include "firebird_fixture.h"
#include "ops/backup_restore.h"
#include "ops/scripted_interaction.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::ReadFile;
using test::WriteFile;

TEST(OptimiseWithoutARunningServer, StartsTheRegisteredServerAndRebuildsTheDatabase) {
  const std::string missing = test::FirebirdSandbox::Unavailable();
  if (!missing.empty()) GTEST_SKIP() << missing;
  test::TempDir dir;
  test::FirebirdSandbox fb(dir);
  test::TestRegistry registry(dir, fb.RegistryKey());
  test::CappedClock clock(200);
  ControlEnv control = DefaultControlEnv();
  control.clock = &clock;

  // A database made while the server runs, then the server stopped.
  ASSERT_TRUE(fb.StartLikeTheDistribution());
  const std::string path = fb.DataDir() + "/base.gdb";
  WriteFile(dir / "make.sql", "SET SQL DIALECT 1;\nCREATE DATABASE '" + fb.DatabaseName(path) +
                                  "' USER 'SYSDBA' PASSWORD 'tulipwood' PAGE_SIZE 4096;\n"
                                  "CREATE GENERATOR G_NUMBEROFREQUESTS;\nSET GENERATOR G_NUMBEROFREQUESTS TO 7000;\n"
                                  "CREATE TABLE single (id INTEGER);\nINSERT INTO single VALUES (1);\n"
                                  "CREATE TABLE IntConst (ProgIndex INTEGER, ConstIndex INTEGER, ConstValue INTEGER);\n"
                                  "COMMIT;\n");
  ASSERT_EQ(std::system(("isql-fb -b -q -i '" + (dir / "make.sql") + "' >/dev/null 2>&1").c_str()), 0);
  TServerRecord stopped;
  IBServerStop(stopped, control);
  ASSERT_TRUE(test::WaitFor([&] { return fb.ServerCount() == 0; }, 20000));

  ScriptedInteraction ui;
  TServerRecord server;
  TBackupRestore ops(ui, clock, server, control);
  TDbListRecord record;
  record.ID = 1;
  record.Name = "Главная";
  record.DbPath = path;
  ops.ssDbList.push_back(record);
  ops.SetBackupFlag(0, true);
  ASSERT_TRUE(ops.DoBackupRestore()) << ui.LogText();

  // The server was chosen by the stop (nothing ran), waited for and started.
  EXPECT_EQ(server.FServerKind, kServerFirebird);
  EXPECT_GE(fb.ServerCount(), 1);
  const auto sleeps = clock.Sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), 1000), sleeps.end());
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), 5000), sleeps.end());
  EXPECT_EQ(test::GeneratorValue(path, "G_NUMBEROFREQUESTS"), 0);
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).NewDb));
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).BackDb));
}

}  // namespace
}  // namespace ztv
