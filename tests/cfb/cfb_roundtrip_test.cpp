// Files made by the writer read back by the reader: tree shape, order,
// contents at the mini-stream boundary, many entries, big streams that need
// DIFAT sectors, and the red-black tree the writer lays out.
#include <gtest/gtest.h>

#include <functional>

#include "cfb_test_util.h"
#include "core/errors.h"
#include "formats/cfb/cfb_names.h"
#include "formats/cfb/compound_writer.h"
#include "support/temp_dir.h"

namespace ztv::cfb::test {
namespace {

std::string Save(CompoundFileWriter& w) {
  TZVMemoryStream out;
  w.SaveToStream(out);
  return out.AsString();
}

CompoundFile Open(const std::string& bytes) {
  return CompoundFile(std::make_unique<TZVMemoryStream>(bytes), "test.cfb");
}

class VersionTest : public ::testing::TestWithParam<int> {};

TEST_P(VersionTest, NestedTreeComesBackInDirectoryOrder) {
  CompoundFileWriter w(GetParam());
  auto& root = w.Root();
  root.AddStream("0", Pattern(300, 1));
  auto& dir = root.AddStorage("1");
  dir.AddStream("5", Pattern(4097, 5));
  dir.AddStream("2", std::string());
  dir.AddStream("4", Pattern(4096, 4));
  dir.AddStream("3", Pattern(4095, 3));
  auto& sub = dir.AddStorage("10");
  sub.AddStream("Файл", std::make_unique<TZVMemoryStream>(Pattern(100, 7)));
  sub.AddStorage("пустой");
  root.AddStream("b", Pattern(64, 8));
  root.AddStream("A", Pattern(65, 9));

  const std::string bytes = Save(w);
  EXPECT_TRUE(bytes.size() % (GetParam() == 4 ? 4096 : 512) == 0);
  CompoundFile cf = Open(bytes);
  EXPECT_EQ(cf.MajorVersion(), GetParam());
  EXPECT_EQ(cf.SectorSize(), GetParam() == 4 ? 4096u : 512u);
  EXPECT_EQ(cf.Root().Name(), "Root Entry");

  // Shorter names first, then case-insensitively: "0" < "1" < "A" < "b".
  std::vector<Item> expected = {
      {"0", false, 300, Pattern(300, 1)},
      {"1", true, 0, ""},
      {"1/2", false, 0, ""},
      {"1/3", false, 4095, Pattern(4095, 3)},
      {"1/4", false, 4096, Pattern(4096, 4)},
      {"1/5", false, 4097, Pattern(4097, 5)},
      {"1/10", true, 0, ""},
      {"1/10/Файл", false, 100, Pattern(100, 7)},
      {"1/10/пустой", true, 0, ""},
      {"A", false, 65, Pattern(65, 9)},
      {"b", false, 64, Pattern(64, 8)},
  };
  EXPECT_EQ(Walk(cf.Root()), expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTest, ::testing::Values(3, 4));

TEST(CfbRoundTrip, LookupIgnoresCaseAndChecksKinds) {
  CompoundFileWriter w;
  auto& dir = w.Root().AddStorage("Каталог");
  dir.AddStream("Data.bin", std::string("abc"));
  const std::string bytes = Save(w);
  CompoundFile cf = Open(bytes);

  Storage root = cf.Root();
  ASSERT_TRUE(root.Find("КАТАЛОГ").has_value());
  Storage d = root.OpenStorage("каталог");
  EXPECT_EQ(d.Name(), "Каталог");
  EXPECT_EQ(d.ReadStream("DATA.BIN"), "abc");
  EXPECT_FALSE(d.Find("data.bi").has_value());

  try {
    root.OpenStream("Каталог");
    FAIL() << "a storage opened as a stream";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Элемент \"Каталог\" составного файла [test.cfb] не является потоком");
  }
  try {
    d.OpenStorage("нет");
    FAIL() << "a missing name opened";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Элемент \"нет\" не найден в составном файле [test.cfb]");
  }
  // An element of another storage is not this storage's.
  Element inner = d.Elements().at(0);
  EXPECT_THROW(root.OpenStream(inner), Exception);
}

TEST(CfbRoundTrip, HandlesOutliveTheFileObject) {
  CompoundFileWriter w;
  w.Root().AddStorage("s").AddStream("x", Pattern(5000, 2));
  const std::string bytes = Save(w);
  std::unique_ptr<TZVStream> stream;
  {
    CompoundFile cf = Open(bytes);
    stream = cf.Root().OpenStorage("s").OpenStream("x");
  }
  std::string got(5000, '\0');
  stream->ReadBuffer(got.data(), 5000);
  EXPECT_EQ(got, Pattern(5000, 2));
}

TEST(CfbRoundTrip, ManyEntriesEnumerateInNumericOrder) {
  // Decimal names without leading zeros sort numerically in the format's
  // order (length first), which is what directory images rely on.
  CompoundFileWriter w;
  auto& dir = w.Root().AddStorage("1");
  for (int i = 2000; i >= 2; --i) dir.AddStream(std::to_string(i), Pattern(static_cast<size_t>(i % 97) * 53, i));
  const std::string bytes = Save(w);
  CompoundFile cf = Open(bytes);
  Storage d = cf.Root().OpenStorage("1");
  const auto& elements = d.Elements();
  ASSERT_EQ(elements.size(), 1999u);
  for (int i = 2; i <= 2000; ++i) {
    const Element& e = elements[static_cast<size_t>(i - 2)];
    ASSERT_EQ(e.name, std::to_string(i));
    ASSERT_EQ(d.ReadStream(e), Pattern(static_cast<size_t>(i % 97) * 53, i)) << e.name;
  }
  ASSERT_TRUE(d.Find("1234").has_value());
  EXPECT_EQ(d.Find("1234")->size, (1234u % 97) * 53);
}

// Checks the layout of one storage's tree: ordered by the format's name
// order, root black, no red node with a red child, the same number of black
// nodes on every path. Returns the black height.
int CheckTree(const Raw& raw, uint32_t node, const std::u16string* lo, const std::u16string* hi, bool parentRed,
              int& count) {
  if (node == 0xFFFFFFFFu) return 1;
  ++count;
  std::u16string name = raw.Name(node);
  if (lo) {
    EXPECT_LT(CompareNames(*lo, name), 0);
  }
  if (hi) {
    EXPECT_LT(CompareNames(name, *hi), 0);
  }
  bool red = !raw.Black(node);
  EXPECT_FALSE(red && parentRed) << "red node under a red node";
  int l = CheckTree(raw, raw.Left(node), lo, &name, red, count);
  int r = CheckTree(raw, raw.Right(node), &name, hi, red, count);
  EXPECT_EQ(l, r) << "black heights differ";
  return l + (red ? 0 : 1);
}

TEST(CfbRoundTrip, SiblingTreesAreRedBlackTrees) {
  for (int n : {1, 2, 3, 4, 7, 8, 100, 255, 256, 1000}) {
    CompoundFileWriter w;
    auto& dir = w.Root().AddStorage("d");
    for (int i = 0; i < n; ++i) dir.AddStream((i % 2 ? "Ф" : "x") + std::to_string(i * 7919 % 10007), "");
    const std::string bytes = Save(w);
    Raw raw(bytes);
    int d = raw.Find(u"d");
    ASSERT_GE(d, 0);
    uint32_t top = raw.Child(static_cast<uint32_t>(d));
    EXPECT_TRUE(raw.Black(top)) << n;
    int count = 0;
    CheckTree(raw, top, nullptr, nullptr, false, count);
    EXPECT_EQ(count, n);
  }
}

TEST(CfbRoundTrip, BigStreamsNeedDifatSectorsInBothVersions) {
  // 512-byte sectors: 109 FAT sectors in the header cover 6.8 MiB; version
  // 4 needs far bigger files for DIFAT, so it is checked for big streams only.
  for (int version : {3, 4}) {
    const size_t size = 7 * 1024 * 1024 + 123456;
    CompoundFileWriter w(version);
    w.Root().AddStream("big", Pattern(size, 42));
    w.Root().AddStream("small", Pattern(10, 43));
    const std::string bytes = Save(w);
    if (version == 3) {
      Raw raw(bytes);
      EXPECT_GT(U32(bytes, 72), 0u) << "no DIFAT sectors";
      EXPECT_EQ(raw.difatSectors.size(), U32(bytes, 72));
    }
    CompoundFile cf = Open(bytes);
    Storage root = cf.Root();
    auto big = root.OpenStream("big");
    ASSERT_EQ(big->Size(), static_cast<int64_t>(size));
    const std::string expected = Pattern(size, 42);
    // Chunks that cross sector boundaries, then random seeks.
    std::string got;
    std::string buf(70001, '\0');
    for (int64_t n; (n = big->Read(buf.data(), static_cast<int64_t>(buf.size()))) > 0;) got.append(buf.data(), n);
    EXPECT_TRUE(got == expected) << "sequential read differs";
    for (size_t pos : {size_t{0}, size_t{511}, size_t{4095}, size_t{3000000}, size - 7}) {
      big->SetPosition(static_cast<int64_t>(pos));
      char tmp[1000];
      int64_t n = big->Read(tmp, sizeof(tmp));
      EXPECT_EQ(n, static_cast<int64_t>(std::min<size_t>(sizeof(tmp), size - pos)));
      EXPECT_EQ(std::string(tmp, static_cast<size_t>(n)), expected.substr(pos, static_cast<size_t>(n))) << pos;
    }
    TZVMemoryStream copy;
    EXPECT_EQ(root.ReadStreamTo("big", copy), static_cast<int64_t>(size));
    EXPECT_TRUE(copy.AsString() == expected);
    EXPECT_EQ(root.ReadStream("small"), Pattern(10, 43));
  }
}

TEST(CfbRoundTrip, FileSourcesAreOpenedWhenWritten) {
  ztv::test::TempDir tmp;
  ztv::test::WriteFile(tmp / "a.bin", Pattern(9000, 1));
  ztv::test::WriteFile(tmp / "b.bin", Pattern(100, 2));
  int opened = 0;
  CompoundFileWriter w;
  w.Root().AddFile("a", tmp / "a.bin");
  w.Root().AddStream("b", StreamSource([&] {
                       ++opened;
                       return std::make_unique<TZVFileStream>(tmp / "b.bin", TZVFileStream::Mode::OpenRead);
                     }));
  EXPECT_EQ(opened, 0);
  w.SaveToFile(tmp / "out.cfb");
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(IsCompoundFile(tmp / "out.cfb"));
  CompoundFile cf(tmp / "out.cfb");
  EXPECT_EQ(cf.Root().ReadStream("a"), Pattern(9000, 1));
  EXPECT_EQ(cf.Root().ReadStream("b"), Pattern(100, 2));

  // A source that is missing when the writer reaches it stops the save.
  CompoundFileWriter broken;
  broken.Root().AddFile("gone", tmp / "missing.bin");
  EXPECT_THROW(broken.SaveToFile(tmp / "broken.cfb"), Exception);
}

TEST(CfbRoundTrip, EmptyTreeIsAValidFile) {
  CompoundFileWriter w;
  const std::string bytes = Save(w);
  EXPECT_EQ(bytes.size(), 512u * 3);  // header, directory, FAT
  CompoundFile cf = Open(bytes);
  EXPECT_TRUE(cf.Root().Elements().empty());
}

TEST(CfbWriter, RejectsNamesTheFormatCannotHold) {
  CompoundFileWriter w;
  auto& root = w.Root();
  root.AddStream(std::string(31, 'x'), "");
  for (const std::string& bad : {std::string(), std::string(32, 'y'), std::string("a/b"), std::string("a\\b"),
                                 std::string("a:b"), std::string("a!b"), std::string("\xff\xfe")})
    EXPECT_THROW(root.AddStream(bad, ""), Exception) << bad;
  root.AddStream("Файл", "");
  EXPECT_THROW(root.AddStorage("фАЙЛ"), Exception);
  root.AddStorage("abc");
  try {
    root.AddStream("ABC", "");
    FAIL() << "a repeated name was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Повторяющееся имя элемента составного файла: \"ABC\"");
  }
  EXPECT_THROW(CompoundFileWriter(5), Exception);
}

TEST(CfbNames, FormatOrderIsLengthFirstThenUpperCase) {
  EXPECT_LT(CompareNames(u"z", u"aa"), 0);
  EXPECT_EQ(CompareNames(u"abc", u"ABC"), 0);
  EXPECT_EQ(CompareNames(u"ёжик", u"ЁЖИК"), 0);
  EXPECT_LT(CompareNames(u"ab", u"AC"), 0);
  EXPECT_EQ(CompareNames(u"Я", u"я"), 0);
  std::u16string s;
  ASSERT_TRUE(Utf8ToUtf16("a\xF0\x9F\x98\x80", s));  // a surrogate pair
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(Utf16ToUtf8(s), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace ztv::cfb::test
