// The LZH decoder on arbitrary bit streams: any input must decode (or stop
// with the codec's own error) without touching memory it does not own, and
// agree with the straightforward reference decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/lzh/lzh.h"
#include "lzh_reference.h"

namespace {

struct Trace {
  std::vector<uint8_t> output;
  std::vector<int> reads;
  std::vector<int> writes;
};

template <typename Decode>
Trace Run(Decode decode, const uint8_t* data, size_t size, int32_t plain) {
  Trace t;
  size_t pos = 0;
  ztv::TLZHReadProc read = [&](uint8_t* buffer, uint16_t requested, uint16_t& delivered) {
    t.reads.push_back(requested);
    const size_t n = std::min<size_t>(requested, size - pos);
    if (n) std::memcpy(buffer, data + pos, n);
    pos += n;
    delivered = static_cast<uint16_t>(n);
  };
  ztv::TLZHWriteProc write = [&](const uint8_t* buffer, uint16_t count, uint16_t& taken) {
    t.writes.push_back(count);
    t.output.insert(t.output.end(), buffer, buffer + count);
    taken = count;
  };
  decode(plain, read, write);
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // The first three bytes give the plain length (up to 256 KiB).
  int32_t plain = static_cast<int32_t>(data[0] | (data[1] << 8) | ((data[2] & 0x03) << 16));
  if (data[2] & 0x80) plain = -plain;
  data += 3;
  size -= 3;
  Trace fast;
  try {
    ztv::TLZH lzh;
    fast = Run([&](int32_t n, const ztv::TLZHReadProc& r, const ztv::TLZHWriteProc& w) { lzh.Decode(n, r, w); },
               data, size, plain);
  } catch (const ztv::ELZHException&) {
    return 0;  // the source ran dry long before the length: reported, fine
  }
  const Trace slow = Run(ztv::reference::LZHDecode, data, size, plain);
  if (fast.output != slow.output || fast.reads != slow.reads || fast.writes != slow.writes) std::abort();
  return 0;
}
