#include "backup/tar_backup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "core/errors.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"
#include "crafted_backup.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::Snapshot;

using test::MessageOf;

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteCraftedBackup;
using test::WriteFile;

std::vector<std::string> Members(const std::string& archive) {
  std::vector<std::string> names;
  TTarArchive a(archive);
  TTarDirRec r;
  while (a.FindNext(r)) names.push_back(r.Name);
  return names;
}

TEST(TarBackup, EmptyDirectoryGivesOnlyTheIndexAndTheEndBlock) {
  TempDir dir;
  fs::create_directory(dir / "src");
  TTarBackup b(dir / "src", dir / "Backup.DAT");
  std::vector<std::string> progress;
  b.OnProgress = [&](int32_t p, const std::string& t) { progress.push_back(std::to_string(p) + " " + t); };
  b.Backup();
  EXPECT_EQ(Members(dir / "Backup.DAT"), std::vector<std::string>{"Index.trs"});
  auto size = fs::file_size(dir / "Backup.DAT");
  EXPECT_EQ(size % 512, 0u);
  EXPECT_EQ(ReadFile(dir / "Backup.DAT").substr(size - 512), std::string(512, '\0'));
  EXPECT_EQ(progress, (std::vector<std::string>{"1 Сканирование каталогов.", "100 Сохранение индексного файла",
                                                "100 Резервное копирование завершено"}));
}

TEST(TarBackup, ScanNumbersDirectoriesBeforeTheirContentAndStoresFilesByID) {
  TempDir dir;
  WriteFile(dir / "src/a/b/c.txt", "c");
  WriteFile(dir / "src/d.txt", "d");
  TTarBackup b(dir / "src", dir / "Backup.DAT");
  std::vector<std::pair<int, std::string>> progress;
  b.OnProgress = [&](int32_t p, const std::string& t) { progress.emplace_back(p, t); };
  b.Backup();

  std::map<std::string, int> ids;
  std::vector<std::string> fileIds;
  for (b.DiskList->First(); !b.DiskList->Eof(); b.DiskList->Next()) {
    std::string name = b.DiskList->FieldByName("Name").AsString();
    int id = b.DiskList->FieldByName("ID").AsInteger();
    ids[name] = id;
    if (!b.DiskList->FieldByName("IsDirectory").AsBoolean()) fileIds.push_back(std::to_string(id));
  }
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_LT(ids["a"], ids["a\\b"]);
  EXPECT_LT(ids["a\\b"], ids["a\\b\\c.txt"]);
  EXPECT_EQ(ids["a\\b\\c.txt"] - ids["a"], 2);  // depth first: a's subtree follows it at once
  std::vector<std::string> expected = fileIds;
  expected.push_back("Index.trs");
  EXPECT_EQ(Members(dir / "Backup.DAT"), expected);

  // Progress: 1, then 2 + 98k/n per record, then the two closing rows.
  ASSERT_EQ(progress.size(), 7u);
  EXPECT_EQ(progress[1].first, 2 + 98 * 1 / 4);
  EXPECT_EQ(progress[4].first, 100);
  EXPECT_EQ(progress[4].second.rfind("Сохранение файла: ", 0), 0u);
}

TEST(TarBackup, RoundTripOfANastyTreeLeavesItEqual) {
  TempDir dir;
  WriteFile(dir / "src/Документы/отчёт.txt", "отчёт");
  WriteFile(dir / "src/.hidden", "hidden");
  WriteFile(dir / "src/ro.txt", "read only");
  ::chmod((dir / "src/ro.txt").c_str(), 0444);
  fs::create_directories(dir / "src/empty/deeper");
  WriteFile(dir / "src/bin/big.dat", std::string(3 << 20, 'z'));
  WriteFile(dir / "src/zero", "");
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();
  auto before = Snapshot(dir / "src");

  // Change the tree every possible way, then restore.
  WriteFile(dir / "src/Документы/отчёт.txt", "changed");
  fs::remove_all(dir / "src/empty");
  WriteFile(dir / "src/new/file.txt", "new");
  WriteFile(dir / "src/extra.txt", "extra");
  fs::remove(dir / "src/zero");
  TTarBackup r(dir / "src", dir / "Backup.DAT");
  std::vector<std::pair<int, std::string>> progress;
  r.OnProgress = [&](int32_t p, const std::string& t) { progress.emplace_back(p, t); };
  r.Restore();
  EXPECT_EQ(Snapshot(dir / "src"), before);
  ASSERT_GE(progress.size(), 6u);
  EXPECT_EQ(progress[0], (std::pair<int, std::string>{1, "Считывание списка файлов из резервной копии"}));
  EXPECT_EQ(progress[1], (std::pair<int, std::string>{1, "Считывание файла индекса"}));
  EXPECT_EQ(progress[2], (std::pair<int, std::string>{2, "Создание списка файлов с диска"}));
  EXPECT_EQ(progress[3], (std::pair<int, std::string>{3, "Создание каталогов"}));
  EXPECT_EQ(progress[progress.size() - 2], (std::pair<int, std::string>{99, "Удаление файлов и каталогов"}));
  EXPECT_EQ(progress.back(), (std::pair<int, std::string>{100, "Восстановление из резервной копии завершено"}));
  EXPECT_EQ(progress[4].second.rfind("Распаковка файла: ", 0), 0u);

  // The same backup restores into an empty directory too.
  fs::create_directory(dir / "other");
  TTarBackup(dir / "other", dir / "Backup.DAT").Restore();
  EXPECT_EQ(Snapshot(dir / "other"), before);
}

TEST(TarBackup, RestoreStopsOnBadArchivesBeforeChangingAnything) {
  TempDir dir;
  WriteFile(dir / "dst/keep.txt", "keep");
  auto before = Snapshot(dir / "dst");

  WriteCraftedBackup(dir / "noindex.tar", {}, {{"1", "x"}}, false);
  EXPECT_EQ(MessageOf([&] { TTarBackup(dir / "dst", dir / "noindex.tar").Restore(); }),
            "Не найден файл индекса в резервной копии.");
  EXPECT_EQ(Snapshot(dir / "dst"), before);

  // Names that would leave the directory are refused before any write.
  for (std::string evil : {"..\\evil.txt", "a\\..\\..\\evil.txt", "\\etc\\evil", "C:\\evil", "", "a\\\\b"}) {
    WriteCraftedBackup(dir / "evil.tar", {{1, "new.txt", false}, {2, evil, false}}, {{"1", "n"}, {"2", "e"}});
    EXPECT_EQ(MessageOf([&] { TTarBackup(dir / "dst", dir / "evil.tar").Restore(); }),
              "Недопустимое имя в индексе резервной копии: [" + evil + "]");
    EXPECT_EQ(Snapshot(dir / "dst"), before) << evil;
  }
  EXPECT_FALSE(fs::exists(dir / "evil.txt"));

  WriteCraftedBackup(dir / "42.tar", {{1, "a.txt", false}}, {{"42", "x"}});
  EXPECT_EQ(MessageOf([&] { TTarBackup(dir / "dst", dir / "42.tar").Restore(); }),
            "Ошибка: в backup обнаружен файл, отсутствующий в индексе [42]");
  WriteCraftedBackup(dir / "nan.tar", {{1, "a.txt", false}}, {{"x1", "x"}});
  EXPECT_EQ(MessageOf([&] { TTarBackup(dir / "dst", dir / "nan.tar").Restore(); }),
            "'x1' is not a valid integer value");
}

TEST(TarBackup, SymlinksInTheTargetAreReplacedNeverFollowed) {
  TempDir dir;
  WriteFile(dir / "src/conf/settings.ini", "mine");
  WriteFile(dir / "src/file.txt", "file");
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();

  WriteFile(dir / "outside/settings.ini", "outside");
  WriteFile(dir / "outside/file.txt", "outside");
  fs::create_directory(dir / "dst");
  fs::create_directory_symlink(dir / "outside", dir / "dst/conf");
  fs::create_symlink(dir / "outside/file.txt", dir / "dst/file.txt");
  TTarBackup(dir / "dst", dir / "Backup.DAT").Restore();
  EXPECT_EQ(ReadFile(dir / "outside/settings.ini"), "outside");
  EXPECT_EQ(ReadFile(dir / "outside/file.txt"), "outside");
  EXPECT_FALSE(fs::is_symlink(dir / "dst/conf"));
  EXPECT_FALSE(fs::is_symlink(dir / "dst/file.txt"));
  EXPECT_EQ(ReadFile(dir / "dst/conf/settings.ini"), "mine");
  EXPECT_EQ(ReadFile(dir / "dst/file.txt"), "file");
}

TEST(TarBackup, MovedAsideFilesAndTheirExtension) {
  TempDir dir;
  WriteFile(dir / "src/app.exe", "new");
  WriteFile(dir / "src/_delete_me0.$$$", "stale");
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();

  // In the target a directory stands where the file must go: it cannot be
  // deleted as a file, so it is moved aside and the file written.
  WriteFile(dir / "dst/app.exe/inside", "in the way");
  WriteFile(dir / "dst/_delete_me0.$$$/x", "occupied");
  TTarBackup(dir / "dst", dir / "Backup.DAT").Restore();
  EXPECT_EQ(ReadFile(dir / "dst/app.exe"), "new");
  EXPECT_EQ(ReadFile(dir / "dst/_delete_me1.$$$/inside"), "in the way");
  // A "$$$" file of the backup is never written back.
  EXPECT_FALSE(fs::is_regular_file(dir / "dst/_delete_me0.$$$"));
}

TEST(TarBackup, NamesDifferingInCaseAreTheSameEntry) {
  TempDir dir;
  WriteFile(dir / "src/Bin/Tool.exe", "new");
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();
  WriteFile(dir / "dst/BIN/TOOL.EXE", "old");
  TTarBackup(dir / "dst", dir / "Backup.DAT").Restore();
  EXPECT_EQ(Snapshot(dir / "dst"), (std::map<std::string, std::string>{{"BIN", "<dir>"}, {"BIN/TOOL.EXE", "new"}}));
}

TEST(TarBackup, ThousandsOfFilesWithNamesDifferingOnlyInCase) {
  TempDir dir;
  const std::string src = dir / "src";
  for (int i = 0; i < 3000; ++i)
    WriteFile(src + "/dir" + std::to_string(i % 30) + "/file" + std::to_string(i) + ".txt", std::to_string(i));
  // Entries a case-blind file system would take for one, each with its own content.
  WriteFile(src + "/dir0/Case.txt", "Case");
  WriteFile(src + "/dir0/case.txt", "case");
  WriteFile(src + "/dir0/CASE.TXT", "CASE");
  WriteFile(src + "/Sub/inside.txt", "Sub");
  WriteFile(src + "/sub/inside.txt", "sub");
  TTarBackup(src, dir / "Backup.DAT").Backup();
  const auto tree = Snapshot(src);

  // Into an empty folder every entry comes back under its own name.
  fs::create_directory(dir / "empty");
  TTarBackup(dir / "empty", dir / "Backup.DAT").Restore();
  EXPECT_EQ(Snapshot(dir / "empty"), tree);

  // Over a changed copy: changed, missing and extra files, and a case
  // variant beside an exact name, which goes while the exact one is kept.
  const std::string dst = dir / "empty";
  fs::remove(dst + "/dir3/file3.txt");
  WriteFile(dst + "/dir4/file4.txt", "changed");
  WriteFile(dst + "/dir5/extra.txt", "extra");
  WriteFile(dst + "/dir6/FILE6.TXT", "variant");
  WriteFile(dst + "/new/deep/x.txt", "x");
  TTarBackup(dst, dir / "Backup.DAT").Restore();
  EXPECT_EQ(Snapshot(dst), tree);

  // An entry that differs from a backed-up name only in case, with nothing
  // of exactly that name beside it, is the same entry and is written over.
  fs::rename(dst + "/dir7/file7.txt", dst + "/dir7/FILE7.txt");
  WriteFile(dst + "/dir7/FILE7.txt", "old");
  fs::rename(dst + "/dir8", dst + "/DIR8");
  TTarBackup(dst, dir / "Backup.DAT").Restore();
  std::map<std::string, std::string> expect;
  for (const auto& [name, content] : tree) {
    std::string n = name == "dir7/file7.txt" ? "dir7/FILE7.txt" : name;
    if (n == "dir8" || n.rfind("dir8/", 0) == 0) n = "DIR8" + n.substr(4);
    expect[n] = content;
  }
  EXPECT_EQ(Snapshot(dst), expect);
}

TEST(TarBackup, FailedBackupRemovesThePartialArchive) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  // A sparse file of 5 GiB is too big for a member.
  WriteFile(dir / "src/huge.bin", "");
  fs::resize_file(dir / "src/huge.bin", 5ull << 30);
  // A pipe is passed over, never opened (that would block).
  ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0600), 0);
  std::string message;
  try {
    TTarBackup(dir / "src", dir / "Backup.DAT").Backup();
  } catch (const ETyped& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "Ошибка при создании TAR-файла: TTarWriter.AddFile: Ошибка: файл слишком большой. [" +
                         (dir / "src/huge.bin") + "]");
  EXPECT_FALSE(fs::exists(dir / "Backup.DAT"));

  fs::remove(dir / "src/huge.bin");
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();
  EXPECT_EQ(Members(dir / "Backup.DAT").size(), 2u);  // a.txt and the index
}

TEST(TarBackup, NamesTheIndexCannotHoldStopTheBackup) {
  TempDir dir;
  WriteFile(dir / ("src/" + std::string(200, 'a') + "/" + std::string(60, 'b')), "x");
  EXPECT_THROW(TTarBackup(dir / "src", dir / "Backup.DAT").Backup(), Exception);
}

TEST(CheckStoredRelativeName, AcceptsPlainRelativeNames) {
  EXPECT_NO_THROW(CheckStoredRelativeName("ocx\\IMD.DAT"));
  EXPECT_NO_THROW(CheckStoredRelativeName("a..b\\c"));
  EXPECT_THROW(CheckStoredRelativeName("ocx\\..\\x"), Exception);
  EXPECT_THROW(CheckStoredRelativeName("/abs"), Exception);
  EXPECT_THROW(CheckStoredRelativeName("a\\"), Exception);
}

}  // namespace
}  // namespace ztv
