#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/stream.h"
#include "formats/container/archiver.h"
#include "formats/container/margin_stream.h"
#include "formats/container/zlib_stream.h"
#include "formats/lzma/lzma_library.h"

namespace ztv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes TextBytes(size_t n) {
  const std::string line = "Обновление рабочего места: версия 07.05.12, файл ";
  Bytes b;
  for (size_t i = 0; b.size() < n; ++i) {
    std::string s = line + std::to_string(i * 7919 % 1000) + "\r\n";
    b.insert(b.end(), s.begin(), s.end());
  }
  b.resize(n);
  return b;
}

Bytes Pack(const Bytes& plain, int method) {
  TZVMemoryStream in(plain), out;
  PackStream(&in, &out, method);
  EXPECT_EQ(out.Position(), 0);
  return out.Data();
}

Bytes Unpack(const Bytes& packed, int method) {
  TZVMemoryStream in(packed), out;
  UnPackStream(&in, &out, method);
  EXPECT_EQ(out.Position(), 0);
  return out.Data();
}

std::string UnpackError(const Bytes& packed, int method) {
  TZVMemoryStream in(packed), out;
  try {
    UnPackStream(&in, &out, method);
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no error)";
}

void PutU32(Bytes& b, size_t at, uint32_t v) {
  ASSERT_LE(at + 4, b.size());
  const uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                         static_cast<uint8_t>(v >> 24)};
  std::copy_n(le, 4, b.begin() + static_cast<ptrdiff_t>(at));
}

// Recomputes the trailer after a deliberate change to the body.
void FixCrc(Bytes& b) { PutU32(b, b.size() - 4, UpdateCRC32(0, b.data(), b.size() - 4)); }

// A raw zlib stream of `plain`.
Bytes ZlibOf(const Bytes& plain, const Bytes* dictionary = nullptr) {
  z_stream zs{};
  deflateInit(&zs, 6);
  if (dictionary) deflateSetDictionary(&zs, dictionary->data(), static_cast<uInt>(dictionary->size()));
  Bytes out(deflateBound(&zs, plain.size()) + 16);
  zs.next_in = const_cast<Bytef*>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Bytes WithTrailer(Bytes body) {
  body.resize(body.size() + 4);
  FixCrc(body);
  return body;
}

const char* const kLzh = "[UnPackStream] [TStreamArchiver.LZHUnPackStream] ";
const char* const kZlib = "[UnPackStream] [TStreamArchiver.ZLibUnPackStream] ";
const char* const kLzma = "[UnPackStream] [TStreamArchiver.LZMAUnPackStream] ";

TEST(Container, RoundTripsEveryFormOnEmptyTinyIncompressibleAndLarge) {
  const std::vector<Bytes> inputs = {{}, {'z'}, RandomBytes(70000, 5), TextBytes(1500000)};
  for (int method : {0, 1, 2, 3, 4, 5, 6}) {
    for (const Bytes& plain : inputs) {
      const Bytes packed = Pack(plain, method);
      EXPECT_EQ(Unpack(packed, method), plain) << "method " << method << " size " << plain.size();
    }
  }
  // The layouts: LZH and LZMA carry their sizes in front, all end in the CRC.
  const Bytes plain = TextBytes(100000);
  const Bytes lzh = Pack(plain, 0);
  TZVMemoryStream s(lzh);
  EXPECT_EQ(s.ReadU32(), lzh.size());
  EXPECT_EQ(s.ReadU32(), plain.size());
  const Bytes lzma = Pack(plain, 4);
  TZVMemoryStream m(lzma);
  EXPECT_EQ(m.ReadU32() + 17, lzma.size());
  EXPECT_EQ(m.ReadU32(), plain.size());
  const Bytes zlib = Pack(plain, 2);
  EXPECT_EQ(zlib[0] & 0x0F, 8);  // deflate, RFC 1950 framing
  for (const Bytes* b : {&lzh, &lzma, &zlib}) {
    TZVMemoryStream t(*b);
    t.SetPosition(static_cast<int64_t>(b->size()) - 4);
    EXPECT_EQ(t.ReadU32(), UpdateCRC32(0, b->data(), b->size() - 4));
  }
  EXPECT_LT(lzh.size(), plain.size() / 3);
  EXPECT_LT(lzma.size(), lzh.size());
}

TEST(Container, MethodCodesKeepTheLowEightBits) {
  const Bytes plain = TextBytes(5000);
  EXPECT_EQ(Unpack(Pack(plain, 0x100), 0), plain);   // 256 is LZH
  EXPECT_EQ(Unpack(Pack(plain, 0), 0x300), plain);
  EXPECT_EQ(Unpack(Pack(plain, 4), -252), plain);    // ...FF04 is LZMA
  // 7 .. 255 (and 263) do nothing at all: the output is not even truncated.
  for (int method : {7, 100, 255, 263}) {
    TZVMemoryStream in(Pack(plain, 0)), out(std::string("keep me"));
    out.SetPosition(4);
    UnPackStream(&in, &out, method);
    EXPECT_EQ(out.AsString(), "keep me");
    EXPECT_EQ(out.Position(), 0);
  }
  TZVMemoryStream out(std::string("x"));
  UnPackStream(nullptr, &out, 7);
  EXPECT_EQ(out.AsString(), "x");
}

TEST(Container, CheckStreamBindsTruncatesAndRejectsMissingStreams) {
  TZVMemoryStream in, out(std::string("old"));
  EXPECT_EQ(UnpackError({}, 0), std::string(kLzh) + "Не совпадает размер потока");
  try {
    UnPackStream(nullptr, &out, 0);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "[UnPackStream] [TStreamArchiver.CheckStream] переданы не корректные указатели");
  }
  EXPECT_EQ(out.AsString(), "old");
  TStreamArchiver archiver;
  EXPECT_THROW(archiver.CheckStream(&in, nullptr), Exception);
  archiver.CheckStream(nullptr, &out);  // the input bound before is kept
  EXPECT_EQ(out.Size(), 0);
  // A failed unpack leaves the output truncated, not holding old bytes.
  TZVMemoryStream bad(std::string("\x03\x00\x00\x00", 4)), target(std::string("old bytes"));
  EXPECT_THROW(UnPackStream(&bad, &target, 0), Exception);
  EXPECT_EQ(target.Size(), 0);
}

TEST(ContainerLZH, SizeAndCrcChecksInOrder) {
  const Bytes plain = TextBytes(3000);
  Bytes packed = Pack(plain, 0);
  Bytes bigger = packed;
  PutU32(bigger, 0, static_cast<uint32_t>(packed.size() + 1));
  FixCrc(bigger);
  EXPECT_EQ(UnpackError(bigger, 0), std::string(kLzh) + "Не совпадает размер потока");
  // Size first: a wrong size and a wrong CRC report the size.
  bigger.back() ^= 1;
  EXPECT_EQ(UnpackError(bigger, 0), std::string(kLzh) + "Не совпадает размер потока");

  Bytes flipped = packed;
  flipped[20] ^= 0x40;
  EXPECT_EQ(UnpackError(flipped, 0), std::string(kLzh) + "Не совпадает CRC");
  // The usual CRC-32 (start and final inversion) is not this container's.
  Bytes usual = packed;
  PutU32(usual, usual.size() - 4, ~UpdateCRC32(0xFFFFFFFFu, usual.data(), usual.size() - 4));
  EXPECT_EQ(UnpackError(usual, 0), std::string(kLzh) + "Не совпадает CRC");
  for (size_t n : {0u, 3u, 4u, 11u}) {
    Bytes tiny(n, 0);
    if (n >= 4) PutU32(tiny, 0, static_cast<uint32_t>(n));
    EXPECT_EQ(UnpackError(tiny, 0), std::string(kLzh) + "Не совпадает размер потока") << n;
  }
}

TEST(ContainerLZH, PlainSizeDrivesTheDecoder) {
  const Bytes plain = TextBytes(9000);
  Bytes packed = Pack(plain, 0);
  // A smaller plain size stops early (the last match may run over it).
  PutU32(packed, 4, 100);
  FixCrc(packed);
  const Bytes head = Unpack(packed, 0);
  ASSERT_GE(head.size(), 100u);
  ASSERT_LT(head.size(), 160u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), plain.begin()));
  // A negative plain size decodes nothing.
  PutU32(packed, 4, 0x80000000u);
  FixCrc(packed);
  EXPECT_TRUE(Unpack(packed, 0).empty());
  // A plain size far beyond what the bits hold is caught, not produced.
  PutU32(packed, 4, 0x7FFFFFFFu);
  FixCrc(packed);
  EXPECT_EQ(UnpackError(packed, 0), "[UnPackStream] LZH : Unexpected end of compressed data");
}

TEST(ContainerZLib, MessagesAndChecks) {
  EXPECT_EQ(UnpackError({1, 2, 3}, 1), std::string(kZlib) + "Поток слишком мал - 3 байт");
  EXPECT_EQ(UnpackError({}, 2), std::string(kZlib) + "Поток слишком мал - 0 байт");
  Bytes packed = Pack(TextBytes(4000), 3);
  packed[5] ^= 0x10;
  EXPECT_EQ(UnpackError(packed, 3), std::string(kZlib) + "Не совпадает CRC");
  Bytes usual = Pack(TextBytes(4000), 1);
  PutU32(usual, usual.size() - 4, ~UpdateCRC32(0xFFFFFFFFu, usual.data(), usual.size() - 4));
  EXPECT_EQ(UnpackError(usual, 1), std::string(kZlib) + "Не совпадает CRC");
  // The trailer alone (CRC of nothing is 0): no zlib data, no bytes.
  EXPECT_TRUE(Unpack({0, 0, 0, 0}, 1).empty());
}

TEST(ContainerZLib, ZlibErrorsCarryTheLibraryTextAndPosition) {
  // Header 00 00 passes the check sum but names no known method.
  EXPECT_EQ(UnpackError(WithTrailer({0x00, 0x00, 0x12, 0x34}), 1),
            "[UnPackStream] data error: unknown compression method (position = 2)");
  try {
    TZVMemoryStream in(WithTrailer({0x78, 0x9C, 0xFF, 0xFF, 0xFF})), out;
    TStreamArchiver().ZLibUnPackStream(&in, &out);
    FAIL();
  } catch (const EDecompressionError& e) {
    EXPECT_EQ(e.Code(), Z_DATA_ERROR);
    EXPECT_EQ(std::string(e.what()).rfind("data error: ", 0), 0u) << e.what();
  }
  // A stream that needs a preset dictionary fails instead of spinning.
  const Bytes dict = TextBytes(300);
  EXPECT_EQ(UnpackError(WithTrailer(ZlibOf(TextBytes(2000), &dict)), 1), "[UnPackStream] need dictionary");
}

TEST(ContainerZLib, CutShortEndsQuietlyAndSurplusIsIgnored) {
  const Bytes plain = RandomBytes(200000, 8);
  Bytes z = ZlibOf(plain);
  const Bytes cut = Unpack(WithTrailer(Bytes(z.begin(), z.begin() + z.size() / 2)), 1);
  EXPECT_GT(cut.size(), 50000u);
  EXPECT_LT(cut.size(), plain.size());
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), plain.begin()));
  z.insert(z.end(), {'t', 'a', 'i', 'l'});
  EXPECT_EQ(Unpack(WithTrailer(z), 2), plain);
}

TEST(ContainerLZMA, ShortStreamFailsBeforeTheLibraryAndWrongLengthAfter) {
  // In a fresh process, so that nothing has loaded the library yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string tooSmall = UnpackError(Bytes(16, 0), 4);
        const bool untouched = LZMALibrary().LoadedPath().empty();
        Bytes wrong(17, 0);
        PutU32(wrong, 0, 1);
        const std::string mismatch = UnpackError(wrong, 4);
        const bool loaded = !LZMALibrary().LoadedPath().empty();
        const bool ok = tooSmall == std::string(kLzma) + "Размер входного потока слишком мал" && untouched &&
                        mismatch == std::string(kLzma) + "Длина потока не совпадает" && loaded;
        std::fprintf(stderr, "%s|%s|%d|%d\n", tooSmall.c_str(), mismatch.c_str(), untouched, loaded);
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ContainerLZMA, ChecksRunInTheirOrder) {
  const Bytes plain = TextBytes(20000);
  const Bytes packed = Pack(plain, 4);
  Bytes longer = packed;
  longer.insert(longer.end() - 4, 0);
  FixCrc(longer);
  EXPECT_EQ(UnpackError(longer, 4), std::string(kLzma) + "Длина потока не совпадает");
  Bytes flipped = packed;
  flipped[30] ^= 1;
  EXPECT_EQ(UnpackError(flipped, 4), std::string(kLzma) + "CRC не совпадает");
  Bytes usual = packed;
  PutU32(usual, usual.size() - 4, ~UpdateCRC32(0xFFFFFFFFu, usual.data(), usual.size() - 4));
  EXPECT_EQ(UnpackError(usual, 4), std::string(kLzma) + "CRC не совпадает");
  // Properties go to the decoder before the length is checked: invalid
  // ones (lc/lp/pb byte beyond 9*5*5) win over a wrong length.
  Bytes badProps = longer;
  badProps[8] = 225;
  const std::string stage = "[UnPackStream] Ошибка LZMA во время [установка свойств декодера]. Код ошибки: -";
  EXPECT_EQ(UnpackError(badProps, 4).rfind(stage, 0), 0u) << UnpackError(badProps, 4);
}

TEST(ContainerLZMA, DecodedSizeMustMatch) {
  const Bytes plain = TextBytes(20000);
  Bytes packed = Pack(plain, 4);
  Bytes smaller = packed;
  PutU32(smaller, 4, 19999);
  FixCrc(smaller);
  // The decoder is told the exact size; asking for less gives less.
  EXPECT_EQ(Unpack(smaller, 4), Bytes(plain.begin(), plain.end() - 1));
  Bytes larger = packed;
  PutU32(larger, 4, 40000);
  FixCrc(larger);
  const std::string error = UnpackError(larger, 4);
  EXPECT_TRUE(error == std::string(kLzma) + "Размер разжатого потока не совпадает" ||
              error.rfind("[UnPackStream] Ошибка LZMA во время [распаковка потока LZMA]. Код ошибки: ", 0) == 0)
      << error;
}

TEST(ContainerLZMA, StreamEndingBeforeItsSizeIsASizeMismatch) {
  // Data with an end marker: the decoder stops there and reports success,
  // so only the size check notices that U bytes never came.
  const Bytes plain = TextBytes(30000);
  TZVMemoryStream in(plain), raw;
  const std::vector<uint8_t> properties = LZMAEncode(in, raw, true);
  Bytes packed(13);
  PutU32(packed, 0, static_cast<uint32_t>(raw.Size()));
  PutU32(packed, 4, 30010);
  std::copy(properties.begin(), properties.end(), packed.begin() + 8);
  packed.insert(packed.end(), raw.Data().begin(), raw.Data().end());
  EXPECT_EQ(UnpackError(WithTrailer(packed), 4), std::string(kLzma) + "Размер разжатого потока не совпадает");
  PutU32(packed, 4, 30000);
  EXPECT_EQ(Unpack(WithTrailer(packed), 4), plain);
}

TEST(ContainerLZMA, HugeDictionaryFieldStillDecodes) {
  const Bytes plain = TextBytes(50000);
  Bytes packed = Pack(plain, 4);
  PutU32(packed, 9, 0xFFFFFFFFu);
  FixCrc(packed);
  EXPECT_EQ(Unpack(packed, 4), plain);
}

// Fails reads once armed at a given position; the error is one of ours or
// a foreign one.
class FailingStream : public TZVMemoryStream {
 public:
  FailingStream(Bytes data, int64_t failAt, bool foreign)
      : TZVMemoryStream(std::move(data)), failAt_(failAt), foreign_(foreign) {}
  int64_t Read(void* buffer, int64_t count) override {
    if (Position() == failAt_) {
      if (foreign_) throw std::runtime_error("foreign");
      throw EStreamError("Stream read error");
    }
    return TZVMemoryStream::Read(buffer, count);
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (failAt_ < 0) throw EStreamError("Stream write error");
    return TZVMemoryStream::Write(buffer, count);
  }

 private:
  int64_t failAt_;
  bool foreign_;
};

TEST(ContainerLZMA, StreamErrorsInsideTheDecoderAreReportedWithTheAdapterCode) {
  const Bytes packed = Pack(TextBytes(20000), 4);
  std::vector<std::string> shown;
  SetLZMAStreamErrorHandler([&](const std::string& m) { shown.push_back(m); });
  {
    FailingStream in(packed, 13, false);
    TZVMemoryStream out;
    EXPECT_EQ([&] {
      try {
        UnPackStream(&in, &out, 4);
      } catch (const Exception& e) {
        return std::string(e.what());
      }
      return std::string();
    }(), "[UnPackStream] Ошибка LZMA во время [распаковка потока LZMA]. Код ошибки: -2147467259\r\n"
         "Причина: Stream read error");
  }
  EXPECT_EQ(shown, std::vector<std::string>{"Stream read error"});
  {
    TZVMemoryStream in(packed);
    FailingStream out({}, -1, false);
    EXPECT_THROW(UnPackStream(&in, &out, 4), Exception);
  }
  EXPECT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1], "Stream write error");
  SetLZMAStreamErrorHandler(nullptr);
  // Errors that are not the program's own pass through unchanged.
  FailingStream in(packed, 13, true);
  TZVMemoryStream out;
  EXPECT_THROW(UnPackStream(&in, &out, 4), std::runtime_error);
}

TEST(MarginStream, WindowReadsSeeksAndChecks) {
  TZVMemoryStream source(std::string("0123456789"));
  TMarginStream w(&source, 2, 5);
  EXPECT_EQ(w.Size(), 4);
  char buf[16] = {};
  EXPECT_EQ(w.Read(buf, 16), 4);
  EXPECT_EQ(std::string(buf, 4), "2345");
  EXPECT_EQ(w.Read(buf, 16), 0);
  w.Seek(-1, SeekOrigin::End);
  EXPECT_EQ(w.Read(buf, 16), 1);
  EXPECT_EQ(buf[0], '5');
  const std::string readOnly = "[TMarginStream.CheckWriteable] Поток доступен только для чтения";
  try {
    w.Write("x", 1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.what(), readOnly);
  }
  try {
    w.SetSize(1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.what(), readOnly);
  }
  try {
    TMarginStream bad(static_cast<TZVStream*>(nullptr), 0, 1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Исходный поток не назначен [TMarginStream.Create]");
  }
  try {
    TMarginStream bad(&source, 5, 4);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "[TMarginStream.Create] внутренняя ошибка (EndPos < BeginPos)");
  }
  // Open to the end: writes and size changes reach the source.
  TMarginStream open(&source, 8, -1);
  EXPECT_EQ(open.Size(), 2);
  open.Seek(0, SeekOrigin::End);
  open.WriteString("ab");
  EXPECT_EQ(source.AsString(), "0123456789ab");
  open.SetSize(1);
  EXPECT_EQ(source.AsString(), "012345678");
  // An owning window frees its source.
  auto owned = std::make_unique<TZVMemoryStream>(std::string("abc"));
  TMarginStream owner(std::move(owned), 1, 1);
  EXPECT_EQ(owner.Read(buf, 5), 1);
  EXPECT_EQ(buf[0], 'b');
}

TEST(DecompressionStream, ReadSeekAndInvalidOperations) {
  const Bytes plain = TextBytes(300000);
  TZVMemoryStream source(ZlibOf(plain));
  TDecompressionStream z(source);
  int blocks = 0;
  z.OnProgress = [&](TCustomZlibStream&) { ++blocks; };
  Bytes got(1000);
  EXPECT_EQ(z.Read(got.data(), 1000), 1000);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), plain.begin()));
  // Somebody else moving the source does not disturb the inflater.
  source.SetPosition(0);
  EXPECT_EQ(z.Seek(5000, SeekOrigin::Current), 6000);
  EXPECT_EQ(z.Seek(10000, SeekOrigin::Begin), 10000);
  EXPECT_EQ(z.Read(got.data(), 10), 10);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, plain.begin() + 10000));
  for (auto bad : {std::pair<int64_t, SeekOrigin>{5, SeekOrigin::Begin}, {-1, SeekOrigin::Current},
                   {0, SeekOrigin::End}}) {
    try {
      z.Seek(bad.first, bad.second);
      FAIL();
    } catch (const EZLibError& e) {
      EXPECT_STREQ(e.what(), "ZLib: Invalid stream operation");
    }
  }
  EXPECT_THROW(z.Write("x", 1), EDecompressionError);
  EXPECT_EQ(z.Seek(0, SeekOrigin::Begin), 0);
  Bytes all(plain.size() + 10);
  EXPECT_EQ(z.Read(all.data(), static_cast<int64_t>(all.size())), static_cast<int64_t>(plain.size()));
  all.resize(plain.size());
  EXPECT_EQ(all, plain);
  EXPECT_EQ(z.Read(all.data(), 10), 0);
  EXPECT_GE(blocks, 2);
  EXPECT_EQ(ZLibErrorText(-3), "data error");
  EXPECT_EQ(ZLibErrorText(-6), "incompatible version");
  EXPECT_EQ(ZLibErrorText(-8), "ZLib: Unknown error (-8)");
}

}  // namespace
}  // namespace ztv
