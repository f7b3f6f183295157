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

namespace ztv {
namespace {

TEST(StorageImage, ManyFilesAndNamesDifferingOnlyInCase) {
  test::TempDir dir;
  const std::string src = dir / "src";
  for (int i = 0; i < 2000; ++i)
    test::WriteFile(src + "/d" + std::to_string(i % 10) + "/f" + std::to_string(i), std::to_string(i));
  test::WriteFile(src + "/d0/Name.txt", "Name");
  test::WriteFile(src + "/d0/name.txt", "name");
  PackDirToStorage(src, dir / "image.dat");
  const auto tree = test::Snapshot(src);

  std::filesystem::create_directory(dir / "dst");
  RestoreDirFromStorage(dir / "image.dat", dir / "dst", true);
  const auto restored = test::Snapshot(dir / "dst");
  for (const auto& [k, v] : tree)
    if (!restored.count(k) || restored.at(k) != v) ADD_FAILURE() << "missing or changed: " << k;
  for (const auto& [k, v] : restored)
    if (!tree.count(k)) ADD_FAILURE() << "extra: " << k;

  // Over a copy: a variant beside the exact name goes, extra files go, a
  // lone variant of a name is the same entry and is written over.
  test::WriteFile(dir / "dst/d1/F1", "variant");
  test::WriteFile(dir / "dst/d2/extra", "extra");
  std::filesystem::rename(dir / "dst/d3/f3", dir / "dst/d3/F3");
  RestoreDirFromStorage(dir / "image.dat", dir / "dst", true);
  auto expect = tree;
  expect.erase("d3/f3");
  expect["d3/F3"] = "3";
  const auto again = test::Snapshot(dir / "dst");
  for (const auto& [k, v] : expect)
    if (!again.count(k) || again.at(k) != v) ADD_FAILURE() << "missing or changed: " << k;
  for (const auto& [k, v] : again)
    if (!expect.count(k)) ADD_FAILURE() << "extra: " << k << "=" << v;
}

}  // namespace
}  // namespace ztv
