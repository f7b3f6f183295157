// Putting the template in a database's place: what a failure at each step
// leaves behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "ops/empty_base.h"
#include "ops/scripted_interaction.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::MessageOf;
using test::ReadFile;
using test::WriteFile;

class CopyEmptyBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dm_.FInstallDir = dir_ / "inst";
    dm_.FDatabasePath = dir_ / "data/base.gdb";
    WriteFile(dm_.FDatabasePath, "old database");
  }
  std::string Template() const { return dir_ / "inst/Database/tolvanrm_empty.gdb"; }
  // Names in the database's folder.
  std::vector<std::string> DataFolder() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "data")) names.push_back(e.path().filename().string());
    return names;
  }

  test::TempDir dir_;
  ScriptedInteraction ui_;
  FakeClock clock_;
  TDbPasswordState password_;
  TDM dm_{ui_, clock_, password_, {}};
};

TEST_F(CopyEmptyBaseTest, CopiesOverTheOldFileKeepingItsMode) {
  WriteFile(Template(), std::string(300000, 'T'));
  ASSERT_EQ(::chmod(dm_.FDatabasePath.c_str(), 0604), 0);
  dm_.CopyEmptyBase();
  EXPECT_EQ(ReadFile(dm_.FDatabasePath), std::string(300000, 'T'));
  struct stat st {};
  ASSERT_EQ(::stat(dm_.FDatabasePath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(DataFolder(), std::vector<std::string>{"base.gdb"});
  // Without an old file the new one takes the template's mode.
  fs::remove(dm_.FDatabasePath);
  ASSERT_EQ(::chmod(Template().c_str(), 0640), 0);
  dm_.CopyEmptyBase();
  ASSERT_EQ(::stat(dm_.FDatabasePath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(CopyEmptyBaseTest, MissingTemplateNamesItAndChangesNothing) {
  EXPECT_EQ(MessageOf([&] { dm_.CopyEmptyBase(); }), "файл пустой базы не найден [" + Template() + "]");
  // A folder in the template's place is no template either.
  fs::create_directories(Template());
  EXPECT_EQ(MessageOf([&] { dm_.CopyEmptyBase(); }), "файл пустой базы не найден [" + Template() + "]");
  EXPECT_EQ(ReadFile(dm_.FDatabasePath), "old database");
  EXPECT_EQ(DataFolder(), std::vector<std::string>{"base.gdb"});
}

TEST_F(CopyEmptyBaseTest, TemplateNameMatchesWithoutRegardToCase) {
  WriteFile(dir_ / "inst/DATABASE/Tolvanrm_Empty.GDB", "template");
  dm_.CopyEmptyBase();
  EXPECT_EQ(ReadFile(dm_.FDatabasePath), "template");
}

TEST_F(CopyEmptyBaseTest, ACopyThatFailsHalfwayLeavesTheOldDatabase) {
  WriteFile(Template(), std::string(3 << 20, 'T'));
  // The file system fills up after 1 MiB: writes beyond it fail (EFBIG)
  // instead of ending the process.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string message = MessageOf([&] { dm_.CopyEmptyBase(); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(message, "ошибка копирования файла [" + Template() + "] в [" + dm_.FDatabasePath + "]");
  EXPECT_EQ(ReadFile(dm_.FDatabasePath), "old database");
  EXPECT_EQ(DataFolder(), std::vector<std::string>{"base.gdb"});  // the partial copy is gone
}

TEST_F(CopyEmptyBaseTest, AFolderInTheDatabasesPlaceIsNotReplaced) {
  WriteFile(Template(), "template");
  fs::remove(dm_.FDatabasePath);
  WriteFile(dm_.FDatabasePath + "/inside", "kept");
  EXPECT_EQ(MessageOf([&] { dm_.CopyEmptyBase(); }), "не удается удалить файл [" + dm_.FDatabasePath + "]");
  EXPECT_EQ(ReadFile(dm_.FDatabasePath + "/inside"), "kept");
  EXPECT_EQ(DataFolder(), std::vector<std::string>{"base.gdb"});
}

}  // namespace
}  // namespace ztv
