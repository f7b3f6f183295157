// ztvtool as scripts use it: stdout and exit 0 on success; on failure the
// message as the only stderr line and exit 1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/registry_fixture.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

using Result = test::ProgramResult;

class ZtvTool : public ::testing::Test {
 protected:
  Result Run(const std::string& args) { return test::RunProgram(std::string(ZTVTOOL_PATH) + " " + args); }
  std::string Q(const std::string& path) { return "'" + path + "'"; }

  test::TempDir dir_;
};

TEST_F(ZtvTool, SettingsShow) {
  test::ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                           "\"CurrentVersionDirectory\"=\"/opt/ztv/\"\n"
                           "\"BackupDirectory\"=\"/b\"\n"
                           "\"UpdateDirectory\"=\"/u\"\n"
                           "\"CurrentVersion\"=\"7.1.2\"\n"
                           "\"CurrentStatus\"=dword:ffffffff\n"
                           "\"BackupVersion\"=\"7.1.1\"\n");
  Result r = Run("settings show");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "CurrentVersion=7.1.2\nCurrentStatus=-1\nBackupVersion=7.1.1\nCurrentVersionDirectory=/opt/ztv\n"
            "BackupDirectory=/b\nUpdateDirectory=/u\nImdFileName=/opt/ztv/ocx/IMD.DAT\nUnpackDirectory=/u/_ZTV_UPDATE_\n");
  EXPECT_EQ(r.err, "");

  reg.Write("");
  r = Run("settings show");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Не удается получить данные из реестра Windows. Возможно, требуется переустановка ЗТВ.\n");
}

TEST_F(ZtvTool, BackupCreateListRestoreAndTarList) {
  WriteFile(dir_ / "src/a/b.txt", "b");
  WriteFile(dir_ / "src/c.txt", "cc");
  const std::string backup = dir_ / "Backup.DAT";
  Result r = Run("backup create " + Q(dir_ / "src") + " " + Q(backup));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");

  r = Run("backup list " + Q(backup));
  EXPECT_EQ(r.code, 0);
  // Names as stored, with "\" separators; one line per record.
  EXPECT_NE(r.out.find("\ta\\b.txt\t0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\ta\t1\n"), std::string::npos);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);

  r = Run("tar list " + Q(backup));
  EXPECT_EQ(r.code, 0);
  // Two file members named by their IDs, then the index; all regular, all
  // with a valid checksum.
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
  EXPECT_NE(r.out.find("\t0\t1\n"), std::string::npos);
  EXPECT_NE(r.out.find("Index.trs\t"), std::string::npos);

  WriteFile(dir_ / "dst/extra.txt", "x");
  r = Run("backup restore " + Q(backup) + " " + Q(dir_ / "dst"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::Snapshot(dir_ / "dst"), test::Snapshot(dir_ / "src"));

  r = Run("backup verify " + Q(backup));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");

  // A damaged backup fails the check with one line naming the file, and the
  // restore checks the same way before it changes anything: the
  // directory keeps what it holds.
  WriteFile(dir_ / "dst/extra.txt", "x");
  const auto before = test::Snapshot(dir_ / "dst");
  WriteFile(dir_ / "plain.bin", std::string(1024, '\0'));
  const std::string cut = dir_ / "cut.DAT";
  WriteFile(cut, test::ReadFile(backup).substr(0, 700));  // inside the first member
  // One flipped byte in a file's content, and one in the folder's name in
  // the index.
  const std::string bytes = test::ReadFile(backup);
  std::string flippedData = bytes;
  flippedData[flippedData.find("cc")] ^= 1;
  const std::string dataFlip = dir_ / "data-flip.DAT";
  WriteFile(dataFlip, flippedData);
  std::string flippedIndex = bytes;
  const size_t folderRecord = bytes.find(std::string("\x01\0\0\0a", 5), bytes.rfind("Index.trs"));
  ASSERT_NE(folderRecord, std::string::npos);
  flippedIndex[folderRecord + 4] ^= 2;  // the folder "a" becomes "c"
  const std::string indexFlip = dir_ / "index-flip.DAT";
  WriteFile(indexFlip, flippedIndex);
  for (const std::string& bad : {dir_ / "plain.bin", cut, dataFlip, indexFlip}) {
    SCOPED_TRACE(bad);
    r = Run("backup verify " + Q(bad));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Резервная копия [" + bad + "] повреждена: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    const std::string verifyError = r.err;
    r = Run("backup restore " + Q(bad) + " " + Q(dir_ / "dst"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, verifyError);  // the check's own message, no engine prefix
    EXPECT_EQ(test::Snapshot(dir_ / "dst"), before);
  }
  EXPECT_EQ(Run("backup verify " + Q(indexFlip)).err,
            "Резервная копия [" + indexFlip +
                "] повреждена: в индексе резервной копии нет каталога [a], в котором лежит [a\\b.txt]\n");
  EXPECT_EQ(Run("backup verify " + Q(dataFlip)).err.rfind("Резервная копия [" + dataFlip +
                                                          "] повреждена: содержимое файла [c.txt]", 0),
            0u);
  EXPECT_EQ(Run("backup verify " + Q(dir_ / "plain.bin")).err,
            "Резервная копия [" + (dir_ / "plain.bin") + "] повреждена: Не найден файл индекса в резервной копии.\n");

  // The older compound form is checked and restored as well.
  const std::string compound = dir_ / "Compound.DAT";
  ASSERT_EQ(Run("cfb pack " + Q(dir_ / "src") + " " + Q(compound)).code, 0);
  EXPECT_EQ(Run("backup verify " + Q(compound)).out, "ok\n");
  r = Run("backup restore " + Q(compound) + " " + Q(dir_ / "dst"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::Snapshot(dir_ / "dst"), test::Snapshot(dir_ / "src"));
}

TEST_F(ZtvTool, BackupListLongShowsTypesModesOwnersAndLinks) {
  WriteFile(dir_ / "src/bin/Bureo", "program");
  ::chmod((dir_ / "src/bin/Bureo").c_str(), 0750);
  ::chmod((dir_ / "src/bin").c_str(), 02755);
  fs::create_symlink("Bureo\tand tab", dir_ / "src/bin/link with space");
  const std::string backup = dir_ / "Backup.DAT";
  ASSERT_EQ(Run("backup create " + Q(dir_ / "src") + " " + Q(backup)).code, 0);
  const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
  Result r = Run("backup list --long " + Q(backup));
  ASSERT_EQ(r.code, 0) << r.err;
  // ID NAME ISDIR TYPE MODE UID GID LINK; the short form is unchanged.
  EXPECT_NE(r.out.find("\tbin\t1\td\t2755\t" + uid + "\t" + gid + "\t\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\tbin\\Bureo\t0\t-\t0750\t" + uid + "\t" + gid + "\t\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\tbin\\link with space\t0\tl\t0777\t" + uid + "\t" + gid + "\tBureo\\tand tab\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(Run("backup list " + Q(backup)).out.find("\tbin\\Bureo\t0\n"), std::string::npos);
}

TEST_F(ZtvTool, BackupCreateFailuresExitOneAndKeepThePreviousBackup) {
  WriteFile(dir_ / "src/a.txt", "a");
  WriteFile(dir_ / "src/secret/key", "key");
  const std::string backup = dir_ / "out/Backup.DAT";
  fs::create_directories(dir_ / "out");
  ASSERT_EQ(Run("backup create " + Q(dir_ / "src") + " " + Q(backup)).code, 0);
  const std::string good = ReadFile(backup);

  Result r = Run("backup create " + Q(dir_ / "no/such/dir") + " " + Q(backup));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Не удается прочитать каталог [" + (dir_ / "no/such/dir") + "]: No such file or directory\n");
  EXPECT_EQ(ReadFile(backup), good);
  EXPECT_FALSE(fs::exists(backup + ".new"));

  // An account that cannot read a folder of the tree gets no backup that
  // would hold the folder as empty.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another account";
  ::chmod(dir_.Path().c_str(), 0755);
  ASSERT_EQ(::chown((dir_ / "out").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(backup.c_str(), 65534, 65534), 0);
  ::chmod((dir_ / "src/secret").c_str(), 0700);
  r = test::RunProgram("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(ZTVTOOL_PATH) +
                       " backup create " + Q(dir_ / "src") + " " + Q(backup));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Не удается прочитать каталог [" + (dir_ / "src/secret") + "]: Permission denied\n");
  EXPECT_EQ(ReadFile(backup), good);
  EXPECT_FALSE(fs::exists(backup + ".new"));
  // An unreadable file likewise.
  ::chmod((dir_ / "src/secret").c_str(), 0755);
  ::chmod((dir_ / "src/secret/key").c_str(), 0600);
  r = test::RunProgram("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(ZTVTOOL_PATH) +
                       " backup create " + Q(dir_ / "src") + " " + Q(backup));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Ошибка при создании TAR-файла: Не удается открыть файл [" + (dir_ / "src/secret/key") +
                       "]: Permission denied\n");
  EXPECT_EQ(ReadFile(backup), good);
}

TEST_F(ZtvTool, SystemTextsOnATerminalOverwriteNothing) {
  // Piped, the message is as the system builds it, parts separated by CR.
  Result r = Run("tar list " + Q(dir_ / "missing.tar"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("\r" + (dir_ / "missing.tar") + "\r"), std::string::npos) << r.err;
  // On a terminal (whose own line ends are CR LF) no lone CR is left to
  // send the cursor back over what was printed.
  r = test::RunProgram("python3 -c 'import pty, sys; pty.spawn(sys.argv[1:])' " + std::string(ZTVTOOL_PATH) +
                       " tar list " + Q(dir_ / "missing.tar"));
  std::string shown = r.out;
  for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.replace(at, 2, "\n");
  EXPECT_NE(shown.find("Ошибка при открытии файла: \n" + (dir_ / "missing.tar") + "\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\r'), std::string::npos) << shown;
}

TEST_F(ZtvTool, PackageBuildVerifyUnpack) {
  WriteFile(dir_ / "pkg/UpdateInstaller.exe", "#!/bin/sh\n");
  std::string noise;
  uint32_t x = 7;
  for (int i = 0; i < 40000; ++i) noise += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  WriteFile(dir_ / "pkg/Данные/noise.bin", noise);
  for (const char* mode : {"", "--lzma "}) {
    SCOPED_TRACE(mode);
    fs::remove_all(dir_ / "upd");
    fs::remove_all(dir_ / "out");
    Result r = Run(std::string("package build --source 07.05.xx --dest 07.05.12 ") + mode + "--part-size 10000 " +
                   Q(dir_ / "pkg") + " " + Q(dir_ / "upd"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "upd/Files.DAT"));
    EXPECT_TRUE(fs::exists(dir_ / "upd/Files.002"));

    r = Run("package verify " + Q(dir_ / "upd") + " --current 07.05.07");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");

    r = Run("package unpack " + Q(dir_ / "upd") + " " + Q(dir_ / "out") + " --current 07.05.07");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(test::Snapshot(dir_ / "out"), test::Snapshot(dir_ / "pkg"));

    r = Run("package verify " + Q(dir_ / "upd") + " --current 07.05.12");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Ошибка загрузки заголовка [" + (dir_ / "upd") +
                         "/Files.DAT]: обновление предназначено для версии 07.05.xx, текущая версия - 07.05.12, "
                         "новая версия - 07.05.12\n");
  }
  // Without the installer at its top a tree is no package.
  Result r = Run("package build --source 1 --dest 2 " + Q(dir_ / "pkg/Данные") + " " + Q(dir_ / "upd2"));
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(r.err.empty());
}

TEST_F(ZtvTool, UsageErrorsAreOneLineAndExitOne) {
  Result r = Run("tar list");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  r = Run("--help");
  EXPECT_EQ(r.code, 0);
}

}  // namespace
}  // namespace ztv
