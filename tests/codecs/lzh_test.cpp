#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "formats/lzh/lzh.h"
#include "lzh_reference.h"

namespace ztv {
namespace {

using Bytes = std::vector<uint8_t>;

// Everything observable about one decoding: the output, and the sizes of
// every read request and every write.
struct Trace {
  Bytes output;
  std::vector<int> reads;
  std::vector<int> writes;
  bool operator==(const Trace&) const = default;
};

template <typename DecodeFn>
Trace RunDecoder(DecodeFn decode, const Bytes& source, int32_t plainLength) {
  Trace t;
  size_t pos = 0;
  TLZHReadProc read = [&](uint8_t* buffer, uint16_t requested, uint16_t& delivered) {
    t.reads.push_back(requested);
    const size_t n = std::min<size_t>(requested, source.size() - pos);
    std::copy_n(source.begin() + static_cast<ptrdiff_t>(pos), n, buffer);
    pos += n;
    delivered = static_cast<uint16_t>(n);
  };
  TLZHWriteProc write = [&](const uint8_t* buffer, uint16_t count, uint16_t& taken) {
    t.writes.push_back(count);
    t.output.insert(t.output.end(), buffer, buffer + count);
    taken = count;
  };
  decode(plainLength, read, write);
  return t;
}

Trace Decode(const Bytes& source, int32_t plainLength) {
  TLZH lzh;
  return RunDecoder([&](int32_t n, const TLZHReadProc& r, const TLZHWriteProc& w) { lzh.Decode(n, r, w); }, source,
             plainLength);
}

Trace DecodeReference(const Bytes& source, int32_t plainLength) {
  return RunDecoder(reference::LZHDecode, source, plainLength);
}

Bytes Encode(const Bytes& plain) { return TLZH::Encode(plain.data(), plain.size()); }

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Text-like data with repeats near and far, runs, and random stretches.
Bytes MixedBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const char* words[] = {"update ", "version ", "backup ", "database ", "server ", "\r\n", "0705", "    "};
  Bytes b;
  while (b.size() < n) {
    switch (rng() % 4) {
      case 0:
        for (int k = 0; k < 20; ++k) {
          const char* w = words[rng() % 8];
          b.insert(b.end(), w, w + std::char_traits<char>::length(w));
        }
        break;
      case 1:
        b.insert(b.end(), rng() % 300, static_cast<uint8_t>(rng()));
        break;
      case 2:
        for (int k = rng() % 200; k > 0; --k) b.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        if (b.size() > 5000) {
          const size_t from = b.size() - 1 - rng() % 4500;
          const size_t len = rng() % 150;
          for (size_t k = 0; k < len; ++k) b.push_back(b[from + k]);
        }
    }
  }
  b.resize(n);
  return b;
}

// Bytes in which no three consecutive bytes repeat: eight new bits of a
// maximal 24-bit shift register per byte, so every three-byte window is a
// distinct register state.
Bytes NoRepeats(size_t n) {
  uint32_t state = 0xACE1u;
  auto bit = [&] {
    const uint32_t out = state & 1u;
    const uint32_t feedback = ((state >> 0) ^ (state >> 1) ^ (state >> 2) ^ (state >> 7)) & 1u;
    state = (state >> 1) | (feedback << 23);
    return out;
  };
  Bytes b(n);
  for (auto& x : b) {
    uint8_t v = 0;
    for (int k = 0; k < 8; ++k) v = static_cast<uint8_t>((v << 1) | bit());
    x = v;
  }
  return b;
}

TEST(LZH, LengthZeroReadsAndWritesNothing) {
  const Trace t = Decode(Encode(Bytes{'a', 'b'}), 0);
  EXPECT_TRUE(t.reads.empty());
  EXPECT_TRUE(t.writes.empty());
  EXPECT_TRUE(Decode({}, -5).reads.empty());
}

TEST(LZH, ExactlyOneRingOfLiteralsIsOneWrite) {
  const Bytes plain = NoRepeats(4096);
  const Bytes packed = Encode(plain);
  // Literals only: every symbol costs at least 8 bits here.
  ASSERT_GE(packed.size(), 4096u);
  const Trace t = Decode(packed, 4096);
  EXPECT_EQ(t.output, plain);
  EXPECT_EQ(t.writes, std::vector<int>{4096});
}

TEST(LZH, ReadsFillTheWindowThenRefillWhatWasConsumed) {
  const Bytes plain = RandomBytes(20000, 3);
  const Trace t = Decode(Encode(plain), 20000);
  EXPECT_EQ(t.output, plain);
  ASSERT_GE(t.reads.size(), 3u);
  EXPECT_EQ(t.reads[0], 256);
  for (size_t i = 1; i < t.reads.size(); ++i) {
    EXPECT_GE(t.reads[i], 254) << i;
    EXPECT_LE(t.reads[i], 256) << i;
  }
  EXPECT_EQ(t.writes, (std::vector<int>{4096, 4096, 4096, 4096, 3616}));
}

TEST(LZH, MatchesReachIntoThePrefilledSpaces) {
  const Bytes plain(59, ' ');
  const Bytes packed = Encode(plain);
  // One match symbol and its position: a few bytes, not 59 literals.
  EXPECT_LE(packed.size(), 4u);
  EXPECT_EQ(Decode(packed, 59).output, plain);

  Bytes text = {'x', ' ', ' ', ' ', ' ', 'y'};
  EXPECT_EQ(Decode(Encode(text), 6).output, text);
}

TEST(LZH, OverlappingMatchRepeatsTheLastByte) {
  const Bytes plain = {'q', 'q', 'q', 'q', 'q', 'q', 'q', 'q', 'q', 'q', 'q'};
  const Bytes packed = Encode(plain);
  EXPECT_LE(packed.size(), 4u);  // a literal and one match of length 10
  EXPECT_EQ(Decode(packed, 11).output, plain);
}

TEST(LZH, FinalMatchPastThePlainLengthIsWrittenToo) {
  Bytes plain(40, 'k');
  const Bytes packed = Encode(plain);
  // Asking for 2 bytes still decodes the whole match that covers them.
  const Trace t = Decode(packed, 2);
  EXPECT_EQ(t.output, plain);
  EXPECT_EQ(t.writes, std::vector<int>{40});
}

TEST(LZH, RoundTripsEmptyTinyIncompressibleAndLarge) {
  const std::vector<Bytes> inputs = {
      {}, {0}, {'a'}, {'a', 'b', 'c'}, RandomBytes(5000, 1), MixedBytes(300000, 2), Bytes(200000, 0x41),
  };
  for (const Bytes& plain : inputs) {
    const Bytes packed = Encode(plain);
    const Trace t = Decode(packed, static_cast<int32_t>(plain.size()));
    EXPECT_EQ(t.output, plain) << plain.size();
  }
  // Runs compress to a small fraction; random data barely grows.
  EXPECT_LT(Encode(Bytes(200000, 0x41)).size(), 200000u / 40);
  EXPECT_LT(Encode(RandomBytes(5000, 1)).size(), 5000u * 9 / 8 + 8);
}

TEST(LZH, RebuildOfALongRunOfOneLiteral) {
  // 40,000 symbols push the root past 0x8000 once; all of one literal gives
  // that leaf most of the weight, so the halving matters.
  Bytes plain = NoRepeats(40000);
  for (size_t i = 0; i < plain.size(); i += 2) plain[i] = 0x55;
  const Bytes packed = Encode(plain);
  const Trace t = Decode(packed, static_cast<int32_t>(plain.size()));
  EXPECT_EQ(t.output, plain);
  EXPECT_EQ(t, DecodeReference(packed, static_cast<int32_t>(plain.size())));
}

TEST(LZH, AgreesWithTheReferenceOnArbitraryBits) {
  // Any bit string is a valid stream: both decoders must see the same
  // symbols, ask for the same reads and make the same writes.
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    const size_t size = rng() % 3000;
    Bytes source = RandomBytes(size, static_cast<uint32_t>(round));
    if (round % 3 == 0) {
      // Skewed bits make long codes and long matches.
      for (auto& b : source) b &= static_cast<uint8_t>(rng());
    }
    const int32_t plain = static_cast<int32_t>(rng() % 20000);
    ASSERT_EQ(Decode(source, plain), DecodeReference(source, plain)) << round;
  }
}

TEST(LZH, BytesPastTheEndReadAsZero) {
  const Bytes plain = MixedBytes(30000, 9);
  Bytes packed = Encode(plain);
  packed.resize(packed.size() - 300);
  Bytes padded = packed;
  padded.resize(packed.size() + 4000, 0);
  const Trace cut = Decode(packed, 30000);
  EXPECT_EQ(cut.output, Decode(padded, 30000).output);
  EXPECT_EQ(cut, DecodeReference(packed, 30000));
  // An empty source is all zero bits.
  EXPECT_EQ(Decode({}, 500).output, Decode(Bytes(600, 0), 500).output);
}

TEST(LZH, SourceThatRunsDryLongBeforeTheLengthIsAnError) {
  try {
    Decode({0x12, 0x34}, 100000000);
    FAIL() << "no error";
  } catch (const ELZHException& e) {
    EXPECT_STREQ(e.what(), "LZH : Unexpected end of compressed data");
  }
}

TEST(LZH, CallbackErrorsPassThroughAndTheObjectIsReusable) {
  TLZH lzh;
  const Bytes plain = MixedBytes(10000, 4);
  const Bytes packed = Encode(plain);
  TLZHReadProc failing = [](uint8_t*, uint16_t, uint16_t&) { throw EStreamError("Stream read error"); };
  TLZHWriteProc sink = [](const uint8_t*, uint16_t c, uint16_t& t) { t = c; };
  EXPECT_THROW(lzh.Decode(10, failing, sink), EStreamError);
  const Trace t =
      RunDecoder([&](int32_t n, const TLZHReadProc& r, const TLZHWriteProc& w) { lzh.Decode(n, r, w); }, packed, 10000);
  EXPECT_EQ(t.output, plain);
}

}  // namespace
}  // namespace ztv
