// Shared body of the container fuzz targets: the first input byte decides
// whether the size fields and the CRC trailer are made consistent (so the
// decoders behind the checks are reached), the rest is the packed stream.
#pragma once

#include <cstdint>
#include <vector>

#include "core/crc32.h"
#include "core/errors.h"
#include "core/stream.h"
#include "formats/container/archiver.h"

namespace ztv::fuzz {

inline void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline int UnpackContainer(const uint8_t* data, size_t size, int method) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::vector<uint8_t> packed(data + 1, data + size);
  const uint8_t family = static_cast<uint8_t>(method);
  if (control & 1) {
    if (family == 0 && packed.size() >= 12) PutU32(packed, 0, static_cast<uint32_t>(packed.size()));
    if (family >= 4 && family <= 6 && packed.size() >= 17) PutU32(packed, 0, static_cast<uint32_t>(packed.size() - 17));
    if (packed.size() >= 4)
      PutU32(packed, packed.size() - 4, UpdateCRC32(0, packed.data(), packed.size() - 4));
  }
  TZVMemoryStream in(std::move(packed));
  TZVMemoryStream out;
  try {
    UnPackStream(&in, &out, method);
  } catch (const Exception&) {
  }
  return 0;
}

}  // namespace ztv::fuzz
