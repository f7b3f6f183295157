#include "backup/storage_restore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/errors.h"
#include "formats/cfb/compound_writer.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::Snapshot;

using test::MessageOf;

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// An image whose index holds the given (id, name) pairs.
std::string IndexPacket(const std::vector<std::pair<int, std::string>>& records) {
  TStaticSet index;
  index.AddField("ID", TFieldType::Integer);
  index.AddField("Name", TFieldType::String, 255);
  index.Open();
  for (const auto& [id, name] : records) {
    index.Append();
    index.FieldByName("ID").SetAsInteger(id);
    index.FieldByName("Name").SetAsString(name);
    index.Post();
  }
  TZVMemoryStream s;
  index.First();
  SaveDataSetToStream(index, s);
  return s.AsString();
}

TEST(StorageImage, PackAndRestoreRoundTrip) {
  TempDir dir;
  WriteFile(dir / "src/UpdateInstaller.exe", "installer");
  WriteFile(dir / "src/Данные/база.gdb", std::string(10000, 'g'));
  WriteFile(dir / "src/Данные/small.txt", "s");
  fs::create_directories(dir / "src/empty");
  PackDirToStorage(dir / "src", dir / "image.dat");
  EXPECT_TRUE(IsStorageFile(dir / "image.dat"));

  WriteFile(dir / "dst/.keep", "kept");
  WriteFile(dir / "dst/extra.txt", "extra");
  WriteFile(dir / "dst/olddir/x", "x");
  WriteFile(dir / "dst/ДАННЫЕ/SMALL.TXT", "old");  // the same entries in other letter case

  // Without deleting, extras stay.
  RestoreDirFromStorage(dir / "image.dat", dir / "dst", false);
  EXPECT_EQ(ReadFile(dir / "dst/extra.txt"), "extra");
  EXPECT_EQ(ReadFile(dir / "dst/ДАННЫЕ/SMALL.TXT"), "s");

  RestoreDirFromStorage(dir / "image.dat", dir / "dst/", true);
  auto expected = Snapshot(dir / "src");
  expected.erase("Данные");
  expected.erase("Данные/база.gdb");
  expected.erase("Данные/small.txt");
  expected["ДАННЫЕ"] = "<dir>";
  expected["ДАННЫЕ/база.gdb"] = std::string(10000, 'g');
  expected["ДАННЫЕ/SMALL.TXT"] = "s";
  expected[".keep"] = "kept";  // names beginning with "." are never deleted
  EXPECT_EQ(Snapshot(dir / "dst"), expected);
}

TEST(StorageImage, BadImagesAreRefused) {
  TempDir dir;
  WriteFile(dir / "plain.txt", "not a compound file");
  EXPECT_EQ(MessageOf([&] { RestoreDirFromStorage(dir / "plain.txt", dir.Path(), false); }),
            "Неверный формат файла: [" + (dir / "plain.txt") + "]");
  EXPECT_NO_THROW(RestoreDirFromStorage("  ", dir.Path(), true));  // blank name: nothing to do

  {
    cfb::CompoundFileWriter w;
    w.Root().AddStream("0", IndexPacket({{1, "a.txt"}}));
    w.Root().AddStream("2", std::string("x"));
    w.SaveToFile(dir / "nofile.dat");
  }
  EXPECT_EQ(MessageOf([&] { RestoreDirFromStorage(dir / "nofile.dat", dir / "out", false); }),
            "Название файла не найдено");
  {
    cfb::CompoundFileWriter w;
    w.Root().AddStream("0", IndexPacket({{1, "a.txt"}}));
    w.Root().AddStorage("7");
    w.SaveToFile(dir / "nodir.dat");
  }
  EXPECT_EQ(MessageOf([&] { RestoreDirFromStorage(dir / "nodir.dat", dir / "out", false); }),
            "Название директории не найдено");

  // Names that would leave the target are refused.
  fs::create_directory(dir / "out");
  for (std::string evil : {"..", "../x", "a\\b", ""}) {
    cfb::CompoundFileWriter w;
    w.Root().AddStream("0", IndexPacket({{1, evil}}));
    w.Root().AddStream("1", std::string("x"));
    w.SaveToFile(dir / "evil.dat");
    EXPECT_EQ(MessageOf([&] { RestoreDirFromStorage(dir / "evil.dat", dir / "out", true); }),
              "Недопустимое имя в образе каталога: [" + evil + "]");
  }
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
}  // namespace ztv
