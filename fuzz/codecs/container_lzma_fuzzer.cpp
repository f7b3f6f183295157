// UnPackStream with the lzma family on arbitrary packed streams.
#include "container_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return ztv::fuzz::UnpackContainer(data, size, 4);
}
