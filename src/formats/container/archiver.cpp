#include "formats/container/archiver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "core/crc32.h"
#include "core/errors.h"
#include "formats/container/margin_stream.h"
#include "formats/container/zlib_stream.h"
#include "formats/lzma/lzma_library.h"

namespace ztv {

using namespace sevenzip;

namespace {

constexpr int64_t kCopyBlock = 61440;
constexpr int64_t kLzmaHeader = 13;         // P, U and the 5 property bytes
constexpr int64_t kLzmaMinimum = kLzmaHeader + 4;
// No LZMA stream expands by more than about 7,000 to 1 (a longest repeat
// match in a handful of near-certain bits); this bound has room to spare.
constexpr int64_t kLzmaMaxExpansion = 16384;

uint32_t ReadU32At(TZVStream& s, int64_t offset) {
  s.SetPosition(offset);
  return s.ReadU32();
}

// The trailer check: CRC of bytes 0 .. S - 5 against the last four bytes.
bool CrcMatches(TZVStream& s, int64_t size) {
  const uint32_t stored = ReadU32At(s, size - 4);
  s.SetPosition(0);
  return StreamCRC32(0, s, size - 4) == stored;
}

// Writes through to `out` and keeps the CRC of everything written.
class CrcWriter {
 public:
  explicit CrcWriter(TZVStream& out) : out_(out) {}
  void Write(const void* data, size_t n) {
    out_.WriteBuffer(data, static_cast<int64_t>(n));
    crc_ = UpdateCRC32(crc_, data, n);
  }
  void WriteU32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    Write(b, 4);
  }
  void Finish() { out_.WriteU32(crc_); }

 private:
  TZVStream& out_;
  uint32_t crc_ = 0;
};

std::vector<uint8_t> ReadWhole(TZVStream& s) {
  s.SetPosition(0);
  std::vector<uint8_t> data(static_cast<size_t>(s.Size()));
  s.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  return data;
}

}  // namespace

void CheckLZMAResult(HRESULT result, const std::string& stage) {
  if (result == S_OK) return;
  throw Exception(Format("Ошибка LZMA во время [%s]. Код ошибки: %d", stage, result));
}

void TStreamArchiver::CheckStream(TZVStream* input, TZVStream* output) {
  if (input != nullptr) input_ = input;
  if (output != nullptr) output_ = output;
  if (input_ == nullptr || output_ == nullptr)
    throw Exception(Format("[%s] переданы не корректные указатели", "TStreamArchiver.CheckStream"));
  output_->SetSize(0);
  output_->SetPosition(0);
}

void TStreamArchiver::LZHUnPackStream(TZVStream* input, TZVStream* output) {
  static const char* const kName = "TStreamArchiver.LZHUnPackStream";
  CheckStream(input, output);
  TZVStream& in = *input_;
  TZVStream& out = *output_;
  const int64_t size = in.Size();
  // Too short to hold its own size field, plain size and trailer: the size
  // field cannot be right.
  if (size < 12 || ReadU32At(in, 0) != static_cast<uint64_t>(size))
    throw Exception(Format("[%s] Не совпадает размер потока", kName));
  if (!CrcMatches(in, size)) throw Exception(Format("[%s] Не совпадает CRC", kName));
  plainSize_ = static_cast<int32_t>(ReadU32At(in, 4));
  out.SetPosition(0);

  TLZHReadProc read = [&in](uint8_t* buffer, uint16_t requested, uint16_t& delivered) {
    delivered = static_cast<uint16_t>(std::max<int64_t>(0, in.Read(buffer, requested)));
  };
  TLZHWriteProc write = [&out](const uint8_t* buffer, uint16_t count, uint16_t& taken) {
    out.WriteBuffer(buffer, count);
    taken = count;
  };
  codec_ = std::make_unique<TLZH>();
  try {
    codec_->Decode(plainSize_, read, write);
  } catch (...) {
    codec_.reset();
    throw;
  }
  codec_.reset();
}

void TStreamArchiver::ZLibUnPackStream(TZVStream* input, TZVStream* output) {
  static const char* const kName = "TStreamArchiver.ZLibUnPackStream";
  CheckStream(input, output);
  TZVStream& in = *input_;
  TZVStream& out = *output_;
  const int64_t size = in.Size();
  if (size < 4) throw Exception(Format("[%s] Поток слишком мал - %d байт", kName, size));
  if (!CrcMatches(in, size)) throw Exception(Format("[%s] Не совпадает CRC", kName));
  // A stream of the trailer alone holds no zlib data at all (and a window
  // ending at -1 would mean "to the end", trailer included).
  if (size == 4) return;
  TMarginStream window(&in, 0, size - 5);
  TDecompressionStream inflater(window);
  std::vector<uint8_t> buffer(kCopyBlock);
  for (;;) {
    const int64_t n = inflater.Read(buffer.data(), kCopyBlock);
    out.WriteBuffer(buffer.data(), n);
    if (n < kCopyBlock) break;
  }
}

void TStreamArchiver::LZMAUnPackStream(TZVStream* input, TZVStream* output) {
  static const char* const kName = "TStreamArchiver.LZMAUnPackStream";
  CheckStream(input, output);
  TZVStream& in = *input_;
  TZVStream& out = *output_;
  const int64_t size = in.Size();
  if (size < kLzmaMinimum) throw Exception(Format("[%s] Размер входного потока слишком мал", kName));

  LoadLZMALibrary();
  const TLZMALibrary& library = LZMALibrary();
  ComPtr<ICompressCoder> decoder;
  CheckLZMAResult(library.CreateObject(CLSID_LZMADecoder, IID_ICompressCoder, decoder.PutVoid()),
                  "создание объекта Decoder");
  ComPtr<ICompressSetDecoderProperties2> setProperties;
  CheckLZMAResult(decoder->QueryInterface(IID_ICompressSetDecoderProperties2, setProperties.PutVoid()),
                  "получение ICompressSetDecoderProperties2");
  std::array<uint8_t, 5> properties;
  in.SetPosition(8);
  in.ReadBuffer(properties.data(), 5);
  // The decoder allocates its dictionary as the properties say (up to
  // 4 GiB). It never needs more than the output it can produce, which is
  // at most U and at most what P bytes can expand to; the dictionary is
  // cut to that, which leaves decoding unchanged and keeps a forged size
  // field from claiming memory.
  {
    const uint32_t plain = ReadU32At(in, 4);
    const int64_t reachable = std::min<int64_t>(plain, (size - kLzmaMinimum) * kLzmaMaxExpansion);
    const uint32_t needed = static_cast<uint32_t>(std::max<int64_t>(reachable, 4096));
    const uint32_t dictionary = static_cast<uint32_t>(properties[1]) | (static_cast<uint32_t>(properties[2]) << 8) |
                                (static_cast<uint32_t>(properties[3]) << 16) |
                                (static_cast<uint32_t>(properties[4]) << 24);
    if (dictionary > needed) {
      for (int i = 0; i < 4; ++i) properties[1 + i] = static_cast<uint8_t>(needed >> (8 * i));
    }
  }
  CheckLZMAResult(setProperties->SetDecoderProperties2(properties.data(), 5), "установка свойств декодера");

  const uint32_t packedSize = ReadU32At(in, 0);
  const uint32_t plainSize = in.ReadU32();
  if (size != static_cast<int64_t>(packedSize) + kLzmaMinimum)
    throw Exception(Format("[%s] Длина потока не совпадает", kName));
  if (!CrcMatches(in, size)) throw Exception(Format("[%s] CRC не совпадает", kName));

  out.SetPosition(0);
  in.SetPosition(kLzmaHeader);
  auto source = TSeqStream::Create(in);
  auto sink = TSeqStream::Create(out);
  const uint64_t inSize = packedSize;
  const uint64_t outSize = plainSize;
  HRESULT result = decoder->Code(source->AsIn(), sink->AsOut(), &inSize, &outSize, nullptr);
  source->RethrowForeign();
  sink->RethrowForeign();
  // The library reports a failure of our stream as a code of its own
  // choosing (or not at all); the adapters' record is what counts, and its
  // message is added as the cause (a full disk is not a damaged package).
  if (source->Failed() || sink->Failed()) {
    const std::string& cause = sink->Failed() ? sink->FailureMessage() : source->FailureMessage();
    try {
      CheckLZMAResult(E_FAIL, "распаковка потока LZMA");
    } catch (const Exception& e) {
      if (cause.empty()) throw;
      throw Exception(std::string(e.what()) + "\r\nПричина: " + cause);
    }
  }
  CheckLZMAResult(result, "распаковка потока LZMA");
  if (out.Size() != static_cast<int64_t>(plainSize))
    throw Exception(Format("[%s] Размер разжатого потока не совпадает", kName));
}

void TStreamArchiver::LZHPackStream(TZVStream* input, TZVStream* output) {
  CheckStream(input, output);
  const std::vector<uint8_t> plain = ReadWhole(*input_);
  const std::vector<uint8_t> bits = TLZH::Encode(plain.data(), plain.size());
  const uint64_t total = 12 + static_cast<uint64_t>(bits.size());
  if (plain.size() > INT32_MAX || total > UINT32_MAX)
    throw Exception(Format("[%s] Поток слишком велик - %d байт", "TStreamArchiver.LZHPackStream",
                           static_cast<int64_t>(plain.size())));
  output_->SetPosition(0);
  CrcWriter w(*output_);
  w.WriteU32(static_cast<uint32_t>(total));
  w.WriteU32(static_cast<uint32_t>(plain.size()));
  w.Write(bits.data(), bits.size());
  w.Finish();
}

void TStreamArchiver::ZLibPackStream(TZVStream* input, TZVStream* output) {
  CheckStream(input, output);
  TZVStream& in = *input_;
  in.SetPosition(0);
  output_->SetPosition(0);
  CrcWriter w(*output_);
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw EZLibError(Z_MEM_ERROR, ZLibErrorText(Z_MEM_ERROR));
  struct End {
    z_stream& zs;
    ~End() { deflateEnd(&zs); }
  } end{zs};
  std::vector<uint8_t> inBuf(kCopyBlock), outBuf(kCopyBlock);
  int flush = Z_NO_FLUSH;
  do {
    const int64_t n = in.Read(inBuf.data(), kCopyBlock);
    flush = n < kCopyBlock ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = inBuf.data();
    zs.avail_in = static_cast<uInt>(std::max<int64_t>(n, 0));
    do {
      zs.next_out = outBuf.data();
      zs.avail_out = static_cast<uInt>(outBuf.size());
      const int result = deflate(&zs, flush);
      if (result == Z_STREAM_ERROR) throw EZLibError(result, ZLibErrorText(result));
      w.Write(outBuf.data(), outBuf.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  } while (flush != Z_FINISH);
  w.Finish();
}

void TStreamArchiver::LZMAPackStream(TZVStream* input, TZVStream* output) {
  CheckStream(input, output);
  TZVStream& in = *input_;
  const int64_t plainSize = in.Size();
  in.SetPosition(0);
  TZVMemoryStream packed;
  const std::vector<uint8_t> properties = LZMAEncode(in, packed);
  if (plainSize > UINT32_MAX || packed.Size() > UINT32_MAX - kLzmaMinimum || properties.size() != 5)
    throw Exception(Format("[%s] Поток слишком велик - %d байт", "TStreamArchiver.LZMAPackStream", plainSize));
  output_->SetPosition(0);
  CrcWriter w(*output_);
  w.WriteU32(static_cast<uint32_t>(packed.Size()));
  w.WriteU32(static_cast<uint32_t>(plainSize));
  w.Write(properties.data(), properties.size());
  w.Write(packed.Memory(), static_cast<size_t>(packed.Size()));
  w.Finish();
}

namespace {

enum class Family { LZH, ZLib, LZMA, None };

Family FamilyOf(int method) {
  const uint8_t code = static_cast<uint8_t>(method);
  if (code == 0) return Family::LZH;
  if (code <= 3) return Family::ZLib;
  if (code <= 6) return Family::LZMA;
  return Family::None;
}

}  // namespace

void UnPackStream(TZVStream* input, TZVStream* output, int method) {
  try {
    TStreamArchiver archiver;
    switch (FamilyOf(method)) {
      case Family::LZH:
        archiver.LZHUnPackStream(input, output);
        break;
      case Family::ZLib:
        archiver.ZLibUnPackStream(input, output);
        break;
      case Family::LZMA:
        archiver.LZMAUnPackStream(input, output);
        break;
      case Family::None:
        break;
    }
    if (output != nullptr) output->SetPosition(0);
  } catch (const Exception& e) {
    throw Exception(Format("[%s] %s", "UnPackStream", e.what()));
  }
}

void PackStream(TZVStream* input, TZVStream* output, int method) {
  try {
    TStreamArchiver archiver;
    switch (FamilyOf(method)) {
      case Family::LZH:
        archiver.LZHPackStream(input, output);
        break;
      case Family::ZLib:
        archiver.ZLibPackStream(input, output);
        break;
      case Family::LZMA:
        archiver.LZMAPackStream(input, output);
        break;
      case Family::None:
        break;
    }
    if (output != nullptr) output->SetPosition(0);
  } catch (const Exception& e) {
    throw Exception(Format("[%s] %s", "PackStream", e.what()));
  }
}

}  // namespace ztv
