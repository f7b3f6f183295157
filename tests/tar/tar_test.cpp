#include "formats/tar/tar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::MessageOf;

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string OctalField(const std::string& tar, size_t offset, size_t width) { return tar.substr(offset, width); }

// Rewrites a header's checksum after a test changed the block.
void FixChecksum(std::string& tar, size_t headerPos) {
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(tar[headerPos + i]);
  char buf[9];
  std::snprintf(buf, sizeof buf, "%07o", sum);
  tar.replace(headerPos + 148, 8, std::string(buf, 8));
}

TEST(Tar, OneSmallFileMakesThreeBlocksWithTheExactHeader) {
  TempDir dir;
  WriteFile(dir / "src", "abc");
  {
    TTarWriter w(dir / "a.tar");
    w.AddFile(dir / "src", "1");
  }
  std::string tar = ReadFile(dir / "a.tar");
  ASSERT_EQ(tar.size(), 1536u);
  EXPECT_EQ(tar.substr(0, 2), std::string("1\0", 2));
  EXPECT_EQ(OctalField(tar, 100, 8), std::string("0000777\0", 8));
  EXPECT_EQ(OctalField(tar, 108, 8), std::string("0000000\0", 8));
  EXPECT_EQ(OctalField(tar, 124, 12), std::string("00000000003\0", 12));
  EXPECT_EQ(tar[156], '0');
  EXPECT_EQ(tar.substr(257, 8), std::string("ustar\0" "00", 8));
  // Seven octal digits and a NUL, not the six digits, NUL and blank.
  EXPECT_EQ(tar[155], '\0');
  EXPECT_NE(tar[154], ' ');
  EXPECT_EQ(tar.substr(512, 3), "abc");
  EXPECT_EQ(tar.substr(515), std::string(1536 - 515, '\0'));

  // GNU tar reads it.
  std::string cmd = "cd " + dir.Path() + " && tar tvf a.tar > list.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadFile(dir / "list.txt");
  EXPECT_NE(ReadFile(dir / "list.txt").find(" 1\n"), std::string::npos);
}

TEST(Tar, RoundTripOfSizesNamesAndTimes) {
  TempDir dir;
  const std::string name100(100, 'n');
  WriteFile(dir / "empty", "");
  WriteFile(dir / "513", std::string(513, 'x'));
  WriteFile(dir / "big", std::string(3 * 1024 * 1024 + 7, 'b'));
  struct timeval times[2] = {{1600000000, 0}, {1600000000, 250000}};
  ::utimes((dir / "513").c_str(), times);
  {
    TTarWriter w(dir / "a.tar");
    w.AddFile(dir / "empty", "e");
    w.AddFile(dir / "513", name100);
    w.AddFile(dir / "big", "Имя");
    TZVMemoryStream s(std::string("0123456789"));
    s.SetPosition(4);
    w.AddStream(s, "Index.trs", kUnixEpochDate + 1.5);
    w.Close();
    EXPECT_TRUE(w.Finalized());
  }
  std::string tar = ReadFile(dir / "a.tar");
  // 513 bytes: header, two data blocks, the second padded with 511 zeros.
  EXPECT_EQ(tar.substr(1024 + 513, 511), std::string(511, '\0'));
  EXPECT_EQ(tar.substr(2048, 3), std::string("\xC8\xEC\xFF"));  // next header: "Имя" in CP1251
  EXPECT_EQ(tar.substr(512, 100), name100);  // no NUL after 100 characters

  TTarArchive a(dir / "a.tar");
  TTarDirRec r;
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, "e");
  EXPECT_EQ(r.Size, 0);
  EXPECT_TRUE(r.ChecksumValid);
  EXPECT_EQ(r.MagicText, "ustar");
  EXPECT_EQ(r.Permissions, 0777);
  a.ReadFileTo(dir / "e.out");
  EXPECT_TRUE(std::filesystem::exists(dir / "e.out"));
  EXPECT_EQ(ReadFile(dir / "e.out"), "");

  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, name100);
  EXPECT_EQ(r.Size, 513);
  EXPECT_EQ(r.HeaderPos, 512);
  EXPECT_DOUBLE_EQ(r.ModTime, kUnixEpochDate + 1600000000.0 / 86400.0);
  // Data not read is skipped by the next FindNext.
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, "Имя");
  a.ReadFileTo(dir / "big.out");
  EXPECT_EQ(ReadFile(dir / "big.out"), ReadFile(dir / "big"));

  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, "Index.trs");
  EXPECT_DOUBLE_EQ(r.ModTime, kUnixEpochDate + 1.5);
  TZVMemoryStream m;
  a.ReadFileTo(m);
  EXPECT_EQ(m.AsString(), "456789");
  a.ReadFileTo(m);  // a second read of the same member writes nothing
  EXPECT_EQ(m.AsString(), "456789");
  EXPECT_FALSE(a.FindNext(r));

  // Walk again after Rewind.
  a.Rewind();
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, "e");
}

TEST(Tar, WholeSecondTimesAreStoredExactly) {
  TempDir dir;
  // A file's time to the millisecond goes through a day fraction; rounding
  // to the millisecond before taking whole seconds gives them back exactly.
  const std::vector<std::pair<time_t, long>> fileTimes = {
      {1700000549, 0}, {1700000549, 999999999}, {1234567890, 1000000}, {86399, 0}, {1, 0}};
  std::vector<uint64_t> expect;
  {
    TTarWriter w(dir / "a.tar");
    int n = 0;
    for (const auto& [sec, nsec] : fileTimes) {
      const std::string f = dir / ("f" + std::to_string(n++));
      WriteFile(f, "x");
      const struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
      ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), ts, 0), 0);
      w.AddFile(f, "1");
      expect.push_back(static_cast<uint64_t>(sec));
    }
    // Day-fraction times given directly, every second of a stretch.
    for (uint64_t sec = 1700000000; sec < 1700000600; ++sec) {
      TZVMemoryStream s(std::string("y"));
      w.AddStream(s, "2", kUnixEpochDate + static_cast<double>(sec) / 86400.0);
      expect.push_back(sec);
    }
    w.Close();
  }
  const std::string tar = ReadFile(dir / "a.tar");
  for (size_t i = 0; i < expect.size(); ++i) {
    const std::string field = OctalField(tar, i * 1024 + 136, 11);
    EXPECT_EQ(std::stoull(field, nullptr, 8), expect[i]) << "member " << i;
  }
}

TEST(Tar, ExclusiveExtractionAndHeaderWalkOverLargeMembers) {
  TempDir dir;
  WriteFile(dir / "big", std::string(5 * 1024 * 1024 + 3, 'b'));
  WriteFile(dir / "small", "s");
  {
    TTarWriter w(dir / "a.tar");
    for (int i = 0; i < 3; ++i) {
      w.AddFile(dir / "big", "big" + std::to_string(i));
      w.AddFile(dir / "small", "small" + std::to_string(i));
    }
  }
  TTarArchive a(dir / "a.tar");
  TTarDirRec r;
  std::vector<std::string> names;
  while (a.FindNext(r)) names.push_back(r.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"big0", "small0", "big1", "small1", "big2", "small2"}));

  a.Rewind();
  ASSERT_TRUE(a.FindNext(r));
  WriteFile(dir / "there", "old");
  EXPECT_FALSE(a.ReadFileToNew(dir / "there"));  // something stands there: nothing read or written
  EXPECT_EQ(ReadFile(dir / "there"), "old");
  EXPECT_EQ(a.PendingBytes(), r.Size);
  EXPECT_TRUE(a.ReadFileToNew(dir / "new"));
  EXPECT_EQ(ReadFile(dir / "new"), ReadFile(dir / "big"));
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_EQ(r.Name, "small0");
  a.ReadFileTo(dir / "there");
  EXPECT_EQ(ReadFile(dir / "there"), "s");
  EXPECT_THROW(a.ReadFileToNew(dir / "missing/x"), Exception);
}

TEST(Tar, ShortEmptyAndUnterminatedArchives) {
  TempDir dir;
  TTarDirRec r;
  WriteFile(dir / "empty.tar", "");
  EXPECT_FALSE(TTarArchive(dir / "empty.tar").FindNext(r));
  WriteFile(dir / "short.tar", std::string(511, 'x'));
  EXPECT_FALSE(TTarArchive(dir / "short.tar").FindNext(r));

  WriteFile(dir / "src", "data");
  {
    TTarWriter w(dir / "a.tar");
    w.AddFile(dir / "src", "1");
  }
  std::string tar = ReadFile(dir / "a.tar");
  WriteFile(dir / "noend.tar", tar.substr(0, 1024));
  TTarArchive a(dir / "noend.tar");
  ASSERT_TRUE(a.FindNext(r));
  a.ReadFileTo(dir / "out");
  EXPECT_EQ(ReadFile(dir / "out"), "data");
  EXPECT_FALSE(a.FindNext(r));
}

TEST(Tar, DamagedHeadersAndData) {
  TempDir dir;
  WriteFile(dir / "src", std::string(2500, 'd'));
  {
    TTarWriter w(dir / "a.tar");
    w.AddFile(dir / "src", "1");
    w.AddFile(dir / "src", "2");
  }
  std::string tar = ReadFile(dir / "a.tar");

  // A wrong checksum is still returned, marked.
  std::string bad = tar;
  bad[150] = '7';
  WriteFile(dir / "bad.tar", bad);
  TTarDirRec r;
  TTarArchive a(dir / "bad.tar");
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_FALSE(r.ChecksumValid);
  ASSERT_TRUE(a.FindNext(r));
  EXPECT_TRUE(r.ChecksumValid);

  // An unknown typeflag stops the walk with the letter quoted.
  std::string x = tar;
  x[156] = 'x';
  FixChecksum(x, 0);
  WriteFile(dir / "x.tar", x);
  TTarArchive ax(dir / "x.tar");
  EXPECT_EQ(MessageOf([&] { ax.FindNext(r); }), "Не правильное поле LinkFlag: \"x\"");

  // A directory member with a size carries no data: the next header follows.
  std::string d = tar.substr(0, 512) + tar.substr(512 * 6);
  d[156] = '5';
  FixChecksum(d, 0);
  WriteFile(dir / "d.tar", d);
  TTarArchive ad(dir / "d.tar");
  ASSERT_TRUE(ad.FindNext(r));
  EXPECT_EQ(r.FileType, TTarFileType::Directory);
  EXPECT_EQ(r.Size, 2500);
  EXPECT_EQ(ad.PendingBytes(), 0);
  ASSERT_TRUE(ad.FindNext(r));
  EXPECT_EQ(r.Name, "2");

  // Data cut short: reported in 1000-byte units.
  WriteFile(dir / "cut.tar", tar.substr(0, 512 + 2300));
  TTarArchive ac(dir / "cut.tar");
  ASSERT_TRUE(ac.FindNext(r));
  EXPECT_EQ(MessageOf([&] { ac.ReadFileTo(dir / "cut.out"); }),
            "TTarArchive.ReadFileTo: Ошибка чтения TAR-файла. Ожидалось 500 байт, прочитано 300.");
  EXPECT_EQ(ReadFile(dir / "cut.out").size(), 2000u);

  // A header cut short.
  WriteFile(dir / "hdr.tar", tar.substr(0, 512 * 4) + std::string(300, 'h'));
  TTarArchive ah(dir / "hdr.tar");
  ASSERT_TRUE(ah.FindNext(r));
  EXPECT_FALSE(ah.FindNext(r));  // fewer than 512 bytes left: the end

  // A size field claiming far more than the file holds ends the walk.
  std::string huge = tar;
  huge.replace(124, 12, std::string("77777777777\0", 12));
  FixChecksum(huge, 0);
  WriteFile(dir / "huge.tar", huge);
  TTarArchive au(dir / "huge.tar");
  ASSERT_TRUE(au.FindNext(r));
  EXPECT_EQ(r.Size, 077777777777);
  EXPECT_FALSE(au.FindNext(r));
}

TEST(Tar, Conversions) {
  EXPECT_EQ(FileTypeToChar(TTarFileType::Regular), '0');
  EXPECT_EQ(FileTypeToChar(TTarFileType::Directory), '5');
  EXPECT_EQ(FileTypeToChar(TTarFileType::DirDump), 'D');
  EXPECT_EQ(FileTypeToChar(TTarFileType::VolumeHeader), 'V');
  EXPECT_EQ(MessageOf([] { FileTypeToChar(static_cast<TTarFileType>(11)); }),
            "Ошибочный тип FileType при вызове FileTypeToChar()");
  EXPECT_EQ(LinkFlagToFileType('\0'), TTarFileType::Regular);
  EXPECT_EQ(LinkFlagToFileType('7'), TTarFileType::Contiguous);
  EXPECT_EQ(LinkFlagToFileType('M'), TTarFileType::Multivol);
  EXPECT_THROW(LinkFlagToFileType('8'), Exception);
  EXPECT_EQ(TarSystemErrorText(2), "Error code #2 No such file or directory");
}

TEST(Tar, FileSystemFailuresCarryTheSystemText) {
  TempDir dir;
  EXPECT_EQ(MessageOf([&] { TTarArchive a(dir / "missing.tar"); }),
            "TTarArchive.Create(). Ошибка при открытии файла: \r" + (dir / "missing.tar") +
                "\rError code #2 No such file or directory");
  EXPECT_EQ(MessageOf([&] { TTarWriter w(dir / "no/dir/a.tar"); }),
            "TTarWriter.Create(). Ошибка при создании файла:\r" + (dir / "no/dir/a.tar") +
                "\rError code #2 No such file or directory");
  TTarWriter w(dir / "a.tar");
  EXPECT_THROW(w.AddFile(dir / "missing"), Exception);
  // Text that the archive's code page cannot hold is refused, not mangled.
  TZVMemoryStream s;
  EXPECT_THROW(w.AddStream(s, "名前", 0), Exception);
}

TEST(Tar, DestructorEndsAnUnfinishedArchive) {
  TempDir dir;
  { TTarWriter w(dir / "a.tar"); }
  EXPECT_EQ(ReadFile(dir / "a.tar"), std::string(512, '\0'));
}

}  // namespace
}  // namespace ztv
