#include "backup/tar_backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "core/errors.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"
#include "crafted_backup.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::Snapshot;
using test::StatSnapshot;

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

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
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
  // Names the file system cannot hold (130 Cyrillic letters are 260 bytes
  // on disk) or that would hide a separator are refused as well.
  for (std::string evil : {std::string("..\\evil.txt"), std::string("a\\..\\..\\evil.txt"), std::string("\\etc\\evil"),
                           std::string("C:\\evil"), std::string(""), std::string("a\\\\b"), std::string("sub/evil.txt"),
                           std::string("new\nline"), std::string("tab\tname"), Repeat("я", 130)}) {
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
  EXPECT_EQ(Members(dir / "Backup.DAT").size(), 3u);  // a.txt, the pipe and the index
}

// A tree shaped like a Linux installation: a program, a script, a private
// file, a group folder, a setgid folder, links to a file, to a folder and to
// nothing, a pipe, Cyrillic names, and (as root) entries of other owners.
void MakeLinuxTree(const std::string& root) {
  WriteFile(root + "/bin/Bureo", "#!/bin/sh\necho Bureo работает\n");
  ::chmod((root + "/bin/Bureo").c_str(), 0755);
  WriteFile(root + "/bin/start.sh", "#!/bin/sh\nexit 0\n");
  ::chmod((root + "/bin/start.sh").c_str(), 0750);
  WriteFile(root + "/etc/пароль.conf", "secret");
  ::chmod((root + "/etc/пароль.conf").c_str(), 0600);
  WriteFile(root + "/Данные/отчёт.txt", "отчёт");
  ::chmod((root + "/Данные").c_str(), 0750);
  fs::create_directories(root + "/shared");
  ::chmod((root + "/shared").c_str(), 02775);
  WriteFile(root + "/shared/readonly.txt", "ro");
  ::chmod((root + "/shared/readonly.txt").c_str(), 0444);
  WriteFile(root + "/bin/suid-tool", "tool");
  ::chmod((root + "/bin/suid-tool").c_str(), 04711);
  fs::create_directories(root + "/locked");
  WriteFile(root + "/locked/inside.txt", "inside");
  ::chmod((root + "/locked").c_str(), 0555);
  fs::create_symlink("Bureo", root + "/bin/bureo-link");
  fs::create_directory_symlink("../Данные", root + "/bin/данные");
  fs::create_symlink("/nonexistent/target", root + "/dangling");
  ::mkfifo((root + "/pipe").c_str(), 0640);
  if (::geteuid() == 0) {
    EXPECT_EQ(::chown((root + "/Данные/отчёт.txt").c_str(), 65534, 65534), 0);
    EXPECT_EQ(::chown((root + "/Данные").c_str(), 65534, 0), 0);
    EXPECT_EQ(::lchown((root + "/dangling").c_str(), 65534, 65534), 0);
  }
  // Whole-second times, as the tar header keeps them.
  for (const char* name : {"/bin/Bureo", "/etc/пароль.conf", "/Данные/отчёт.txt"}) {
    const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    ::utimensat(AT_FDCWD, (root + name).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

TEST(TarBackup, ALinuxTreeComesBackWithItsModesOwnersAndLinks) {
  TempDir dir;
  const std::string src = dir / "src";
  MakeLinuxTree(src);
  const auto before = StatSnapshot(src);
  TTarBackup(src, dir / "Backup.DAT").Backup();
  EXPECT_EQ(StatSnapshot(src), before);  // the backup changed nothing

  // Into an empty folder.
  fs::create_directory(dir / "empty");
  TTarBackup(dir / "empty", dir / "Backup.DAT").Restore();
  EXPECT_EQ(StatSnapshot(dir / "empty"), before);
  std::string out;
  EXPECT_EQ(test::RunShell("'" + (dir / "empty/bin/Bureo") + "'", out), 0) << out;
  EXPECT_EQ(out, "Bureo работает\n");

  // Over a copy changed in every attribute: modes, owners, a link turned
  // into a file and a file into a link, a link pointed elsewhere, a folder
  // where a link was.
  const std::string dst = dir / "empty";
  ::chmod((dst + "/bin/Bureo").c_str(), 0644);
  ::chmod((dst + "/etc/пароль.conf").c_str(), 0666);
  ::chmod((dst + "/shared").c_str(), 0777);
  ::chmod((dst + "/Данные").c_str(), 0700);
  fs::remove(dst + "/bin/bureo-link");
  WriteFile(dst + "/bin/bureo-link", "a file now");
  fs::remove(dst + "/bin/start.sh");
  fs::create_symlink("/etc/passwd", dst + "/bin/start.sh");
  fs::remove(dst + "/dangling");
  fs::create_symlink("elsewhere", dst + "/dangling");
  fs::remove(dst + "/bin/данные");
  WriteFile(dst + "/bin/данные/stray.txt", "stray");
  if (::geteuid() == 0) {
    EXPECT_EQ(::chown((dst + "/etc/пароль.conf").c_str(), 65534, 65534), 0);
  }
  TTarBackup(dst, dir / "Backup.DAT").Restore();
  EXPECT_EQ(StatSnapshot(dst), before);
  EXPECT_EQ(ReadFile("/etc/passwd").empty(), false);  // the link's target was never written
}

TEST(TarBackup, MembersCarryTheirModesOwnersAndLinkTargets) {
  TempDir dir;
  MakeLinuxTree(dir / "src");
  TTarBackup b(dir / "src", dir / "Backup.DAT");
  b.Backup();
  std::map<std::string, std::string> byName;
  for (b.DiskList->First(); !b.DiskList->Eof(); b.DiskList->Next())
    byName[std::to_string(b.DiskList->FieldByName("ID").AsInteger())] = b.DiskList->FieldByName("Name").AsString();
  std::map<std::string, TTarDirRec> members;
  TTarArchive a(dir / "Backup.DAT");
  TTarDirRec r;
  while (a.FindNext(r)) members[r.Name == kIndexMemberName ? r.Name : byName[r.Name]] = r;

  struct Case {
    std::string name;
    TTarFileType type;
    uint32_t mode;
    std::string link;
  };
  for (const Case& c : std::vector<Case>{{"bin\\Bureo", TTarFileType::Regular, 0755, ""},
                                         {"etc\\пароль.conf", TTarFileType::Regular, 0600, ""},
                                         {"bin\\suid-tool", TTarFileType::Regular, 04711, ""},
                                         {"bin\\bureo-link", TTarFileType::SymbolicLink, 0777, "Bureo"},
                                         {"bin\\данные", TTarFileType::SymbolicLink, 0777, "../Данные"},
                                         {"dangling", TTarFileType::SymbolicLink, 0777, "/nonexistent/target"},
                                         {"pipe", TTarFileType::FIFOFile, 0640, ""}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(members.count(c.name));
    const TTarDirRec& m = members[c.name];
    EXPECT_EQ(m.FileType, c.type);
    EXPECT_EQ(MemberMode(m), c.mode);
    EXPECT_EQ(m.LinkName, c.link);
    EXPECT_TRUE(m.ChecksumValid);
    struct stat st;
    ASSERT_EQ(::lstat((dir / "src/" + ReplaceAll(c.name, "\\", "/")).c_str(), &st), 0);
    EXPECT_EQ(m.OwnerId, static_cast<int32_t>(st.st_uid));
    EXPECT_EQ(m.GroupId, static_cast<int32_t>(st.st_gid));
    if (st.st_uid == 0) {
      EXPECT_EQ(m.OwnerName, "root");
    }
    if (c.type != TTarFileType::Regular) {
      EXPECT_EQ(m.Size, 0);
    }
  }
  EXPECT_EQ(DateTimeToUnixSeconds(members["bin\\Bureo"].ModTime), 1600000000);
  // Links are never folders of the index, and nothing was saved below the
  // link to a folder.
  b.DiskList->Locate("Name", TVarValue(std::string("bin\\данные")));
  EXPECT_FALSE(b.DiskList->FieldByName("IsDirectory").AsBoolean());
  EXPECT_FALSE(b.DiskList->Locate("Name", TVarValue(std::string("bin\\данные\\отчёт.txt"))));
  // Folders keep their attributes in the index.
  ASSERT_TRUE(b.DiskList->Locate("Name", TVarValue(std::string("shared"))));
  EXPECT_EQ(b.DiskList->FieldByName(kIndexModeField).AsInteger(), 02775);

  // A reader that recreates the fields from the packet, as the index has
  // always been read, finds its three fields first and the new ones after.
  TTarArchive again(dir / "Backup.DAT");
  while (again.FindNext(r) && r.Name != kIndexMemberName) {
  }
  TZVMemoryStream packet;
  again.ReadFileTo(packet);
  packet.SetPosition(0);
  TStaticSet index;
  LoadDataSetFromStream(packet, index, UnpackOptions::RecreateFields);
  std::vector<std::string> fields;
  for (int i = 0; i < index.FieldCount(); ++i) fields.push_back(index.Fields(i).FieldName());
  EXPECT_EQ(fields, (std::vector<std::string>{"ID", "Name", "IsDirectory", "Mode", "OwnerId", "GroupId", "CRC"}));
  EXPECT_EQ(index.RecordCount(), b.DiskList->RecordCount());
}

TEST(TarBackup, GnuTarSeesAndExtractsTheSameModesOwnersAndLinks) {
  TempDir dir;
  MakeLinuxTree(dir / "src");
  TTarBackup b(dir / "src", dir / "Backup.DAT");
  b.Backup();
  std::string out;
  ASSERT_EQ(test::RunShell("tar tvf '" + (dir / "Backup.DAT") + "'", out), 0) << out;
  EXPECT_NE(out.find("-rwxr-xr-x"), std::string::npos) << out;
  EXPECT_NE(out.find("-rws--x--x"), std::string::npos) << out;
  EXPECT_NE(out.find(" -> ../Данные"), std::string::npos) << out;
  EXPECT_NE(out.find("prw-r-----"), std::string::npos) << out;

  // GNU tar's extraction (as the user it runs as) and ours give every
  // member the same attributes; GNU tar's members are named by ID.
  fs::create_directory(dir / "gnu");
  ASSERT_EQ(test::RunShell("tar xpf '" + (dir / "Backup.DAT") + "' -C '" + (dir / "gnu") + "'", out), 0) << out;
  fs::remove(dir / "gnu/Index.trs");
  fs::create_directory(dir / "ours");
  TTarBackup(dir / "ours", dir / "Backup.DAT").Restore();
  const auto gnu = StatSnapshot(dir / "gnu");
  const auto ours = StatSnapshot(dir / "ours");
  size_t compared = 0;
  for (b.DiskList->First(); !b.DiskList->Eof(); b.DiskList->Next()) {
    const std::string id = std::to_string(b.DiskList->FieldByName("ID").AsInteger());
    const std::string name = ReplaceAll(b.DiskList->FieldByName("Name").AsString(), "\\", "/");
    if (!gnu.count(id)) continue;  // a folder has no member
    SCOPED_TRACE(name);
    ASSERT_TRUE(ours.count(name)) << ::testing::PrintToString(ours);
    EXPECT_EQ(gnu.at(id), ours.at(name));
    ++compared;
  }
  EXPECT_EQ(compared, gnu.size());
  EXPECT_GE(compared, 10u);
}

TEST(TarBackup, APrivateFileIsNeverReadableByOthersDuringTheRestore) {
  TempDir dir;
  WriteFile(dir / "src/private.dat", std::string(64 << 20, 'p'));
  ::chmod((dir / "src/private.dat").c_str(), 0600);
  TTarBackup(dir / "src", dir / "Backup.DAT").Backup();
  fs::create_directory(dir / "dst");
  // A second thread watches the file from the moment it appears until the
  // restore ends.
  std::atomic<bool> done{false};
  std::atomic<int> seen{0}, exposed{0};
  std::thread watcher([&] {
    const std::string path = dir / "dst/private.dat";
    while (!done) {
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0) {
        ++seen;
        if (st.st_mode & 077) ++exposed;
      }
    }
  });
  TTarBackup(dir / "dst", dir / "Backup.DAT").Restore();
  done = true;
  watcher.join();
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(exposed.load(), 0);
  EXPECT_EQ(fs::file_size(dir / "dst/private.dat"), 64u << 20);
}

TEST(TarBackup, LinksOfTheArchiveOrOfTheTargetAreNeverWrittenThrough) {
  TempDir dir;
  WriteFile(dir / "outside/passwd", "outside");
  WriteFile(dir / "dst/keep.txt", "keep");
  const auto outside = StatSnapshot(dir / "outside");
  const std::string outsideDir = dir / "outside";

  // A link member, then a file "below" it: the index does not list the
  // link as a folder, so the name is refused before anything changes.
  struct Case {
    std::string file;
    std::vector<test::IndexRecord> records;
    std::vector<test::TarMember> members;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"link-then-file.tar",
       {{1, "a", false}, {2, "a\\passwd", false}},
       {{"1", "", '2', outsideDir}, {"2", "owned"}},
       "в индексе резервной копии нет каталога [a], в котором лежит [a\\passwd]"},
      {"no-folder-record.tar", {{2, "a\\passwd", false}}, {{"2", "owned"}},
       "в индексе резервной копии нет каталога [a], в котором лежит [a\\passwd]"},
      {"member-for-a-folder.tar", {{1, "a", true}}, {{"1", "", '2', outsideDir}},
       "элемент [1] записан для каталога индекса"},
      {"hard-link.tar", {{1, "a", false}}, {{"1", "", '1', "/etc/passwd"}},
       "элемент [1] вида \"1\" не может быть восстановлен"},
      {"device.tar", {{1, "a", false}}, {{"1", "", '3', ""}}, "элемент [1] вида \"3\" не может быть восстановлен"},
      {"twice.tar", {{1, "a", true}, {2, "a", false}}, {}, "имя [a] повторяется в индексе резервной копии"},
  };
  const auto before = StatSnapshot(dir / "dst");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    test::WriteCraftedBackup(dir / c.file, c.records, c.members, true, true);
    EXPECT_EQ(MessageOf([&] { TTarBackup(dir / "dst", dir / c.file).Restore(); }), c.message);
    EXPECT_EQ(StatSnapshot(dir / "dst"), before);
    EXPECT_EQ(StatSnapshot(dir / "outside"), outside);
  }

  // The target already holds the link: the backup's folder of that name
  // takes its place, and nothing is written through it.
  fs::create_directory_symlink(outsideDir, dir / "dst/a");
  test::WriteCraftedBackup(dir / "folder.tar", {{1, "a", true}, {2, "a\\passwd", false}}, {{"2", "mine"}}, true, true);
  TTarBackup(dir / "dst", dir / "folder.tar").Restore();
  EXPECT_EQ(StatSnapshot(dir / "outside"), outside);
  EXPECT_FALSE(fs::is_symlink(dir / "dst/a"));
  EXPECT_EQ(ReadFile(dir / "dst/a/passwd"), "mine");

  // A link of the backup over a file of the target: the link is made, and
  // the file it stood for is never opened.
  WriteFile(dir / "dst/b", "plain");
  test::WriteCraftedBackup(dir / "link.tar", {{1, "b", false}}, {{"1", "", '2', outsideDir + "/passwd"}}, true, true);
  TTarBackup(dir / "dst", dir / "link.tar").Restore();
  EXPECT_EQ(fs::read_symlink(dir / "dst/b").string(), outsideDir + "/passwd");
  EXPECT_EQ(StatSnapshot(dir / "outside"), outside);
}

TEST(TarBackup, AnOlderBackupWithoutAttributesRestoresWithTheDefaults) {
  TempDir dir;
  // Written as older versions did: every member 0777 and owner 0, an index
  // without the attribute fields.
  test::WriteCraftedBackup(dir / "old.tar", {{1, "bin", true}, {2, "bin\\Bureo", false}}, {{"2", "program"}});
  fs::create_directory(dir / "dst");
  TTarBackup(dir / "dst", dir / "old.tar").Restore();
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat((dir / "dst/bin/Bureo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
  ASSERT_EQ(::stat((dir / "dst/bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777 & ~mask);
}

TEST(TarBackup, ABackupThatCannotReadSomethingFailsAndKeepsThePreviousOne) {
  TempDir dir;
  MakeLinuxTree(dir / "src");
  const std::string backup = dir / "Backup.DAT";
  WriteBackupFile(dir / "src", backup, {});
  const std::string good = ReadFile(backup);

  // A missing folder.
  EXPECT_EQ(MessageOf([&] { WriteBackupFile(dir / "missing", backup, {}); }),
            "Не удается прочитать каталог [" + (dir / "missing") + "]: No such file or directory");
  EXPECT_EQ(ReadFile(backup), good);

  // A file that vanishes while the backup runs.
  WriteFile(dir / "src/vanishing.txt", "here");
  const std::string message = MessageOf([&] {
    WriteBackupFile(dir / "src", backup, [&](int32_t, const std::string& text) {
      if (text == "Сохранение файла: vanishing.txt") fs::remove(dir / "src/vanishing.txt");
    });
  });
  EXPECT_EQ(message, "Ошибка при создании TAR-файла: Не удается открыть файл [" + (dir / "src/vanishing.txt") +
                         "]: No such file or directory");
  EXPECT_EQ(ReadFile(backup), good);
  EXPECT_FALSE(fs::exists(backup + ".new"));

  // A link target longer than the header holds is refused, not cut.
  fs::create_symlink(std::string(101, 'x'), dir / "src/long-link");
  EXPECT_EQ(MessageOf([&] { WriteBackupFile(dir / "src", backup, {}); }),
            "Ошибка при создании TAR-файла: Цель символической ссылки [" + (dir / "src/long-link") +
                "] длиннее 100 байт и не может быть сохранена: " + std::string(101, 'x'));
  EXPECT_EQ(ReadFile(backup), good);
  fs::remove(dir / "src/long-link");
  fs::create_symlink(std::string(100, 'x'), dir / "src/long-link");
  WriteBackupFile(dir / "src", backup, {});
  fs::create_directory(dir / "dst");
  TTarBackup(dir / "dst", backup).Restore();
  EXPECT_EQ(fs::read_symlink(dir / "dst/long-link").string(), std::string(100, 'x'));
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
