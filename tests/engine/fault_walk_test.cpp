// Every write, sync and rename of each operation that replaces a file, made
// to fail in turn through the file layer's seam (a full disk, a failing
// device, a rename refused): afterwards the file it would have replaced is
// as it was, nothing partial is left beside it, and the message names the
// file. A restore that fails part-way leaves the backup intact, and a second
// restore completes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>

#include "backup/backup_verify.h"
#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/text.h"
#include "engine/update_package.h"
#include "engine/ztv_procs.h"
#include "multiregistry/registry_store.h"
#include "support/registry_fixture.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::StatSnapshot;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Names(const std::map<std::string, std::string>& files) {
  std::vector<std::string> names;
  for (const auto& [name, content] : files) names.push_back(name + " " + std::to_string(content.size()));
  return names;
}

struct Walked {
  int64_t failures = 0;  // runs that failed
  bool completed = false;  // a run past the last operation succeeded
};

// Runs `operation` with the 1st, 2nd, ... operation of kind `op` failing
// with `error`, until a run no longer reaches the failing one; `check` looks
// at what each failed run left, with its message.
Walked Walk(FileOp op, int error, const std::function<void()>& operation,
            const std::function<void(const std::string& message)>& check) {
  Walked walked;
  for (int64_t n = 1; n < 10000; ++n) {
    ClearFileFaults();
    InjectFileFault(op, n, error);
    std::string message;
    try {
      operation();
    } catch (const Exception& e) {
      message = e.what();
    }
    const bool reached = FileOpCount(op) >= n;
    ClearFileFaults();
    if (!reached) {
      EXPECT_EQ(message, "") << "failed although the fault was never reached, N=" << n;
      walked.completed = message.empty();
      break;
    }
    SCOPED_TRACE("fault at operation " + std::to_string(n));
    EXPECT_FALSE(message.empty()) << "a failed operation reported success";
    check(message);
    ++walked.failures;
  }
  return walked;
}

const std::vector<std::pair<FileOp, int>> kFaults = {
    {FileOp::Write, ENOSPC}, {FileOp::Write, EIO}, {FileOp::Sync, EIO}, {FileOp::Rename, EROFS}};

std::string OpName(FileOp op) { return op == FileOp::Write ? "write" : op == FileOp::Sync ? "sync" : "rename"; }

class FaultWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "inst/bin/Bureo", std::string(3000, 'B'));
    WriteFile(dir_ / "inst/Данные/база.gdb", std::string(300000, 'D'));
    WriteFile(dir_ / "inst/ocx/IMD.DAT", "imd");
    for (int i = 0; i < 20; ++i) WriteFile(dir_ / ("inst/many/f" + std::to_string(i)), std::to_string(i));
    fs::create_symlink("Bureo", dir_ / "inst/bin/bureo");
  }
  void TearDown() override { ClearFileFaults(); }

  TempDir dir_;
};

TEST_F(FaultWalk, BackupCreateLeavesThePreviousBackup) {
  const std::string backup = dir_ / "Backup.DAT";
  WriteBackupFile(dir_ / "inst", backup, {}, nullptr, "7.1.1");
  const std::string good = ReadFile(backup);
  WriteFile(dir_ / "inst/bin/new.dll", "changed since");
  for (const auto& [op, error] : kFaults) {
    SCOPED_TRACE(OpName(op));
    const Walked w = Walk(
        op, error, [&] { WriteBackupFile(dir_ / "inst", backup, {}, nullptr, "7.1.2"); },
        [&](const std::string& message) {
          EXPECT_EQ(ReadFile(backup), good);
          EXPECT_FALSE(fs::exists(backup + ".new"));
          EXPECT_NE(message.find(backup), std::string::npos) << message;
          EXPECT_NE(message.find(FileErrorText(error)), std::string::npos) << message;
        });
    EXPECT_GE(w.failures, 1);
    EXPECT_TRUE(w.completed);
    EXPECT_EQ(ReadBackupVersion(backup), "7.1.2");
    WriteFile(backup, good);
  }
}

TEST_F(FaultWalk, RestoreThatFailsKeepsTheBackupAndTheNextOneCompletes) {
  const std::string backup = dir_ / "Backup.DAT";
  WriteBackupFile(dir_ / "inst", backup, {});
  const std::string good = ReadFile(backup);
  const auto tree = StatSnapshot(dir_ / "inst");
  for (int error : {ENOSPC, EIO}) {
    const Walked w = Walk(
        FileOp::Write, error, [&] { TTarBackup(dir_ / "inst", backup).Restore(); },
        [&](const std::string& message) {
          EXPECT_EQ(ReadFile(backup), good);
          EXPECT_NE(message.find(FileErrorText(error)), std::string::npos) << message;
          EXPECT_NE(message.find(dir_ / "inst"), std::string::npos) << message;
          // The next restore, with nothing failing, makes the tree whole.
          TTarBackup(dir_ / "inst", backup).Restore();
          EXPECT_EQ(StatSnapshot(dir_ / "inst"), tree);
        });
    EXPECT_GE(w.failures, 3);  // the files with content
    EXPECT_TRUE(w.completed);
    EXPECT_EQ(StatSnapshot(dir_ / "inst"), tree);
  }
}

TEST_F(FaultWalk, CompoundImagePackageAndStreamFilesAreReplacedWhole) {
  const std::string cfb = dir_ / "image.cfb";
  PackDirToStorage(dir_ / "inst", cfb);
  const std::string oldImage = ReadFile(cfb);

  WriteFile(dir_ / "pkg/UpdateInstaller.exe", "#!/bin/sh\n");
  WriteFile(dir_ / "pkg/data.bin", std::string(200000, 'p'));
  TPackageBuildOptions options{"7.1.2", "7.2.0", false, 60000};
  BuildPackage(dir_ / "pkg", dir_ / "out", options);
  auto oldPackage = test::Snapshot(dir_ / "out");
  WriteFile(dir_ / "pkg/data.bin", std::string(200000, 'q'));

  const std::string plain = dir_ / "plain.bin";
  WriteFile(plain, "old content of the file");

  struct Case {
    std::string name;
    std::function<void()> run;
    std::function<void(const std::string&)> check;
  };
  const std::vector<Case> cases = {
      {"cfb pack", [&] { PackDirToStorage(dir_ / "pkg", cfb); },
       [&](const std::string& message) {
         EXPECT_EQ(ReadFile(cfb), oldImage);
         EXPECT_FALSE(fs::exists(cfb + ".new"));
         EXPECT_NE(message.find(cfb), std::string::npos) << message;
       }},
      {"stream save", [&] { TZVMemoryStream(std::string(100000, 'n')).SaveToFile(plain); },
       [&](const std::string& message) {
         EXPECT_EQ(ReadFile(plain), "old content of the file");
         EXPECT_FALSE(fs::exists(plain + ".new"));
         EXPECT_NE(message.find(plain), std::string::npos) << message;
       }},
  };
  for (const Case& c : cases) {
    for (const auto& [op, error] : kFaults) {
      SCOPED_TRACE(c.name + " " + OpName(op));
      const Walked w = Walk(op, error, c.run, c.check);
      EXPECT_GE(w.failures, 1);
      EXPECT_TRUE(w.completed);
      // The run that completed replaced the file: the old one back.
      PackDirToStorage(dir_ / "inst", cfb);
      WriteFile(plain, "old content of the file");
    }
  }

  // A package: every write and sync happens before the first rename, so a
  // failure there leaves every file of the old package; the parts are put
  // in place before Files.DAT, so a package whose renames were cut short
  // fails its check rather than installing something else.
  // Back to an old package (the image holds the files' times, so it is
  // taken anew).
  auto restoreOldPackage = [&] {
    WriteFile(dir_ / "pkg/data.bin", std::string(200000, 'p'));
    BuildPackage(dir_ / "pkg", dir_ / "out", options);
    oldPackage = test::Snapshot(dir_ / "out");
    WriteFile(dir_ / "pkg/data.bin", std::string(200000, 'q'));
  };
  for (const auto& [op, error] : kFaults) {
    SCOPED_TRACE(std::string("package build ") + OpName(op));
    Walk(op, error, [&] { BuildPackage(dir_ / "pkg", dir_ / "out", options); },
         [&](const std::string& message) {
           EXPECT_NE(message.find(dir_ / "out/"), std::string::npos) << message;
           if (op != FileOp::Rename) {
             const auto now = test::Snapshot(dir_ / "out");
             EXPECT_TRUE(now == oldPackage) << ::testing::PrintToString(Names(now));
           } else if (test::Snapshot(dir_ / "out") != oldPackage) {
             EXPECT_THROW(VerifyPackage(dir_ / "out", "7.1.2"), Exception);
           }
           for (const auto& [name, content] : test::Snapshot(dir_ / "out"))
             EXPECT_EQ(name.find(".new"), std::string::npos) << name;
           // The next build mends whatever the failure left.
           BuildPackage(dir_ / "pkg", dir_ / "out", options);
           VerifyPackage(dir_ / "out", "7.1.2");
           restoreOldPackage();
         });
    restoreOldPackage();
  }
}

TEST_F(FaultWalk, SettingsAndTheDatabaseListKeepTheirOldContent) {
  test::ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                           "\"CurrentVersion\"=\"7.1.2\"\n"
                           "\"CurrentStatus\"=dword:00000001\n"
                           "\"BackupVersion\"=\"7.1.1\"\n");
  const std::string settingsFile = reg.File();
  const std::string settings = ReadFile(settingsFile);
  for (const auto& [op, error] : kFaults) {
    SCOPED_TRACE(std::string("settings ") + OpName(op));
    const Walked w = Walk(op, error, [&] { SetBackupVersion("7.1.2"); },
                          [&](const std::string&) {
                            EXPECT_EQ(ReadFile(settingsFile), settings);
                            EXPECT_EQ(GetBackupVersion(), "7.1.1");
                            for (const auto& e : fs::directory_iterator(reg.Dir().Path()))
                              EXPECT_EQ(e.path().filename().string().rfind(".registry.reg.", 0), std::string::npos)
                                  << e.path();
                          });
    EXPECT_GE(w.failures, 1);
    EXPECT_TRUE(w.completed);
    SetBackupVersion("7.1.1");
  }

  auto store = std::make_shared<TRegistryStore>();
  TRegistryStore::SetInteger(store->CreateKey("ЗТВ\\Доступные базы\\Основная"), "Идентификатор", 1);
  const std::string imd = dir_ / "IMD.DAT";
  store->SaveToFile(imd);
  const std::string list = ReadFile(imd);
  TRegistryStore::SetInteger(store->CreateKey("ЗТВ\\Доступные базы\\Вторая"), "Идентификатор", 2);
  for (const auto& [op, error] : kFaults) {
    SCOPED_TRACE(std::string("IMD.DAT ") + OpName(op));
    const Walked w = Walk(op, error, [&] { store->SaveToFile(imd); },
                          [&](const std::string& message) {
                            EXPECT_EQ(ReadFile(imd), list);
                            EXPECT_NE(message.find(imd), std::string::npos) << message;
                            for (const auto& e : fs::directory_iterator(dir_.Path()))
                              EXPECT_EQ(e.path().filename().string().rfind(".IMD.DAT.", 0), std::string::npos)
                                  << e.path();
                          });
    EXPECT_GE(w.failures, 1);
    EXPECT_TRUE(w.completed);
    WriteFile(imd, list);
  }
}

TEST(FileLayer, LeftoversOfAKilledWriteAreRemovedByTheNextWriter) {
  TempDir dir;
  WriteFile(dir / "Backup.DAT.new", "half a backup of a killed run");
  WriteFile(dir / "keep.txt", "keep");
  {
    TReplacement replacement(dir / "Backup.DAT");
    EXPECT_FALSE(fs::exists(dir / "Backup.DAT.new"));
  }
  WriteFile(dir / ".registry.reg.Ab12Cd", "a killed settings write");
  WriteFile(dir / ".registry.reg.toolongname", "not of the pattern");
  RemoveStaleTemporaries(dir / "registry.reg");
  EXPECT_FALSE(fs::exists(dir / ".registry.reg.Ab12Cd"));
  EXPECT_TRUE(fs::exists(dir / ".registry.reg.toolongname"));
  EXPECT_TRUE(fs::exists(dir / "keep.txt"));
}

TEST(FileLayer, ReasonsAreNamedInRussianWithTheSystemsText) {
  EXPECT_EQ(FileErrorText(ENOSPC), "недостаточно места на диске (No space left on device)");
  EXPECT_EQ(FileErrorText(EROFS), "файловая система доступна только для чтения (Read-only file system)");
  EXPECT_EQ(FileErrorText(EACCES), "отказано в доступе (Permission denied)");
  EXPECT_EQ(WriteErrorMessage("/x/y", EIO), "Ошибка записи в файл [/x/y]: ошибка ввода-вывода (Input/output error)");
}

}  // namespace
}  // namespace ztv
