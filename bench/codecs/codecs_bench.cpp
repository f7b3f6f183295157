// Throughput of the checksum and the codecs, each against a reference run
// on the same bytes in the same process: zlib's own crc32 and inflate, a
// straightforward LZH decoder, and the 7-Zip decoder called directly.
// Every figure is the best of several interleaved runs, timed by the
// thread's CPU clock so that other work on a shared machine does not count.
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/stream.h"
#include "formats/container/archiver.h"
#include "formats/lzh/lzh.h"
#include "formats/lzma/lzma_library.h"
#include "lzh_reference.h"
#include "mixed_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
int g_rounds = 9;

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs `a` and `b` alternately and returns their best times in seconds.
std::pair<double, double> BestOf(const std::function<void()>& a, const std::function<void()>& b) {
  double ta = 1e30, tb = 1e30;
  for (int i = 0; i < g_rounds; ++i) {
    const double t0 = CpuSeconds();
    a();
    const double t1 = CpuSeconds();
    b();
    const double t2 = CpuSeconds();
    ta = std::min(ta, t1 - t0);
    tb = std::min(tb, t2 - t1);
  }
  return {ta, tb};
}

void Report(const char* what, double bytes, double ours, const char* refName, double ref) {
  const double mb = bytes / (1024.0 * 1024.0);
  std::printf("%-28s %9.1f MiB/s   %-26s %9.1f MiB/s   ratio %.2f\n", what, mb / ours, refName, mb / ref, ref / ours);
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "result mismatch: %s\n", what);
    std::exit(1);
  }
}

// Plain memory as the 7-Zip library's sequential streams, for calling its
// decoder directly.
struct MemoryIn final : ztv::sevenzip::ISequentialInStream {
  const uint8_t* data;
  size_t size, pos = 0;
  MemoryIn(const uint8_t* d, size_t n) : data(d), size(n) {}
  ztv::sevenzip::HRESULT QueryInterface(const ztv::sevenzip::GUID&, void** o) override {
    *o = nullptr;
    return ztv::sevenzip::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  ztv::sevenzip::HRESULT Read(void* d, uint32_t n, uint32_t* done) override {
    const size_t k = std::min<size_t>(n, size - pos);
    std::memcpy(d, data + pos, k);
    pos += k;
    if (done) *done = static_cast<uint32_t>(k);
    return 0;
  }
};

struct MemoryOut final : ztv::sevenzip::ISequentialOutStream {
  Bytes data;
  ztv::sevenzip::HRESULT QueryInterface(const ztv::sevenzip::GUID&, void** o) override {
    *o = nullptr;
    return ztv::sevenzip::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  ztv::sevenzip::HRESULT Write(const void* d, uint32_t n, uint32_t* done) override {
    const auto* p = static_cast<const uint8_t*>(d);
    data.insert(data.end(), p, p + n);
    if (done) *done = n;
    return 0;
  }
};

uint32_t ReadU32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_rounds = std::max(1, std::atoi(argv[1]));
  std::printf("codecs benchmark, best of %d interleaved runs (thread CPU time)\n\n", g_rounds);

  // --- CRC-32 over 64 MiB ---
  {
    Bytes buf(64u << 20);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < buf.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(&buf[i], &v, 8);
    }
    uint32_t ours = 0, theirs = 0;
    auto [t1, t2] = BestOf([&] { ours = ztv::UpdateCRC32(0, buf.data(), buf.size()); },
                           [&] { theirs = static_cast<uint32_t>(crc32(0, buf.data(), static_cast<uInt>(buf.size()))); });
    // Start 0 without inversion is zlib's CRC with both inversions undone.
    Check(ours == ~static_cast<uint32_t>(crc32(0xFFFFFFFFul, buf.data(), static_cast<uInt>(buf.size()))), "crc32");
    (void)theirs;
    Report("CRC-32 (64 MiB)", static_cast<double>(buf.size()), t1, "zlib crc32", t2);
    uint32_t table = 0;
    auto [t3, t4] = BestOf([&] { table = ztv::UpdateCRC32Bytewise(0, buf.data(), buf.size()); },
                           [&] { theirs = static_cast<uint32_t>(crc32(0, buf.data(), static_cast<uInt>(buf.size()))); });
    Check(table == ours, "crc32 table");
    Report("CRC-32 byte table (64 MiB)", static_cast<double>(buf.size()), t3, "zlib crc32", t4);
  }

  // --- LZH decode of a 16 MiB mixed stream ---
  const Bytes plain = ztv::bench::MixedData(16u << 20);
  const Bytes bits = ztv::TLZH::Encode(plain.data(), plain.size());
  std::printf("\n16 MiB mixed data: LZH %zu bytes (%.1f%%)\n", bits.size(), 100.0 * bits.size() / plain.size());
  {
    Bytes out;
    out.reserve(plain.size() + 64);
    size_t pos = 0;
    ztv::TLZHReadProc read = [&](uint8_t* b, uint16_t n, uint16_t& got) {
      const size_t k = std::min<size_t>(n, bits.size() - pos);
      std::memcpy(b, bits.data() + pos, k);
      pos += k;
      got = static_cast<uint16_t>(k);
    };
    ztv::TLZHWriteProc write = [&](const uint8_t* b, uint16_t n, uint16_t& taken) {
      out.insert(out.end(), b, b + n);
      taken = n;
    };
    const auto size = static_cast<int32_t>(plain.size());
    auto [t1, t2] = BestOf(
        [&] {
          out.clear();
          pos = 0;
          ztv::TLZH().Decode(size, read, write);
        },
        [&] {
          out.clear();
          pos = 0;
          ztv::reference::LZHDecode(size, read, write);
        });
    Check(out == plain, "lzh reference");
    out.clear();
    pos = 0;
    ztv::TLZH().Decode(size, read, write);
    Check(out == plain, "lzh decode");
    Report("LZH decode", static_cast<double>(plain.size()), t1, "reference decoder", t2);

    // The container around the same bits: its CRC pass and stream plumbing.
    ztv::TZVMemoryStream in, container, result;
    ztv::TZVMemoryStream src(plain);
    ztv::PackStream(&src, &container, 0);
    auto [t3, t4] = BestOf(
        [&] { ztv::UnPackStream(&container, &result, 0); },
        [&] {
          out.clear();
          pos = 0;
          ztv::TLZH().Decode(size, read, write);
        });
    Check(result.Data() == plain, "lzh container");
    Report("container unpack LZH", static_cast<double>(plain.size()), t3, "bare LZH decode", t4);
  }

  // --- zlib container against zlib's own inflate ---
  {
    ztv::TZVMemoryStream src(plain), container, result;
    ztv::PackStream(&src, &container, 1);
    const Bytes& packed = container.Data();
    std::printf("zlib container %zu bytes (%.1f%%)\n", packed.size(), 100.0 * packed.size() / plain.size());
    Bytes out(plain.size());
    auto [t1, t2] = BestOf(
        [&] { ztv::UnPackStream(&container, &result, 1); },
        [&] {
          uLongf n = static_cast<uLongf>(out.size());
          Check(uncompress(out.data(), &n, packed.data(), static_cast<uLong>(packed.size() - 4)) == Z_OK &&
                    n == plain.size(),
                "zlib uncompress");
        });
    Check(result.Data() == plain && out == plain, "zlib container");
    Report("container unpack zlib", static_cast<double>(plain.size()), t1, "zlib uncompress", t2);
  }

  // --- LZMA container against the 7-Zip decoder called directly ---
  {
    ztv::TZVMemoryStream src(plain), container, result;
    ztv::PackStream(&src, &container, 4);
    const Bytes& packed = container.Data();
    std::printf("LZMA container %zu bytes (%.1f%%)\n", packed.size(), 100.0 * packed.size() / plain.size());
    const uint64_t inSize = ReadU32(packed, 0);
    const uint64_t outSize = ReadU32(packed, 4);
    MemoryOut direct;
    direct.data.reserve(plain.size());
    auto [t1, t2] = BestOf(
        [&] { ztv::UnPackStream(&container, &result, 4); },
        [&] {
          using namespace ztv::sevenzip;
          ComPtr<ICompressCoder> decoder;
          Check(ztv::LZMALibrary().CreateObject(CLSID_LZMADecoder, IID_ICompressCoder, decoder.PutVoid()) == S_OK,
                "create");
          ComPtr<ICompressSetDecoderProperties2> set;
          Check(decoder->QueryInterface(IID_ICompressSetDecoderProperties2, set.PutVoid()) == S_OK, "qi");
          Check(set->SetDecoderProperties2(packed.data() + 8, 5) == S_OK, "props");
          MemoryIn in(packed.data() + 13, static_cast<size_t>(inSize));
          direct.data.clear();
          Check(decoder->Code(&in, &direct, &inSize, &outSize, nullptr) == S_OK, "lzma direct");
        });
    Check(result.Data() == plain && direct.data == plain, "lzma container");
    Report("container unpack LZMA", static_cast<double>(plain.size()), t1, "7-Zip decoder direct", t2);
  }
  return 0;
}
