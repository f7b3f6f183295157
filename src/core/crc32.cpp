#include "core/crc32.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "core/stream.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZTV_CRC32_X86 1
#endif

namespace ztv {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr std::array<std::array<uint32_t, 256>, 8> MakeSliceTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][n] = c;
  }
  // t[k][n]: byte n followed by k zero bytes.
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}

constexpr auto kSlice = MakeSliceTables();

inline uint32_t LoadLE32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Eight bytes per step through eight tables.
uint32_t UpdateSliceBy8(uint32_t crc, const uint8_t* p, size_t n) {
  while (n >= 8) {
    uint32_t lo = crc ^ LoadLE32(p);
    uint32_t hi = LoadLE32(p + 4);
    crc = kSlice[7][lo & 0xFF] ^ kSlice[6][(lo >> 8) & 0xFF] ^ kSlice[5][(lo >> 16) & 0xFF] ^
          kSlice[4][lo >> 24] ^ kSlice[3][hi & 0xFF] ^ kSlice[2][(hi >> 8) & 0xFF] ^
          kSlice[1][(hi >> 16) & 0xFF] ^ kSlice[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) crc = kSlice[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if ZTV_CRC32_X86

// Folding constants for the reflected polynomial: x^e mod P, bit-reflected
// and shifted left by one, as carry-less folding of reflected data needs.
constexpr uint64_t FoldConstant(unsigned e) {
  constexpr uint64_t p = 0x104C11DB7ull;
  uint64_t r = 1;
  for (unsigned i = 0; i < e; ++i) {
    r <<= 1;
    if (r & (1ull << 32)) r ^= p;
  }
  uint32_t reflected = 0;
  for (int i = 0; i < 32; ++i)
    if (r & (1ull << i)) reflected |= 1u << (31 - i);
  return static_cast<uint64_t>(reflected) << 1;
}

// A 128-bit lane folded forward by `bits`: the low half is multiplied by the
// constant for bits + 32, the high half by the one for bits - 32.
struct LaneConstants {
  uint64_t low, high;
};
constexpr LaneConstants FoldBy(unsigned bits) { return {FoldConstant(bits + 32), FoldConstant(bits - 32)}; }

static_assert(FoldConstant(544) == 0x154442bd4ull && FoldConstant(480) == 0x1c6e41596ull);
static_assert(FoldConstant(160) == 0x1751997d0ull && FoldConstant(96) == 0x0ccaa009eull);

constexpr uint64_t kFold64 = FoldConstant(64);
constexpr uint64_t kBarrettMu = 0x1F7011641ull;   // floor(x^64 / P), reflected
constexpr uint64_t kBarrettPoly = 0x1DB710641ull;  // P, reflected

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold128(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load128(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Reduces the 128-bit remainder `x` (which still owes 32 zero bits) to the
// CRC register.
__attribute__((target("pclmul,sse4.1"))) uint32_t Reduce128(__m128i x) {
  const LaneConstants k128 = FoldBy(128);
  const __m128i k = _mm_set_epi64x(static_cast<long long>(k128.high), static_cast<long long>(k128.low));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  // 128 -> 64 bits (and 32 zero bits appended).
  x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(k, x, 0x01));
  // 96 -> 64 bits.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), _mm_set_epi64x(0, static_cast<long long>(kFold64)), 0x00);
  x = _mm_xor_si128(_mm_srli_si128(x, 4), t);
  // Barrett reduction 64 -> 32 bits.
  const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kBarrettMu), static_cast<long long>(kBarrettPoly));
  t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  x = _mm_xor_si128(x, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

// Folds 16-byte blocks after the first 16 bytes already in `x`; consumes
// every whole block of [p, p + n) and returns the CRC register.
__attribute__((target("pclmul,sse4.1"))) uint32_t FinishBlocks128(__m128i x, const uint8_t*& p, size_t& n) {
  const LaneConstants k128 = FoldBy(128);
  const __m128i k = _mm_set_epi64x(static_cast<long long>(k128.high), static_cast<long long>(k128.low));
  while (n >= 16) {
    x = _mm_xor_si128(Fold128(x, k), Load128(p));
    p += 16;
    n -= 16;
  }
  return Reduce128(x);
}

// Four 128-bit lanes, 64 bytes per step. Needs n >= 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t UpdatePclmul(uint32_t crc, const uint8_t*& p, size_t& n) {
  const LaneConstants k512 = FoldBy(512);
  const LaneConstants k128 = FoldBy(128);
  const __m128i kWide = _mm_set_epi64x(static_cast<long long>(k512.high), static_cast<long long>(k512.low));
  const __m128i kOne = _mm_set_epi64x(static_cast<long long>(k128.high), static_cast<long long>(k128.low));
  __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load128(p + 16);
  __m128i x2 = Load128(p + 32);
  __m128i x3 = Load128(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x0 = _mm_xor_si128(Fold128(x0, kWide), Load128(p));
    x1 = _mm_xor_si128(Fold128(x1, kWide), Load128(p + 16));
    x2 = _mm_xor_si128(Fold128(x2, kWide), Load128(p + 32));
    x3 = _mm_xor_si128(Fold128(x3, kWide), Load128(p + 48));
    p += 64;
    n -= 64;
  }
  __m128i x = _mm_xor_si128(Fold128(x0, kOne), x1);
  x = _mm_xor_si128(Fold128(x, kOne), x2);
  x = _mm_xor_si128(Fold128(x, kOne), x3);
  return FinishBlocks128(x, p, n);
}

#define ZTV_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1")))

ZTV_TARGET_AVX512 inline __m512i Fold512(__m512i x, __m512i k) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11));
}

ZTV_TARGET_AVX512 inline __m512i Load512(const uint8_t* p) { return _mm512_loadu_si512(p); }

// The same pair of constants in each 128-bit lane. (Built with set rather
// than the broadcast and extract intrinsics, whose headers trip GCC 12's
// uninitialised-value warning.)
ZTV_TARGET_AVX512 inline __m512i Broadcast(LaneConstants k) {
  const auto lo = static_cast<long long>(k.low), hi = static_cast<long long>(k.high);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

// 128-bit lane `lane` of x.
ZTV_TARGET_AVX512 inline __m128i Lane(__m512i x, int lane) {
  alignas(64) uint64_t q[8];
  _mm512_store_si512(q, x);
  return _mm_set_epi64x(static_cast<long long>(q[2 * lane + 1]), static_cast<long long>(q[2 * lane]));
}

// Four 512-bit registers, 256 bytes per step. Needs n >= 256.
ZTV_TARGET_AVX512 uint32_t UpdateVpclmul(uint32_t crc, const uint8_t*& p, size_t& n) {
  const LaneConstants k2048 = FoldBy(2048);
  const LaneConstants k512 = FoldBy(512);
  const __m512i kWide = Broadcast(k2048);
  const __m512i kOne = Broadcast(k512);
  __m512i x0 = _mm512_xor_si512(Load512(p), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, crc));
  __m512i x1 = Load512(p + 64);
  __m512i x2 = Load512(p + 128);
  __m512i x3 = Load512(p + 192);
  p += 256;
  n -= 256;
  while (n >= 256) {
    x0 = _mm512_xor_si512(Fold512(x0, kWide), Load512(p));
    x1 = _mm512_xor_si512(Fold512(x1, kWide), Load512(p + 64));
    x2 = _mm512_xor_si512(Fold512(x2, kWide), Load512(p + 128));
    x3 = _mm512_xor_si512(Fold512(x3, kWide), Load512(p + 192));
    p += 256;
    n -= 256;
  }
  __m512i x = _mm512_xor_si512(Fold512(x0, kOne), x1);
  x = _mm512_xor_si512(Fold512(x, kOne), x2);
  x = _mm512_xor_si512(Fold512(x, kOne), x3);
  while (n >= 64) {
    x = _mm512_xor_si512(Fold512(x, kOne), Load512(p));
    p += 64;
    n -= 64;
  }
  // Lanes 0..2 folded forward onto lane 3 (by 384, 256 and 128 bits).
  const LaneConstants k384 = FoldBy(384), k256 = FoldBy(256), k128 = FoldBy(128);
  const __m512i kReduce = _mm512_set_epi64(0, 0, static_cast<long long>(k128.high), static_cast<long long>(k128.low),
                                           static_cast<long long>(k256.high), static_cast<long long>(k256.low),
                                           static_cast<long long>(k384.high), static_cast<long long>(k384.low));
  const __m512i folded = Fold512(x, kReduce);
  __m128i r = Lane(x, 3);
  r = _mm_xor_si128(r, Lane(folded, 0));
  r = _mm_xor_si128(r, Lane(folded, 1));
  r = _mm_xor_si128(r, Lane(folded, 2));
  return FinishBlocks128(r, p, n);
}

enum class CrcEngine { Table, Pclmul, Vpclmul };

CrcEngine DetectEngine() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse4.1")) return CrcEngine::Table;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq"))
    return CrcEngine::Vpclmul;
  return CrcEngine::Pclmul;
}

const CrcEngine kEngine = DetectEngine();

#endif  // ZTV_CRC32_X86

}  // namespace

const uint32_t kCRC32Table[256] = {
#define ZTV_ROW(i) kSlice[0][i], kSlice[0][i + 1], kSlice[0][i + 2], kSlice[0][i + 3]
#define ZTV_ROW16(i) ZTV_ROW(i), ZTV_ROW(i + 4), ZTV_ROW(i + 8), ZTV_ROW(i + 12)
    ZTV_ROW16(0),   ZTV_ROW16(16),  ZTV_ROW16(32),  ZTV_ROW16(48),  ZTV_ROW16(64),  ZTV_ROW16(80),
    ZTV_ROW16(96),  ZTV_ROW16(112), ZTV_ROW16(128), ZTV_ROW16(144), ZTV_ROW16(160), ZTV_ROW16(176),
    ZTV_ROW16(192), ZTV_ROW16(208), ZTV_ROW16(224), ZTV_ROW16(240),
#undef ZTV_ROW16
#undef ZTV_ROW
};

uint32_t UpdateCRC32Bytewise(uint32_t crc, const void* buffer, size_t length) {
  if (buffer == nullptr) return crc;
  const auto* p = static_cast<const uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) crc = kCRC32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t UpdateCRC32(uint32_t crc, const void* buffer, size_t length) {
  if (buffer == nullptr) return crc;
  const auto* p = static_cast<const uint8_t*>(buffer);
  size_t n = length;
#if ZTV_CRC32_X86
  if (kEngine == CrcEngine::Vpclmul && n >= 256) {
    crc = UpdateVpclmul(crc, p, n);
  } else if (kEngine != CrcEngine::Table && n >= 64) {
    crc = UpdatePclmul(crc, p, n);
  }
#endif
  return UpdateSliceBy8(crc, p, n);
}

uint32_t StreamCRC32(uint32_t crc, TZVStream& stream, int64_t count) {
  if (count <= 0) return crc;
  constexpr int64_t kBlock = 61440;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(count, kBlock)));
  while (count > 0) {
    const int64_t n = std::min(static_cast<int64_t>(buffer.size()), count);
    const int64_t got = stream.Read(buffer.data(), n);
    if (got > 0) crc = UpdateCRC32(crc, buffer.data(), static_cast<size_t>(got));
    count -= n;
    if (got < n) break;
  }
  return crc;
}

}  // namespace ztv
