// ztvtool bases status and bases optimise on the real server
// (`scripts/firebird start`) with the distribution's gbak, as a site's
// scheduler runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <pwd.h>

#include <cstdlib>

#include "db/firebird_instance.h"
#include "firebird_fixture.h"
#include "support/registry_fixture.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::ReadFile;
using test::WriteFile;

using Result = test::ProgramResult;

class BasesOptimiseTool : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test::SharedFirebirdRoot();
    port_ = std::to_string(FirebirdPort(root_));
    data_ = dir_ / "data";
    // The server (user firebird) creates the databases: the folders must be
    // open to it.
    ::chmod(dir_.Path().c_str(), 0755);
    ::mkdir(data_.c_str(), 0777);
    ::chmod(data_.c_str(), 0777);
    if (const passwd* fb = ::getpwnam("firebird")) {
      ASSERT_EQ(::chown(data_.c_str(), fb->pw_uid, fb->pw_gid), 0);
    }
    WriteRegistry(1);
  }

  void WriteRegistry(int status) {
    registry_.Write("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                    "\"CurrentVersionDirectory\"=\"" + (dir_ / "inst") + "\"\n"
                    "\"BackupDirectory\"=\"" + (dir_ / "backup") + "\"\n"
                    "\"UpdateDirectory\"=\"" + (dir_ / "updates") + "\"\n"
                    "\"CurrentVersion\"=\"7.1.2\"\n"
                    "\"CurrentStatus\"=dword:0000000" + std::to_string(status) + "\n"
                    "\"BackupVersion\"=\"\"\n\n" +
                    test::SharedServerRegistration());
  }

  Result Run(const std::string& args) { return test::RunProgram(std::string(ZTVTOOL_PATH) + " " + args); }

  void MakeBase(const std::string& file, int requests) {
    WriteFile(dir_ / "make.sql",
              "SET SQL DIALECT 1;\nCREATE DATABASE '127.0.0.1/" + port_ + ":" + (data_ + "/" + file) +
                  "' USER 'SYSDBA' PASSWORD 'tulipwood' PAGE_SIZE 4096;\n"
                  "CREATE GENERATOR G_NUMBEROFREQUESTS;\nCREATE TABLE single (id INTEGER);\n"
                  "INSERT INTO single VALUES (1);\n"
                  "CREATE TABLE IntConst (ProgIndex INTEGER, ConstIndex INTEGER, ConstValue INTEGER);\n"
                  "SET GENERATOR G_NUMBEROFREQUESTS TO " + std::to_string(requests) + ";\nCOMMIT;\n");
    ASSERT_EQ(std::system(("isql-fb -b -q -i '" + (dir_ / "make.sql") + "' >/dev/null 2>&1").c_str()), 0);
  }

  test::TempDir dir_;
  test::ScopedRegistry registry_;
  std::string root_, port_, data_;
};

TEST_F(BasesOptimiseTool, StatusJsonAndOptimiseYes) {
  MakeBase("main.gdb", 5001);
  MakeBase("archive.gdb", 5000);
  const std::string imd = " --imd '" + (dir_ / "inst/ocx/IMD.DAT") + "'";
  ASSERT_EQ(Run("bases set 'Главная' --id 1 --path '" + data_ + "/main.gdb'" + imd).code, 0);
  ASSERT_EQ(Run("bases set 'Архив' --id 2 --path '" + data_ + "/archive.gdb'" + imd).code, 0);

  Result r = Run("bases status --json" + imd);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "[{\"id\":1,\"name\":\"Главная\",\"path\":\"" + data_ +
                       "/main.gdb\",\"users\":0,\"requests\":5001,\"limit\":5000,\"advised\":true},"
                       "{\"id\":2,\"name\":\"Архив\",\"path\":\"" + data_ +
                       "/archive.gdb\",\"users\":0,\"requests\":5000,\"limit\":5000,\"advised\":false}]\n");

  r = Run("bases optimise 1 --yes" + imd);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("BACKUP start: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Операция оптимизации базы данных прошла успешно."), std::string::npos) << r.out;

  r = Run("bases status" + imd);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1\tГлавная\t0\t0\t5000\t0\n2\tАрхив\t0\t5000\t5000\t0\n");
}

TEST_F(BasesOptimiseTool, FailuresAreOneLineOnStderrWithExitCodeOne) {
  MakeBase("main.gdb", 10);
  const std::string imd = " --imd '" + (dir_ / "inst/ocx/IMD.DAT") + "'";
  ASSERT_EQ(Run("bases set 'Главная' --id 1 --path '" + data_ + "/main.gdb'" + imd).code, 0);
  Result r = Run("bases optimise 9 --yes" + imd);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "База данных с идентификатором 9 не найдена в списке " + (dir_ / "inst/ocx/IMD.DAT") + "\n");

  // Without --yes and without a terminal the question takes its default
  // (Yes for a counter above 0): a database whose folder the server may not
  // write fails at the restore and keeps the original.
  ASSERT_EQ(::chown(data_.c_str(), 0, 0), 0);
  ::chmod(data_.c_str(), 0755);
  r = Run("bases optimise 1" + imd);
  ::chmod(data_.c_str(), 0777);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_EQ(r.err, "Операция оптимизации базы данных прошла с ошибками. Подробности см. в файле: " + data_ +
                       "/main_B-R.log\nРезервная копия базы данных сохранена в файле: " + data_ + "/main_backDb.gbk\n");
  struct stat st {};
  EXPECT_EQ(::stat((data_ + "/main.gdb").c_str(), &st), 0);
  r = Run("bases status" + imd);
  EXPECT_EQ(r.out, "1\tГлавная\t0\t10\t5000\t0\n");

  // An installation that does not work refuses before anything.
  WriteRegistry(0);
  r = Run("bases optimise 1 --yes" + imd);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Текущая версия ЗТВ неработоспособна. Необходимо восстановление из резервной копии.\n");
}

}  // namespace
}  // namespace ztv
