// libFuzzer target: IMD packets through UnPackMappedData and TTransporter.
#include <cstddef>
#include <cstdint>

#include "imd_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ztv::fuzz::CheckImdPacket(data, size);
  return 0;
}
