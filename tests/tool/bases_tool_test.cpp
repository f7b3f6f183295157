// ztvtool bases: the workplace's database list kept from the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/registry_fixture.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::ReadFile;
using test::WriteFile;

using Result = test::ProgramResult;

class BasesTool : public ::testing::Test {
 protected:
  Result Run(const std::string& args) { return test::RunProgram(std::string(ZTVTOOL_PATH) + " " + args); }
  std::string Imd() { return " --imd '" + (dir_ / "ocx/IMD.DAT") + "'"; }
  void Ok(const std::string& args) {
    Result r = Run(args);
    ASSERT_EQ(r.code, 0) << args << ": " << r.err;
    ASSERT_EQ(r.err, "");
  }

  test::TempDir dir_;
};

TEST_F(BasesTool, SetListRemoveRoundTrip) {
  WriteFile(dir_ / "ocx/.keep", "");
  Ok("bases set 'Бухгалтерия' --id 7 --path 'SERVER:C:\\Data\\buh.gdb'" + Imd());
  Ok("bases set 'Склад' --id 3 --path /srv/ztv/sklad.gdb" + Imd());
  Result r = Run("bases list" + Imd());
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "7\tБухгалтерия\tSERVER:C:\\Data\\buh.gdb\n3\tСклад\t/srv/ztv/sklad.gdb\n");
  r = Run("bases list --json" + Imd());
  EXPECT_EQ(r.out,
            "[{\"id\":7,\"name\":\"Бухгалтерия\",\"path\":\"SERVER:C:\\\\Data\\\\buh.gdb\"},"
            "{\"id\":3,\"name\":\"Склад\",\"path\":\"/srv/ztv/sklad.gdb\"}]\n");

  // Changing one keeps its place; the name matches without regard to case.
  Ok("bases set 'склад' --id 4 --path /srv/new.gdb" + Imd());
  r = Run("bases list" + Imd());
  EXPECT_EQ(r.out, "7\tБухгалтерия\tSERVER:C:\\Data\\buh.gdb\n4\tСклад\t/srv/new.gdb\n");

  // The dump shows the store as the IMD packet it is.
  r = Run("imd dump '" + (dir_ / "ocx/IMD.DAT") + "'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Доступные базы"), std::string::npos);

  Ok("bases remove 'Бухгалтерия'" + Imd());
  r = Run("bases list" + Imd());
  EXPECT_EQ(r.out, "4\tСклад\t/srv/new.gdb\n");
  r = Run("bases remove 'Бухгалтерия'" + Imd());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "База Бухгалтерия не найдена в списке " + dir_ / "ocx/IMD.DAT" + "\n");
  Ok("bases remove 'Склад'" + Imd());
  r = Run("bases list --json" + Imd());
  EXPECT_EQ(r.out, "[]\n");
}

TEST_F(BasesTool, RefusesAnIdentifierTakenByAnotherDatabase) {
  Ok("bases set A --id 1 --path /a.gdb" + Imd());
  const std::string before = ReadFile(dir_ / "ocx/IMD.DAT");
  Result r = Run("bases set B --id 1 --path /b.gdb" + Imd());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Идентификатор 1 уже занят базой A\n");
  EXPECT_EQ(ReadFile(dir_ / "ocx/IMD.DAT"), before);
  // A path the program's list could not hold whole.
  r = Run("bases set C --id 3 --path /" + std::string(255, 'p') + Imd());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Путь базы \"C\" длиннее 255 символов\n");
  EXPECT_EQ(ReadFile(dir_ / "ocx/IMD.DAT"), before);
}

TEST_F(BasesTool, DamagedFileGivesOneLineAndIsNotOverwritten) {
  Ok("bases set A --id 1 --path /a.gdb" + Imd());
  std::string bytes = ReadFile(dir_ / "ocx/IMD.DAT");
  bytes.resize(bytes.size() - 3);
  WriteFile(dir_ / "ocx/IMD.DAT", bytes);
  for (const std::string args : {"bases list", "bases set B --id 2 --path /b.gdb", "bases remove A"}) {
    Result r = Run(args + Imd());
    EXPECT_EQ(r.code, 1) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err.rfind("Файл реестра " + dir_ / "ocx/IMD.DAT" + " повреждён: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(ReadFile(dir_ / "ocx/IMD.DAT"), bytes);
  Result r = Run("bases list --imd '" + (dir_ / "none.DAT") + "'");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Файл реестра " + dir_ / "none.DAT" + " не найден\n");
}

TEST_F(BasesTool, ChangesAtTheSameTimeAreAllKept) {
  // Twelve changes started together, each reading, changing and writing the
  // file: none may be lost to another written at the same time.
  std::string script;
  for (int i = 1; i <= 12; ++i)
    script += std::string(ZTVTOOL_PATH) + " bases set B" + std::to_string(i) + " --id " + std::to_string(i) +
              " --path /b" + std::to_string(i) + ".gdb" + Imd() + " &\n";
  WriteFile(dir_ / "together.sh", script + "wait\n");
  ASSERT_EQ(std::system(("sh '" + dir_ / "together.sh" + "'").c_str()), 0);
  Result r = Run("bases list" + Imd());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 12) << r.out;
}

TEST_F(BasesTool, DefaultFileIsTheInstallations) {
  test::ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                           "\"CurrentVersionDirectory\"=\"" + dir_.Path() + "\"\n"
                           "\"BackupDirectory\"=\"/b\"\n\"UpdateDirectory\"=\"/u\"\n"
                           "\"CurrentVersion\"=\"7.1.2\"\n\"CurrentStatus\"=dword:00000001\n");
  WriteFile(dir_ / "ocx/.keep", "");
  Ok("bases set A --id 5 --path /a.gdb");
  Result r = Run("bases list" + Imd());
  EXPECT_EQ(r.out, "5\tA\t/a.gdb\n");
}

}  // namespace
}  // namespace ztv
