// The straightforward LZH decoder as a program, for comparing whole
// processes with `ztvtool lzh decode`:
//
//   lzh_reference_decode N IN OUT
//
// Reads IN whole, decodes at least N bytes and writes everything the
// decoder produces to OUT through the C library's buffered output.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lzh_reference.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: lzh_reference_decode N IN OUT\n");
    return 2;
  }
  const long size = std::atol(argv[1]);
  std::FILE* in = std::fopen(argv[2], "rb");
  std::FILE* out = std::fopen(argv[3], "wb");
  if (!in || !out) {
    std::perror("lzh_reference_decode");
    return 1;
  }
  std::vector<uint8_t> bits;
  uint8_t chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) bits.insert(bits.end(), chunk, chunk + n);
  size_t pos = 0;
  ztv::TLZHReadProc read = [&](uint8_t* b, uint16_t n, uint16_t& got) {
    const size_t k = std::min<size_t>(n, bits.size() - pos);
    std::copy(bits.begin() + static_cast<std::ptrdiff_t>(pos), bits.begin() + static_cast<std::ptrdiff_t>(pos + k), b);
    pos += k;
    got = static_cast<uint16_t>(k);
  };
  ztv::TLZHWriteProc write = [&](const uint8_t* b, uint16_t n, uint16_t& taken) {
    std::fwrite(b, 1, n, out);
    taken = n;
  };
  ztv::reference::LZHDecode(static_cast<int32_t>(size), read, write);
  std::fclose(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
