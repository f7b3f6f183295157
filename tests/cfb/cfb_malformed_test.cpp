// Damaged compound files: every fault stops with a message that names the
// file and the fault, never a hang, a crash or a wild allocation.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "cfb_test_util.h"
#include "core/errors.h"
#include "formats/cfb/compound_writer.h"

namespace ztv::cfb::test {
namespace {

std::string SaveTree(CompoundFileWriter& w) {
  TZVMemoryStream out;
  w.SaveToStream(out);
  return out.AsString();
}

// Root: "big" (10000 bytes, regular sectors), "dir" with "inner" (5000
// bytes), "small" (200 bytes, mini stream).
std::string BaseFile() {
  CompoundFileWriter w;
  w.Root().AddStream("big", Pattern(10000, 1));
  w.Root().AddStream("small", Pattern(200, 2));
  w.Root().AddStorage("dir").AddStream("inner", Pattern(5000, 3));
  return SaveTree(w);
}

// Opens the bytes and reads everything in them.
void OpenAndWalk(const std::string& bytes) {
  CompoundFile cf(std::make_unique<TZVMemoryStream>(bytes), "test.cfb");
  Walk(cf.Root());
}

// The bytes must fail with "Повреждённый составной файл [test.cfb]: ..."
// naming `fault`.
void ExpectFault(const std::string& bytes, const std::string& fault) {
  try {
    OpenAndWalk(bytes);
    ADD_FAILURE() << "no error; expected: " << fault;
  } catch (const Exception& e) {
    std::string msg = e.what();
    EXPECT_EQ(msg.rfind("Повреждённый составной файл [test.cfb]: ", 0), 0u) << msg;
    EXPECT_NE(msg.find(fault), std::string::npos) << msg;
  }
}

std::string Damaged(const std::function<void(std::string&, const Raw&)>& damage) {
  std::string bytes = BaseFile();
  const std::string pristine = bytes;
  Raw raw(pristine);
  damage(bytes, raw);
  return bytes;
}

uint32_t EntryOf(const Raw& raw, const std::u16string& name) {
  int e = raw.Find(name);
  EXPECT_GE(e, 0);
  return static_cast<uint32_t>(e);
}

TEST(CfbMalformed, BaseFileIsSound) {
  std::vector<Item> expected = {{"big", false, 10000, Pattern(10000, 1)},
                                {"dir", true, 0, ""},
                                {"dir/inner", false, 5000, Pattern(5000, 3)},
                                {"small", false, 200, Pattern(200, 2)}};
  CompoundFile cf(std::make_unique<TZVMemoryStream>(BaseFile()), "test.cfb");
  EXPECT_EQ(Walk(cf.Root()), expected);
}

TEST(CfbMalformed, OtherFilesAreNotCompoundFiles) {
  std::string text(2000, 'x');
  TZVMemoryStream s(text);
  s.SetPosition(7);
  EXPECT_FALSE(IsCompoundFile(s));
  EXPECT_EQ(s.Position(), 7);
  TZVMemoryStream good(BaseFile());
  good.SetPosition(100);
  EXPECT_TRUE(IsCompoundFile(good));
  EXPECT_EQ(good.Position(), 100);
  EXPECT_FALSE(IsCompoundFile("/nonexistent/file.cfb"));
  TZVMemoryStream tiny(std::string("\xD0\xCF\x11", 3));
  EXPECT_FALSE(IsCompoundFile(tiny));

  try {
    OpenAndWalk(text);
    ADD_FAILURE() << "a text file opened";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Файл не является составным файлом [test.cfb]");
  }
}

TEST(CfbMalformed, HeaderFaults) {
  ExpectFault(BaseFile().substr(0, 300), "файл короче заголовка");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU16(b, 28, 0xFEFF); }), "порядка байтов");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU16(b, 26, 5); }), "неподдерживаемая версия формата 5");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU16(b, 30, 10); }), "неверный размер сектора (сдвиг 10)");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU16(b, 32, 7); }), "мини-сектора (сдвиг 7)");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU32(b, 56, 2048); }), "порог мини-потоков 2048");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU32(b, 44, 0x7FFFFFFF); }), "число секторов FAT");
  ExpectFault(Damaged([](std::string& b, const Raw&) { SetU32(b, 76, 0x00FFFFFF); }), "за пределами файла");
}

TEST(CfbMalformed, ChainFaults) {
  // The directory's chain leads back to its start.
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.FatOff(r.dirSectors.back()), r.dirSectors[0]); }),
              "цепочка секторов (каталог) зациклена");
  // A stream's chain loops back on itself.
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                uint32_t start = r.Start(EntryOf(r, u"big"));
                SetU32(b, r.FatOff(start + 5), start + 2);
              }),
              "цепочка секторов (поток \"big\") зациклена");
  // It ends before the stream's size is reached.
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                SetU32(b, r.FatOff(r.Start(EntryOf(r, u"big")) + 5), 0xFFFFFFFE);
              }),
              "цепочка секторов (поток \"big\") короче размера");
  // It points past the end of the file.
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                SetU32(b, r.FatOff(r.Start(EntryOf(r, u"inner")) + 1), 0x00FFFFFF);
              }),
              "номер сектора 16777215 (поток \"inner\") за пределами файла");
  // A mini stream chain that loops.
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                uint32_t start = r.Start(EntryOf(r, u"small"));
                SetU32(b, r.Off(U32(b, 60)) + 4 * (start + 2), start);
              }),
              "цепочка мини-секторов (поток \"small\") зациклена");
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                SetU32(b, r.EntryOff(EntryOf(r, u"small")) + 116, 5000);
              }),
              "за пределами мини-потока");
}

TEST(CfbMalformed, SizeFaults) {
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(EntryOf(r, u"big")) + 120, 0x7FFFFFFF); }),
              "поток \"big\" больше файла");
  // A small stream bigger than the mini stream that should hold it.
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(EntryOf(r, u"small")) + 120, 4000); }),
              "поток \"small\" больше файла");
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(0) + 120, 0x40000000); }),
              "мини-поток больше файла");
}

TEST(CfbMalformed, DirectoryTreeFaults) {
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(EntryOf(r, u"small")) + 68, 0); }),
              "цикл в дереве каталога (элемент 0)");
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                uint32_t inner = EntryOf(r, u"inner");
                SetU32(b, r.EntryOff(inner) + 72, inner);
              }),
              "цикл в дереве каталога");
  // A storage whose child is its own parent: the nesting loops.
  ExpectFault(Damaged([](std::string& b, const Raw& r) {
                uint32_t dir = EntryOf(r, u"dir");
                SetU32(b, r.EntryOff(EntryOf(r, u"inner")) + 72, dir);
              }),
              "цикл в дереве каталога");
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(EntryOf(r, u"dir")) + 76, 1000); }),
              "ссылка на элемент каталога 1000 за пределами каталога (элементов: 8)");
  ExpectFault(Damaged([](std::string& b, const Raw& r) { b[r.EntryOff(EntryOf(r, u"small")) + 66] = 3; }),
              "неверного типа 3");
  ExpectFault(Damaged([](std::string& b, const Raw& r) { b[r.EntryOff(0) + 66] = 1; }),
              "первый элемент каталога не является корневым");
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU16(b, r.EntryOff(EntryOf(r, u"dir")) + 64, 66); }),
              "неверная длина имени (66)");
  // An unused entry linked into the tree.
  ExpectFault(Damaged([](std::string& b, const Raw& r) { SetU32(b, r.EntryOff(EntryOf(r, u"inner")) + 68, 6); }),
              "неверного типа 0");
}

TEST(CfbMalformed, NestingDepthIsBounded) {
  auto nested = [](int depth) {
    CompoundFileWriter w;
    CompoundFileWriter::StorageNode* node = &w.Root();
    for (int i = 0; i < depth; ++i) node = &node->AddStorage(std::to_string(i));
    node->AddStream("leaf", "x");
    return SaveTree(w);
  };
  std::vector<Item> walked;
  {
    CompoundFile cf(std::make_unique<TZVMemoryStream>(nested(kMaxStorageDepth)), "test.cfb");
    walked = Walk(cf.Root());
  }
  ASSERT_EQ(walked.size(), static_cast<size_t>(kMaxStorageDepth) + 1);
  EXPECT_EQ(walked.back().data, "x");
  ExpectFault(nested(kMaxStorageDepth + 1), "вложенность хранилищ больше 256 уровней");
}

TEST(CfbMalformed, DifatFaults) {
  // 16 MiB in 512-byte sectors needs more than 109 + 127 FAT sectors, so
  // the DIFAT has two sectors.
  CompoundFileWriter w;
  w.Root().AddStream("huge", Pattern(16 << 20, 9));
  const std::string pristine = SaveTree(w);
  Raw raw(pristine);
  ASSERT_EQ(raw.difatSectors.size(), 2u);
  {
    CompoundFile cf(std::make_unique<TZVMemoryStream>(pristine), "test.cfb");
    EXPECT_TRUE(cf.Root().ReadStream("huge") == Pattern(16 << 20, 9));
  }
  std::string selfLoop = pristine;
  SetU32(selfLoop, raw.Off(raw.difatSectors[0]) + 508, raw.difatSectors[0]);
  ExpectFault(selfLoop, "цепочка DIFAT зациклена");
  std::string outside = pristine;
  SetU32(outside, raw.Off(raw.difatSectors[0]) + 508, 0x00FFFFFF);
  ExpectFault(outside, "цепочка DIFAT обрывается");
  std::string tooFew = pristine;
  SetU32(tooFew, 72, 1);
  ExpectFault(tooFew, "секторов DIFAT (1) меньше");
}

TEST(CfbMalformed, TruncatedAndScrambledFilesOnlyRaiseErrors) {
  const std::string base = BaseFile();
  // Every cut: a sound prefix or a clear error, nothing else.
  for (size_t cut = 0; cut < base.size(); cut += 37) {
    try {
      OpenAndWalk(base.substr(0, cut));
    } catch (const Exception&) {
    }
  }
  // Random damage in the header and the metadata sectors at the end.
  std::mt19937 rng(20240607);
  const size_t metaStart = base.size() - 5 * 512;
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = base;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      size_t at = rng() % 2 ? rng() % 512 : metaStart + rng() % (base.size() - metaStart);
      bytes[at] = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng());
    }
    try {
      OpenAndWalk(bytes);
    } catch (const Exception&) {
      ++failures;
    }
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace ztv::cfb::test
