// The update engine end to end on real packages, backups and settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "backup/file_ops.h"
#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/crc32.h"
#include "core/errors.h"
#include "engine/update_package.h"
#include "engine/updater.h"
#include "engine/ztv_procs.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/transporter.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

using test::Snapshot;

using test::MessageOf;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Rewrites Files.DAT after `change` edited its dataset, with a valid length
// and CRC.
void RewriteDescriptor(const std::string& updateDir, const std::function<void(TStaticSet&)>& change) {
  TZVMemoryStream file;
  file.LoadFromFile(updateDir + "/Files.DAT");
  file.SetPosition(4);
  TStaticSet set;
  {
    TTransporter reader;
    reader.OpenOnStream(&file);
    set.Assign(reader);
  }
  change(set);
  TZVMemoryStream out;
  out.WriteU32(0);
  set.First();
  SaveDataSetToStream(set, out);
  out.WriteU32(0);
  int64_t size = out.Size();
  out.SetPosition(0);
  out.WriteU32(static_cast<uint32_t>(size));
  out.SetPosition(size - 4);
  out.WriteU32(UpdateCRC32(0, out.Memory(), static_cast<size_t>(size - 4)));
  out.SaveToFile(updateDir + "/Files.DAT");
}

class UpdateEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_ = reg_.Dir() / "inst";
    backup_ = reg_.Dir() / "backup";
    upd_ = reg_.Dir() / "upd";
    fs::create_directories(inst_);
    fs::create_directories(backup_);
    fs::create_directories(upd_);
    WriteSettings("7.1.2", 1, "");
    WriteFile(inst_ + "/bin/Bureo", "workplace 7.1.2");
    WriteFile(inst_ + "/ocx/IMD.DAT", "registry");
    fs::create_directories(inst_ + "/empty");
  }

  void WriteSettings(const std::string& version, int status, const std::string& backupVersion) {
    reg_.Write("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
               "\"CurrentVersionDirectory\"=\"" + inst_ + "\"\n"
               "\"BackupDirectory\"=\"" + backup_ + "/\"\n"
               "\"UpdateDirectory\"=\"" + upd_ + "/\"\n"
               "\"CurrentVersion\"=\"" + version + "\"\n"
               "\"CurrentStatus\"=dword:" + Format("%08x", status) + "\n"
               "\"BackupVersion\"=\"" + backupVersion + "\"\n");
  }

  // A package source tree with an installer script that records its path.
  std::string MakeSource() {
    const std::string src = reg_.Dir() / "pkgsrc";
    WriteFile(src + "/UpdateInstaller.exe", "#!/bin/sh\necho \"$0\" > \"$(dirname \"$0\")/marker\"\n");
    WriteFile(src + "/bin/Bureo", "workplace 7.2.0");
    WriteFile(src + "/Данные/шаблон.gdb", std::string(70000, 'T'));
    std::string noise;
    uint32_t x = 12345;
    for (int i = 0; i < 50000; ++i) noise += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    WriteFile(src + "/bin/noise.bin", noise);
    return src;
  }

  test::ScopedRegistry reg_;
  test::ScopedCommandLine cl_{{}};
  std::string inst_, backup_, upd_;
};

TEST_F(UpdateEngine, PackagesInBothFormsUnpackAndStartTheirInstaller) {
  const std::string src = MakeSource();
  struct Case {
    bool lzma;
    int64_t partSize;
  };
  for (Case c : {Case{false, 0}, Case{false, 20000}, Case{true, 0}, Case{true, 7000}}) {
    SCOPED_TRACE(std::string(c.lzma ? "lzma" : "lzh") + " part size " + std::to_string(c.partSize));
    fs::remove_all(upd_);
    BuildPackage(src, upd_, TPackageBuildOptions{"7.1.2", "7.2.0", c.lzma, c.partSize});
    TUpdatePackage probe(upd_);
    probe.LoadHeader("7.1.2");
    probe.AppendParts();
    EXPECT_EQ(probe.UseLZMA(), c.lzma);
    EXPECT_EQ(probe.Parts().size() > 1, c.partSize > 0);

    TUpdater u;
    u.Refresh();
    WriteFile(u.UnpackDirectory + "/stale.txt", "from an earlier package");
    u.UnpackUpdate();
    EXPECT_EQ(Snapshot(u.UnpackDirectory), Snapshot(src));
    EXPECT_FALSE(fs::exists(u.UnpackDirectory + "/_PACKED_ZTV_UPDATE_.DAT"));

    u.RunInstaller();
    const std::string marker = u.UnpackDirectory + "/marker";
    for (int i = 0; i < 200 && (!fs::exists(marker) || ReadFile(marker).empty()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_EQ(ReadFile(marker), u.UnpackDirectory + "/UpdateInstaller.exe\n");
    fs::remove(marker);
  }
}

TEST_F(UpdateEngine, DescriptorChecksWithTheHeaderWrapper) {
  BuildPackage(MakeSource(), upd_, TPackageBuildOptions{"7.1.2", "7.2.0", false, 0});
  const std::string header = "Ошибка загрузки заголовка [" + upd_ + "/Files.DAT]: ";
  std::string good = ReadFile(upd_ + "/Files.DAT");
  TUpdater u;
  u.Refresh();

  std::string bad = good;
  uint32_t len = static_cast<uint32_t>(good.size() - 1);
  bad.replace(0, 4, std::string(reinterpret_cast<const char*>(&len), 4));
  WriteFile(upd_ + "/Files.DAT", bad);
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), header + "неверная длина файла");

  bad = good;
  bad[10] ^= 1;
  WriteFile(upd_ + "/Files.DAT", bad);
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), header + "неверная контрольная сумма файла");

  WriteFile(upd_ + "/Files.DAT", good);
  WriteSettings("7.0.0", 1, "");
  u.Refresh();
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }),
            header + "обновление предназначено для версии 7.1.2, текущая версия - 7.0.0, новая версия - 7.2.0");

  WriteSettings("7.1.2", 1, "");
  u.Refresh();
  RewriteDescriptor(upd_, [](TStaticSet& s) {
    ASSERT_TRUE(s.Locate("Kind", TVarValue("DestVersion")));
    s.Delete();
  });
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), header + "информация о новой версии ЗТВ не обнаружена");

  fs::remove(upd_ + "/Files.DAT");
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }).rfind(header, 0), 0u);
}

TEST_F(UpdateEngine, PartsAreVerifiedInReverseRecordOrderBeforeAnythingIsDecoded) {
  BuildPackage(MakeSource(), upd_, TPackageBuildOptions{"7.1.2", "7.2.0", true, 9000});
  std::vector<std::string> records;
  TUpdatePackage probe(upd_);
  probe.LoadHeader("7.1.2");
  TStaticSet& d = probe.Descriptor();
  for (d.First(); !d.Eof(); d.Next())
    if (d.FieldByName("Kind").AsString() == "File") records.push_back(upd_ + "/" + d.FieldByName("FileName").AsString());
  probe.AppendParts();
  std::vector<std::string> joined;
  for (const auto& p : probe.Parts()) joined.push_back(p.path);
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(joined, std::vector<std::string>(records.rbegin(), records.rend()));
  EXPECT_EQ(fs::path(joined.front()).filename(), "Files.001");  // the first piece of the stream

  // A part one byte short: the part wrapper names it; the unpack directory
  // is emptied and nothing else written.
  TUpdater u;
  u.Refresh();
  WriteFile(u.UnpackDirectory + "/old", "x");
  const std::string part = records.front();
  std::string bytes = ReadFile(part);
  WriteFile(part, bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }),
            Format("Ошибка обработки файла [%s]: неверная длина - ожидалось %d, пришло %d", part, bytes.size(),
                   bytes.size() - 1));
  EXPECT_TRUE(fs::is_empty(u.UnpackDirectory));

  // A changed byte: the CRC.
  bytes[bytes.size() / 2] ^= 0x40;
  WriteFile(part, bytes);
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), Format("Ошибка обработки файла [%s]: неверная контрольная сумма", part));

  // A part name leading out of the update directory is not followed.
  RewriteDescriptor(upd_, [](TStaticSet& s) {
    ASSERT_TRUE(s.Locate("FileName", TVarValue("Files.001")));
    s.Edit();
    s.FieldByName("FileName").SetAsString("../Files.001");
    s.Post();
  });
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }),
            Format("Ошибка обработки файла [%s]: недопустимое имя файла части обновления", upd_ + "/../Files.001"));
}

TEST_F(UpdateEngine, VerifyCatchesADamagedLZHStreamWhoseCRCsMatch) {
  BuildPackage(MakeSource(), upd_, TPackageBuildOptions{"7.1.2", "7.2.0", false, 0});
  EXPECT_NO_THROW(VerifyPackage(upd_, "7.1.2"));
  // Damage the bit stream, then give the part a matching CRC: only the
  // decoded image can tell.
  std::string part = ReadFile(upd_ + "/Files.001");
  for (size_t i = 200; i < part.size() && i < 400; ++i) part[i] = static_cast<char>(part[i] ^ 0x5A);
  WriteFile(upd_ + "/Files.001", part);
  const uint32_t crc = UpdateCRC32(0, part.data(), part.size());
  RewriteDescriptor(upd_, [&](TStaticSet& s) {
    ASSERT_TRUE(s.Locate("FileName", TVarValue("Files.001")));
    s.Edit();
    s.FieldByName("FileCRC").SetAsInteger(static_cast<int32_t>(crc));
    s.Post();
  });
  EXPECT_THROW(VerifyPackage(upd_, "7.1.2"), Exception);
  // Nothing is left behind in the update directory.
  EXPECT_FALSE(fs::exists(upd_ + "/_PACKED_ZTV_UPDATE_.DAT"));
}

TEST_F(UpdateEngine, SourceLengthIsCheckedAfterAllPartsAndKindsMatchAsSpecified) {
  BuildPackage(MakeSource(), upd_, TPackageBuildOptions{"7.1.2", "7.2.0", true, 0});
  TUpdater u;
  u.Refresh();
  // Kinds are located ignoring case; the part filter is exact, so a record
  // of kind "file" names no part.
  RewriteDescriptor(upd_, [](TStaticSet& s) {
    ASSERT_TRUE(s.Locate("Kind", TVarValue("SourceVersion")));
    s.Edit();
    s.FieldByName("Kind").SetAsString("sourceversion");
    s.Post();
    s.Append();
    s.FieldByName("Kind").SetAsString("file");
    s.FieldByName("FileName").SetAsString("no-such-part");
    s.Post();
  });
  EXPECT_NO_THROW(u.UnpackUpdate());
  EXPECT_TRUE(fs::exists(u.UnpackDirectory + "/UpdateInstaller.exe"));

  RewriteDescriptor(upd_, [](TStaticSet& s) {
    ASSERT_TRUE(s.Locate("Kind", TVarValue("SourceLength")));
    s.Delete();
  });
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), "Не удается считать длину запакованного файла");
  // With a bad part as well, the part's failure comes first.
  WriteFile(upd_ + "/Files.001", "short");
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }).rfind("Ошибка обработки файла [", 0), 0u);
}

TEST_F(UpdateEngine, StatusGuardsAndInstallerFailures) {
  WriteSettings("7.1.2", 2, "7.1.1");
  TUpdater u;
  u.Refresh();
  EXPECT_EQ(MessageOf([&] { u.UnpackUpdate(); }), "Текущая версия неработоспособна и не может быть обновлена");
  EXPECT_EQ(MessageOf([&] { u.MakeBackup(); }), "Текущая версия ЗТВ является нерабочей. Копирование прервано.");
  EXPECT_EQ(GetBackupVersion(), "7.1.1");  // untouched when refused

  const std::string installer = u.UnpackDirectory + "/UpdateInstaller.exe";
  EXPECT_EQ(MessageOf([&] { u.RunInstaller(); }), "Файл установки обновления [" + installer + "] не найден.");
  WriteFile(installer, std::string("\x01\x02\x03") + " this is no program");
  EXPECT_EQ(MessageOf([&] { u.RunInstaller(); }), "Ошибка: неверный формат файла [" + installer + "]");
}

TEST_F(UpdateEngine, BackupAndRestoreTransitions) {
  WriteSettings("7.1.2", 1, "old");
  TUpdater u;
  u.Refresh();
  std::vector<int> percents;
  u.OnProgress = [&](int32_t p, const std::string&) { percents.push_back(p); };
  const auto original = Snapshot(inst_);
  u.MakeBackup();
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(u.BackupVersion, "7.1.2");
  EXPECT_FALSE(percents.empty());
  EXPECT_TRUE(fs::exists(backup_ + "/Backup.DAT"));
  EXPECT_FALSE(fs::exists(backup_ + "/Backup.DAT.new"));
  const std::string firstBackup = ReadFile(backup_ + "/Backup.DAT");

  // A failed backup leaves the old file intact, and "BackupVersion" names
  // its version again (it was empty only while the backup ran).
  WriteFile(inst_ + "/huge.bin", "");
  fs::resize_file(inst_ + "/huge.bin", 5ull << 30);
  std::string backupVersionDuringBackup = "<not probed>";
  u.OnProgress = [&](int32_t, const std::string&) { backupVersionDuringBackup = GetBackupVersion(); };
  std::string message = MessageOf([&] { u.MakeBackup(); });
  EXPECT_EQ(message.rfind("Ошибка создания резервной копии: Ошибка при создании TAR-файла: ", 0), 0u) << message;
  EXPECT_EQ(backupVersionDuringBackup, "");
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(u.BackupVersion, "7.1.2");
  EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), firstBackup);
  EXPECT_FALSE(fs::exists(backup_ + "/Backup.DAT.new"));
  fs::remove(inst_ + "/huge.bin");

  // A missing installation directory is refused before anything changes:
  // it would give an empty backup in place of the good one.
  u.CurrentVersionDirectory = reg_.Dir() / "no-such-installation";
  EXPECT_EQ(MessageOf([&] { u.MakeBackup(); }),
            "Ошибка создания резервной копии: Директория " + (reg_.Dir() / "no-such-installation") + " не существует");
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), firstBackup);

  // A backup in place whose version the settings lost (a run killed
  // between the rename and the settings write) names its own version.
  WriteSettings("7.2.0", 1, "");
  u.Refresh();
  EXPECT_EQ(u.BackupVersion, "7.1.2");
  EXPECT_EQ(GetBackupVersion(), "7.1.2");

  // Otherwise restoring needs a backup version: a backup that names none
  // (as older versions wrote them) is not offered.
  const std::string good = ReadFile(backup_ + "/Backup.DAT");
  TTarBackup(inst_, backup_ + "/Backup.DAT").Backup();
  WriteSettings("7.1.2", 1, "");
  u.Refresh();
  EXPECT_EQ(MessageOf([&] { u.RestoreFromBackup(); }), "Резервная копия отсутствует");
  WriteSettings("7.2.0", 1, "  ");
  u.Refresh();
  EXPECT_EQ(MessageOf([&] { u.RestoreFromBackup(); }), "Резервная копия отсутствует");
  WriteFile(backup_ + "/Backup.DAT", good);

  // A successful restore: status 0 while it runs, 1 after, version taken
  // from the backup.
  WriteSettings("7.2.0", 2, "7.1.2");
  u.Refresh();
  WriteFile(inst_ + "/bin/Bureo", "broken 7.2.0");
  WriteFile(inst_ + "/new.dll", "left by the failed update");
  int statusDuringRestore = -1;
  u.OnProgress = [&](int32_t, const std::string&) { statusDuringRestore = GetCurrentStatus(); };
  u.RestoreFromBackup();
  EXPECT_EQ(statusDuringRestore, 0);
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
  EXPECT_EQ(u.CurrentStatus, 1);
  EXPECT_EQ(u.CurrentVersion, "7.1.2");
  EXPECT_EQ(Snapshot(inst_), original);

  // A restore that fails once it has changed the installation leaves
  // status 0 and says why.
  WriteFile(inst_ + "/new.dll", "left by the failed update");
  u.OnProgress = [&](int32_t, const std::string& text) {
    if (text.rfind("Распаковка файла", 0) == 0) throw Exception("прервано");
  };
  message = MessageOf([&] { u.RestoreFromBackup(); });
  EXPECT_EQ(message, "Ошибка восстановления из резервной копии: прервано");
  EXPECT_TRUE(u.RestoreChangedInstallation);
  EXPECT_EQ(GetCurrentStatus(), 0);
  EXPECT_EQ(u.CurrentStatus, 0);

  // A damaged backup is refused before anything changes: the status and
  // the installation stay as they were.
  u.OnProgress = nullptr;
  WriteSettings("7.2.0", 2, "7.1.2");
  u.Refresh();
  const auto before = Snapshot(inst_);
  WriteFile(backup_ + "/Backup.DAT", std::string(2048, '\0'));
  message = MessageOf([&] { u.RestoreFromBackup(); });
  EXPECT_EQ(message, "Ошибка восстановления из резервной копии: Резервная копия [" + backup_ +
                         "/Backup.DAT] повреждена: Не найден файл индекса в резервной копии.");
  EXPECT_FALSE(u.RestoreChangedInstallation);
  EXPECT_EQ(GetCurrentStatus(), 2);
  EXPECT_EQ(u.CurrentStatus, 2);
  EXPECT_EQ(Snapshot(inst_), before);

  // A restore that would not fit is refused before anything changes too:
  // the space its files hold now counts as free, the backup's content must
  // fit into that and the free space.
  EXPECT_NO_THROW(u.CheckRestoreCanFinish({DiskUsage(inst_), 1}));
  message = MessageOf([&] { u.CheckRestoreCanFinish({int64_t{1} << 60, 1}); });
  EXPECT_EQ(message.rfind("Ошибка восстановления из резервной копии: недостаточно места на диске для каталога [" +
                              inst_ + "]: нужно 1099511627776 МБ, доступно ",
                          0),
            0u)
      << message;
  u.CurrentVersionDirectory = inst_ + "/missing";
  EXPECT_EQ(MessageOf([&] { u.CheckRestoreCanFinish({0, 0}); }),
            "Ошибка восстановления из резервной копии: каталог установки [" + inst_ +
                "/missing] недоступен: файл или каталог не найден (No such file or directory)");
}

TEST_F(UpdateEngine, CompoundFormBackupIsRestoredWithDeletion) {
  const auto original = Snapshot(inst_);
  PackDirToStorage(inst_, backup_ + "/Backup.DAT");
  WriteSettings("7.2.0", 1, "7.1.2");
  WriteFile(inst_ + "/extra/added.txt", "added");
  WriteFile(inst_ + "/bin/Bureo", "changed");
  TUpdater u;
  u.Refresh();
  u.RestoreFromBackup();
  EXPECT_EQ(Snapshot(inst_), original);
  EXPECT_EQ(GetCurrentStatus(), 1);
}

}  // namespace
}  // namespace ztv
