#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/errors.h"
#include "core/stream.h"
#include "formats/lzma/lzma_library.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using namespace sevenzip;

const char* const kSystemLibrary = "/usr/lib/p7zip/7z.so";
const char* const kNotACodecLibrary = "/lib/x86_64-linux-gnu/libz.so.1";

std::string LoadError(TLZMALibrary& library) {
  try {
    library.Load();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(loaded)";
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

TEST(LZMALibrary, SevenZaIsPreferredWhenBothArePresent) {
  test::TempDir dir;
  fs::copy_file(kSystemLibrary, dir / "7za.so");
  fs::copy_file(kNotACodecLibrary, dir / "7z.so");
  TLZMALibrary library({dir / "7za.so", dir / "7z.so"});
  library.Load();
  EXPECT_EQ(library.LoadedPath(), dir / "7za.so");
  ComPtr<ICompressCoder> decoder;
  EXPECT_EQ(library.CreateObject(CLSID_LZMADecoder, IID_ICompressCoder, decoder.PutVoid()), S_OK);
  EXPECT_TRUE(decoder);
}

TEST(LZMALibrary, FileThatIsNoLibraryFallsThroughToTheNext) {
  test::TempDir dir;
  test::WriteFile(dir / "7za.so", "not a library");
  TLZMALibrary library({dir / "7za.so", dir / "7z.so", kSystemLibrary});
  library.Load();
  EXPECT_EQ(library.LoadedPath(), kSystemLibrary);
}

TEST(LZMALibrary, NoLibraryFailsNowAndOnEveryLaterCall) {
  test::TempDir dir;
  TLZMALibrary library({dir / "7za.so", dir / "7z.so"});
  const std::string first = LoadError(library);
  EXPECT_TRUE(StartsWith(first, "Ошибка загрузки библиотеки 7z.so [GetLastError = ")) << first;
  EXPECT_NE(first.find("7z.so: cannot open shared object file"), std::string::npos) << first;
  EXPECT_EQ(first.back(), ']');
  // Not retried, even once the file exists.
  fs::copy_file(kSystemLibrary, dir / "7z.so");
  EXPECT_EQ(LoadError(library), first);
  EXPECT_TRUE(library.LoadedPath().empty());
}

TEST(LZMALibrary, LibraryWithoutTheFactoryFailsOnEveryCall) {
  TLZMALibrary library({kNotACodecLibrary});
  const std::string first = LoadError(library);
  EXPECT_TRUE(StartsWith(first, "Ошибка загрузки функции 7Z CreateObject [GetLastError = ")) << first;
  EXPECT_NE(first.find("undefined symbol: CreateObject"), std::string::npos) << first;
  EXPECT_EQ(library.LoadedPath(), kNotACodecLibrary);
  EXPECT_TRUE(StartsWith(LoadError(library), "Ошибка загрузки функции 7Z CreateObject"));
}

TEST(LZMALibrary, DefaultCandidatesLookBesideTheProgramFirst) {
  const auto list = TLZMALibrary::DefaultCandidates();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(fs::path(list[0]).filename(), "7za.so");
  EXPECT_EQ(fs::path(list[1]).filename(), "7z.so");
  EXPECT_EQ(fs::path(list[0]).parent_path(), fs::canonical("/proc/self/exe").parent_path());
  EXPECT_EQ(list[2], kSystemLibrary);
}

TEST(SeqStream, InterfacesAndReferenceCounting) {
  TZVMemoryStream backing(std::string("abcdef"));
  auto s = TSeqStream::Create(backing);
  void* in = nullptr;
  void* out = nullptr;
  void* unknown = nullptr;
  EXPECT_EQ(s->QueryInterface(IID_ISequentialInStream, &in), S_OK);
  EXPECT_EQ(in, static_cast<ISequentialInStream*>(s.Get()));
  EXPECT_EQ(s->QueryInterface(IID_ISequentialOutStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<ISequentialOutStream*>(s.Get()));
  EXPECT_EQ(s->QueryInterface(IID_ICompressCoder, &unknown), E_NOINTERFACE);
  EXPECT_EQ(unknown, nullptr);
  // Three references now; releasing through either interface counts.
  EXPECT_EQ(static_cast<ISequentialInStream*>(in)->Release(), 2u);
  EXPECT_EQ(static_cast<ISequentialOutStream*>(out)->Release(), 1u);

  char buf[4];
  uint32_t processed = 99;
  EXPECT_EQ(s->AsIn()->Read(buf, 4, &processed), S_OK);
  EXPECT_EQ(processed, 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(s->AsIn()->Read(buf, 4, nullptr), S_OK);  // no place for the count
  EXPECT_EQ(s->AsOut()->Write("XY", 2, &processed), S_OK);
  EXPECT_EQ(processed, 2u);
  EXPECT_EQ(backing.AsString(), "abcdefXY");
  EXPECT_FALSE(s->Failed());
}

TEST(LZMAEncode, ProducesWhatTheLibraryDecoderReadsBack) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "строка " + std::to_string(i % 97) + "\n";
  TZVMemoryStream plain(text), packed;
  const std::vector<uint8_t> properties = LZMAEncode(plain, packed);
  ASSERT_EQ(properties.size(), 5u);
  EXPECT_EQ(properties[0], 0x5D);  // lc=3, lp=0, pb=2
  EXPECT_LT(packed.Size(), static_cast<int64_t>(text.size()) / 4);

  LoadLZMALibrary();
  ComPtr<ICompressCoder> decoder;
  ASSERT_EQ(LZMALibrary().CreateObject(CLSID_LZMADecoder, IID_ICompressCoder, decoder.PutVoid()), S_OK);
  ComPtr<ICompressSetDecoderProperties2> set;
  ASSERT_EQ(decoder->QueryInterface(IID_ICompressSetDecoderProperties2, set.PutVoid()), S_OK);
  ASSERT_EQ(set->SetDecoderProperties2(properties.data(), 5), S_OK);
  packed.SetPosition(0);
  TZVMemoryStream result;
  auto in = TSeqStream::Create(packed);
  auto out = TSeqStream::Create(result);
  const uint64_t inSize = static_cast<uint64_t>(packed.Size());
  const uint64_t outSize = text.size();
  EXPECT_EQ(decoder->Code(in->AsIn(), out->AsOut(), &inSize, &outSize, nullptr), S_OK);
  EXPECT_EQ(result.AsString(), text);
}

}  // namespace
}  // namespace ztv
