// A straightforward LZH decoder written directly from the algorithm: one
// bit at a time from the input window, the tree update as described, the
// match copied byte by byte. The benchmark measures the library's decoder
// against it, and the tests compare the two on arbitrary bit streams.
#pragma once

#include <cstdint>

#include "formats/lzh/lzh.h"

namespace ztv::reference {

void LZHDecode(int32_t plainLength, const TLZHReadProc& read, const TLZHWriteProc& write);

}  // namespace ztv::reference
