#include "formats/lzh/lzh.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ZTV_LZH_SSE2 1
#endif

namespace ztv {

namespace {

constexpr unsigned kRingSize = 4096;
constexpr unsigned kRingMask = kRingSize - 1;
constexpr unsigned kLongestMatch = 60;
constexpr unsigned kThreshold = 2;
constexpr unsigned kSymbols = 256 - kThreshold + kLongestMatch;  // 314
constexpr unsigned kTreeSize = 2 * kSymbols - 1;                   // 627
constexpr unsigned kRoot = kTreeSize - 1;                          // 626
constexpr unsigned kRebuildLimit = 0x8000;
constexpr unsigned kWindowSize = 256;

// Position code, indexed by the next 8 bits of the stream: the upper 6 bits
// of the position and the length of their code.
struct PositionCode {
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> length{};
};

constexpr PositionCode MakePositionCode() {
  PositionCode t;
  // Runs of 32, 16, 8, 4, 2 and 1 codes per upper value, code lengths 3..8.
  struct Band {
    unsigned first, last, firstUpper, run, length;
  };
  constexpr Band bands[] = {{0, 31, 0, 32, 3},     {32, 79, 1, 16, 4},   {80, 143, 4, 8, 5},
                            {144, 191, 12, 4, 6}, {192, 239, 24, 2, 7}, {240, 255, 48, 1, 8}};
  for (const Band& b : bands) {
    for (unsigned i = b.first; i <= b.last; ++i) {
      t.upper[i] = static_cast<uint8_t>(b.firstUpper + (i - b.first) / b.run);
      t.length[i] = static_cast<uint8_t>(b.length);
    }
  }
  return t;
}

constexpr PositionCode kPositionCode = MakePositionCode();

// The adaptive Huffman tree shared by the decoder and the encoder. Nodes are
// kept in order of weight (sibling property); a leaf's child entry holds its
// symbol + kTreeSize, an inner node's the index of its first child.
struct HuffmanTree {
  // weight[kTreeSize] is the sentinel; the padding keeps the run scan's
  // block loads inside the array.
  uint16_t weight[kTreeSize + 1 + 16];
  uint16_t child[kTreeSize];
  uint16_t parent[kTreeSize + kSymbols];

  void Init() {
    for (unsigned s = 0; s < kSymbols; ++s) {
      weight[s] = 1;
      child[s] = static_cast<uint16_t>(s + kTreeSize);
      parent[s + kTreeSize] = static_cast<uint16_t>(s);
    }
    for (unsigned i = 0, j = kSymbols; j <= kRoot; i += 2, ++j) {
      weight[j] = static_cast<uint16_t>(weight[i] + weight[i + 1]);
      child[j] = static_cast<uint16_t>(i);
      parent[i] = parent[i + 1] = static_cast<uint16_t>(j);
    }
    weight[kTreeSize] = 0xFFFF;
    for (unsigned i = kTreeSize + 1; i < std::size(weight); ++i) weight[i] = 0xFFFF;
    parent[kRoot] = 0;
  }

  void Rebuild() {
    // Collect the leaves at the front, halving their weights (rounding up).
    unsigned j = 0;
    for (unsigned n = 0; n < kTreeSize; ++n) {
      if (child[n] >= kTreeSize) {
        weight[j] = static_cast<uint16_t>((weight[n] + 1u) / 2u);
        child[j] = child[n];
        ++j;
      }
    }
    // Join pairs into inner nodes, each inserted where its weight belongs.
    for (unsigned i = 0, n = kSymbols; n < kTreeSize; i += 2, ++n) {
      const unsigned f = static_cast<unsigned>(weight[i]) + weight[i + 1];
      unsigned k = n;
      while (k > 0 && f < weight[k - 1]) --k;
      std::memmove(&weight[k + 1], &weight[k], (n - k) * sizeof(uint16_t));
      std::memmove(&child[k + 1], &child[k], (n - k) * sizeof(uint16_t));
      weight[k] = static_cast<uint16_t>(f);
      child[k] = static_cast<uint16_t>(i);
    }
    for (unsigned n = 0; n < kTreeSize; ++n) {
      const unsigned k = child[n];
      parent[k] = static_cast<uint16_t>(n);
      if (k < kTreeSize) parent[k + 1] = static_cast<uint16_t>(n);
    }
  }

  // The last index after c whose weight is still below k. Weights are
  // ordered, so that is the end of the run of k - 1 that starts at c + 1;
  // the sentinel ends every run.
  unsigned RunEnd(unsigned c, unsigned k) const {
    unsigned l = c + 1;
#if ZTV_LZH_SSE2
    // weight[c + 1] is k - 1, and so is every weight of the run: compare
    // eight at a time for equality (the sentinel and its padding differ).
    const __m128i run = _mm_set1_epi16(static_cast<short>(k - 1));
    for (;;) {
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&weight[l + 1]));
      const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(next, run)));
      if (same != 0xFFFFu) return l + static_cast<unsigned>(__builtin_ctz(~same)) / 2;
      l += 8;
    }
#else
    while (k > weight[l + 1]) ++l;
    return l;
#endif
  }

  // Node c has just been counted up to k, past its neighbour: it trades
  // places (with its subtree) with l, the last node still below k.
  __attribute__((always_inline)) inline unsigned MoveUp(unsigned c, unsigned k) {
    const unsigned l = RunEnd(c, k);
    weight[c] = weight[l];
    weight[l] = static_cast<uint16_t>(k);
    const unsigned i = child[c];
    parent[i] = static_cast<uint16_t>(l);
    if (i < kTreeSize) parent[i + 1] = static_cast<uint16_t>(l);
    const unsigned j = child[l];
    child[l] = static_cast<uint16_t>(i);
    parent[j] = static_cast<uint16_t>(c);
    if (j < kTreeSize) parent[j + 1] = static_cast<uint16_t>(c);
    child[c] = static_cast<uint16_t>(j);
    return l;
  }

  // Counts the node at position c and every ancestor, keeping the order.
  __attribute__((always_inline)) inline void CountUpFrom(unsigned c) {
    do {
      const unsigned k = ++weight[c];
      if (k > weight[c + 1]) c = MoveUp(c, k);
      c = parent[c];
    } while (c != 0);
  }

  void Update(unsigned symbol) {
    if (weight[kRoot] == kRebuildLimit) Rebuild();
    CountUpFrom(parent[symbol + kTreeSize]);
  }

  // The same update for a symbol just decoded along `path` (the node
  // positions from below the root down to the leaf): until the first move
  // the way up is the way down reversed, so the parent links need not be
  // followed one dependent load after another.
  __attribute__((always_inline)) inline void UpdateAlong(unsigned symbol, const uint16_t* path, unsigned depth) {
    if (weight[kRoot] == kRebuildLimit) {
      Update(symbol);
      return;
    }
    unsigned i = depth;
    while (i > 0) {
      const unsigned c = path[--i];
      const unsigned k = ++weight[c];
      if (k > weight[c + 1]) {
        // The node moved: go on up from its new place.
        const unsigned up = parent[MoveUp(c, k)];
        if (up != 0) CountUpFrom(up);
        return;
      }
    }
    ++weight[kRoot];  // below the sentinel: never moves
  }
};

class Decoder {
 public:
  Decoder(const TLZHReadProc& read, const TLZHWriteProc& write) : read_(read), write_(write) {
    tree_.Init();
    std::memset(window_, 0, sizeof(window_));
    // Only the 60 positions before the write position are defined.
    std::memset(ring_, 0, sizeof(ring_));
    std::memset(ring_ + kRingSize - kLongestMatch, ' ', kLongestMatch);
  }

  void Run(int32_t plainLength) {
    unsigned r = 0;
    int64_t count = 0;
    while (count < plainLength) {
      if (index_ >= kWindowSize - 2) Refill();
      const unsigned c = ReadSymbol();
      if (c < 256) {
        ring_[r] = static_cast<uint8_t>(c);
        ++count;
        if (++r == kRingSize) {
          Flush(kRingSize);
          r = 0;
        }
        continue;
      }
      if (index_ >= kWindowSize - 2) Refill();
      const unsigned p = ReadPosition();
      const unsigned length = c - (255 - kThreshold);
      const unsigned q = (r - p - 1) & kRingMask;
      count += length;
      if (r + length <= kRingSize && q + length <= kRingSize) {
        if (p + 1 >= length) {
          // No self-overlap; a source ahead of the destination is copied
          // forward, as the byte loop would.
          std::memmove(ring_ + r, ring_ + q, length);
        } else if (p == 0) {
          std::memset(ring_ + r, ring_[q], length);
        } else {
          for (unsigned k = 0; k < length; ++k) ring_[r + k] = ring_[q + k];
        }
        r += length;
        if (r == kRingSize) {
          Flush(kRingSize);
          r = 0;
        }
      } else {
        for (unsigned k = 0; k < length; ++k) {
          ring_[r] = ring_[(q + k) & kRingMask];
          if (++r == kRingSize) {
            Flush(kRingSize);
            r = 0;
          }
        }
      }
    }
    if (r > 0) Flush(r);
  }

 private:
  // Moves the unread bytes to the front and asks for as many bytes as were
  // consumed. What the source does not deliver reads as zero.
  void Refill() {
    const unsigned consumed = index_;
    const unsigned keep = kWindowSize - consumed;
    std::memmove(window_, window_ + consumed, keep);
    uint16_t delivered = 0;
    if (consumed > 0) read_(window_ + keep, static_cast<uint16_t>(consumed), delivered);
    delivered = std::min<uint16_t>(delivered, static_cast<uint16_t>(consumed));
    std::memset(window_ + keep + delivered, 0, consumed - delivered);
    windowStart_ += consumed;
    index_ = 0;
    if (delivered < consumed && zeroFrom_ < 0) zeroFrom_ = windowStart_ + keep + delivered;
    if (zeroFrom_ >= 0 && windowStart_ - zeroFrom_ > TLZH::kMaxBytesPastEnd)
      throw ELZHException("LZH : Unexpected end of compressed data");
  }

  unsigned ReadBit() {
    if (index_ >= kWindowSize) Refill();
    const unsigned b = (window_[index_] >> (7 - bit_)) & 1u;
    if (++bit_ == 8) {
      bit_ = 0;
      ++index_;
    }
    return b;
  }

  void Advance(unsigned bits) {
    const unsigned total = bit_ + bits;
    index_ += total >> 3;
    bit_ = total & 7;
  }

  unsigned ReadSymbol() {
    unsigned c = tree_.child[kRoot];
    unsigned depth = 0;
    if (index_ + 8 <= kWindowSize) {
      // Up to 57 bits straight from the window. Zero bits shifted in past
      // them only steer a walk that is then discarded.
      uint64_t w;
      std::memcpy(&w, window_ + index_, 8);
      w = __builtin_bswap64(w) << bit_;
      while (c < kTreeSize) {
        const unsigned node = c + static_cast<unsigned>(w >> 63);
        path_[depth++] = static_cast<uint16_t>(node);
        c = tree_.child[node];
        w <<= 1;
      }
      if (depth <= 64 - bit_) {
        Advance(depth);
        c -= kTreeSize;
        tree_.UpdateAlong(c, path_, depth);
        return c;
      }
      c = tree_.child[kRoot];
      depth = 0;
    }
    // Near the end of the window: bit by bit, refilling when the code runs
    // past it.
    while (c < kTreeSize) {
      const unsigned node = c + ReadBit();
      path_[depth++] = static_cast<uint16_t>(node);
      c = tree_.child[node];
    }
    c -= kTreeSize;
    tree_.UpdateAlong(c, path_, depth);
    return c;
  }

  // Called with at least three bytes left in the window.
  unsigned ReadPosition() {
    const uint32_t w24 = (static_cast<uint32_t>(window_[index_]) << 16) |
                         (static_cast<uint32_t>(window_[index_ + 1]) << 8) | window_[index_ + 2];
    const unsigned w = (w24 >> (8 - bit_)) & 0xFFFFu;
    const unsigned i = w >> 8;
    const unsigned n = kPositionCode.length[i];
    Advance(n + 6);
    return (static_cast<unsigned>(kPositionCode.upper[i]) << 6) | ((w >> (10 - n)) & 0x3Fu);
  }

  void Flush(unsigned count) {
    uint16_t taken = 0;
    write_(ring_, static_cast<uint16_t>(count), taken);
  }

  const TLZHReadProc& read_;
  const TLZHWriteProc& write_;
  HuffmanTree tree_;
  // The node positions of the last symbol's code; a walk never visits more
  // nodes than the tree has.
  uint16_t path_[kTreeSize];
  uint8_t ring_[kRingSize];
  uint8_t window_[kWindowSize];
  unsigned index_ = kWindowSize;  // the first symbol fills the whole window
  unsigned bit_ = 0;
  int64_t windowStart_ = -static_cast<int64_t>(kWindowSize);  // stream offset of window_[0]
  int64_t zeroFrom_ = -1;  // stream offset where the source ended, once it has
};

// Most significant bit first.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t code, unsigned bits) {  // bits <= 32
    acc_ = (acc_ << bits) | (code & ((bits == 32) ? 0xFFFFFFFFu : ((1u << bits) - 1)));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> count_));
    }
  }
  void Finish() {
    if (count_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - count_)));
    count_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};

class Encoder {
 public:
  explicit Encoder(std::vector<uint8_t>& out) : bits_(out) {
    tree_.Init();
    // Codes for the upper 6 bits of a position: the first table index that
    // decodes to each value, cut to the code's length.
    for (unsigned i = 256; i-- > 0;) {
      const unsigned u = kPositionCode.upper[i];
      positionLength_[u] = kPositionCode.length[i];
      positionCode_[u] = i >> (8 - kPositionCode.length[i]);
    }
  }

  void Symbol(unsigned symbol) {
    // Walk from the leaf to the root, noting which child each node is.
    uint64_t code = 0;
    unsigned length = 0;
    unsigned node = tree_.parent[symbol + kTreeSize];
    while (node != kRoot) {
      const unsigned up = tree_.parent[node];
      code |= static_cast<uint64_t>(node - tree_.child[up]) << length;
      ++length;
      node = up;
    }
    while (length > 32) {
      length -= 32;
      bits_.Put(static_cast<uint32_t>(code >> length), 32);
    }
    bits_.Put(static_cast<uint32_t>(code), length);
    tree_.Update(symbol);
  }

  void Position(unsigned p) {
    const unsigned u = p >> 6;
    bits_.Put(positionCode_[u], positionLength_[u]);
    bits_.Put(p & 0x3F, 6);
  }

  void Finish() { bits_.Finish(); }

 private:
  BitWriter bits_;
  HuffmanTree tree_;
  unsigned positionCode_[64] = {};
  unsigned positionLength_[64] = {};
};

}  // namespace

void TLZH::Decode(int32_t plainLength, const TLZHReadProc& read, const TLZHWriteProc& write) {
  std::unique_ptr<Decoder> decoder;
  try {
    decoder = std::make_unique<Decoder>(read, write);
  } catch (const std::bad_alloc&) {
    throw ELZHException("LZH : Cannot get memory for dictionary tables");
  }
  decoder->Run(plainLength);
}

std::vector<uint8_t> TLZH::Encode(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size / 2 + 16);
  auto encoder = std::make_unique<Encoder>(out);
  if (size == 0) return out;

  // The text as the decoder's ring sees it: 60 spaces, then the data.
  std::vector<uint8_t> text(kLongestMatch + size);
  std::memset(text.data(), ' ', kLongestMatch);
  std::memcpy(text.data() + kLongestMatch, data, size);
  const size_t end = text.size();

  // Hash chains over three-byte prefixes; a position's predecessor is kept
  // for one ring's length, which is as far back as a match may reach.
  constexpr unsigned kHashBits = 15;
  constexpr unsigned kMaxChain = 128;
  std::vector<int64_t> head(size_t{1} << kHashBits, -1);
  std::vector<int64_t> prev(kRingSize, -1);
  auto hash = [&](size_t pos) {
    const uint32_t v = (static_cast<uint32_t>(text[pos]) << 16) | (static_cast<uint32_t>(text[pos + 1]) << 8) |
                       text[pos + 2];
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](size_t pos) {
    if (pos + 3 > end) return;
    const uint32_t h = hash(pos);
    prev[pos & kRingMask] = head[h];
    head[h] = static_cast<int64_t>(pos);
  };
  for (size_t pos = 0; pos < kLongestMatch; ++pos) insert(pos);

  size_t pos = kLongestMatch;
  while (pos < end) {
    const size_t limit = std::min<size_t>(kLongestMatch, end - pos);
    size_t bestLength = 0, bestDistance = 0;
    if (limit > kThreshold) {
      int64_t candidate = head[hash(pos)];
      for (unsigned chain = 0; candidate >= 0 && chain < kMaxChain; ++chain) {
        const size_t distance = pos - static_cast<size_t>(candidate);
        if (distance > kRingSize) break;
        size_t n = 0;
        while (n < limit && text[static_cast<size_t>(candidate) + n] == text[pos + n]) ++n;
        if (n > bestLength) {
          bestLength = n;
          bestDistance = distance;
          if (n == limit) break;
        }
        candidate = prev[static_cast<size_t>(candidate) & kRingMask];
      }
    }
    if (bestLength > kThreshold) {
      encoder->Symbol(static_cast<unsigned>(bestLength) + 255 - kThreshold);
      encoder->Position(static_cast<unsigned>(bestDistance - 1));
      for (size_t k = 0; k < bestLength; ++k) insert(pos + k);
      pos += bestLength;
    } else {
      encoder->Symbol(text[pos]);
      insert(pos);
      ++pos;
    }
  }
  encoder->Finish();
  return out;
}

}  // namespace ztv
