// LZH: LZSS over a 4,096-byte ring, literals and match lengths coded with one
// adaptive Huffman tree, match positions with a fixed prefix code for their
// upper 6 bits plus 6 plain bits. The bit stream has neither header nor end
// marker: the caller knows the plain length (the container stores it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/errors.h"

namespace ztv {

// Failures of the codec itself (memory for its tables, a source that ran
// dry long before the plain length was reached).
class ELZHException : public Exception {
 public:
  using Exception::Exception;
};

// Fills `buffer` with up to `requested` compressed bytes and reports how many
// it delivered. Fewer than requested means the source has ended; the decoder
// reads the missing bytes as zero.
using TLZHReadProc = std::function<void(uint8_t* buffer, uint16_t requested, uint16_t& delivered)>;
// Consumes `count` plain bytes and reports how many it took (the decoder does
// not look at that value).
using TLZHWriteProc = std::function<void(const uint8_t* buffer, uint16_t count, uint16_t& taken)>;

class TLZH {
 public:
  // The decoder stops with ELZHException once it has consumed this many
  // zero bytes past the end of its source: a well-formed stream never reads
  // past its last byte, so such input is corrupt, and going on would only
  // turn a length field into an unbounded amount of output.
  static constexpr int64_t kMaxBytesPastEnd = 4096;

  TLZH() = default;

  // Decodes until at least `plainLength` bytes were produced and hands them
  // to `write`: whole 4,096-byte rings as they fill, then the part of the
  // last ring that was filled. A final match may run past `plainLength`; its
  // bytes are written too. Compressed bytes come through `read`, 256 bytes
  // for the first fill of the input window and the consumed count (254 or
  // 255, rarely up to 256) for later fills. A length of 0 or less reads and
  // writes nothing. Every call starts from fresh tables.
  void Decode(int32_t plainLength, const TLZHReadProc& read, const TLZHWriteProc& write);

  // Produces the bit stream `Decode` reads back into `data` (greedy matching
  // over the same ring conventions: write position 0, the 60 positions
  // before it holding spaces).
  static std::vector<uint8_t> Encode(const uint8_t* data, size_t size);
};

}  // namespace ztv
