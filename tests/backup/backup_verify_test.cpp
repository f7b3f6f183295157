// The whole-backup check on real archives: backups the program writes pass;
// cut, corrupted and inconsistent ones fail with a message naming the file
// and the cause, in both the tar and the compound form.
#include "backup/backup_verify.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/errors.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"
#include "crafted_backup.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::MessageOf;
using test::ReadFile;
using test::TempDir;
using test::WriteCraftedBackup;
using test::WriteFile;

// Name and header offset of every member, in order.
std::vector<std::pair<std::string, int64_t>> Headers(const std::string& archive) {
  std::vector<std::pair<std::string, int64_t>> headers;
  TTarArchive a(archive);
  TTarDirRec r;
  while (a.FindNext(r)) headers.emplace_back(r.Name, r.HeaderPos);
  return headers;
}

class BackupVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "inst/bin/Bureo", std::string(3000, 'B'));
    WriteFile(dir_ / "inst/ocx/IMD.DAT", "imd");
    WriteFile(dir_ / "inst/Данные/шаблон.gdb", std::string(70000, 'D'));
    fs::create_directories(dir_ / "inst/Пустой");
    TTarBackup(dir_ / "inst", good_).Backup();
  }
  // `bytes` as a backup file of its own.
  std::string Damaged(const std::string& name, const std::string& bytes) {
    const std::string file = dir_ / name;
    WriteFile(file, bytes);
    return file;
  }
  std::string Refused(const std::string& file) { return "Резервная копия [" + file + "] повреждена: "; }

  TempDir dir_;
  std::string good_ = dir_ / "Backup.DAT";
};

TEST_F(BackupVerify, BackupsThatRestorePass) {
  EXPECT_EQ(MessageOf([&] { VerifyBackup(good_); }), "<no error>");
  // An empty directory's backup holds only the index.
  fs::create_directories(dir_ / "empty");
  TTarBackup(dir_ / "empty", dir_ / "empty.DAT").Backup();
  EXPECT_EQ(MessageOf([&] { VerifyBackup(dir_ / "empty.DAT"); }), "<no error>");
  // The older compound form.
  PackDirToStorage(dir_ / "inst", dir_ / "compound.DAT");
  EXPECT_EQ(MessageOf([&] { VerifyBackup(dir_ / "compound.DAT"); }), "<no error>");
  // The file itself is not changed by the check.
  const std::string before = ReadFile(good_);
  VerifyBackup(good_);
  EXPECT_EQ(ReadFile(good_), before);
}

TEST_F(BackupVerify, CutAndCorruptedTarBackupsFailNamingTheCause) {
  const std::string bytes = ReadFile(good_);
  const auto headers = Headers(good_);
  ASSERT_GE(headers.size(), 4u);
  ASSERT_EQ(headers.back().first, kIndexMemberName);
  // The largest member, "шаблон.gdb", cut in the middle of its data.
  std::pair<std::string, int64_t> big;
  for (size_t i = 0; i + 1 < headers.size(); ++i)
    if (headers[i + 1].second - headers[i].second > 60000) big = headers[i];
  ASSERT_FALSE(big.first.empty());
  const int64_t indexPos = headers.back().second;

  struct Case {
    std::string name;
    std::string bytes;
    std::string cause;
  };
  std::string badSum = bytes;
  badSum[static_cast<size_t>(headers[0].second) + 140] ^= 1;  // a digit of the modification time
  const std::vector<Case> cases = {
      {"cut-in-member.DAT", bytes.substr(0, static_cast<size_t>(big.second + 512 + 35000)),
       "элемент [" + big.first + "] неполон: ожидалось 70000 байт данных, в файле 35000"},
      {"cut-before-index.DAT", bytes.substr(0, static_cast<size_t>(indexPos)),
       "Не найден файл индекса в резервной копии."},
      {"cut-in-index-header.DAT", bytes.substr(0, static_cast<size_t>(indexPos + 100)),
       "Не найден файл индекса в резервной копии."},
      {"cut-in-index.DAT", bytes.substr(0, static_cast<size_t>(indexPos + 512 + 10)), "элемент [Index.trs] неполон"},
      {"bad-checksum.DAT", badSum,
       "неверная контрольная сумма заголовка элемента [" + headers[0].first + "] по смещению 0"},
      {"empty.DAT", "", "Не найден файл индекса в резервной копии."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Damaged(c.name, c.bytes);
    const std::string message = MessageOf([&] { VerifyBackup(file); });
    EXPECT_EQ(message.rfind(Refused(file) + c.cause, 0), 0u) << message;
  }
  // Cut after the index, only the end block is missing: nothing is lost.
  const std::string noEnd = Damaged("no-end-block.DAT", bytes.substr(0, bytes.size() - 512));
  EXPECT_EQ(MessageOf([&] { VerifyBackup(noEnd); }), "<no error>");
}

TEST_F(BackupVerify, MembersAndNamesMustAgreeWithTheIndex) {
  const std::string unlisted = dir_ / "unlisted.DAT";
  WriteCraftedBackup(unlisted, {{1, "a.txt", false}}, {{"1", "a"}, {"42", "b"}});
  EXPECT_EQ(MessageOf([&] { VerifyBackup(unlisted); }),
            Refused(unlisted) + "Ошибка: в backup обнаружен файл, отсутствующий в индексе [42]");

  const std::string badName = dir_ / "bad-name.DAT";
  WriteCraftedBackup(badName, {{1, "bin", true}, {2, "bin\\..\\..\\escape.txt", false}}, {{"2", "x"}});
  EXPECT_EQ(MessageOf([&] { VerifyBackup(badName); }),
            Refused(badName) + "Недопустимое имя в индексе резервной копии: [bin\\..\\..\\escape.txt]");

  const std::string notNumber = dir_ / "not-a-number.DAT";
  WriteCraftedBackup(notNumber, {{1, "a.txt", false}}, {{"a.txt", "a"}});
  EXPECT_EQ(MessageOf([&] { VerifyBackup(notNumber); }).rfind(Refused(notNumber), 0), 0u);

  // The index must describe a tree the restore can make without going
  // through anything it does not make itself.
  struct Case {
    std::string file;
    std::vector<test::IndexRecord> records;
    std::vector<test::TarMember> members;
    std::string cause;
  };
  for (const Case& c : std::vector<Case>{
           {"under-a-link.DAT",
            {{1, "a", false}, {2, "a\\passwd", false}},
            {{"1", "", '2', "/etc"}, {"2", "x"}},
            "в индексе резервной копии нет каталога [a], в котором лежит [a\\passwd]"},
           {"folder-missing.DAT", {{5, "bin\\Bureo", false}}, {{"5", "x"}},
            "в индексе резервной копии нет каталога [bin], в котором лежит [bin\\Bureo]"},
           {"id-twice.DAT", {{1, "a", false}, {1, "b", false}}, {}, "номер [1] повторяется в индексе резервной копии"},
           {"member-for-folder.DAT", {{1, "bin", true}}, {{"1", "x"}}, "элемент [1] записан для каталога индекса"},
           {"block-device.DAT", {{1, "sda", false}}, {{"1", "", '4'}}, "элемент [1] вида \"4\" не может быть восстановлен"},
       }) {
    SCOPED_TRACE(c.file);
    const std::string file = dir_ / c.file;
    WriteCraftedBackup(file, c.records, c.members);
    EXPECT_EQ(MessageOf([&] { VerifyBackup(file); }), Refused(file) + c.cause);
  }

  // A file without a member (a device the backup passed over) is allowed.
  const std::string sparse = dir_ / "sparse.DAT";
  WriteCraftedBackup(sparse, {{1, "a.txt", false}, {2, "link", false}}, {{"1", "a"}});
  EXPECT_EQ(MessageOf([&] { VerifyBackup(sparse); }), "<no error>");
}

TEST_F(BackupVerify, CompoundBackupsAreReadThroughAndMissingFilesAreNotDamage) {
  PackDirToStorage(dir_ / "inst", dir_ / "compound.DAT");
  const std::string bytes = ReadFile(dir_ / "compound.DAT");
  // Cut: the header still names a compound file, but sectors are missing.
  const std::string cut = Damaged("compound-cut.DAT", bytes.substr(0, bytes.size() / 2));
  ASSERT_TRUE(IsStorageFile(cut));
  const std::string message = MessageOf([&] { VerifyBackup(cut); });
  EXPECT_EQ(message.rfind(Refused(cut), 0), 0u) << message;
  EXPECT_GT(message.size(), Refused(cut).size());

  // A file that is not there is reported by the file layer, not as damage.
  const std::string missing = MessageOf([&] { VerifyBackup(dir_ / "missing.DAT"); });
  EXPECT_NE(missing, "<no error>");
  EXPECT_EQ(missing.find("повреждена"), std::string::npos) << missing;
  EXPECT_NE(missing.find(dir_ / "missing.DAT"), std::string::npos) << missing;
}

}  // namespace
}  // namespace ztv
